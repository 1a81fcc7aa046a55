#include "data/postgres/server_database.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/error.h"
#include "data/postgres/catalog.h"
#include "data/postgres/connection.h"

namespace kelda::data::postgres {
namespace {

using Clock = std::chrono::steady_clock;

// Type oids of the results a run reads as numbers.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;

// A double as text that the server reads back to the same bits.
std::string NumberText(double v) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, v);
  return std::string(text, end.ptr);
}

// A number the server wrote as text (a float4 read as the float it is, so
// that it widens to the double of its bits).
Value ReadValue(const PGresult* r, int row, int col) {
  if (PQgetisnull(r, row, col)) return Value::Null();
  const char* text = PQgetvalue(r, row, col);
  const char* end = text + PQgetlength(r, row, col);
  switch (PQftype(r, col)) {
    case kFloat4: {
      float f = 0.0f;
      if (std::from_chars(text, end, f).ec == std::errc()) return Value(static_cast<double>(f));
      break;
    }
    case kInt2:
    case kInt4:
    case kInt8:
    case kFloat8:
    case kNumeric: {
      double d = 0.0;
      if (std::from_chars(text, end, d).ec == std::errc()) return Value(d);
      break;
    }
    default:
      break;
  }
  return Value(std::string(text, end));
}

int64_t ReadKey(const PGresult* r, int row, int col) {
  return std::strtoll(PQgetvalue(r, row, col), nullptr, 10);
}

uint32_t ReadXid(const PGresult* r, int row, int col) {
  return static_cast<uint32_t>(std::strtoul(PQgetvalue(r, row, col), nullptr, 10));
}

// The schema version of the relation `c` of pg_class: its identity and its
// columns' numbers, names and types, hashed.
std::string VersionOfClass() {
  return "pg_catalog.hashtext(c.oid::pg_catalog.text OPERATOR(pg_catalog.||) "
         "COALESCE((SELECT pg_catalog.string_agg(pg_catalog.concat_ws(' ', a.attnum, "
         "a.attname, a.atttypid, a.atttypmod), ',' ORDER BY a.attnum) FROM pg_catalog.pg_attribute "
         "a WHERE a.attrelid OPERATOR(pg_catalog.=) c.oid AND a.attnum OPERATOR(pg_catalog.>) 0 "
         "AND "
         "NOT a.attisdropped), ''))";
}

// An int8[] or float8[] parameter in the server's array text.
template <class T, class Write>
std::string ArrayText(const std::vector<T>& values, Write write) {
  std::string text = "{";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += write(values[i]);
  }
  return text + "}";
}

}  // namespace

// A server table as a run uses it: resolved once, by the name the host gave.
struct TableState {
  ServerTable table;
  std::string host_name;
  int key = -1;             // the key column, an index into table.columns
  std::vector<int> shown;   // the columns a Recordset shows: all but the key
  bool triggers = false;    // the table has triggers that may change what is written
  std::string key_name;     // the key column, quoted
  std::string version_sql;  // a scalar subquery: the table's schema version
};

class ServerRecordset;

