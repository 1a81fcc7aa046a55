// The server engine's failures as numbers of the error registry
// (base/error.h): what the server reports by SQLSTATE, and connections that
// cannot be made or that drop.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string_view>

namespace kelda::data::postgres {

// The registry number for a server's SQLSTATE:
//   42P01 unknown table 3078, 42703 unknown column 3061, 42701 column exists
//   3191, 42501 insufficient privilege 3027, 25006 read-only transaction
//   3027, 55P03 lock not available / 57014 statement cancelled (a timeout)
//   / 40P01 deadlock / 40001 serialization failure 3218, 22P02 invalid text
//   for a number 13, 22001 / 22003 / 23502 / 23514 a value the column cannot
//   take 3421, 42601 syntax 3075, 53100 disk full 3026, 53200 out of memory
//   7, 58030 I/O 3043, XX001 / XX002 damaged data 3049, the classes 08
//   (connection) and 28 (authorization), 3D000 (no such database) and
//   57P01 - 57P04 (connection ended by the server, or not accepted) 3151.
// Anything else, a malformed SQLSTATE included, is 3000.
int32_t ErrorNumberForSqlState(std::string_view sqlstate);

// The registry number for a failed call on `conn` that produced `result`
// (null when the call gave none, as when a connection cannot be made). A
// connection that is no longer usable is 3151 whatever the server said as it
// went; otherwise the result's SQLSTATE decides, and without one it is 3000.
// REQUIRES: conn is not null.
int32_t ErrorNumberForFailure(const PGconn* conn, const PGresult* result);

}  // namespace kelda::data::postgres
