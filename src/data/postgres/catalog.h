// A training table on a server: the name a host gives, resolved once to the
// table's identity, its columns and primary key; and the statements a run
// sends, built from that identity alone.
//
// Names. TABLE is `name` or `schema.name`, read as an SQL identifier chain:
// parts are separated by dots, a part not in double quotes is taken in lower
// case and may hold only letters, digits, `_` and `$`, and a part in double
// quotes is taken as written (a doubled `"` stands for one). So `Sales` names
// the table sales, `"Sales"` names Sales, `"a.b"` one table whose name holds a
// dot, and `"my data"."x;y"` the table x;y of the schema "my data".
//
// Which table a bare name reaches: the first of the session's search path
// (current_schemas) that holds it. The session's temporary schema is searched
// only where the search path names it explicitly: a temporary table never
// shadows the table the host means; `pg_temp.name` reaches one on purpose.
//
// Kinds: ordinary and partitioned tables with a primary key work. Views,
// materialized views and foreign tables are refused with kErrInvalidOperation
// (none has a primary key to order and identify rows by, and a materialized
// view cannot be written); anything else of that name (an index, a sequence,
// a type) is no table: kErrTableNotFound.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelda::data::postgres {

struct ServerColumn {
  std::string name;
  std::string type;      // as the server spells it (format_type)
  bool numeric = false;  // smallint, integer, bigint, real, double precision,
                         // numeric, or a domain over one of them
  bool in_key = false;   // part of the primary key
};

struct ServerTable {
  uint32_t oid = 0;
  std::string schema, name;           // as in the catalog, unquoted
  std::string qualified;              // "schema"."name", quoted for any statement
  std::vector<ServerColumn> columns;  // in table order; dropped columns skipped
  std::vector<int> key;               // indices into columns, in primary-key order
  char relkind = 'r';                 // 'r' ordinary, 'p' partitioned
  bool can_alter = false;             // the role owns the table: it may add a column
  bool can_update = false;            // the role holds UPDATE on the whole table
};

// Resolves `table` (see the rules above) on `conn` and describes it. Runs only
// catalog queries, with the name as a bound parameter; every later statement
// is built from the result, so what the name would reach later (a table
// created since in an earlier schema of the search path) does not matter.
// Raises:
//   kErrTableNotFound (3078) when the text is no valid name of one or two
//     parts, when no table of that name is visible, or when it names an
//     index, sequence or type;
//   kErrInvalidOperation (3219) for a view, materialized view or foreign
//     table, and for a table without a primary key: the text then holds the
//     statement that adds one;
//   ErrorNumberForFailure's number when the server fails a query.
// REQUIRES: conn is an open connection with no command in progress.
ServerTable ResolveTable(PGconn* conn, std::string_view table);

// The statement that gives `table` a primary key of its own: a new identity
// column `id` (`id2`, `id3`, ... when the table has a column of that name).
// Key columns are no inputs, so its place at the end does not matter.
std::string AddKeyStatement(const ServerTable& table);

// Indices into table.columns of the columns that are not part of the primary
// key, in table order: the positional layout (inputs, target, Actual) applies
// to these.
std::vector<int> InputColumns(const ServerTable& table);

// What a statement names to reach the table's own rows: `ONLY "s"."t"` for an
// ordinary table (rows of tables that inherit from it have keys of their own
// and are not the table's), "s"."t" for a partitioned one (its rows are its
// partitions'). UPDATE statements of a run must name the table so as well.
std::string RowSource(const ServerTable& table);

// SELECT <columns> FROM <RowSource> ORDER BY <key columns>.
// Raises kErrSubscript when an index is not one of table.columns.
std::string KeyOrderSelect(const ServerTable& table, const std::vector<int>& columns);

// SELECT min(<column>), max(<column>) FROM <RowSource>.
// Raises kErrSubscript when column is not one of table.columns.
std::string RangeQuery(const ServerTable& table, int column);

// ALTER TABLE <qualified> ADD COLUMN "Actual" double precision.
std::string AddActualStatement(const ServerTable& table);

// `name` as a quoted identifier: in double quotes, each `"` doubled.
std::string QuoteIdentifier(std::string_view name);

}  // namespace kelda::data::postgres
