// Rows into a server table with COPY ... FROM STDIN, and the new tables of
// data/new_tables.h on a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/new_tables.h"
#include "data/postgres/connection.h"

namespace kelda::data::postgres {

// A value as COPY's text format takes it: the shortest decimal text that the
// server reads back to the same double (std::to_chars), \N for Null.
// REQUIRES: a finite value.
std::string CopyText(const std::optional<double>& value);

// Sends `rows` to the server by `copy` ("COPY <table> (<columns>) FROM
// STDIN"), each row's values preceded by its `keys` value when `keys` is
// given (one per row), and reads the outcome. The rows arrive in the order
// given. `what` says, for error texts, what was being done.
//
// A failure raises through ErrorNumberForFailure with the server's message
// and the server's name shown masked (no password in the text). When
// `interrupt` says stop, the COPY is ended as failed and 18 is raised. Either
// way the transaction around the COPY has failed, and the connection is left
// ready for its ROLLBACK, or lost when the server does not answer.
// REQUIRES: conn is in a transaction, with no statement in progress;
// keys, when given, has rows.size() values.
void CopyIn(Connection& conn, const std::string& copy, const std::vector<NewRow>& rows,
            const std::vector<int64_t>* keys, const InterruptCheck& interrupt,
            std::string_view what);

// MakeNewTables (data/new_tables.h) for the server database `name`.
// REQUIRES: IsServerName(name).
void MakeNewServerTables(const std::string& name, const NewTable& table,
                         const std::optional<KeyedTable>& keyed, const NewTablesOptions& options);

}  // namespace kelda::data::postgres
