#include "cli/commands.h"

#include <cairo.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/demo.h"
#include "support/temp_db.h"

namespace kelda::cli {
namespace {

using test::TempDb;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kExamples =
    "CREATE TABLE T (Price REAL, Weight REAL, Profit REAL);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 40)"
    "  INSERT INTO T SELECT (i * 37 % 19) + 0.25, (i * 11 % 7) * 1.5, "
    "    (i * 37 % 19) * 0.8 - (i * 11 % 7) + 3.0 FROM n;"
    "INSERT INTO T VALUES (4.5, 3.0, NULL), (0.25, 9.0, NULL);";

// The tool run in this process, with its output captured.
class CliTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    args.insert(args.begin(), "kelda");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    Console console{out_, err_, out_is_terminal_, err_is_terminal_};
    return RunCli(static_cast<int>(argv.size()), argv.data(), console);
  }

  std::vector<uint64_t> ActualBits() {
    std::vector<uint64_t> bits;
    for (const test::Row& row : db_.Query("SELECT Actual FROM T ORDER BY rowid")) {
      bits.push_back(row[0].IsNull() ? 0xdeadu : std::bit_cast<uint64_t>(row[0].number()));
    }
    return bits;
  }

  TempDb db_{kExamples};
  std::ostringstream out_;
  std::ostringstream err_;
  bool out_is_terminal_ = false;
  bool err_is_terminal_ = false;
};

TEST_F(CliTest, JsonReportHoldsTheRelevanceByColumnName) {
  ASSERT_EQ(
      Run({"train", db_.path(), "T", "--epochs", "20", "--seed", "3", "--relevance", "--json"}),
      kExitSuccess)
      << err_.str();
  EXPECT_EQ(err_.str(), "") << "no progress into a stderr that is not a terminal";
  const nlohmann::json report = nlohmann::json::parse(out_.str());
  EXPECT_EQ(report["table"], "T");
  EXPECT_EQ(report["epochs"], 20);
  EXPECT_EQ(report["rows"], 42);
  EXPECT_EQ(report["cycle_text"], "Training Complete");
  EXPECT_THAT(report["error_text"].get<std::string>(), HasSubstr("RMS Error:"));
  const nlohmann::json& relevance = report["relevance"];
  ASSERT_EQ(relevance.size(), 2u);
  EXPECT_EQ(relevance[0]["name"], "Price");
  EXPECT_EQ(relevance[1]["name"], "Weight");
  for (const nlohmann::json& column : relevance) {
    EXPECT_TRUE(column["score"].is_number());
    EXPECT_GE(column["score"].get<double>(), 0.0);
  }
  EXPECT_FALSE(report.contains("network_file"));
}

TEST_F(CliTest, JsonKeepsProgressOffStdoutEvenOnATerminal) {
  out_is_terminal_ = true;
  err_is_terminal_ = true;
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "12", "--seed", "3", "--json"}),
            kExitSuccess);
  EXPECT_NO_THROW(nlohmann::json::parse(out_.str()));
  EXPECT_THAT(err_.str(), HasSubstr("\repoch"));
  EXPECT_THAT(err_.str(), HasSubstr("Training Complete"));
}

TEST_F(CliTest, ProgressIsAFewPlainLinesIntoAFile) {
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "25", "--seed", "3"}), kExitSuccess);
  const std::string text = out_.str();
  EXPECT_THAT(text, HasSubstr("epoch  1/25 Cycle 1  RMS Error:"));
  EXPECT_THAT(text, HasSubstr("epoch 20/25 Cycle 20  RMS Error:"));
  EXPECT_THAT(text, HasSubstr("epoch 25/25 Training Complete"));
  EXPECT_THAT(text, Not(HasSubstr("\r")));
  int epoch_lines = 0;
  for (std::size_t at = text.find("epoch "); at != std::string::npos;
       at = text.find("epoch ", at + 1)) {
    ++epoch_lines;
  }
  EXPECT_EQ(epoch_lines, 4) << text;

  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "25", "--seed", "3", "--quiet"}),
            kExitSuccess);
  EXPECT_THAT(out_.str(), Not(HasSubstr("epoch ")));
  EXPECT_THAT(out_.str(), HasSubstr("Trained on table 'T' (42 rows) for 25 epochs"));
}

