// A value SQLite holds, as this layer reads it: a column's in a row, an SQL
// function's argument. Defined here with internal linkage so that each file
// reaches SQLite as that file does: the layer through the library it links,
// a loadable extension through the routines its loading program hands it
// (such a file includes <sqlite3ext.h> first). Either way a value converts to
// the same Value, so a number reads to the same bits in both.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "base/value.h"

namespace kelda::data {

static inline Value ValueOf(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_FLOAT:
      return Value(sqlite3_value_double(v));
    case SQLITE_INTEGER:
      return Value(static_cast<double>(sqlite3_value_int64(v)));
    case SQLITE_NULL:
      return Value::Null();
    case SQLITE_TEXT: {
      const unsigned char* p = sqlite3_value_text(v);
      const int n = sqlite3_value_bytes(v);
      return Value(std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)));
    }
    default: {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_value_blob(v));
      const int n = sqlite3_value_bytes(v);
      return Value(Value::Blob(p, p + n));
    }
  }
}

}  // namespace kelda::data
