// Numbers as the status window shows them, by pattern, with the locale's
// decimal and thousands separators.
#pragma once

#include <cstdint>
#include <string>

namespace kelda::status {

struct NumberSeparators {
  std::string decimal;
  std::string thousands;
};

// The separators of the C library's current locale (localeconv), read afresh
// at every call. A locale that defines no thousands separator (the "C" locale
// among them) gets "," — or "." when its decimal separator is "," — so that
// grouped numbers stay readable in a process that never chose a locale.
NumberSeparators CurrentSeparators();
// The same into `separators`, whose strings keep their storage: for a caller
// that reads them often.
void ReadCurrentSeparators(NumberSeparators& separators);

// The places of ErrorSum's pattern "##.##########".
inline constexpr int kErrorSumPlaces = 10;

// The pattern "#." followed by `max_places` optional digits: the integer part
// without leading zeros (nothing when it is 0), the decimal separator always,
// then the fraction rounded to `max_places` places with trailing zeros
// dropped. 0.0123456789012 -> ".0123456789", 12.25 -> "12.25", 3 -> "3.".
// Rounding is of the double's exact binary value, halves away from zero.
// A negative value gets a leading "-" unless it rounds to zero.
// `max_places` is clamped to 0..1074, beyond which a double has no digits.
// Raises Error 6 for an infinity or NaN.
std::string FormatOptionalPlaces(double value, int max_places, const NumberSeparators& separators);
std::string FormatOptionalPlaces(double value, int max_places);

// The pattern "###,###": the integer with a thousands separator between
// groups of three digits and no leading zeros. 1250 -> "1,250". Since the
// pattern forces no digit, 0 gives "".
std::string FormatGrouped(int64_t value, const NumberSeparators& separators);
std::string FormatGrouped(int64_t value);

}  // namespace kelda::status