TEST_F(CliTest, PredictFromTheSavedNetworkRestoresEveryPrediction) {
  const std::string file = db_.File("t.json");
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "40", "--seed", "5", "--relevance",
                 "--save-network", file, "--quiet"}),
            kExitSuccess)
      << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("Network saved to '" + file + "'"));
  EXPECT_THAT(out_.str(), HasSubstr("Price"));
  const std::vector<uint64_t> trained = ActualBits();

  db_.Exec("UPDATE T SET Actual = NULL");
  ASSERT_EQ(Run({"predict", db_.path(), "T", "--network", file}), kExitSuccess) << err_.str();
  EXPECT_EQ(out_.str(), "Wrote 42 predictions into column Actual of table 'T'\n");
  EXPECT_EQ(ActualBits(), trained);

  ASSERT_EQ(Run({"predict", db_.path(), "T", "--network", file, "--json"}), kExitSuccess);
  EXPECT_EQ(nlohmann::json::parse(out_.str())["rows"], 42);
}

TEST_F(CliTest, SeedMakesRunsRepeatable) {
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "15", "--seed", "9", "--quiet"}), 0);
  const std::vector<uint64_t> first = ActualBits();
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "15", "--seed", "10", "--quiet"}), 0);
  EXPECT_NE(ActualBits(), first);
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "15", "--seed", "9", "--quiet"}), 0);
  EXPECT_EQ(ActualBits(), first);
}

struct Invocation {
  const char* name;
  std::vector<std::string> args;  // "DB" stands for the test's database
  int status;
  const char* err;  // a part of stderr
};

std::ostream& operator<<(std::ostream& os, const Invocation& i) { return os << i.name; }

class ExitStatusTest : public CliTest, public ::testing::WithParamInterface<Invocation> {};

TEST_P(ExitStatusTest, StatusAndMessage) {
  std::vector<std::string> args = GetParam().args;
  for (std::string& a : args) {
    if (a == "DB") a = db_.path();
  }
  EXPECT_EQ(Run(args), GetParam().status) << err_.str();
  EXPECT_THAT(err_.str(), HasSubstr(GetParam().err));
}

