// The CSV reader of the import: what records and cells a text holds, and
// where an error says a malformed text goes wrong.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kelda/import.h>

#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/raised.h"

namespace kelda {
namespace {

using ::testing::HasSubstr;
using Cells = std::vector<std::string>;

struct Record {
  int64_t line;
  Cells cells;
};

struct Parsed {
  const char* name;
  std::string text;
  std::vector<Record> records;
};

void PrintTo(const Parsed& p, std::ostream* os) { *os << p.name; }

class CsvTest : public ::testing::TestWithParam<Parsed> {};

TEST_P(CsvTest, ReadsRecordsCellsAndLines) {
  const std::vector<CsvRecord> got = ParseCsv(GetParam().text, "t.csv");
  const std::vector<Record>& want = GetParam().records;
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].line, want[i].line) << "record " << i;
    EXPECT_EQ(got[i].cells, want[i].cells) << "record " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CsvTest,
    ::testing::Values(
        Parsed{"Empty", "", {}}, Parsed{"Plain", "a,b\n1,2\n", {{1, {"a", "b"}}, {2, {"1", "2"}}}},
        Parsed{"NoFinalLineBreak", "a,b\n1,2", {{1, {"a", "b"}}, {2, {"1", "2"}}}},
        Parsed{"Crlf", "a,b\r\n1,2\r\n", {{1, {"a", "b"}}, {2, {"1", "2"}}}},
        Parsed{"LoneCarriageReturns", "a,b\r1,2\r", {{1, {"a", "b"}}, {2, {"1", "2"}}}},
        Parsed{"ByteOrderMark",
               "\xEF\xBB\xBF"
               "a,b\n1,2\n",
               {{1, {"a", "b"}}, {2, {"1", "2"}}}},
        Parsed{"MarkOnlyAtTheStart", "a\n\xEF\xBB\xBF\n", {{1, {"a"}}, {2, {"\xEF\xBB\xBF"}}}},
        Parsed{"BlankLinesSkipped", "\na\n\r\n\n1\n", {{2, {"a"}}, {5, {"1"}}}},
        Parsed{"EmptyCells", ",a,,\n", {{1, {"", "a", "", ""}}}},
        Parsed{"QuotedEmptyCellIsARecord", "\"\"\n", {{1, {""}}}},
        Parsed{"QuotedCommaAndQuote", "\"x,\"\"y\"\"\",z\n", {{1, {"x,\"y\"", "z"}}}},
        Parsed{"QuotedLineBreaks", "\"a\nb\",c\nd\n", {{1, {"a\nb", "c"}}, {3, {"d"}}}},
        Parsed{"QuotedCrlfKept", "\"a\r\nb\"\r\nc\r\n", {{1, {"a\r\nb"}}, {3, {"c"}}}},
        Parsed{"QuoteInsideAPlainCell", "a\"b,c\n", {{1, {"a\"b", "c"}}}},
        Parsed{"BlanksKept", " a , b\n", {{1, {" a ", " b"}}}}),
    [](const ::testing::TestParamInfo<Parsed>& info) { return std::string(info.param.name); });

struct Malformed {
  const char* name;
  std::string text;
  const char* message;
};

void PrintTo(const Malformed& m, std::ostream* os) { *os << m.name; }

class MalformedCsvTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedCsvTest, IsRefusedNamingTheTextAndLine) {
  const std::optional<Error> e = test::RaisedBy([] { ParseCsv(GetParam().text, "t.csv"); });
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->Number(), kErrInvalidArgument);
  EXPECT_THAT(e->Description(), HasSubstr(std::string("t.csv: ") + GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedCsvTest,
    ::testing::Values(
        Malformed{"NeverClosed", "a\n\"b\n\nc\n", "line 2: a quote opened here is never closed"},
        Malformed{"TextAfterTheQuote", "a\n\"b\"c\n", "line 2: text after the closing quote"},
        Malformed{"TextAfterAQuoteOverLines", "a\n\"b\nc\" ,d\n",
                  "line 3: text after the closing quote"},
        Malformed{"SecondQuoteInACell", "\"a\"\"\n", "line 1: a quote opened here is never"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelda
