// How a database is named: a libpq connection URI names a database on a
// server; anything else is the path of an SQLite file. Engine-neutral: the
// layer picks its engine by the name, and everything that shows a name to
// people shows it through ShownName.
#pragma once

#include <string>
#include <string_view>

namespace kelda::data {

// True when `name` begins with "postgresql://" or "postgres://", the scheme
// in any ASCII case. Nothing else is a server name: a leading space, a
// missing slash or a conninfo string ("host=... dbname=...") leave it a path.
bool IsServerName(std::string_view name);

// `name` as it may appear in messages, error texts, --json output, status
// text and logs. In a server name every password is replaced by "***": the
// one of the user information ("user:secret@host", percent-encoded or not)
// and the value of each `password` or `sslpassword` query parameter (its key
// in any case, percent-encoded or not). Where a URI is malformed so that
// libpq might read part of a password as a host or path, the part that may
// be a password is masked too: a name is masked too much rather than too
// little. Any other name is returned unchanged.
std::string ShownName(std::string_view name);

// `text` with every "%XX" (two hexadecimal digits) decoded, as libpq decodes
// the parts of a URI; other characters as they are.
std::string PercentDecoded(std::string_view text);

// Raises 3151 for a server name, shown masked, on a build without the
// server engine: taken for a file's path, the name (and its password) would
// stand in a "file not found" text. Any other name passes.
void RequireFileName(std::string_view name);

}  // namespace kelda::data
