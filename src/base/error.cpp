#include "base/error.h"

#include <utility>

namespace kelda {

Error::Error(int32_t number, std::string description)
    : std::runtime_error(description), number_(number), description_(std::move(description)) {}

std::string StandardErrorText(int32_t number) {
  switch (number) {
    case kErrInvalidArgument:
      return "Invalid procedure call or argument";
    case kErrOverflow:
      return "Overflow";
    case kErrOutOfMemory:
      return "Out of memory";
    case kErrSubscript:
      return "Subscript out of range";
    case kErrDivisionByZero:
      return "Division by zero";
    case kErrTypeMismatch:
      return "Type mismatch";
    case kErrUserInterrupt:
      return "User interrupt occurred";
    case kErrFileNotFound:
      return "File not found";
    case kErrPathFileAccess:
      return "Path/File access error";
    case kErrInvalidUseOfNull:
      return "Invalid use of Null";
    case kErrDatabase:
      return "Database error";
    case kErrNotInEdit:
      return "Update or assignment without Edit";
    case kErrNoCurrentRecord:
      return "No current record.";
    case kErrDbFileNotFound:
      return "Could not find file";
    case kErrDiskFull:
      return "The disk is full";
    case kErrReadOnly:
      return "The database is read-only";
    case kErrIo:
      return "Disk or I/O error on the database file";
    case kErrCorrupt:
      return "The database file is damaged";
    case kErrCannotOpen:
      return "Cannot open the database file";
    case kErrNoSuchColumn:
      return "Column not found";
    case kErrSyntax:
      return "Syntax error in SQL";
    case kErrTableNotFound:
      return "Table not found";
    case kErrMultipleStatements:
      return "Text after the end of the SQL statement";
    case kErrConnectionFailed:
      return "The connection to the database server failed";
    case kErrFieldExists:
      return "A column of that name already exists";
    case kErrRestructured:
      return "Another program changed the structure of the database while it was in use";
    case kErrLocked:
      return "The database is locked by another program";
    case kErrInvalidOperation:
      return "Invalid operation";
    case kErrInvalidFieldType:
      return "Invalid field data type";
    case kErrItemNotFound:
      return "Item not found in this collection";
    case kErrNotADatabase:
      return "Not a database file this program can read";
    case kErrObjectClosed:
      return "Object invalid or no longer set";
    case kErrConversion:
      return "The column cannot take that value";
    default:
      return "Application-defined or object-defined error";
  }
}

void Raise(int32_t number) { throw Error(number, StandardErrorText(number)); }

void Raise(int32_t number, std::string description) { throw Error(number, std::move(description)); }

}  // namespace kelda
