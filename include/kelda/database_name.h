// How a database is shown to people. A libpq connection URI
// ("postgresql://..." or "postgres://...", the scheme in any ASCII case)
// names a database on a server; anything else is the path of an SQLite file.
#pragma once

#include <string>
#include <string_view>

namespace kelda {

// `name` as it may appear in messages, reports and logs. In a server's name
// every password is replaced by "***": the one of the user information
// ("user:secret@host", percent-encoded or not) and the value of each
// `password` or `sslpassword` query parameter. Where a URI is malformed so
// that part of a password might be read as a host or path, that part is
// masked too: a name is masked too much rather than too little. A file's
// path is returned unchanged.
std::string ShownDatabaseName(std::string_view name);

}  // namespace kelda