class ServerDatabase final : public DatabaseBackend,
                             public std::enable_shared_from_this<ServerDatabase> {
 public:
  ServerDatabase(Connection conn, StatementObserver observer)
      : conn_(std::move(conn)), name_(conn_->ShownName()), observer_(std::move(observer)) {}
  ~ServerDatabase() override { Close(); }

  std::unique_ptr<RecordsetBackend> OpenRecordset(const std::string& source) override;
  std::unique_ptr<RecordsetBackend> OpenColumns(const ColumnQuery& query) override;
  std::string FindTableDef(const std::string& name) override;
  std::vector<std::string> ColumnNames(const std::string& table) override;
  uint32_t AppendField(const std::string& table, const FieldDef& def) override;
  void FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
               uint32_t schema_version) override;
  void GroupUpdates(std::chrono::milliseconds window) override {
    Live();
    window_ = window;
  }
  void CommitGroup() override { Flush(); }
  void CommitUpdates() override {
    Flush();
    window_.reset();
  }
  uint64_t DataVersion() override;
  void Close() override;
  const std::string& Name() const override { return name_; }

  // For the cursors.
  Connection& Live() {
    if (!conn_) RaiseClosed();
    return *conn_;
  }
  [[noreturn]] void RaiseClosed() const {
    Raise(kErrObjectClosed, StandardErrorText(kErrObjectClosed) + " (database " + name_ + ")");
  }
  // Runs `sql` as a prepared statement of this connection (prepared on first use).
  Result Run(const std::string& sql, std::span<const Param> params, std::string_view what);
  // Runs the host's query `sql` in a read-only transaction: a query that
  // would write fails (3027) and changes nothing. One statement only, as a
  // prepared statement is.
  Result RunReadOnly(const std::string& sql, std::string_view what);
  std::shared_ptr<const TableState> Table(const std::string& name);
  // The table's schema version now; raises 3078 when it is gone.
  uint32_t SchemaVersion(const TableState& t, std::string_view what);
  // Raises 3197 when `t` is the table whose version is held and `seen` differs.
  void CheckHeld(const TableState& t, uint32_t seen) const;
  std::optional<uint32_t> Held(const TableState& t) const {
    if (held_ && held_oid_ == t.table.oid) return held_;
    return std::nullopt;
  }
  std::shared_ptr<const RowIds> FixedOf(const TableState& t) const {
    const auto it = fixed_.find(t.table.oid);
    return it == fixed_.end() ? nullptr : it->second;
  }
  // Writes `values` into the fields `fields` (indices into t.shown) of the
  // row whose key is `key`, committed at once; returns what the row holds.
  std::vector<Value> WriteRow(const TableState& t, int64_t key, const std::vector<int>& fields,
                              const std::vector<Value>& values);
  // The same for one double precision field of a table without triggers,
  // into the open group when updates are grouped. Returns the value stored.
  Value WriteField(const std::shared_ptr<const TableState>& table, int64_t key, int field,
                   const Value& value);
  // `value` as column `column` of `t` takes it, as a statement parameter.
  Param Converted(const TableState& t, int column, const Value& value) const;
  [[noreturn]] void RaiseMissing(const TableState& t, int64_t key, std::string_view what);

 private:
  // Commits the open group, if any.
  void Flush();
  // The xmin each row had when it was written by the group's statement:
  // a change another session made before it counts.
  // The server's snapshot of transactions: the oldest running, the next id
  // to be given, those running.
  struct Snapshot {
    uint64_t xmin = 0, xmax = 0;
    std::vector<uint64_t> running;
  };
  Snapshot TakeSnapshot(std::string_view what);
  // True when no transaction but this database's own can have committed
  // between the two snapshots.
  bool Quiet(const Snapshot& then, const Snapshot& now) const;
  // After this database wrote rows of `t` (their transaction among its own).
  void AfterOwnWrite(const TableState& t);

  std::optional<Connection> conn_;  // none once closed
  std::string name_;
  StatementObserver observer_;
  std::unordered_map<std::string, std::string> prepared_;  // sql -> statement name
  std::map<std::string, std::shared_ptr<const TableState>> tables_;
  std::unordered_map<uint32_t, std::shared_ptr<const RowIds>> fixed_;
  std::optional<uint32_t> held_;
  uint32_t held_oid_ = 0;

  // The open group of grouped writes: one table, one field.
  std::optional<std::chrono::milliseconds> window_;
  std::shared_ptr<const TableState> group_table_;
  int group_field_ = -1;
  std::vector<int64_t> group_keys_;
  std::vector<double> group_values_;
  std::unordered_map<int64_t, size_t> group_index_;
  Clock::time_point group_began_;

  // DataVersion: the run's own transactions; the oldest transaction running
  // at the last look; the rows written since it began, as seen then, and
  // the rows counted then.
  std::set<uint32_t> own_xids_;
  std::optional<uint32_t> since_;
  std::optional<Snapshot> look_;  // the snapshot of the last look

  // Every column's least and greatest value over the run's rows of one
  // table, from the scan of the first aggregate a run asks for; dropped by
  // anything else the database does.
  Result ranges_;
  uint32_t ranges_oid_ = 0;
  std::unordered_map<int64_t, uint32_t> recent_;
  int64_t count_ = 0;
  std::shared_ptr<const TableState> watched_;
  uint64_t version_ = 0;
  bool changed_ = false;  // a write met a row another session had changed
};

// ---- Cursors ---------------------------------------------------------------

class ServerRecordset final : public RecordsetBackend {
 public:
  // A table's rows (`columns`: indices into table->table.columns, shown as
  // the fields), or, with no table, the rows of the host's query `sql`.
  ServerRecordset(std::shared_ptr<ServerDatabase> db, std::shared_ptr<const TableState> table,
                  std::vector<int> columns, bool table_type, std::string sql,
                  std::vector<Param> params)
      : db_(std::move(db)),
        table_(std::move(table)),
        columns_(std::move(columns)),
        table_type_(table_type),
        sql_(std::move(sql)),
        params_(std::move(params)) {
    if (table_) {
      for (int c : columns_) names_.push_back(table_->table.columns[static_cast<size_t>(c)].name);
      fixed_ = db_->FixedOf(*table_);
    }
    // A table's rows are read when first looked at; a query's at once, for
    // its fields' names.
    if (!table_) {
      Start();
      for (int i = 0; i < PQnfields(rows_.get()); ++i) names_.push_back(PQfname(rows_.get(), i));
    }
  }

