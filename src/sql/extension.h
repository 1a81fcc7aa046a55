// The loadable SQLite extension libkelda-sql.so: `.load libkelda-sql` in the
// sqlite3 shell, sqlite3_load_extension(db, path, nullptr, ...) from C, or
// kelda.enable_sql(connection) from Python. SQLite derives the entry point
// below from the file name, so none need be named.
//
// It adds kelda_predict(network_file, input1, ..., inputN) to the connection:
// the number `kelda predict` would store in `Actual` for a row whose input
// columns hold input1..inputN, in the order of the network file's inputs.
// Declared deterministic (it may stand in views, generated columns and
// indexes): a file is read once per connection and read again only when the
// file at that path changes, and a statement whose path is a constant keeps
// the network it started with to its end. A bad call is an SQL error whose
// text is "kelda: error N: description", N the runtime's error number.
#pragma once

struct sqlite3;
struct sqlite3_api_routines;

extern "C" {

// REQUIRES: called by SQLite as it loads the extension into `db`.
__attribute__((visibility("default"))) int sqlite3_keldasql_init(sqlite3* db, char** error_message,
                                                                 const sqlite3_api_routines* api);

}  // extern "C"
