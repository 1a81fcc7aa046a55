// Internal to the data-access layer: what an engine implements so that a
// Database and its Recordsets work on it. One interface, one implementation
// per engine (the SQLite file engine in database.cpp / recordset.cpp, the
// server engine in postgres/); DBEngine::OpenDatabase picks the engine by
// the database's name, and nothing outside the layer sees which it is.
//
// The contracts are those of the public classes in database.h and
// recordset.h, which check that a handle is open and that field indices
// are in range before they forward here.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/value.h"
#include "data/database.h"

namespace kelda::data {

class RecordsetBackend {
 public:
  virtual ~RecordsetBackend() = default;

  virtual bool IsEOF() const = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveNext() = 0;
  virtual int FieldCount() const = 0;
  // -1 when there is no such field.
  virtual int FindField(std::string_view name) const = 0;
  // REQUIRES (of every method taking a field): 0 <= i < FieldCount().
  virtual const std::string& FieldName(int i) const = 0;
  virtual Value Get(int i) const = 0;
  virtual double GetNumber(int i) const { return Get(i).ToDouble(); }
  virtual void Set(int i, const Value& value) = 0;
  virtual bool Updatable() const = 0;
  virtual std::optional<int64_t> RowId() const = 0;
  virtual uint32_t SchemaVersion() const = 0;
  virtual void Edit() = 0;
  virtual void Update() = 0;
  virtual Value UpdateRow(int64_t rowid, int field, const Value& value) = 0;
};

class DatabaseBackend {
 public:
  virtual ~DatabaseBackend() = default;

  virtual std::unique_ptr<RecordsetBackend> OpenRecordset(const std::string& source) = 0;
  virtual std::unique_ptr<RecordsetBackend> OpenColumns(const ColumnQuery& query) = 0;
  // The table's name as the database spells it; raises 3265 when there is
  // no such table (Database::TableDefs).
  virtual std::string FindTableDef(const std::string& name) = 0;
  // The column names of `table` (as FindTableDef spells it), in order.
  virtual std::vector<std::string> ColumnNames(const std::string& table) = 0;
  virtual uint32_t AppendField(const std::string& table, const FieldDef& def) = 0;
  virtual void FixRows(const std::string& table, std::shared_ptr<const RowIds> rows,
                       uint32_t schema_version) = 0;
  virtual void GroupUpdates(std::chrono::milliseconds window) = 0;
  virtual void CommitGroup() = 0;
  virtual void CommitUpdates() = 0;
  virtual uint64_t DataVersion() = 0;
  virtual void Close() = 0;
  virtual const std::string& Name() const = 0;
};

// `text` in single quotes, for messages.
std::string Quoted(std::string_view text);

// True when `text`, after blanks, begins with the word SELECT or WITH (any
// case): the text of a query rather than a table's name.
bool StartsWithQueryWord(std::string_view text);

// Opens the server database `name` (DBEngine::OpenDatabase). On a build
// without the server engine, raises 3151 saying that only files can be read.
// REQUIRES: IsServerName(name).
std::shared_ptr<DatabaseBackend> OpenServerDatabase(const std::string& name,
                                                    std::chrono::milliseconds busy_timeout,
                                                    StatementObserver observer,
                                                    InterruptCheck interrupt);

}  // namespace kelda::data
