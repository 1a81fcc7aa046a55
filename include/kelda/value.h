// Value: what a database field or a variant holds — Empty, Null, a number,
// a text or a blob. Converting one to double never guesses: Null raises 94,
// a text that is not a number (or a blob) raises 13, Empty is 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelda {

class Value {
 public:
  enum class Kind { kEmpty, kNull, kNumber, kText, kBlob };
  using Blob = std::vector<std::uint8_t>;

  Value() = default;                    // Empty
  Value(double number) : v_(number) {}  // NOLINT: a number is a value
  Value(std::string text) : v_(std::move(text)) {}
  Value(const char* text) : v_(std::string(text)) {}
  explicit Value(Blob blob) : v_(std::move(blob)) {}
  static Value Null() {
    Value v;
    v.v_ = NullTag{};
    return v;
  }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool IsEmpty() const { return kind() == Kind::kEmpty; }
  bool IsNull() const { return kind() == Kind::kNull; }
  bool IsNumber() const { return kind() == Kind::kNumber; }
  bool IsText() const { return kind() == Kind::kText; }

  // REQUIRES: the value holds that kind.
  double number() const { return std::get<double>(v_); }
  const std::string& text() const { return std::get<std::string>(v_); }
  const Blob& blob() const { return std::get<Blob>(v_); }

  // The value as a double: a number as it is, Empty as 0, a text that is a
  // finite decimal number (blanks around it allowed) as that number.
  // Raises 94 for Null, 13 for any other text and for a blob.
  double ToDouble() const;

  // A short description for messages: "Null", "Empty", the number, the text in quotes.
  std::string Describe() const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  std::variant<std::monostate, NullTag, double, std::string, Blob> v_;
};

// The number a text denotes, when the whole text (blanks around it allowed)
// is a finite decimal number with '.' as its separator; nullopt otherwise.
std::optional<double> ParseNumber(std::string_view text);

}  // namespace kelda
