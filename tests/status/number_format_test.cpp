#include "status/number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/error.h"

namespace kelda::status {
namespace {

const NumberSeparators kEnglish{".", ","};
const NumberSeparators kGerman{",", "."};

struct PlacesCase {
  double value;
  std::string text;
};

class ErrorSumPattern : public testing::TestWithParam<PlacesCase> {};

TEST_P(ErrorSumPattern, Formats) {
  EXPECT_EQ(FormatOptionalPlaces(GetParam().value, kErrorSumPlaces, kEnglish), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, ErrorSumPattern,
                         testing::Values(PlacesCase{0.0123456789012, ".0123456789"},
                                         PlacesCase{12.25, "12.25"}, PlacesCase{3.0, "3."},
                                         PlacesCase{0.0, "."}, PlacesCase{-0.5, "-.5"},
                                         PlacesCase{-1e-12, "."}, PlacesCase{4.9e-324, "."}));

// The doubles nearest these decimals lie just above or just below the half at
// the eleventh place; scaling by 1e10 and rounding gets each "below" wrong.
INSTANTIATE_TEST_SUITE_P(
    RoundingAtTheTenthPlace, ErrorSumPattern,
    testing::Values(PlacesCase{0.00000000005, ".0000000001"},  // above
                    PlacesCase{0.00000000035, ".0000000003"},  // below
                    PlacesCase{0.12345678905, ".1234567891"},  // above
                    PlacesCase{0.12345678915, ".1234567891"},  // below
                    PlacesCase{0.99999999995, ".9999999999"},  // below
                    PlacesCase{9.99999999995, "10."},          // above, carries through
                    PlacesCase{9999.00000000005, "9999."},     // below
                    PlacesCase{0.00048828125, ".0004882813"},  // exactly half: away from zero
                    PlacesCase{-0.00048828125, "-.0004882813"}));

INSTANTIATE_TEST_SUITE_P(LargeNumbers, ErrorSumPattern,
                         testing::Values(PlacesCase{1e20, "100000000000000000000."},
                                         PlacesCase{123456789012345678.0, "123456789012345680."},
                                         PlacesCase{4503599627370495.5, "4503599627370495.5"}));

TEST(ErrorSumPatternLimits, ExtremesAndOtherPlaceCounts) {
  const std::string largest = FormatOptionalPlaces(DBL_MAX, kErrorSumPlaces, kEnglish);
  EXPECT_EQ(largest.size(), 310u);
  EXPECT_EQ(largest.substr(0, 6), "179769");
  EXPECT_EQ(FormatOptionalPlaces(4.9e-324, 5000, kEnglish).size(), 1075u);
  EXPECT_EQ(FormatOptionalPlaces(0.0123456, 4, kEnglish), ".0123");
  EXPECT_EQ(FormatOptionalPlaces(2.5, 0, kEnglish), "3.");
  EXPECT_THROW(FormatOptionalPlaces(INFINITY, kErrorSumPlaces, kEnglish), Error);
  EXPECT_THROW(FormatOptionalPlaces(NAN, kErrorSumPlaces, kEnglish), Error);
}

struct GroupedCase {
  int64_t value;
  std::string text;
};

class CyclePattern : public testing::TestWithParam<GroupedCase> {};

TEST_P(CyclePattern, Formats) {
  EXPECT_EQ(FormatGrouped(GetParam().value, kEnglish), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Examples, CyclePattern,
                         testing::Values(GroupedCase{7, "7"}, GroupedCase{1250, "1,250"},
                                         GroupedCase{1234567, "1,234,567"}, GroupedCase{0, ""},
                                         GroupedCase{999, "999"}, GroupedCase{100000, "100,000"},
                                         GroupedCase{-1250, "-1,250"},
                                         GroupedCase{INT64_MIN, "-9,223,372,036,854,775,808"}));

TEST(Separators, GermanStyle) {
  EXPECT_EQ(FormatOptionalPlaces(12.25, kErrorSumPlaces, kGerman), "12,25");
  EXPECT_EQ(FormatOptionalPlaces(3.0, kErrorSumPlaces, kGerman), "3,");
  EXPECT_EQ(FormatGrouped(1234567, kGerman), "1.234.567");
}

TEST(Separators, ClassicLocaleStillGroups) {
  // The test program never calls setlocale, so the "C" locale is current,
  // which has no thousands separator of its own.
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  EXPECT_EQ(FormatGrouped(1250), "1,250");
  EXPECT_EQ(FormatOptionalPlaces(12.25, kErrorSumPlaces), "12.25");
}

}  // namespace
}  // namespace kelda::status