INSTANTIATE_TEST_SUITE_P(
    Invocations, ExitStatusTest,
    ::testing::Values(
        Invocation{"Help", {"--help"}, 0, ""}, Invocation{"TrainHelp", {"train", "--help"}, 0, ""},
        Invocation{"PredictHelp", {"predict", "--help"}, 0, ""},
        Invocation{"DemoHelp", {"demo", "--help"}, 0, ""},
        Invocation{"NoEpochs", {"train", "DB", "T", "--epochs", "0", "--quiet"}, 0, ""},
        Invocation{"NegativeEpochs", {"train", "DB", "T", "--epochs", "-4", "--quiet"}, 0, ""},
        Invocation{"NegativeEpochsJoined", {"train", "DB", "T", "--epochs=-4", "--quiet"}, 0, ""},
        Invocation{"NoCommand", {}, 2, "A subcommand is required"},
        Invocation{"UnknownCommand", {"fit", "DB", "T"}, 2, ""},
        Invocation{"NoTable", {"train", "DB"}, 2, "TABLE"},
        Invocation{"UnknownOption", {"train", "DB", "T", "--layers", "3"}, 2, ""},
        Invocation{"EpochsNotANumber", {"train", "DB", "T", "--epochs", "many"}, 2, "--epochs"},
        Invocation{"EpochsTooLarge", {"train", "DB", "T", "--epochs", "2147483648"}, 2, ""},
        Invocation{"NegativeSeed", {"train", "DB", "T", "--seed", "-1"}, 2, "seed"},
        Invocation{
            "SeedTooLarge", {"train", "DB", "T", "--seed", "18446744073709551616"}, 2, "seed"},
        Invocation{"NoNetwork", {"predict", "DB", "T"}, 2, "--network"},
        Invocation{
            "MissingDatabase", {"train", "/nonexistent/x.db", "T"}, 1, "kelda: error 3024: "},
        Invocation{"MissingTable", {"train", "DB", "Nope"}, 1, "kelda: error 3078: "},
        Invocation{"MissingNetwork",
                   {"predict", "DB", "T", "--network", "/nonexistent/n.json"},
                   1,
                   "kelda: error 53: "},
        Invocation{"SaveIntoMissingFolder",
                   {"train", "DB", "T", "--epochs", "1", "--quiet", "--save-network",
                    "/nonexistent/n.json"},
                   1,
                   "kelda: error 75: "},
        Invocation{
            "NoWaitWithoutShowStatus", {"train", "DB", "T", "--no-wait"}, 2, "--show-status"},
        Invocation{
            "LiveWithoutPicture", {"train", "DB", "T", "--status-png-live"}, 2, "--status-png"},
        Invocation{"PictureWithoutFile", {"train", "DB", "T", "--status-png"}, 2, "--status-png"}),
    [](const ::testing::TestParamInfo<Invocation>& info) { return std::string(info.param.name); });

// The picture file as Cairo reads it back.
class Picture {
 public:
  explicit Picture(const std::string& path)
      : surface_(cairo_image_surface_create_from_png(path.c_str())) {}
  ~Picture() { cairo_surface_destroy(surface_); }
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  bool Read() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
  int Width() const { return cairo_image_surface_get_width(surface_); }
  int Height() const { return cairo_image_surface_get_height(surface_); }
  // Whether the rectangle holds text, &H00C000 on black.
  bool AnyTextIn(int left, int top, int right, int bottom) const {
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, data + y * stride + x * 4, sizeof pixel);
        if (((pixel >> 8) & 0xFF) > 0x80) return true;
      }
    }
    return false;
  }

 private:
  cairo_surface_t* surface_;
};

TEST_F(CliTest, StatusPictureOfTheFinishedRun) {
  const std::string png = db_.File("status.png");
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "5", "--seed", "3", "--json", "--status-png",
                 png}),
            kExitSuccess)
      << err_.str();
  EXPECT_EQ(nlohmann::json::parse(out_.str())["status_png"], png);
  const Picture picture(png);
  ASSERT_TRUE(picture.Read());
  EXPECT_EQ(picture.Width(), 385);
  EXPECT_EQ(picture.Height(), 162);
  EXPECT_TRUE(picture.AnyTextIn(1, 145, 192, 161)) << "SSQBox";
  EXPECT_TRUE(picture.AnyTextIn(194, 145, 384, 161)) << "CycleBox";

  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "5", "--quiet", "--status-png", png}),
            kExitSuccess);
  EXPECT_THAT(out_.str(), HasSubstr("Status window saved to '" + png + "'"));
}

// A picture that cannot be written fails the run: after training when it is
// written at the end, as the first report epoch is over when written live.
TEST_F(CliTest, StatusPictureThatCannotBeWritten) {
  const std::vector<std::string> run = {"train",    db_.path(),     "T",
                                        "--epochs", "25",           "--seed",
                                        "3",        "--status-png", "/nonexistent/s.png"};
  EXPECT_EQ(Run(run), kExitRunError);
  EXPECT_THAT(err_.str(), HasSubstr("kelda: error 75: "));
  EXPECT_THAT(out_.str(), HasSubstr("epoch 25/25 Training Complete"));

  std::vector<std::string> live = run;
  live.push_back("--status-png-live");
  EXPECT_EQ(Run(live), kExitRunError);
  EXPECT_THAT(err_.str(), HasSubstr("kelda: error 75: "));
  EXPECT_THAT(out_.str(), HasSubstr("epoch  1/25 Cycle 1"));
  EXPECT_THAT(out_.str(), Not(HasSubstr("Cycle 10")));
}