  bool IsEOF() const override {
    Ensure();
    return eof_;
  }
  void MoveFirst() override {
    db_->Live();
    pending_ = true;  // read when first looked at: an epoch from memory reads nothing
  }
  void MoveNext() override {
    Ensure();
    if (eof_) RaiseNoCurrentRow();
    LeaveRow();
    ++row_;
    if (fixed_) ++next_fixed_;
    Position();
  }
  int FieldCount() const override { return static_cast<int>(names_.size()); }
  int FindField(std::string_view name) const override {
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i].size() != name.size()) continue;
      bool same = true;
      for (size_t k = 0; k < name.size() && same; ++k) {
        same = std::tolower(static_cast<unsigned char>(names_[i][k])) ==
               std::tolower(static_cast<unsigned char>(name[k]));
      }
      if (same) return static_cast<int>(i);
    }
    return -1;
  }
  const std::string& FieldName(int i) const override { return names_[static_cast<size_t>(i)]; }
  Value Get(int i) const override {
    Ensure();
    if (eof_) RaiseNoCurrentRow();
    const auto it = overrides_.find(i);
    if (it != overrides_.end()) return it->second;
    return ReadValue(rows_.get(), row_, i + offset_);
  }
  void Set(int i, const Value& value) override {
    if (!editing_) {
      Raise(kErrNotInEdit, StandardErrorText(kErrNotInEdit) + " (field " +
                               Quoted(names_[static_cast<size_t>(i)]) + ")");
    }
    db_->Converted(*table_, columns_[static_cast<size_t>(i)], value);  // refused now, not at Update
    overrides_[i] = value;
    assigned_.insert(i);
  }
  bool Updatable() const override { return table_type_; }
  std::optional<int64_t> RowId() const override {
    if (!table_) return std::nullopt;
    Ensure();
    if (eof_) RaiseNoCurrentRow();
    return ReadKey(rows_.get(), row_, 0);
  }
  uint32_t SchemaVersion() const override {
    Ensure();
    return schema_;
  }
  void Edit() override {
    if (!table_type_) {
      Raise(kErrInvalidOperation,
            StandardErrorText(kErrInvalidOperation) + ": the rows of a query cannot be changed");
    }
    Ensure();
    if (eof_) RaiseNoCurrentRow();
    LeaveRow();
    editing_ = true;
  }
  void Update() override {
    if (!editing_) Raise(kErrNotInEdit, StandardErrorText(kErrNotInEdit));
    std::vector<int> fields(assigned_.begin(), assigned_.end());
    std::vector<Value> values;
    for (int f : fields) values.push_back(overrides_[f]);
    const int64_t key = ReadKey(rows_.get(), row_, 0);
    // One field goes the way UpdateRow's do: into the open group, if any.
    std::vector<Value> stored =
        fields.size() == 1
            ? std::vector<Value>{db_->WriteField(table_, key, ColumnsOf(fields).front(), values[0])}
            : db_->WriteRow(*table_, key, ColumnsOf(fields), values);
    editing_ = false;
    assigned_.clear();
    for (size_t k = 0; k < fields.size(); ++k) overrides_[fields[k]] = std::move(stored[k]);
  }
  Value UpdateRow(int64_t rowid, int field, const Value& value) override {
    if (!table_type_ || editing_) {
      Raise(kErrInvalidOperation,
            StandardErrorText(kErrInvalidOperation) +
                (editing_ ? ": a row is being edited" : ": the rows of a query have no keys"));
    }
    const int column = columns_[static_cast<size_t>(field)];
    Value now = db_->WriteField(table_, rowid, column, value);
    if (!pending_ && !eof_ && ReadKey(rows_.get(), row_, 0) == rowid) overrides_[field] = now;
    return now;
  }

 private:
  [[noreturn]] static void RaiseNoCurrentRow() {
    Raise(kErrNoCurrentRecord, StandardErrorText(kErrNoCurrentRecord));
  }
  std::vector<int> ColumnsOf(const std::vector<int>& fields) const {
    std::vector<int> columns;
    for (int f : fields) columns.push_back(columns_[static_cast<size_t>(f)]);
    return columns;
  }
  void LeaveRow() {
    editing_ = false;
    assigned_.clear();
    overrides_.clear();
  }
  void Ensure() const {
    db_->Live();
    if (pending_) const_cast<ServerRecordset*>(this)->Start();
  }
  // Reads the rows of a pass.
  void Start() {
    pending_ = false;
    LeaveRow();
    if (table_) {
      schema_ = db_->SchemaVersion(*table_, "reading");
      db_->CheckHeld(*table_, schema_);
      offset_ = 1;
    }
    rows_ = table_ ? db_->Run(sql_, params_, "reading the rows of " + table_->table.qualified)
                   : db_->RunReadOnly(sql_, "reading the rows of the query " + sql_);
    nrows_ = PQntuples(rows_.get());
    row_ = 0;
    next_fixed_ = 0;
    Position();
  }
  // Onto the next row of the run: rows inserted since it began are stepped
  // over, and a row of the run that is gone raises 3021.
  void Position() {
    if (fixed_) {
      while (true) {
        if (next_fixed_ >= fixed_->size()) {
          row_ = nrows_;
          break;
        }
        const int64_t want = (*fixed_)[next_fixed_];
        if (row_ >= nrows_) db_->RaiseMissing(*table_, want, "reading");
        const int64_t key = ReadKey(rows_.get(), row_, 0);
        if (key == want) break;
        if (key > want) db_->RaiseMissing(*table_, want, "reading");
        ++row_;
      }
    }
    eof_ = row_ >= nrows_;
  }

  std::shared_ptr<ServerDatabase> db_;
  std::shared_ptr<const TableState> table_;
  std::vector<int> columns_;
  bool table_type_ = false;
  std::string sql_;
  std::vector<Param> params_;
  std::vector<std::string> names_;
  std::shared_ptr<const RowIds> fixed_;
  size_t next_fixed_ = 0;

  Result rows_;
  int nrows_ = 0;
  int row_ = 0;
  int offset_ = 0;  // result column of field 0: the key comes first for a table
  bool eof_ = true;
  bool pending_ = true;
  uint32_t schema_ = 0;

  bool editing_ = false;
  std::set<int> assigned_;
  std::map<int, Value> overrides_;  // assigned, or stored by Update, for the current row
};

