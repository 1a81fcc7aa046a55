#include "data/postgres/catalog.h"

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "data/postgres/connection.h"
#include "data/postgres/errors.h"

namespace kelda::data::postgres {
namespace {

// Every function, operator and relation in these queries is named with its
// schema: a session whose search path puts another schema before pg_catalog
// must not have its own `=` or concat() run by the lookup.

// Splits the host's text as the server parses an identifier chain.
constexpr const char* kParseName =
    "SELECT part FROM pg_catalog.unnest(pg_catalog.parse_ident($1)) WITH ORDINALITY AS p(part, "
    "pos) "
    "ORDER BY pos";

// A bare name: the first schema of the session's explicit search path that
// holds it. current_schemas(false) leaves out what the server searches
// without being told (the temporary schema first of all).
constexpr const char* kFindBare =
    "SELECT r::pg_catalog.oid FROM pg_catalog.unnest(pg_catalog.current_schemas(false)) "
    "WITH ORDINALITY AS s(nsp, pos), LATERAL pg_catalog.to_regclass(pg_catalog.concat("
    "pg_catalog.quote_ident(s.nsp), '.', pg_catalog.quote_ident($1))) AS r "
    "WHERE r IS NOT NULL ORDER BY s.pos LIMIT 1";

// schema.name; `pg_temp` stands for the session's temporary schema.
constexpr const char* kFindQualified =
    "SELECT pg_catalog.to_regclass(pg_catalog.concat(pg_catalog.quote_ident($1), '.', "
    "pg_catalog.quote_ident($2)))::pg_catalog.oid";

// Ownership decides ALTER TABLE: the role has the owner's privileges.
constexpr const char* kDescribe =
    "SELECT n.nspname, c.relname, c.relkind, "
    "pg_catalog.pg_has_role(c.relowner, 'USAGE'), "
    "pg_catalog.has_table_privilege(c.oid, 'UPDATE') "
    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
    "ON n.oid OPERATOR(pg_catalog.=) c.relnamespace "
    "WHERE c.oid OPERATOR(pg_catalog.=) $1::pg_catalog.oid";

// Columns with the type each one's domains (if any) rest on.
constexpr const char* kColumns =
    "WITH RECURSIVE base(attnum, typ, depth) AS ("
    " SELECT a.attnum, a.atttypid, 0 FROM pg_catalog.pg_attribute a"
    " WHERE a.attrelid OPERATOR(pg_catalog.=) $1::pg_catalog.oid"
    " AND a.attnum OPERATOR(pg_catalog.>) 0 AND NOT a.attisdropped"
    " UNION ALL"
    " SELECT b.attnum, t.typbasetype, b.depth OPERATOR(pg_catalog.+) 1"
    " FROM base b JOIN pg_catalog.pg_type t ON t.oid OPERATOR(pg_catalog.=) b.typ"
    " WHERE t.typtype OPERATOR(pg_catalog.=) 'd')"
    "SELECT a.attnum, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod),"
    " (SELECT b.typ::pg_catalog.int8 FROM base b WHERE b.attnum OPERATOR(pg_catalog.=) a.attnum"
    "  ORDER BY b.depth DESC LIMIT 1)"
    " FROM pg_catalog.pg_attribute a"
    " WHERE a.attrelid OPERATOR(pg_catalog.=) $1::pg_catalog.oid"
    " AND a.attnum OPERATOR(pg_catalog.>) 0 AND NOT a.attisdropped ORDER BY a.attnum";

constexpr const char* kPrimaryKey =
    "SELECT k.attnum FROM pg_catalog.pg_index i, "
    "pg_catalog.unnest(i.indkey) WITH ORDINALITY AS k(attnum, pos) "
    "WHERE i.indrelid OPERATOR(pg_catalog.=) $1::pg_catalog.oid AND i.indisprimary "
    "AND k.pos OPERATOR(pg_catalog.<=) i.indnkeyatts ORDER BY k.pos";

// smallint, integer, bigint, real, double precision, numeric.
bool IsNumericType(long type_oid) {
  switch (type_oid) {
    case 21:
    case 23:
    case 20:
    case 700:
    case 701:
    case 1700:
      return true;
    default:
      return false;
  }
}

Result Run(PGconn* conn, const char* sql, std::initializer_list<const char*> params) {
  const std::vector<const char*> values(params);
  return Result(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                             nullptr, nullptr, 0));
}

// Raises the server's failure unless `r` holds rows.
void Check(PGconn* conn, const Result& r) {
  if (PQresultStatus(r.get()) == PGRES_TUPLES_OK) return;
  const int32_t number = ErrorNumberForFailure(conn, r.get());
  const char* message = r ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn);
  std::string text = message != nullptr ? message : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  Raise(number, StandardErrorText(number) + ": " + text);
}

