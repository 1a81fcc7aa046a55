// The server engine of the database layer: a Database on a PostgreSQL
// server, one connection per Database, its Recordsets stepping through rows
// read whole from the server.
//
// A server table has no row order of its own: its primary key gives it. A
// table's Recordset reads its rows in key order, identifies each by its key
// (Recordset::RowId) and shows every column but the key's, in table order:
// the key is no input. The key must be one column of an integer type
// (smallint, integer, bigint); another key is refused with 3219 before
// anything is written.
//
// Writes: a row's columns are written by one UPDATE of that row, committed
// when Update or UpdateRow returns; with updates grouped (GroupUpdates), a
// double precision column of a table without triggers is written in groups
// of rows, one statement and one transaction each, when the group's window
// has passed or the group is committed. Only the written rows are locked,
// never the table. A row another session holds locked is waited for up to the busy
// timeout, then 3218.
//
// A run's rows (FixRows) are kept by their keys: rows inserted later are not
// read, a fixed row deleted meanwhile raises 3021 where it is reached. The
// schema version of a server table is a hash of its identity and columns:
// a table dropped and made again, or a column added, dropped, renamed or
// retyped, changes it (3197), while a VACUUM FULL, which keeps the keys, does
// not.
//
// DataVersion changes when another session has committed a change to a row
// of the run (the fixed rows, or every row before any are fixed). A look
// first asks the server's transaction snapshot: while no transaction but
// this Database's own can have committed since the last look, nothing more
// is read. Otherwise the rows written by transactions that began since the
// last look are compared with what it saw, this Database's own transactions
// left aside. A write of the run's own made while another session may have
// committed makes the next look report a change: the row it wrote no longer
// shows who changed it before.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "data/backend.h"

namespace kelda::data::postgres {

// REQUIRES: IsServerName(name).
std::shared_ptr<DatabaseBackend> OpenServer(const std::string& name,
                                            std::chrono::milliseconds busy_timeout,
                                            StatementObserver observer, InterruptCheck interrupt);

}  // namespace kelda::data::postgres
