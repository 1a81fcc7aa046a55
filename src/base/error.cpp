#include "base/error.h"

#include <utility>

namespace kelda {

Error::Error(int32_t number, std::string description)
    : std::runtime_error(description), number_(number), description_(std::move(description)) {}

std::string StandardErrorText(int32_t number) {
  switch (number) {
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
    case kErrInvalidUseOfNull:
      return "Invalid use of Null";
    default:
      return "Application-defined or object-defined error";
  }
}

void Raise(int32_t number) { throw Error(number, StandardErrorText(number)); }

void Raise(int32_t number, std::string description) { throw Error(number, std::move(description)); }

}  // namespace kelda