Result Query(PGconn* conn, const char* sql, std::initializer_list<const char*> params) {
  Result r = Run(conn, sql, params);
  Check(conn, r);
  return r;
}

std::string Field(const Result& r, int row, int column) { return PQgetvalue(r.get(), row, column); }

[[noreturn]] void RaiseNotFound(std::string_view table, const std::string& why) {
  Raise(kErrTableNotFound,
        StandardErrorText(kErrTableNotFound) + ": '" + std::string(table) + "' " + why);
}

// The parts of `table` as the server splits an identifier chain, or nullopt
// when the text is not one.
std::optional<std::vector<std::string>> ParseName(PGconn* conn, std::string_view table) {
  const std::string text(table);
  const Result r = Run(conn, kParseName, {text.c_str()});
  // parse_ident's own refusal says the text is no name; anything else is the
  // server's failure.
  const char* state = r ? PQresultErrorField(r.get(), PG_DIAG_SQLSTATE) : nullptr;
  if (PQresultStatus(r.get()) == PGRES_FATAL_ERROR && PQstatus(conn) != CONNECTION_BAD &&
      state != nullptr && std::string_view(state) == "22023") {
    return std::nullopt;
  }
  Check(conn, r);
  std::vector<std::string> parts;
  for (int i = 0; i < PQntuples(r.get()); ++i) parts.push_back(Field(r, i, 0));
  return parts;
}

// The oid `table` names, or nullopt.
std::optional<std::string> FindOid(PGconn* conn, std::string_view table) {
  // libpq takes parameters as C strings: a NUL would cut the name short and
  // reach another table.
  if (table.find('\0') != std::string_view::npos) {
    RaiseNotFound("<name with a NUL character>", "is not a table name");
  }
  const std::optional<std::vector<std::string>> parts = ParseName(conn, table);
  if (!parts || parts->empty() || parts->size() > 2) {
    RaiseNotFound(table,
                  "is not a table name: give name or schema.name; a part is taken in lower case "
                  "unless it is in double quotes, and needs them for any character other than "
                  "letters, digits, _ and $");
  }
  const Result r = parts->size() == 1
                       ? Query(conn, kFindBare, {(*parts)[0].c_str()})
                       : Query(conn, kFindQualified, {(*parts)[0].c_str(), (*parts)[1].c_str()});
  if (PQntuples(r.get()) == 0 || PQgetisnull(r.get(), 0, 0)) return std::nullopt;
  return Field(r, 0, 0);
}

std::string KeyStatementName(const ServerTable& table) {
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? "id" : "id" + std::to_string(n);
    bool taken = false;
    for (const ServerColumn& c : table.columns) taken = taken || c.name == name;
    if (!taken) return name;
  }
}

const ServerColumn& ColumnAt(const ServerTable& table, int index) {
  if (index < 0 || static_cast<size_t>(index) >= table.columns.size()) Raise(kErrSubscript);
  return table.columns[static_cast<size_t>(index)];
}

}  // namespace