TEST_F(CliTest, ShowStatusWithoutADisplaySaysSoAndTrains) {
  // However the tests were started: no display, and GTK told so too.
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ::setenv("GDK_BACKEND", "none", 1);
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "12", "--seed", "3", "--show-status"}),
            kExitSuccess);
  EXPECT_THAT(err_.str(), HasSubstr("no display available"));
  EXPECT_THAT(out_.str(), HasSubstr("epoch 12/12 Training Complete"));
  EXPECT_THAT(out_.str(), HasSubstr("Trained on table 'T'"));
}

TEST_F(CliTest, ARunThatFailsMidwayReportsItsError) {
  db_.Exec("UPDATE T SET Weight = 'heavy' WHERE rowid = 7");
  EXPECT_EQ(Run({"train", db_.path(), "T", "--epochs", "5"}), kExitRunError);
  EXPECT_THAT(err_.str(), HasSubstr("kelda: error 13: "));
}

TEST(DemoDatabase, PricedRowsFirstThenTheOnesToPredict) {
  TempDb dir;
  const std::string path = WriteDemoDatabase(dir.File("demo"));
  // Written twice: the second replaces the first.
  ASSERT_EQ(WriteDemoDatabase(dir.File("demo")), path);
  test::RawDb db(path);
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM Houses").number(), kDemoPricedRows + kDemoUnpricedRows);
  EXPECT_EQ(db.Scalar("SELECT MAX(rowid) FROM Houses WHERE Price IS NOT NULL").number(),
            kDemoPricedRows);
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM Houses WHERE Price IS NULL").number(),
            kDemoUnpricedRows);
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM Houses WHERE FloorArea IS NULL OR GardenArea IS NULL "
                      "OR HouseNumber IS NULL")
                .number(),
            0.0);
}

// The score on the relevance line of `column`: "  name  score  ###".
double ScoreIn(const std::string& text, const std::string& column) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name;
    double score = 0.0;
    if (fields >> name >> score && name == column) return score;
  }
  ADD_FAILURE() << "no relevance line for " << column;
  return 0.0;
}

TEST(Demo, RanksTheInputsAndPredictsTheUnsoldHouses) {
  TempDb dir;
  std::ostringstream out;
  std::ostringstream err;
  Console console{out, err, false, false};
  RunDemo(dir.File("demo"), console);
  const std::string text = out.str();
  const double area = ScoreIn(text, "FloorArea");
  const double garden = ScoreIn(text, "GardenArea");
  const double number = ScoreIn(text, "HouseNumber");
  EXPECT_GT(area, 2 * garden) << text;
  EXPECT_GT(garden, 2 * number) << text;

  EXPECT_THAT(text, HasSubstr(kDemoStatusPictureName));
  const Picture picture(dir.File("demo") + "/" + kDemoStatusPictureName);
  ASSERT_TRUE(picture.Read());
  EXPECT_EQ(picture.Width(), 385);

  test::RawDb db(dir.File("demo") + "/" + kDemoDatabaseName);
  EXPECT_EQ(db.Scalar("SELECT COUNT(*) FROM Houses WHERE Price IS NULL AND Actual > 0").number(),
            kDemoUnpricedRows);
  // A visible fit: typical predictions land within a few percent.
  EXPECT_LT(
      db.Scalar("SELECT AVG(ABS(Actual - Price) / Price) FROM Houses WHERE rowid > 1").number(),
      0.06);
}

}  // namespace
}  // namespace kelda::cli