// One aggregate's value: a read-only row of one field.
class OneValue final : public RecordsetBackend {
 public:
  OneValue(std::shared_ptr<ServerDatabase> db, std::string name, Value value)
      : db_(std::move(db)), name_(std::move(name)), value_(std::move(value)) {}
  bool IsEOF() const override {
    db_->Live();
    return eof_;
  }
  void MoveFirst() override {
    db_->Live();
    eof_ = false;
  }
  void MoveNext() override {
    if (IsEOF()) Raise(kErrNoCurrentRecord, StandardErrorText(kErrNoCurrentRecord));
    eof_ = true;
  }
  int FieldCount() const override { return 1; }
  int FindField(std::string_view name) const override {
    if (name.size() != name_.size()) return -1;
    for (size_t k = 0; k < name.size(); ++k) {
      if (std::tolower(static_cast<unsigned char>(name[k])) !=
          std::tolower(static_cast<unsigned char>(name_[k]))) {
        return -1;
      }
    }
    return 0;
  }
  const std::string& FieldName(int) const override { return name_; }
  Value Get(int) const override {
    if (IsEOF()) Raise(kErrNoCurrentRecord, StandardErrorText(kErrNoCurrentRecord));
    return value_;
  }
  void Set(int, const Value&) override { Edit(); }
  bool Updatable() const override { return false; }
  std::optional<int64_t> RowId() const override { return std::nullopt; }
  uint32_t SchemaVersion() const override { return 0; }
  void Edit() override {
    Raise(kErrInvalidOperation,
          StandardErrorText(kErrInvalidOperation) + ": the rows of a query cannot be changed");
  }
  void Update() override { Raise(kErrNotInEdit, StandardErrorText(kErrNotInEdit)); }
  Value UpdateRow(int64_t, int, const Value&) override {
    Edit();
    return {};
  }

 private:
  std::shared_ptr<ServerDatabase> db_;
  std::string name_;
  Value value_;
  bool eof_ = false;
};

// ---- The database ----------------------------------------------------------

Result ServerDatabase::Run(const std::string& sql, std::span<const Param> params,
                           std::string_view what) {
  Connection& conn = Live();
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    if (observer_) observer_(sql);
    const std::string name = "kelda_" + std::to_string(prepared_.size() + 1);
    conn.Prepare(name, sql, static_cast<int>(params.size()), what);
    it = prepared_.emplace(sql, name).first;
  }
  return conn.ExecPrepared(it->second, params, what);
}

Result ServerDatabase::RunReadOnly(const std::string& sql, std::string_view what) {
  Flush();
  Connection& conn = Live();
  conn.Exec("BEGIN READ ONLY", what);
  try {
    Result r = Run(sql, {}, what);
    conn.Exec("COMMIT", what);
    return r;
  } catch (const Error&) {
    // Ends the failed transaction; the query's own error is the one raised.
    if (PQtransactionStatus(conn.get()) != PQTRANS_IDLE) conn.Exec("ROLLBACK", what);
    throw;
  }
}

std::shared_ptr<const TableState> ServerDatabase::Table(const std::string& name) {
  Connection& conn = Live();
  if (const auto it = tables_.find(name); it != tables_.end()) return it->second;
  auto t = std::make_shared<TableState>();
  t->table = ResolveTable(conn.raw(), name);
  t->host_name = name;
  const ServerTable& table = t->table;
  const ServerColumn& first_key = table.columns[static_cast<size_t>(table.key.front())];
  if (table.key.size() != 1 ||
      (first_key.type != "bigint" && first_key.type != "integer" && first_key.type != "smallint")) {
    std::string key;
    for (int k : table.key) {
      if (!key.empty()) key += ", ";
      key += QuoteIdentifier(table.columns[static_cast<size_t>(k)].name) + " " +
             table.columns[static_cast<size_t>(k)].type;
    }
    Raise(kErrInvalidOperation,
          StandardErrorText(kErrInvalidOperation) + ": the rows of " + table.qualified +
              " are told apart by its primary key (" + key +
              "); a run needs a primary key of one integer column (smallint, integer or bigint)");
  }
  t->key = table.key.front();
  t->key_name = QuoteIdentifier(first_key.name);
  t->shown = InputColumns(table);
  const std::string oid = std::to_string(table.oid);
  t->version_sql = "(SELECT " + VersionOfClass() +
                   " FROM pg_catalog.pg_class c WHERE c.oid OPERATOR(pg_catalog.=) " + oid +
                   "::pg_catalog.oid)";
  const Param p = oid;
  const Result trig = Run(
      "SELECT pg_catalog.count(*) FROM pg_catalog.pg_trigger WHERE tgrelid OPERATOR(pg_catalog.=) "
      "$1::pg_catalog.oid AND NOT tgisinternal",
      std::span<const Param>(&p, 1), "reading the triggers of " + table.qualified);
  t->triggers = std::string_view(PQgetvalue(trig.get(), 0, 0)) != "0";
  tables_[name] = t;
  return t;
}

uint32_t ServerDatabase::SchemaVersion(const TableState& t, std::string_view what) {
  const Result r = Run("SELECT " + t.version_sql, {}, what);
  if (PQgetisnull(r.get(), 0, 0)) {
    Raise(kErrTableNotFound, StandardErrorText(kErrTableNotFound) + ": " + t.table.qualified +
                                 " no longer exists on " + name_ +
                                 " (another session dropped "
                                 "it while it was in use)");
  }
  return static_cast<uint32_t>(std::strtol(PQgetvalue(r.get(), 0, 0), nullptr, 10));
}

