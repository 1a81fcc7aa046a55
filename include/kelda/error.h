// The runtime's one error type. Every failure — of the database layer, of a
// conversion, of integer or floating-point arithmetic, of an index — is raised
// as an Error carrying the number a host checks and a description for people.
// Public entry points let it pass; only the command-line tool, the
// automation server and the Python module translate it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelda {

// Every error number the runtime raises. Hosts check these numbers, so they
// keep the values scripts have always been written against; each has a
// standard text (StandardErrorText), with which descriptions begin.

// Arithmetic, conversion, memory and files.
inline constexpr int32_t kErrInvalidArgument = 5;  // a network file or picture that cannot be
inline constexpr int32_t kErrOverflow = 6;
inline constexpr int32_t kErrOutOfMemory = 7;
inline constexpr int32_t kErrSubscript = 9;
inline constexpr int32_t kErrDivisionByZero = 11;
inline constexpr int32_t kErrTypeMismatch = 13;
// The host (a signal, a callback) asked the work in progress to stop.
inline constexpr int32_t kErrUserInterrupt = 18;
inline constexpr int32_t kErrFileNotFound = 53;    // a file other than the database
inline constexpr int32_t kErrPathFileAccess = 75;  // a file that cannot be read or written
inline constexpr int32_t kErrInvalidUseOfNull = 94;

// The database.
inline constexpr int32_t kErrDatabase = 3000;         // any other failure of the database
inline constexpr int32_t kErrNotInEdit = 3020;        // assignment or Update without Edit
inline constexpr int32_t kErrNoCurrentRecord = 3021;  // no row at the cursor
inline constexpr int32_t kErrDbFileNotFound = 3024;   // no database file: the path is in the text
inline constexpr int32_t kErrDiskFull = 3026;         // no space left on the device
inline constexpr int32_t kErrReadOnly = 3027;         // database or file is read-only
inline constexpr int32_t kErrIo = 3043;               // disk or I/O error
inline constexpr int32_t kErrCorrupt = 3049;          // damaged database file
inline constexpr int32_t kErrCannotOpen = 3051;       // file exists but cannot be opened
inline constexpr int32_t kErrNoSuchColumn = 3061;     // SQL names a column that does not exist
inline constexpr int32_t kErrSyntax = 3075;           // SQL text does not parse
inline constexpr int32_t kErrTableNotFound = 3078;    // no such table
inline constexpr int32_t kErrMultipleStatements = 3142;  // text after the end of the statement
inline constexpr int32_t kErrConnectionFailed = 3151;    // server unreachable, or connection lost
inline constexpr int32_t kErrFieldExists = 3191;         // column name already in the table
inline constexpr int32_t kErrRestructured = 3197;        // vacuumed or restructured in use
inline constexpr int32_t kErrLocked = 3218;              // locked by another program
inline constexpr int32_t kErrInvalidOperation = 3219;    // e.g. writing through a query
inline constexpr int32_t kErrInvalidFieldType = 3259;    // CreateField with an unsupported type
inline constexpr int32_t kErrItemNotFound = 3265;        // no field or table def of that name
inline constexpr int32_t kErrNotADatabase = 3343;        // not a database this layer can read
inline constexpr int32_t kErrObjectClosed = 3420;        // handle used after Close
inline constexpr int32_t kErrConversion = 3421;          // value the column cannot take

class Error : public std::runtime_error {
 public:
  Error(int32_t number, std::string description);

  int32_t Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }

 private:
  int32_t number_;
  std::string description_;
};

// The standard text of an error number above ("Overflow" for 6, ...), or
// "Application-defined or object-defined error" for any other number.
std::string StandardErrorText(int32_t number);

// Raises Error(number, StandardErrorText(number)).
[[noreturn]] void Raise(int32_t number);
[[noreturn]] void Raise(int32_t number, std::string description);

}  // namespace kelda
