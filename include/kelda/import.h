// Training tables made from a CSV file or from rows in memory, in the layout
// a run needs (the inputs, the target, then `Actual`), and the figures of the
// rows an import held out. `database` names an SQLite file or a server's
// database (see kelda/database_name.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fit.h"
#include "run_options.h"
#include "value.h"

namespace kelda {

struct ImportOptions {
  std::string csv;       // a header row of column names, then one row per example
  std::string database;  // SQLite file, created when missing, or a server's name
  std::string table;     // a new table; an existing one is refused
  std::string target;
  std::vector<std::string> inputs;  // in this order; empty: every other column, in file order
  std::optional<uint64_t> shuffle;  // seed of a random row order; none: the file's order
  double holdout = 0.0;             // 0 <= holdout < 1
};

struct ImportReport {
  std::vector<std::string> inputs;
  std::string target;
  int64_t examples = 0;       // rows with a target, first in the table
  int64_t held_out = 0;       // rows whose target was moved to the side table
  int64_t to_predict = 0;     // rows whose target cell was empty
  std::string holdout_table;  // empty when nothing is held out
};

// One record of a CSV file and the line it starts on (from 1).
struct CsvRecord {
  int64_t line = 0;
  std::vector<std::string> cells;
};

// The records of CSV text (RFC 4180: cells separated by commas, a quoted cell
// may hold commas, line breaks and doubled quotes; CRLF or LF line ends; a
// leading UTF-8 byte-order mark and blank lines are skipped). `origin` names
// the text in errors. Raises Error 5 for a quote left open or text after a
// closing quote, 18 once work.cancel returns true (asked every 64 KiB).
std::vector<CsvRecord> ParseCsv(std::string_view text, std::string_view origin,
                                const WorkOptions& work = {});

// The side table that keeps the targets of the held-out rows: one row per
// held-out row, (row, target, inputs...) with `row` (row_ when a column of
// `table` has that name) the key the row got in `table` when imported (a
// file's rowid, a server table's id), and the target and inputs under their
// names in `table`. The inputs tie each target to its row; a rowid is a hint
// that a VACUUM may have made stale. The name is `table` with "_holdout"
// after it; on a server (`database` a server's name) inside the closing
// quote of a quoted name.
std::string HoldoutTableName(const std::string& database, const std::string& table);

// Reads the CSV file and writes the table (and, with a holdout, its side
// table) in one transaction, so an error or a cancel leaves the database as
// it was. A missing database file is written under a scratch name beside it
// and takes its name only once whole, never replacing a file made meanwhile
// (the import then goes into that one); nothing else is ever removed. A
// symbolic link to a missing file is refused.
// On a server, TABLE is `name` or `schema.name` as the server reads names,
// and each table gets a key column first: `id` (1, 2, ... in the table's row
// order) in the table, `row` in the side table.
// Every input cell must be a number; a target cell a number or empty (a row
// to predict, kept last as a run requires). Columns named rowid, oid or
// _rowid_ keep the file's values like any other. The rows with a target come
// first, shuffled when asked (Fisher-Yates over a 64-bit Mersenne Twister,
// so a seed gives the same order everywhere), and the last `holdout` fraction
// of them (rounded to the nearest row) follows with a Null target. A lock
// held by another program is waited for work.busy_timeout (the thread's
// database engine's timeout when not given); work.commit_window is not used.
//
// Raises 53 / 75 when the file is missing / cannot be read; 13 naming the
// file, line and column for a cell that is not a number; 5 for a malformed
// file (a row of another length, a duplicate or empty column name), for a
// column asked for that the header lacks, for the target among the inputs,
// for a column named Actual, and for a holdout outside 0 .. 1 or one that
// leaves no example; 18 once work.cancel returns true ("... while the CSV
// file was imported: the database is as it was"); 3051 for a link to a
// missing file or a database that cannot be created; 3000 and the
// database's numbers when the table exists or cannot be written; 3151 when
// no connection to a server can be made. Long names and cells are cut in
// messages; a server's name is shown with its password masked.
ImportReport ImportCsv(const ImportOptions& options, const WorkOptions& work = {});

// How the stored predictions of the held-out rows of `table` match the
// targets its side table keeps (see HoldoutTableName). Each held-out row is
// found among the rows of `table` with a Null target by its inputs (the
// rowid kept only decides between rows with the same inputs); one no longer
// there is left out, and `examples` counts those found. nullopt when there
// is no side table in the layout import makes for the table as it stands
// (its inputs, its target, Actual last), such as a user's own table of that
// name, or one that earlier versions made with targets alone. Without
// figures when a target or prediction is not a number. Reads through the
// calling thread's database engine with the cancel check and busy timeout
// of `work`; raises the database's errors, and 18 when cancelled.
std::optional<FitFigures> MeasureHoldout(const std::string& database, const std::string& table,
                                         const WorkOptions& work = {});

// A table to make from rows held in memory. Every column holds doubles (REAL
// in a file, double precision on a server), in the order given.
struct NewTable {
  std::string name;
  std::vector<std::string> columns;
  // Each of columns.size() values, in this order; nullopt for Null.
  std::vector<std::vector<std::optional<double>>> rows;
};

// Makes `table` in `database` and fills it in one transaction: either it is
// there, whole, or the database is as it was. Files and servers are treated
// as ImportCsv treats them (a missing file is made, a server's table gets
// its key column `id` first). Raises 3000 when a table of that name exists,
// 5 when two columns have the same name (compared ignoring ASCII case), 18
// once work.cancel returns true, and the database's errors otherwise.
// REQUIRES: every row holds columns.size() values.
void MakeNewTable(const std::string& database, const NewTable& table, const WorkOptions& work = {});

// The values of `columns` (found by name, as the database compares names) in
// every row of `table`, in the table's order, through the calling thread's
// database engine with the cancel check and busy timeout of `work`. Raises
// the database's errors (3024 for a missing file, 3078 for a missing table,
// 3265 for a column the table lacks), and 18 when cancelled.
std::vector<std::vector<Value>> ReadColumns(const std::string& database, const std::string& table,
                                            const std::vector<std::string>& columns,
                                            const WorkOptions& work = {});

}  // namespace kelda