void ServerDatabase::CheckHeld(const TableState& t, uint32_t seen) const {
  const std::optional<uint32_t> held = Held(t);
  if (!held || *held == seen) return;
  Raise(kErrRestructured,
        StandardErrorText(kErrRestructured) + ": another session restructured table " +
            t.table.qualified + " of " + name_ +
            " while it was in use (a column added, dropped, renamed or retyped, or the table made "
            "again): the run's columns can no longer be trusted, so nothing more is read from or "
            "written to it. Every row holds its old value or what was written to it before the "
            "change.");
}

void ServerDatabase::RaiseMissing(const TableState& t, int64_t key, std::string_view what) {
  if (Held(t)) CheckHeld(t, SchemaVersion(t, what));
  Raise(kErrNoCurrentRecord,
        StandardErrorText(kErrNoCurrentRecord) + ": the row of " + t.table.qualified +
            " whose key " + t.key_name + " is " + std::to_string(key) +
            " was deleted by another session while it was in use (" + std::string(what) + ")");
}

std::unique_ptr<RecordsetBackend> ServerDatabase::OpenRecordset(const std::string& source) {
  Live();
  ranges_.reset();
  if (StartsWithQueryWord(source)) {
    return std::make_unique<ServerRecordset>(shared_from_this(), nullptr, std::vector<int>{}, false,
                                             source, std::vector<Param>{});
  }
  std::shared_ptr<const TableState> t = Table(source);
  std::vector<int> all{t->key};
  all.insert(all.end(), t->shown.begin(), t->shown.end());
  std::string sql = KeyOrderSelect(t->table, all);
  return std::make_unique<ServerRecordset>(shared_from_this(), t, t->shown, true, std::move(sql),
                                           std::vector<Param>{});
}

std::unique_ptr<RecordsetBackend> ServerDatabase::OpenColumns(const ColumnQuery& query) {
  std::shared_ptr<const TableState> t = Table(query.table);
  std::vector<int> columns;
  for (const std::string& name : query.columns) {
    int found = -1;
    for (int c : t->shown) {
      if (t->table.columns[static_cast<size_t>(c)].name == name) found = c;
    }
    if (found < 0) {
      Raise(kErrNoSuchColumn, StandardErrorText(kErrNoSuchColumn) + ": table " +
                                  t->table.qualified + " has no column " + Quoted(name));
    }
    columns.push_back(found);
  }
  if (query.kind == ColumnQuery::Kind::kRows) {
    ranges_.reset();
    std::vector<int> all{t->key};
    all.insert(all.end(), columns.begin(), columns.end());
    return std::make_unique<ServerRecordset>(shared_from_this(), t, columns, false,
                                             KeyOrderSelect(t->table, all), std::vector<Param>{});
  }
  // The ranges over the run's rows only, as the rows are read. A run asks
  // for every column's least and greatest value in a row: all of them come
  // from one scan, kept for the aggregates that follow it.
  if (!ranges_ || ranges_oid_ != t->table.oid) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < t->shown.size(); ++i) {
      const std::string c =
          QuoteIdentifier(t->table.columns[static_cast<size_t>(t->shown[i])].name);
      sql += (i > 0 ? ", pg_catalog.min(" : "pg_catalog.min(") + c + "), pg_catalog.max(" + c + ")";
    }
    sql += " FROM " + RowSource(t->table);
    std::vector<Param> params;
    if (const std::shared_ptr<const RowIds> fixed = FixedOf(*t)) {
      // A semi-join, hashed: `= ANY (array)` would compare each row with every key.
      sql += " WHERE " + t->key_name + " IN (SELECT pg_catalog.unnest($1::pg_catalog.int8[]))";
      params.push_back(ArrayText(*fixed, [](int64_t k) { return std::to_string(k); }));
    }
    ranges_ = Run(sql, params, "reading the ranges of " + t->table.qualified);
    ranges_oid_ = t->table.oid;
  }
  const auto shown = std::find(t->shown.begin(), t->shown.end(), columns.at(0));
  const int at = 2 * static_cast<int>(shown - t->shown.begin()) +
                 (query.kind == ColumnQuery::Kind::kMin ? 0 : 1);
  Value v = ReadValue(ranges_.get(), 0, at);
  return std::make_unique<OneValue>(shared_from_this(), query.alias, std::move(v));
}

std::string ServerDatabase::FindTableDef(const std::string& name) {
  try {
    Table(name);
  } catch (const Error& e) {
    // TableDefs' own number for a name that is no table.
    if (e.Number() != kErrTableNotFound) throw;
    Raise(kErrItemNotFound, StandardErrorText(kErrItemNotFound) + ": " + e.Description());
  }
  return name;
}

std::vector<std::string> ServerDatabase::ColumnNames(const std::string& table) {
  std::shared_ptr<const TableState> t = Table(table);
  std::vector<std::string> names;
  for (int c : t->shown) names.push_back(t->table.columns[static_cast<size_t>(c)].name);
  return names;
}

