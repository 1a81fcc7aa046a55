#include "status/number_format.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "base/error.h"

namespace kelda::status {

namespace {

// A double's exact decimal expansion never has more fraction digits than
// this (the smallest subnormal is 2^-1074), so printing with it loses nothing
// and the rounding below sees every digit.
constexpr int kExactPlaces = 1074;

// Adds one unit in the last place of a string of decimal digits; returns
// whether the carry ran out of the top.
bool IncrementDigits(std::string& digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return false;
    }
    *it = '0';
  }
  return true;
}

}  // namespace

NumberSeparators CurrentSeparators() {
  NumberSeparators s;
  ReadCurrentSeparators(s);
  return s;
}

void ReadCurrentSeparators(NumberSeparators& s) {
  // localeconv's result may be overwritten by the next call: copy at once.
  const std::lconv* conv = std::localeconv();
  s.decimal = conv->decimal_point != nullptr ? conv->decimal_point : "";
  s.thousands = conv->thousands_sep != nullptr ? conv->thousands_sep : "";
  if (s.decimal.empty()) s.decimal = ".";
  if (s.thousands.empty()) s.thousands = s.decimal == "," ? "." : ",";
}

std::string FormatOptionalPlaces(double value, int max_places, const NumberSeparators& separators) {
  if (!std::isfinite(value)) Raise(kErrOverflow);
  const int places = std::clamp(max_places, 0, kExactPlaces);

  // Printing at `places` digits rounds to nearest, which differs from
  // rounding halves away from zero only on an exact half; a double can be
  // one only when it is a multiple of 2^-(places + 1). Any other value is
  // printed at `places` digits, far cheaper than its exact expansion.
  const double magnitude = std::fabs(value);
  const double scaled = std::ldexp(magnitude, places + 1);
  const bool may_be_half = places == 0 || scaled == std::trunc(scaled);
  // 309 integer digits at most, the point, the exact fraction.
  char buf[320 + kExactPlaces];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::fixed,
                                       may_be_half ? kExactPlaces : places);
  if (ec != std::errc()) Raise(kErrOverflow);
  const std::string_view exact(buf, static_cast<size_t>(end - buf));
  const size_t point = exact.find('.');
  std::string integer(exact.substr(0, point));
  std::string fraction(exact.substr(point + 1, static_cast<size_t>(places)));

  const size_t first_dropped = point + 1 + static_cast<size_t>(places);
  if (first_dropped < exact.size() && exact[first_dropped] >= '5' && IncrementDigits(fraction) &&
      IncrementDigits(integer)) {
    integer.insert(integer.begin(), '1');
  }

  integer.erase(0, integer.find_first_not_of('0'));
  fraction.erase(fraction.find_last_not_of('0') + 1);

  std::string out;
  if (std::signbit(value) && !(integer.empty() && fraction.empty())) out = "-";
  out += integer;
  out += separators.decimal;
  out += fraction;
  return out;
}

std::string FormatOptionalPlaces(double value, int max_places) {
  return FormatOptionalPlaces(value, max_places, CurrentSeparators());
}

std::string FormatGrouped(int64_t value, const NumberSeparators& separators) {
  if (value == 0) return "";
  // The magnitude in unsigned arithmetic, so that INT64_MIN has one too.
  const uint64_t magnitude =
      value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char digits[20];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, magnitude);
  (void)ec;  // 20 places hold every uint64_t
  const std::string_view text(digits, static_cast<size_t>(end - digits));

  std::string out = value < 0 ? "-" : "";
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != 0 && (text.size() - i) % 3 == 0) out += separators.thousands;
    out += text[i];
  }
  return out;
}

std::string FormatGrouped(int64_t value) { return FormatGrouped(value, CurrentSeparators()); }

}  // namespace kelda::status
