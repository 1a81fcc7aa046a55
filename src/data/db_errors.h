// Error numbers of the data-access layer. Hosts check these numbers, so they
// keep the values that classic data-access code has always seen.
#pragma once

#include <cstdint>

namespace kelda::data {

inline constexpr int32_t kErrNoCurrentRecord = 3021;     // "No current record."
inline constexpr int32_t kErrFileNotFound = 3024;        // the path is in the text
inline constexpr int32_t kErrDiskFull = 3026;            // no space left on the device
inline constexpr int32_t kErrReadOnly = 3027;            // database or file is read-only
inline constexpr int32_t kErrIo = 3043;                  // disk or I/O error
inline constexpr int32_t kErrCorrupt = 3049;             // damaged database file
inline constexpr int32_t kErrCannotOpen = 3051;          // file exists but cannot be opened
inline constexpr int32_t kErrNoSuchColumn = 3061;        // SQL names a column that does not exist
inline constexpr int32_t kErrSyntax = 3075;              // SQL text does not parse
inline constexpr int32_t kErrTableNotFound = 3078;       // no such table
inline constexpr int32_t kErrMultipleStatements = 3142;  // text after the end of the statement
inline constexpr int32_t kErrFieldExists = 3191;         // column name already in the table
inline constexpr int32_t kErrLocked = 3218;              // locked by another program
inline constexpr int32_t kErrInvalidOperation = 3219;    // e.g. writing through a query
inline constexpr int32_t kErrNotInEdit = 3020;           // assignment or Update without Edit
inline constexpr int32_t kErrInvalidFieldType = 3259;    // CreateField with an unsupported type
inline constexpr int32_t kErrItemNotFound = 3265;        // no field or table def of that name
inline constexpr int32_t kErrObjectClosed = 3420;        // handle used after Close
inline constexpr int32_t kErrConversion = 3421;          // value the column cannot take
inline constexpr int32_t kErrNotADatabase = 3343;        // not a database this layer can read
inline constexpr int32_t kErrDatabase = 3000;            // any other failure of the database

// Field type of CreateField: an 8-byte IEEE double column.
inline constexpr int kDbDouble = 7;

}  // namespace kelda::data