uint32_t ServerDatabase::AppendField(const std::string& table, const FieldDef& def) {
  if (def.type != kDbDouble) {
    Raise(kErrInvalidFieldType, StandardErrorText(kErrInvalidFieldType) + ": cannot add column " +
                                    Quoted(def.name) + " of type " + std::to_string(def.type) +
                                    "; only 7 (double) is supported");
  }
  std::shared_ptr<const TableState> t = Table(table);
  Flush();
  for (const ServerColumn& c : t->table.columns) {
    if (c.name == def.name) {
      Raise(kErrFieldExists, StandardErrorText(kErrFieldExists) + ": table " + t->table.qualified +
                                 " already has a column " + Quoted(c.name));
    }
  }
  const std::string statement = "ALTER TABLE " + t->table.qualified + " ADD COLUMN " +
                                QuoteIdentifier(def.name) + " double precision";
  if (!t->table.can_alter) {
    Raise(kErrReadOnly,
          StandardErrorText(kErrReadOnly) + ": the role of " + name_ + " does not own table " +
              t->table.qualified + ", so it may not add the column " + Quoted(def.name) +
              " a run writes its predictions to; its owner can add it:\n  " + statement + ";");
  }
  const uint32_t before = SchemaVersion(*t, "adding a column");
  CheckHeld(*t, before);
  if (observer_) observer_(statement);
  Live().Exec(statement, "adding column " + Quoted(def.name) + " to " + t->table.qualified);
  tables_.erase(table);
  if (watched_ && watched_->table.oid == t->table.oid) watched_ = nullptr;
  t = Table(table);
  const uint32_t after = SchemaVersion(*t, "adding a column");
  if (held_ && held_oid_ == t->table.oid) held_ = after;
  return after;
}

void ServerDatabase::FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
                             uint32_t schema_version) {
  std::shared_ptr<const TableState> t = Table(table);
  // Each database of a run resolves the host's name anew: a table of that
  // name made since in an earlier schema of the search path must not take
  // the place of the run's. The run's table is the one of that name in the
  // search path whose version the run holds; when none has it, the run's
  // table has changed, and the held version says so at the first read or
  // write.
  if (SchemaVersion(*t, "fixing the run's rows") != schema_version) {
    const std::vector<Param> params{t->table.name,
                                    std::to_string(static_cast<int32_t>(schema_version))};
    const Result r =
        Run("SELECT n.nspname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid "
            "OPERATOR(pg_catalog.=) c.relnamespace WHERE c.relname OPERATOR(pg_catalog.=) $1 AND "
            "n.nspname OPERATOR(pg_catalog.=) ANY (pg_catalog.current_schemas(false)) AND " +
                VersionOfClass() + " OPERATOR(pg_catalog.=) $2::pg_catalog.int4",
            params, "finding the run's table");
    if (PQntuples(r.get()) == 1) {
      const std::shared_ptr<const TableState> run_table =
          Table(QuoteIdentifier(PQgetvalue(r.get(), 0, 0)) + "." + QuoteIdentifier(t->table.name));
      tables_[table] = run_table;
      t = run_table;
    }
  }
  // A handle whose rows are fixed belongs to a run or a prediction, which
  // writes into them: a role that may only read is told so before any
  // training, not at the first report.
  if (!t->table.can_update) {
    Raise(kErrReadOnly, StandardErrorText(kErrReadOnly) + ": the role of " + name_ +
                            " lacks the UPDATE privilege on table " + t->table.qualified +
                            ", which a run needs to write its predictions into it; its owner can "
                            "grant it: GRANT UPDATE ON " +
                            t->table.qualified + " TO <role>;");
  }
  if (rows) fixed_[t->table.oid] = std::move(rows);
  held_ = schema_version;
  held_oid_ = t->table.oid;
}

Param ServerDatabase::Converted(const TableState& t, int column, const Value& value) const {
  const ServerColumn& c = t.table.columns[static_cast<size_t>(column)];
  if (value.IsNull() || value.IsEmpty()) return std::nullopt;
  std::optional<double> number;
  if (value.IsNumber()) number = value.number();
  if (value.IsText()) {
    if (!c.numeric) return value.text();
    number = ParseNumber(value.text());
  }
  if (!number || !std::isfinite(*number)) {
    Raise(kErrConversion, StandardErrorText(kErrConversion) + ": column " + Quoted(c.name) +
                              " of " + t.table.qualified + " cannot take " + value.Describe());
  }
  return NumberText(*number);
}

std::vector<Value> ServerDatabase::WriteRow(const TableState& t, int64_t key,
                                            const std::vector<int>& columns,
                                            const std::vector<Value>& values) {
  Flush();
  std::vector<Param> params;
  std::string sql = "UPDATE " + RowSource(t.table) + " AS t SET ";
  std::string returning;
  for (size_t k = 0; k < columns.size(); ++k) {
    const std::string name = QuoteIdentifier(t.table.columns[static_cast<size_t>(columns[k])].name);
    if (k > 0) sql += ", ";
    sql += name + " = $" + std::to_string(k + 1);
    returning += "t." + name + ", ";
    params.push_back(Converted(t, columns[k], values[k]));
  }
  params.push_back(std::to_string(key));
  sql += " WHERE t." + t.key_name + " OPERATOR(pg_catalog.=) $" + std::to_string(params.size());
  if (const std::optional<uint32_t> held = Held(t)) {
    params.push_back(std::to_string(static_cast<int32_t>(*held)));
    sql += " AND " + t.version_sql + " OPERATOR(pg_catalog.=) $" + std::to_string(params.size()) +
           "::pg_catalog.int4";
  }
  sql += " RETURNING " + returning + "t.xmin::pg_catalog.text";
  const Result r = Run(sql, params, "writing a row of " + t.table.qualified);
  if (PQntuples(r.get()) == 0) RaiseMissing(t, key, "writing");
  own_xids_.insert(ReadXid(r.get(), 0, static_cast<int>(columns.size())));
  AfterOwnWrite(t);
  std::vector<Value> stored;
  for (size_t k = 0; k < columns.size(); ++k)
    stored.push_back(ReadValue(r.get(), 0, static_cast<int>(k)));
  return stored;
}

