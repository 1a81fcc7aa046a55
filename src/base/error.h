// The runtime's one error type. Every failure — of the database layer, of a
// conversion, of integer or floating-point arithmetic, of an index — is raised
// as an Error carrying the number a host checks and a description for people.
// Public entry points let it pass; only the command-line tool and the
// automation server translate it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelda {

// Run-time error numbers of the arithmetic and conversion model.
inline constexpr int32_t kErrOverflow = 6;
inline constexpr int32_t kErrOutOfMemory = 7;
inline constexpr int32_t kErrSubscript = 9;
inline constexpr int32_t kErrDivisionByZero = 11;
inline constexpr int32_t kErrTypeMismatch = 13;
// The host (a signal, a callback) asked the work in progress to stop.
inline constexpr int32_t kErrUserInterrupt = 18;
inline constexpr int32_t kErrInvalidUseOfNull = 94;

class Error : public std::runtime_error {
 public:
  Error(int32_t number, std::string description);

  int32_t Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }

 private:
  int32_t number_;
  std::string description_;
};

// The standard text of a run-time error number ("Overflow" for 6, ...), or
// "Application-defined or object-defined error" for a number without one.
std::string StandardErrorText(int32_t number);

// Raises Error(number, StandardErrorText(number)).
[[noreturn]] void Raise(int32_t number);
[[noreturn]] void Raise(int32_t number, std::string description);

}  // namespace kelda
