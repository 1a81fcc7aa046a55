// Replacing a file's contents whole, for files written where others may
// write too (a shared folder such as /tmp).
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace kelda {

// Writes `contents` to a new file beside `path` and renames it over `path`,
// so that a reader sees the old file or the new one, never a part of one.
// The new file is created exclusively under a name no other process can
// guess, so a link or file planted in the folder is never written through.
// On failure `path` is left as it was, the new file is removed, and the
// error of the first step that failed is returned; an empty error on success.
// REQUIRES: `path` names a file, not a folder; not available on Windows.
std::error_code ReplaceFileContents(const std::string& path, std::string_view contents);

}  // namespace kelda
