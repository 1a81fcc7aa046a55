#include "base/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/error.h"

namespace kelda {

std::optional<double> ParseNumber(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  // A leading '+' is allowed once: from_chars takes none, and what follows it
  // must not carry a sign of its own ("+-1" is no number).
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  // from_chars would take "inf", "nan" and hex digits after "0x"; none is a number here.
  for (char c : text) {
    const bool ok =
        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
    if (!ok) return std::nullopt;
  }
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) {
    return std::nullopt;
  }
  return v;
}

double Value::ToDouble() const {
  switch (kind()) {
    case Kind::kEmpty:
      return 0.0;
    case Kind::kNull:
      Raise(kErrInvalidUseOfNull);
    case Kind::kNumber:
      return number();
    case Kind::kText:
      if (auto v = ParseNumber(text())) return *v;
      Raise(kErrTypeMismatch);
    case Kind::kBlob:
      Raise(kErrTypeMismatch);
  }
  Raise(kErrTypeMismatch);
}

std::string Value::Describe() const {
  switch (kind()) {
    case Kind::kEmpty:
      return "Empty";
    case Kind::kNull:
      return "Null";
    case Kind::kNumber: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.17g", number());
      return buf;
    }
    case Kind::kText:
      return "\"" + text() + "\"";
    case Kind::kBlob:
      return "a blob of " + std::to_string(blob().size()) + " bytes";
  }
  return "?";
}

}  // namespace kelda
