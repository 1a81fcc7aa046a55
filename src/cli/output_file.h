// The files the tool writes besides the database (the saved network, the
// picture of the status window) are written whole beside their destination
// and renamed over it. Before a run begins, each destination is checked and
// resolved here, so that a run never trains only to find that it cannot keep
// its result, and so that a symbolic link keeps pointing at the new file.
#pragma once

#include <cstdint>
#include <string>

namespace kelda::cli {

// The run-time error "Path/File access error".
inline constexpr int32_t kErrPathFileAccess = 75;

// Where a file meant for `path` is to be written: `path` itself, or, when it
// is a symbolic link (to a link, ...), the file the last link names, which
// need not exist yet. Raises kErrPathFileAccess naming `path` when that
// destination cannot be replaced by a regular file: it exists and is not one
// (a folder, a device, a FIFO, a socket), its folder does not exist or cannot
// be written, the links form a loop, or it is the database file `database`
// or one of SQLite's files beside it.
std::string ResolveOutputFile(const std::string& path, const std::string& database);

}  // namespace kelda::cli
