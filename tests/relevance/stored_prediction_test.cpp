#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>

#include "relevance/input_relevance.h"
#include "support/number_text.h"
#include "training/prediction.h"

namespace kelda::relevance {
namespace {

struct Stored {
  double prediction;
  double stored;
};

using test::Text;

void PrintTo(const Stored& s, std::ostream* os) {
  *os << Text(s.prediction) << " stored as " << Text(s.stored);
}

// The prediction as a test name: -0.00004 becomes OfMinus4eMinus05.
std::string PredictionName(const ::testing::TestParamInfo<Stored>& info) {
  return "Of" + test::NamePart(info.param.prediction);
}

class StoredPredictionTest : public ::testing::TestWithParam<Stored> {};

TEST_P(StoredPredictionTest, SmallValuesAreRoundedToFourDecimals) {
  const double got = training::StoredPrediction(GetParam().prediction);
  EXPECT_EQ(got, GetParam().stored) << GetParam().prediction;
  EXPECT_FALSE(std::signbit(got) && got == 0.0) << "negative zero stored";
}

INSTANTIATE_TEST_SUITE_P(
    Predictions, StoredPredictionTest,
    ::testing::Values(Stored{0.05, 0.05}, Stored{0.1, 0.1}, Stored{0.123456, 0.123456},
                      Stored{0.0123456, 0.0123}, Stored{-2.71828, -2.7183},
                      Stored{1234.56789, 1234.56789}, Stored{0.0999999, 0.1},
                      // Exactly 0, and values whose four-decimal text has no digit: 0.
                      Stored{0.0, 0.0}, Stored{0.00004, 0.0}, Stored{-0.00004, 0.0},
                      Stored{0.00005, 0.0001}, Stored{-1e-300, 0.0}),
    PredictionName);

struct Score {
  const char* name;
  double reference;
  double a;
  double t;
  double expected;
};

void PrintTo(const Score& s, std::ostream* os) {
  *os << "reference " << s.reference << ", prediction " << s.a << ", target " << s.t << " -> "
      << s.expected;
}

class RowScoreTest : public ::testing::TestWithParam<Score> {};

TEST_P(RowScoreTest, CountsPredictionsOnTheWrongSideOfTheReference) {
  EXPECT_EQ(RowScore(GetParam().reference, GetParam().a, GetParam().t), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, RowScoreTest,
                         ::testing::Values(Score{"AboveTargetAndReference", 4, 5, 3, 2},
                                           Score{"AboveTargetBelowReference", 6, 5, 3, 0},
                                           Score{"BelowTargetAndReference", 4, 3, 5, 2},
                                           Score{"BelowTargetAtReference", 3, 3, 5, 2},
                                           Score{"BelowTargetAboveReference", 2, 3, 5, 0},
                                           Score{"OnTargetAboveReference", 4, 5, 5, 0},
                                           Score{"OnTargetBelowReference", 6, 3, 3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda::relevance
