// Cursors over a table or a query, stepped on a connection of the database's
// pool; updates go through the database's write connection.
#include "data/recordset.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "base/error.h"
#include "data/db_core.h"
#include "data/sqlite_value.h"

namespace kelda::data {
namespace {

// The value of column `col` of the statement's current row.
Value ColumnValue(sqlite3_stmt* stmt, int col) { return ValueOf(sqlite3_column_value(stmt, col)); }

void BindValue(sqlite3_stmt* stmt, sqlite3* db, int n, const Value& v) {
  int rc = SQLITE_OK;
  switch (v.kind()) {
    case Value::Kind::kEmpty:
    case Value::Kind::kNull:
      rc = sqlite3_bind_null(stmt, n);
      break;
    case Value::Kind::kNumber:
      rc = sqlite3_bind_double(stmt, n, v.number());
      break;
    case Value::Kind::kText:
      rc = sqlite3_bind_text64(stmt, n, v.text().data(), v.text().size(), SQLITE_STATIC,
                               SQLITE_UTF8);
      break;
    case Value::Kind::kBlob:
      rc = v.blob().empty()
               ? sqlite3_bind_zeroblob(stmt, n, 0)
               : sqlite3_bind_blob64(stmt, n, v.blob().data(), v.blob().size(), SQLITE_STATIC);
      break;
  }
  check(rc, db, "binding a value");
}

// True when [p, end) holds only blanks, semicolons and comments.
bool OnlyFiller(const char* p, const char* end) {
  while (p < end) {
    const char c = *p;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == ';') {
      ++p;
    } else if (c == '-' && p + 1 < end && p[1] == '-') {
      while (p < end && *p != '\n') ++p;
    } else if (c == '/' && p + 1 < end && p[1] == '*') {
      p += 2;
      while (p < end && !(*p == '*' && p + 1 < end && p[1] == '/')) ++p;
      if (p >= end) return true;  // a comment may run to the end of the text
      p += 2;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

// ---- RecordsetCore ---------------------------------------------------------

RecordsetCore::RecordsetCore(std::shared_ptr<DatabaseCore> db, sqlite3* conn, TableInfo table)
    : lease_(std::move(db), conn),
      source_(table.name),
      table_type_(true),
      table_(std::move(table)) {
  std::string order;
  std::string select = "SELECT ";
  if (!table_.without_rowid) {
    // The rowid reaches by the first of its names that no column takes.
    for (const char* alias : {"rowid", "_rowid_", "oid"}) {
      const bool taken = std::any_of(table_.columns.begin(), table_.columns.end(),
                                     [&](const ColumnInfo& c) { return SameName(c.name, alias); });
      if (!taken) {
        rowid_name_ = alias;
        break;
      }
    }
    if (!rowid_name_.empty()) {
      select += rowid_name_ + ", ";
      offset_ = 1;
      order = " ORDER BY " + rowid_name_;
    } else {
      // Every name of the rowid is a column's; an INTEGER PRIMARY KEY column
      // still is the rowid.
      int pk_columns = 0;
      int ipk = -1;
      for (size_t i = 0; i < table_.columns.size(); ++i) {
        if (table_.columns[i].pk > 0) {
          ++pk_columns;
          if (SameName(table_.columns[i].declared_type, "INTEGER")) ipk = static_cast<int>(i);
        }
      }
      if (pk_columns == 1 && ipk >= 0) {
        key_fields_.push_back(ipk);
        order = " ORDER BY " + SqlName(table_.columns[ipk].name);
      }
    }
  } else {
    for (const KeyPart& k : table_.key) {
      key_fields_.push_back(k.column);
      order += order.empty() ? " ORDER BY " : ", ";
      order += SqlName(table_.columns[k.column].name);
      if (!k.collation.empty()) order += " COLLATE " + SqlName(k.collation);
      if (k.desc) order += " DESC";
    }
  }
  updatable_ = !rowid_name_.empty() || !key_fields_.empty();
  for (size_t i = 0; i < table_.columns.size(); ++i) {
    if (i > 0) select += ", ";
    select += SqlName(table_.columns[i].name);
    names_.push_back(table_.columns[i].name);
  }
  // With fixed rows the connection shows the table's name as a view of
  // them; this cursor reads the table itself and meets the rows in order.
  const DatabaseCore::FixedRows* fixed = lease_.db->FixedRowsOf(table_.name);
  if (fixed != nullptr && !rowid_name_.empty()) fixed_ = fixed->rows;
  select += " FROM " + std::string(fixed != nullptr ? "main." : "") + SqlName(table_.name) + order;
  stmt_ = lease_.db->Prepare(conn, select, "opening table", table_.name);
  overridden_.assign(names_.size(), 0);
  assigned_.assign(names_.size(), 0);
  overrides_.resize(names_.size());
  Step();
  lease_.db->Register(this);
}

RecordsetCore::RecordsetCore(std::shared_ptr<DatabaseCore> db, sqlite3* conn, std::string_view sql)
    : lease_(std::move(db), conn), source_(sql) {
  const char* tail = nullptr;
  stmt_ = lease_.db->Prepare(conn, sql, "opening query", sql, &tail);
  if (!stmt_) RaiseDb(kErrSyntax, "The SQL text holds no statement: " + Quoted(sql) + ".");
  if (!OnlyFiller(tail, sql.data() + sql.size())) {
    stmt_.reset();
    RaiseDb(kErrMultipleStatements,
            "The SQL text must hold one statement; text follows its end: " + Quoted(sql) + ".");
  }
  if (sqlite3_stmt_readonly(stmt_.get()) == 0) {
    stmt_.reset();
    RaiseDb(kErrInvalidOperation,
            "A query's rows are read-only; this statement would change the database: " +
                Quoted(sql) + ".");
  }
  // The query has found its tables: now the file may change its mode, before
  // this cursor's first step holds a lock that would keep it from changing.
  lease_.db->UseWriteAheadLog(false);
  const int n = sqlite3_column_count(stmt_.get());
  for (int i = 0; i < n; ++i) {
    const char* name = sqlite3_column_name(stmt_.get(), i);
    names_.emplace_back(name != nullptr ? name : "");
  }
  overridden_.assign(names_.size(), 0);
  assigned_.assign(names_.size(), 0);
  overrides_.resize(names_.size());
  Step();
  lease_.db->Register(this);
}

RecordsetCore::~RecordsetCore() { lease_.db->Unregister(this); }

void RecordsetCore::Detach() {
  plans_.clear();
  schema_stmt_.reset();
  stmt_.reset();
  if (lease_.conn != nullptr) {
    sqlite3_close_v2(lease_.conn);
    lease_.conn = nullptr;
  }
  eof_ = true;
  editing_ = false;
  any_override_ = false;
  reread_plan_ = -1;
}

void RecordsetCore::RaiseNoCurrentRecord() { RaiseDb(kErrNoCurrentRecord, "No current record."); }

void RecordsetCore::Step() {
  for (;;) {
    const int rc = sqlite3_step(stmt_.get());
    if (pass_start_) [[unlikely]] {
      TakeSnapshotSchema(rc);
    }
    if (rc == SQLITE_ROW) [[likely]] {
      if (fixed_ != nullptr && !NextFixedRow()) continue;
      eof_ = false;
      return;
    }
    eof_ = true;
    if (rc != SQLITE_DONE) {
      ResetOnExit reset(stmt_.get());
      check(rc, lease_.conn, "reading the rows of", source_);
    }
    if (fixed_ != nullptr && next_fixed_ < fixed_->size()) RaiseDeletedRow((*fixed_)[next_fixed_]);
    return;
  }
}

void RecordsetCore::TakeSnapshotSchema(int rc) {
  pass_start_ = false;
  const bool read = rc == SQLITE_ROW || rc == SQLITE_DONE;
  // A statement that failed to prepare again after a change of the schema
  // (a column renamed or dropped) is a change like any other when a
  // version is held; otherwise the error stands as it is.
  if (!read && !lease_.db->HeldSchema()) return;
  // On this connection, while the statement holds its read transaction:
  // the version of the very snapshot the rows come from.
  snapshot_schema_ = lease_.db->SchemaVersion(lease_.conn, schema_stmt_);
  const std::optional<uint32_t>& held = lease_.db->HeldSchema();
  if (held && *snapshot_schema_ != *held) {
    // Nothing of the pass is read, and no snapshot is kept.
    sqlite3_reset(stmt_.get());
    eof_ = true;
    lease_.db->RaiseRestructured();
  }
  // Resetting the failed statement gives the connection its error message
  // back.
  if (!read) sqlite3_reset(stmt_.get());
}

uint32_t RecordsetCore::SchemaVersion() const {
  Live();
  if (snapshot_schema_) return *snapshot_schema_;
  return lease_.db->SchemaVersion(lease_.conn, schema_stmt_);
}

bool RecordsetCore::NextFixedRow() {
  const int64_t id = sqlite3_column_int64(stmt_.get(), 0);
  if (next_fixed_ >= fixed_->size()) return false;
  const int64_t expected = (*fixed_)[next_fixed_];
  if (id < expected) return false;
  if (id > expected) RaiseDeletedRow(expected);
  ++next_fixed_;
  return true;
}

void RecordsetCore::RaiseDeletedRow(int64_t rowid) const {
  RaiseDb(kErrNoCurrentRecord, "No current record: the row of " + Quoted(source_) + " with rowid " +
                                   std::to_string(rowid) + " was deleted while it was in use.");
}

std::optional<int64_t> RecordsetCore::RowId() const {
  Live();
  if (!table_type_ || rowid_name_.empty()) return std::nullopt;
  if (eof_) RaiseNoCurrentRecord();
  return sqlite3_column_int64(stmt_.get(), 0);
}

void RecordsetCore::LeaveRow() {
  editing_ = false;
  key_changed_ = false;
  if (any_override_) {
    std::fill(overridden_.begin(), overridden_.end(), kFromStatement);
    std::fill(assigned_.begin(), assigned_.end(), 0);
    any_override_ = false;
    reread_plan_ = -1;
  }
}

void RecordsetCore::MoveFirst() {
  Live();
  lease_.db->CheckInPlace();
  LeaveRow();
  sqlite3_reset(stmt_.get());
  next_fixed_ = 0;
  pass_start_ = true;
  snapshot_schema_.reset();
  if (lease_.db->wal() && !lease_.db->read_only() && lease_.db->LogWorthFolding()) {
    // A cursor that rewinds holds no snapshot for a moment: let the log be
    // copied into the file now, so that it can start over instead of growing
    // while cursors are always in the middle of a scan.
    sqlite3_wal_checkpoint_v2(lease_.conn, "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
  Step();
}

void RecordsetCore::MoveNext() {
  Live();
  if (eof_) RaiseNoCurrentRecord();
  LeaveRow();
  Step();
}

int RecordsetCore::FindField(std::string_view name) const {
  Live();
  for (size_t i = 0; i < names_.size(); ++i) {
    if (SameName(names_[i], name)) return static_cast<int>(i);
  }
  return -1;
}

Value RecordsetCore::Get(int i) const {
  Live();
  if (eof_) RaiseNoCurrentRecord();
  if (any_override_ && overridden_[i] != kFromStatement) return Override(i);
  return ColumnValue(stmt_.get(), i + offset_);
}

double RecordsetCore::GetNumber(int i) const {
  Live();
  if (eof_) RaiseNoCurrentRecord();
  if (!any_override_ || overridden_[i] == kFromStatement) {
    // As ColumnValue reads a number.
    sqlite3_value* v = sqlite3_column_value(stmt_.get(), i + offset_);
    switch (sqlite3_value_type(v)) {
      case SQLITE_FLOAT:
        return sqlite3_value_double(v);
      case SQLITE_INTEGER:
        return static_cast<double>(sqlite3_value_int64(v));
      default:
        break;
    }
  }
  return Get(i).ToDouble();
}

const Value& RecordsetCore::Override(int i) const {
  if (overridden_[i] == kStored) Reread();
  return overrides_[i];
}

void RecordsetCore::Reread() const {
  const UpdatePlan& plan = plans_[reread_plan_];
  sqlite3* writer = lease_.db->writer();
  ResetOnExit reset(plan.reread.get());
  BindKey(plan.reread.get(), 1, &plan.fields);
  const bool found = check(sqlite3_step(plan.reread.get()), writer, "reading back a row of",
                           source_) == SQLITE_ROW;
  for (size_t k = 0; k < plan.fields.size(); ++k) {
    const int f = plan.fields[k];
    if (overridden_[f] != kStored) continue;
    overrides_[f] = found ? ColumnValue(plan.reread.get(), static_cast<int>(k)) : Value::Null();
    overridden_[f] = kAssigned;
  }
  reread_plan_ = -1;
}

Value RecordsetCore::Converted(int i, const Value& value) const {
  const ColumnInfo& column = table_.columns[i];
  Value stored = value;
  switch (value.kind()) {
    case Value::Kind::kEmpty:
      stored = Value::Null();
      break;
    case Value::Kind::kNull:
      break;
    case Value::Kind::kNumber:
      if (!std::isfinite(value.number())) {
        RaiseDb(kErrConversion, "Column " + Quoted(column.name) + " cannot take " +
                                    value.Describe() + ": only finite numbers can be stored.");
      }
      break;
    case Value::Kind::kText:
      if (IsNumeric(column.affinity)) {
        const std::optional<double> number = ParseNumber(value.text());
        if (!number) {
          RaiseDb(kErrConversion, "Column " + Quoted(column.name) + " holds numbers; " +
                                      value.Describe() + " is not a number.");
        }
        stored = Value(*number);
      }
      break;
    case Value::Kind::kBlob:
      if (IsNumeric(column.affinity)) {
        RaiseDb(kErrConversion, "Column " + Quoted(column.name) + " holds numbers; " +
                                    value.Describe() + " is not a number.");
      }
      break;
  }
  return stored;
}

void RecordsetCore::Set(int i, const Value& value) {
  Live();
  if (!editing_) {
    RaiseDb(kErrNotInEdit,
            "Cannot assign field " + Quoted(names_[i]) + ": Edit was not called for this row.");
  }
  overrides_[i] = Converted(i, value);
  overridden_[i] = kAssigned;
  assigned_[i] = 1;
  any_override_ = true;
}

void RecordsetCore::Edit() {
  Live();
  if (!table_type_) {
    RaiseDb(kErrInvalidOperation,
            "The rows of a query cannot be changed: " + Quoted(source_) + ".");
  }
  if (!updatable_) {
    RaiseDb(kErrInvalidOperation, "Table " + Quoted(source_) +
                                      " has no key by which its rows can be changed (every name "
                                      "of its rowid is taken by a column).");
  }
  if (eof_) RaiseNoCurrentRecord();
  if (key_changed_) {
    RaiseDb(kErrInvalidOperation,
            "The key of this row of " + Quoted(source_) +
                " was changed; move to another row and back before editing it again.");
  }
  editing_ = true;
  std::fill(assigned_.begin(), assigned_.end(), 0);
}

std::string RecordsetCore::KeyCondition() const {
  if (!rowid_name_.empty()) return rowid_name_ + "=?";
  std::string cond;
  for (int f : key_fields_) {
    if (!cond.empty()) cond += " AND ";
    cond += SqlName(names_[f]) + "=?";
  }
  return cond;
}

bool RecordsetCore::StoresAsAssigned(const UpdatePlan& plan, int f, Value& value) const {
  if (!plan.untriggered ||
      sqlite3_stmt_status(plan.update.get(), SQLITE_STMTSTATUS_REPREPARE, 0) != 0) {
    return false;
  }
  // A number stored into a column of numeric affinity reads back as it is;
  // a column of any other affinity may keep it as text, and Null may become
  // the column's default (NOT NULL ON CONFLICT REPLACE).
  if (!value.IsNumber() || !IsNumeric(table_.columns[f].affinity)) return false;
  if (value.number() == 0.0) value = Value(0.0);
  return true;
}

RecordsetCore::UpdatePlan& RecordsetCore::PlanFor(const std::vector<int>& fields) {
  for (UpdatePlan& plan : plans_) {
    if (plan.fields == fields) return plan;
  }
  sqlite3* writer = lease_.db->writer();
  std::string set;
  std::string cols;
  for (int f : fields) {
    if (!set.empty()) {
      set += ", ";
      cols += ", ";
    }
    set += SqlName(names_[f]) + "=?";
    cols += SqlName(names_[f]);
  }
  const std::string table = SqlName(table_.name);
  UpdatePlan plan;
  plan.fields = fields;
  plan.update = lease_.db->Prepare(
      writer, "UPDATE " + table + " SET " + set + " WHERE " + KeyCondition(), "updating", source_);
  plan.reread =
      lease_.db->Prepare(writer, "SELECT " + cols + " FROM " + table + " WHERE " + KeyCondition(),
                         "updating", source_);
  // Looked up after `update` was prepared: a trigger created later makes
  // SQLite prepare it again, which StoresAsAssigned notices.
  Stmt triggers = lease_.db->Prepare(writer,
                                     "SELECT 1 FROM main.sqlite_schema WHERE type = 'trigger' "
                                     "AND tbl_name = ?1 COLLATE NOCASE",
                                     "reading the triggers of", source_);
  ResetOnExit reset(triggers.get());
  sqlite3_bind_text(triggers.get(), 1, table_.name.c_str(), static_cast<int>(table_.name.size()),
                    SQLITE_STATIC);
  plan.untriggered = check(sqlite3_step(triggers.get()), writer, "reading the triggers of",
                           source_) == SQLITE_DONE;
  plans_.push_back(std::move(plan));
  return plans_.back();
}

void RecordsetCore::BindKey(sqlite3_stmt* stmt, int first, const std::vector<int>* changed) const {
  sqlite3* writer = lease_.db->writer();
  if (!rowid_name_.empty()) {
    check(sqlite3_bind_int64(stmt, first, sqlite3_column_int64(stmt_.get(), 0)), writer,
          "binding a value");
    return;
  }
  for (int f : key_fields_) {
    if (changed != nullptr && std::find(changed->begin(), changed->end(), f) != changed->end()) {
      BindValue(stmt, writer, first, overrides_[f]);
    } else {
      check(sqlite3_bind_value(stmt, first, sqlite3_column_value(stmt_.get(), f + offset_)), writer,
            "binding a value");
    }
    ++first;
  }
}

void RecordsetCore::Update() {
  Live();
  if (!editing_) {
    RaiseDb(kErrNotInEdit, "Update without Edit on " + Quoted(source_) + ".");
  }
  if (eof_) RaiseNoCurrentRecord();
  std::vector<int> fields;
  for (size_t i = 0; i < assigned_.size(); ++i) {
    if (assigned_[i]) fields.push_back(static_cast<int>(i));
  }
  if (fields.empty()) {
    editing_ = false;
    return;
  }
  FailedWriteGuard failed{lease_.db.get()};
  sqlite3* writer = BeginWrite();
  UpdatePlan& plan = PlanFor(fields);
  {
    ResetOnExit reset(plan.update.get());
    int n = 1;
    for (int f : fields) BindValue(plan.update.get(), writer, n++, overrides_[f]);
    BindKey(plan.update.get(), n, nullptr);
    check(sqlite3_step(plan.update.get()), writer, "updating a row of", source_);
  }
  if (sqlite3_changes(writer) == 0) {
    RaiseUnchanged(plan, [this](sqlite3_stmt* stmt) { BindKey(stmt, 1, nullptr); });
  }
  editing_ = false;
  // Until the cursor moves, the row reads as stored (a text stored into a
  // column of numeric affinity reads back as its number); what is known
  // to read back as assigned is not read again.
  bool reread = false;
  for (int f : fields) {
    const bool known = StoresAsAssigned(plan, f, overrides_[f]);
    overridden_[f] = known ? kAssigned : kStored;
    reread = reread || !known;
  }
  reread_plan_ = reread ? static_cast<int>(&plan - plans_.data()) : -1;
  for (int f : key_fields_) {
    if (assigned_[f]) key_changed_ = true;
  }
  std::fill(assigned_.begin(), assigned_.end(), 0);
  failed.db = nullptr;
  lease_.db->AfterWrite();
}

sqlite3* RecordsetCore::BeginWrite() {
  if (lease_.db->read_only()) {
    RaiseDb(kErrReadOnly, "The database " + Quoted(lease_.db->path()) +
                              " is read-only: cannot update table " + Quoted(source_) + ".");
  }
  lease_.db->BeforeWrite();
  // Values stored by an earlier update of the current row are read back
  // before any row changes again.
  if (reread_plan_ >= 0) Reread();
  return lease_.db->writer();
}

void RecordsetCore::RaiseUnchanged(const UpdatePlan& plan,
                                   const std::function<void(sqlite3_stmt*)>& bind_key) const {
  // Either the row is gone, or a trigger of the table ignored the change.
  sqlite3* writer = lease_.db->writer();
  ResetOnExit reset(plan.reread.get());
  bind_key(plan.reread.get());
  if (check(sqlite3_step(plan.reread.get()), writer, "reading back a row of", source_) ==
      SQLITE_ROW) {
    RaiseDb(kErrNoCurrentRecord, "The row of " + Quoted(source_) +
                                     " was not changed: a trigger of the table ignored the "
                                     "update (RAISE(IGNORE)), and the row keeps its values.");
  }
  RaiseNoCurrentRecord();
}

Value RecordsetCore::UpdateRow(int64_t rowid, int field, const Value& value) {
  Live();
  if (!table_type_ || rowid_name_.empty()) {
    RaiseDb(kErrInvalidOperation,
            "The rows of " + Quoted(source_) + " cannot be reached by their rowid.");
  }
  if (editing_) {
    RaiseDb(kErrInvalidOperation,
            "A row of " + Quoted(source_) + " cannot be stored by its rowid while one is edited.");
  }
  Value now = Converted(field, value);
  FailedWriteGuard failed{lease_.db.get()};
  sqlite3* writer = BeginWrite();
  const UpdatePlan* found = nullptr;
  for (const UpdatePlan& plan : plans_) {
    if (plan.fields.size() == 1 && plan.fields[0] == field) found = &plan;
  }
  const UpdatePlan& plan = found != nullptr ? *found : PlanFor({field});
  const auto bind_rowid = [rowid, writer](sqlite3_stmt* stmt, int n) {
    check(sqlite3_bind_int64(stmt, n, rowid), writer, "binding a value");
  };
  {
    ResetOnExit reset(plan.update.get());
    BindValue(plan.update.get(), writer, 1, now);
    bind_rowid(plan.update.get(), 2);
    check(sqlite3_step(plan.update.get()), writer, "updating a row of", source_);
  }
  if (sqlite3_changes(writer) == 0) {
    RaiseUnchanged(plan, [&bind_rowid](sqlite3_stmt* stmt) { bind_rowid(stmt, 1); });
  }
  if (!StoresAsAssigned(plan, field, now)) {
    ResetOnExit reset(plan.reread.get());
    bind_rowid(plan.reread.get(), 1);
    const bool found = check(sqlite3_step(plan.reread.get()), writer, "reading back a row of",
                             source_) == SQLITE_ROW;
    now = found ? ColumnValue(plan.reread.get(), 0) : Value::Null();
  }
  // The current row, should it be this one, reads what is stored now.
  if (!eof_ && sqlite3_column_int64(stmt_.get(), 0) == rowid) {
    overrides_[field] = now;
    overridden_[field] = kAssigned;
    any_override_ = true;
  }
  failed.db = nullptr;
  lease_.db->AfterWrite();
  return now;
}

// ---- Field -----------------------------------------------------------------

std::string Field::Name() const { return core_->FieldName(index_); }
Value Field::GetValue() const { return core_->Get(index_); }
double Field::GetNumber() const { return core_->GetNumber(index_); }
void Field::SetValue(const Value& value) { core_->Set(index_, value); }

// ---- Recordset -------------------------------------------------------------

namespace {

RecordsetBackend& Live(const std::unique_ptr<RecordsetBackend>& core) {
  if (!core) RaiseDb(kErrObjectClosed, "The recordset has been closed.");
  return *core;
}

}  // namespace

Recordset::Recordset(std::unique_ptr<RecordsetBackend> core) : core_(std::move(core)) {}
Recordset::Recordset(Recordset&&) noexcept = default;
Recordset& Recordset::operator=(Recordset&&) noexcept = default;
Recordset::~Recordset() = default;

bool Recordset::IsEOF() const { return Live(core_).IsEOF(); }
void Recordset::MoveFirst() { Live(core_).MoveFirst(); }
void Recordset::MoveNext() { Live(core_).MoveNext(); }
int Recordset::FieldCount() const { return Live(core_).FieldCount(); }

Field Recordset::Fields(int i) const {
  RecordsetBackend& core = Live(core_);
  if (i < 0 || i >= core.FieldCount()) {
    RaiseDb(kErrItemNotFound, "Item not found in this collection: there is no field " +
                                  std::to_string(i) + " (fields 0 to " +
                                  std::to_string(core.FieldCount() - 1) + ").");
  }
  return Field(core_.get(), i);
}

Field Recordset::Fields(std::string_view name) const {
  RecordsetBackend& core = Live(core_);
  const int i = core.FindField(name);
  if (i < 0) {
    RaiseDb(kErrItemNotFound,
            "Item not found in this collection: there is no field " + Quoted(name) + ".");
  }
  return Field(core_.get(), i);
}

bool Recordset::Updatable() const { return Live(core_).Updatable(); }
std::optional<int64_t> Recordset::RowId() const { return Live(core_).RowId(); }
uint32_t Recordset::SchemaVersion() const { return Live(core_).SchemaVersion(); }
void Recordset::Edit() { Live(core_).Edit(); }
void Recordset::Update() { Live(core_).Update(); }
Value Recordset::UpdateRow(int64_t rowid, int field, const Value& value) {
  Fields(field);  // 3265 outside the fields
  return core_->UpdateRow(rowid, field, value);
}

}  // namespace kelda::data