Value ServerDatabase::WriteField(const std::shared_ptr<const TableState>& table, int64_t key,
                                 int column, const Value& value) {
  const TableState& t = *table;
  const ServerColumn& c = t.table.columns[static_cast<size_t>(column)];
  const Param p = Converted(t, column, value);
  // Only a double precision column takes every double as it is, and only
  // without triggers does the row hold what was written: otherwise the row
  // is written at once and read back.
  if (!window_ || t.triggers || c.type != "double precision" || !p) {
    return WriteRow(t, key, {column}, {value}).front();
  }
  if (group_table_ && (group_table_.get() != &t || group_field_ != column)) Flush();
  if (!group_table_) {
    group_table_ = table;
    group_field_ = column;
    group_began_ = Clock::now();
  }
  const double v = value.IsNumber() ? value.number() : *ParseNumber(value.text());
  if (const auto it = group_index_.find(key); it != group_index_.end()) {
    group_values_[it->second] = v;
  } else {
    group_index_.emplace(key, group_keys_.size());
    group_keys_.push_back(key);
    group_values_.push_back(v);
  }
  if (Clock::now() - group_began_ >= *window_) Flush();
  return Value(v);
}

void ServerDatabase::Flush() {
  if (!group_table_ || !conn_) return;
  const std::shared_ptr<const TableState> t = std::move(group_table_);
  group_table_ = nullptr;
  const std::vector<int64_t> keys = std::move(group_keys_);
  const std::vector<double> values = std::move(group_values_);
  group_keys_.clear();
  group_values_.clear();
  group_index_.clear();
  const std::string column =
      QuoteIdentifier(t->table.columns[static_cast<size_t>(group_field_)].name);
  std::string sql =
      "WITH v AS (SELECT * FROM ROWS FROM (pg_catalog.unnest($1::pg_catalog.int8[]), "
      "pg_catalog.unnest($2::pg_catalog.float8[])) AS v(k, a)) UPDATE " +
      RowSource(t->table) + " AS t SET " + column + " = v.a FROM v WHERE t." + t->key_name +
      " OPERATOR(pg_catalog.=) v.k";
  std::vector<Param> params{ArrayText(keys, [](int64_t k) { return std::to_string(k); }),
                            ArrayText(values, [](double d) { return NumberText(d); })};
  if (const std::optional<uint32_t> held = Held(*t)) {
    params.push_back(std::to_string(static_cast<int32_t>(*held)));
    sql += " AND " + t->version_sql + " OPERATOR(pg_catalog.=) $3::pg_catalog.int4";
  }
  sql += " RETURNING t." + t->key_name + ", t.xmin::pg_catalog.text";
  Connection& conn = Live();
  const std::string what = "writing a group of rows of " + t->table.qualified;
  conn.Exec("BEGIN", what);
  bool committed = false;
  struct Rollback {
    Connection& conn;
    const bool& committed;
    ~Rollback() {
      if (!committed && PQtransactionStatus(conn.get()) != PQTRANS_IDLE) {
        try {
          conn.Exec("ROLLBACK", "rolling back");
        } catch (const Error&) {
          // The connection is gone or stopped: the server ends the transaction.
        }
      }
    }
  } rollback{conn, committed};
  const Result r = Run(sql, params, what);
  if (PQntuples(r.get()) != static_cast<int>(keys.size())) {
    std::set<int64_t> written;
    for (int i = 0; i < PQntuples(r.get()); ++i) written.insert(ReadKey(r.get(), i, 0));
    for (int64_t k : keys) {
      if (!written.contains(k)) RaiseMissing(*t, k, "writing");
    }
  }
  conn.Exec("COMMIT", what);
  committed = true;
  own_xids_.insert(ReadXid(r.get(), 0, 1));
  AfterOwnWrite(*t);
}