std::string QuoteIdentifier(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

ServerTable ResolveTable(PGconn* conn, std::string_view table) {
  const std::optional<std::string> oid = FindOid(conn, table);
  if (!oid) {
    RaiseNotFound(table,
                  "names no table this role can see: a part not in double quotes is taken in "
                  "lower case, and a bare name is looked for in the schemas of the search path "
                  "(temporary tables only where it names pg_temp)");
  }

  ServerTable t;
  t.oid = static_cast<uint32_t>(std::strtoul(oid->c_str(), nullptr, 10));
  const Result d = Query(conn, kDescribe, {oid->c_str()});
  // Dropped since it was found.
  if (PQntuples(d.get()) != 1) RaiseNotFound(table, "no longer exists");
  t.schema = Field(d, 0, 0);
  t.name = Field(d, 0, 1);
  t.relkind = Field(d, 0, 2)[0];
  t.can_alter = Field(d, 0, 3) == "t";
  t.can_update = Field(d, 0, 4) == "t";
  t.qualified = QuoteIdentifier(t.schema) + "." + QuoteIdentifier(t.name);

  const std::string shown = t.qualified;
  switch (t.relkind) {
    case 'r':
    case 'p':
      break;
    case 'v':
      Raise(kErrInvalidOperation,
            StandardErrorText(kErrInvalidOperation) + ": " + shown +
                " is a view; a view has no primary key to order and identify its rows by: train "
                "on a table");
    case 'm':
      Raise(kErrInvalidOperation, StandardErrorText(kErrInvalidOperation) + ": " + shown +
                                      " is a materialized view, which cannot be written and has "
                                      "no primary key: train on a table");
    case 'f':
      Raise(kErrInvalidOperation, StandardErrorText(kErrInvalidOperation) + ": " + shown +
                                      " is a foreign table, which can have no primary key: train "
                                      "on a table of this database");
    default:
      RaiseNotFound(table, "names " + shown + ", which is not a table");
  }

  const Result columns = Query(conn, kColumns, {oid->c_str()});
  std::vector<int> attnums;
  for (int i = 0; i < PQntuples(columns.get()); ++i) {
    attnums.push_back(std::atoi(PQgetvalue(columns.get(), i, 0)));
    t.columns.push_back(ServerColumn{
        Field(columns, i, 1), Field(columns, i, 2),
        IsNumericType(std::strtol(PQgetvalue(columns.get(), i, 3), nullptr, 10)), false});
  }

  const Result key = Query(conn, kPrimaryKey, {oid->c_str()});
  for (int i = 0; i < PQntuples(key.get()); ++i) {
    const int attnum = std::atoi(PQgetvalue(key.get(), i, 0));
    for (size_t c = 0; c < attnums.size(); ++c) {
      if (attnums[c] == attnum) {
        t.key.push_back(static_cast<int>(c));
        t.columns[c].in_key = true;
      }
    }
  }
  if (t.key.empty()) {
    Raise(kErrInvalidOperation,
          StandardErrorText(kErrInvalidOperation) + ": " + shown +
              " has no primary key, which orders its rows and tells them apart; the statement\n  " +
              AddKeyStatement(t) +
              ";\ngives it one (a key column is no input, wherever it stands)");
  }
  return t;
}

std::string AddKeyStatement(const ServerTable& table) {
  return "ALTER TABLE " + table.qualified + " ADD COLUMN " + KeyStatementName(table) +
         " bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY";
}

std::vector<int> InputColumns(const ServerTable& table) {
  std::vector<int> inputs;
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (!table.columns[i].in_key) inputs.push_back(static_cast<int>(i));
  }
  return inputs;
}

std::string RowSource(const ServerTable& table) {
  return table.relkind == 'p' ? table.qualified : "ONLY " + table.qualified;
}

std::string KeyOrderSelect(const ServerTable& table, const std::vector<int>& columns) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += QuoteIdentifier(ColumnAt(table, columns[i]).name);
  }
  sql += " FROM " + RowSource(table) + " ORDER BY ";
  for (size_t i = 0; i < table.key.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += QuoteIdentifier(ColumnAt(table, table.key[i]).name);
  }
  return sql;
}

std::string RangeQuery(const ServerTable& table, int column) {
  const std::string c = QuoteIdentifier(ColumnAt(table, column).name);
  return "SELECT pg_catalog.min(" + c + "), pg_catalog.max(" + c + ") FROM " + RowSource(table);
}

std::string AddActualStatement(const ServerTable& table) {
  return "ALTER TABLE " + table.qualified + " ADD COLUMN \"Actual\" double precision";
}

}  // namespace kelda::data::postgres
