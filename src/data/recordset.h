// Recordset: a cursor over a table or a query's rows, stepped row by row.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/value.h"

namespace kelda::data {

class RecordsetBackend;  // an engine's cursor (backend.h)
class Recordset;

// One column of a Recordset's current row. A light handle; valid while its
// Recordset lives.
class Field {
 public:
  // The column's name as the table or the query names it.
  std::string Name() const;
  // The column's value in the current row (Null for SQL NULL, a number for
  // INTEGER and REAL, text, or a blob). After an assignment in edit mode, the
  // assigned value. Raises 3021 when there is no current row.
  Value GetValue() const;
  // GetValue().ToDouble(), with its errors (94 for Null, 13 for what is not
  // a number), without making the Value: for a caller that reads rows of
  // numbers.
  double GetNumber() const;
  // Assigns the column of the current row. REQUIRES: the Recordset is in edit
  // mode (Edit called), otherwise raises 3020. The value must be one the
  // column can take: for a column of numeric affinity a text must be a
  // decimal number (it is stored as that number), and no value may be an
  // infinity or NaN; otherwise raises 3421. Stored by Update.
  void SetValue(const Value& value);
  // The field's position among its Recordset's fields.
  int Index() const { return index_; }

 private:
  friend class Recordset;
  Field(RecordsetBackend* core, int index) : core_(core), index_(index) {}
  RecordsetBackend* core_;
  int index_;
};

// Movable, not copyable. The current row is kept by the cursor; nothing of a
// row is cached beyond it.
class Recordset {
 public:
  Recordset(Recordset&&) noexcept;
  Recordset& operator=(Recordset&&) noexcept;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;
  ~Recordset();

  // True after the last row, and at once when there is none.
  bool IsEOF() const;
  // Back to the first row; the rows are read again from the database.
  // Raises 3043 when the database's file has been deleted, renamed or
  // replaced since it was opened: the database is then closed, its log
  // folded into the file it opened.
  void MoveFirst();
  // To the next row. Raises 3021 when already after the last row.
  void MoveNext();

  int FieldCount() const;
  // Column i (0-based). Raises 3265 when i is outside 0 .. FieldCount() - 1.
  Field Fields(int i) const;
  // The column named `name` (compared ignoring ASCII case). Raises 3265 when
  // there is none.
  Field Fields(std::string_view name) const;

  // False for a query's rows, and for a table with no key by which its rows
  // can be changed.
  bool Updatable() const;
  // The rowid of the current row of a table-type Recordset; none for a
  // query's rows or a table without rowid. Raises 3021 when there is no
  // current row.
  std::optional<int64_t> RowId() const;
  // The file's schema version (PRAGMA schema_version) in the snapshot the
  // rows are read from since the Recordset was opened or last rewound: a
  // VACUUM or any change of a table's columns by another program changes
  // it, and with it may change every rowid. See Database::FixRows.
  uint32_t SchemaVersion() const;

  // Starts editing the current row. Raises 3219 for a query's Recordset,
  // 3021 when there is no current row.
  void Edit();
  // Writes the assigned columns of the current row and commits: another
  // connection sees the change when Update returns (or, with the database's
  // updates grouped, when its group is committed). Raises 3020 without Edit,
  // 3027 when the database is read-only, 3218 when it stays locked, 3421 for a
  // value the column refuses, 3043 (as MoveFirst) when the file has moved,
  // 3197 when the database holds a schema version (Database::FixRows) that
  // the file no longer has: nothing is written then.
  void Update();
  // Stores `value` into field `field` of the row whose rowid is `rowid` (see
  // RowId), as Edit, the assignment and Update on that row would (the same
  // conversions, errors, commit or group), but without moving to the row or
  // reading it: for a writer that already knows which rows it writes. Raises
  // 3021 when the row is gone or a trigger ignored the change, 3219 for a
  // Recordset whose rows have no rowid and while a row is edited, 3265 for a
  // field outside 0 .. FieldCount() - 1, 3197 as Update. Returns the field's value as the
  // row now holds it (as GetValue would read it after Update); the current
  // row, should it be that row, reads it too.
  Value UpdateRow(int64_t rowid, int field, const Value& value);

 private:
  friend class Database;
  explicit Recordset(std::unique_ptr<RecordsetBackend> core);
  std::unique_ptr<RecordsetBackend> core_;
};

}  // namespace kelda::data