// Whether transaction id `xid` began at or after `since`, both 32-bit
// transaction ids compared across their wrap-around as the server does.
namespace {

bool NotBefore(uint32_t xid, uint32_t since) { return static_cast<int32_t>(xid - since) >= 0; }

// The items of a one-dimensional array of numbers as the server writes it
// ("{1,2,3}"); none for NULL.
std::vector<std::string_view> ArrayItems(const PGresult* r, int row, int col) {
  std::vector<std::string_view> items;
  if (PQgetisnull(r, row, col)) return items;
  std::string_view text(PQgetvalue(r, row, col), static_cast<size_t>(PQgetlength(r, row, col)));
  if (text.size() < 2) return items;
  text = text.substr(1, text.size() - 2);
  while (!text.empty()) {
    const size_t comma = text.find(',');
    items.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

}  // namespace

ServerDatabase::Snapshot ServerDatabase::TakeSnapshot(std::string_view what) {
  const Result r = Run("SELECT pg_catalog.txid_current_snapshot()::pg_catalog.text", {}, what);
  // xmin:xmax:xip,xip,...
  Snapshot snapshot;
  const char* p = PQgetvalue(r.get(), 0, 0);
  char* end = nullptr;
  snapshot.xmin = std::strtoull(p, &end, 10);
  snapshot.xmax = std::strtoull(end + 1, &end, 10);
  while (*end == ':' || *end == ',') {
    if (end[1] == '\0') break;
    snapshot.running.push_back(std::strtoull(end + 1, &end, 10));
  }
  return snapshot;
}

bool ServerDatabase::Quiet(const Snapshot& then, const Snapshot& now) const {
  // Every transaction that may have committed between the two: those given
  // an id since, and those running then that are no longer. Any that is not
  // one of this database's own may have changed a row.
  const auto own = [this](uint64_t xid) {
    return own_xids_.contains(static_cast<uint32_t>(xid & 0xFFFFFFFFu));
  };
  if (now.xmax < then.xmax || now.xmax - then.xmax > own_xids_.size()) return false;
  for (uint64_t xid = then.xmax; xid < now.xmax; ++xid) {
    if (!own(xid)) return false;
  }
  for (const uint64_t xid : then.running) {
    if (!own(xid) && std::find(now.running.begin(), now.running.end(), xid) == now.running.end()) {
      return false;
    }
  }
  return true;
}

void ServerDatabase::AfterOwnWrite(const TableState& t) {
  ranges_.reset();
  if (!watched_ || watched_->table.oid != t.table.oid || !look_) return;
  // A row another session changed since the last look and this write then
  // made the run's own would look unchanged to the next: unless no other
  // session can have committed anything meanwhile, the next look reports a
  // change.
  if (!Quiet(*look_, TakeSnapshot("looking for changes to " + t.table.qualified))) changed_ = true;
}

uint64_t ServerDatabase::DataVersion() {
  Live();
  // The table whose rows are fixed is the run's; before any is, the last
  // table opened.
  if (!watched_) {
    for (const auto& [name, t] : tables_) {
      if (!watched_ || t->table.oid == held_oid_) watched_ = t;
    }
    if (!watched_) return version_;
  }
  const TableState& t = *watched_;
  const std::string what = "looking for changes to " + t.table.qualified;
  Snapshot now = TakeSnapshot(what);
  // While no other session can have committed anything since the last
  // look, nothing of the table need be read.
  if (look_ && since_ && Quiet(*look_, now)) {
    if (std::exchange(changed_, false)) ++version_;
    look_ = std::move(now);
    return version_;
  }
  // A transaction that committed since the last look began after the
  // oldest one running then: only rows it wrote are sent, the run's own
  // transactions left aside, with the row count for deletions, all from
  // one scan. Own transactions older than that can match no such row; the
  // newest, which wrote the most rows, is compared with first.
  if (since_) {
    std::erase_if(own_xids_, [this](uint32_t xid) { return !NotBefore(xid, *since_); });
  }
  std::string own = "{";
  for (auto it = own_xids_.rbegin(); it != own_xids_.rend(); ++it) {
    own += (own.size() > 1 ? "," : "") + std::to_string(*it);
  }
  own += "}";
  // The first look only marks where the next begins.
  const std::vector<Param> params{since_ ? Param(std::to_string(*since_)) : std::nullopt, own};
  const std::string recent_row =
      " FILTER (WHERE pg_catalog.age(t.xmin) OPERATOR(pg_catalog.<=) "
      "pg_catalog.age($1::pg_catalog.xid) AND NOT (t.xmin OPERATOR(pg_catalog.=) ANY "
      "($2::pg_catalog.xid[])))";
  const Result r = Run(
      "SELECT pg_catalog.count(*), "
      "pg_catalog.txid_snapshot_xmin(pg_catalog.txid_current_snapshot()) OPERATOR(pg_catalog.%) "
      "4294967296, pg_catalog.array_agg(t." +
          t.key_name + ")" + recent_row + ", pg_catalog.array_agg(t.xmin::pg_catalog.text)" +
          recent_row + " FROM " + RowSource(t.table) + " AS t",
      params, what);
  const int64_t count = ReadKey(r.get(), 0, 0);
  const uint32_t snapshot = ReadXid(r.get(), 0, 1);
  const std::vector<std::string_view> keys = ArrayItems(r.get(), 0, 2);
  const std::vector<std::string_view> xids = ArrayItems(r.get(), 0, 3);
  std::unordered_map<int64_t, uint32_t> recent;
  for (size_t i = 0; i < keys.size() && i < xids.size(); ++i) {
    recent.emplace(std::strtoll(std::string(keys[i]).c_str(), nullptr, 10),
                   static_cast<uint32_t>(std::strtoul(std::string(xids[i]).c_str(), nullptr, 10)));
  }
  bool changed = std::exchange(changed_, false) || (since_ && count != count_);
  if (since_) {
    for (const auto& [key, xid] : recent) {
      const auto it = recent_.find(key);
      changed = changed || it == recent_.end() || it->second != xid;
    }
  }
  if (changed) ++version_;
  since_ = snapshot;
  look_ = std::move(now);
  count_ = count;
  recent_ = std::move(recent);
  return version_;
}

void ServerDatabase::Close() {
  if (!conn_) return;
  // The rows written so far are kept, as a file's are when its database
  // closes: a failure here leaves them in their old state, and the run has
  // already met the error that matters, or meets it when it reads again.
  try {
    Flush();
  } catch (const Error&) {
    // Nothing of the group was committed: its rows hold their old values.
  }
  conn_.reset();
}

std::shared_ptr<DatabaseBackend> OpenServer(const std::string& name,
                                            std::chrono::milliseconds busy_timeout,
                                            StatementObserver observer, InterruptCheck interrupt) {
  return std::make_shared<ServerDatabase>(
      Connection::Open(name, busy_timeout, std::move(interrupt)), std::move(observer));
}

}  // namespace kelda::data::postgres
