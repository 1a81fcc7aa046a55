#include "cli/commands.h"

#include <cairo.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli.h"
#include "cli/demo.h"
#include "support/process.h"
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

// The figures of the report are those of the stored predictions, in the
// target's units, over the example rows only: not over the two rows after
// them whose target is Null.
TEST_F(CliTest, JsonReportGivesTheFitOfTheStoredPredictions) {
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "30", "--seed", "3", "--json-predictions"}),
            kExitSuccess)
      << err_.str();
  const nlohmann::json report = nlohmann::json::parse(out_.str());
  EXPECT_EQ(report["epochs"], 30);
  EXPECT_EQ(report["epochs_run"], 30);
  EXPECT_EQ(report["ended"], "completed");
  EXPECT_EQ(report["examples"], 40);
  const double mse =
      db_.Scalar("SELECT AVG((Actual - Profit) * (Actual - Profit)) FROM T WHERE rowid <= 40")
          .number();
  const double spread =
      db_.Scalar(
             "SELECT SUM((Profit - m) * (Profit - m)) FROM T, "
             "(SELECT AVG(Profit) AS m FROM T WHERE rowid <= 40) WHERE T.rowid <= 40")
          .number();
  EXPECT_NEAR(report["rmse"].get<double>(), std::sqrt(mse), 1e-9 * std::sqrt(mse));
  EXPECT_NEAR(report["r2"].get<double>(), 1.0 - 40 * mse / spread, 1e-9);

  const nlohmann::json& predictions = report["predictions"];
  const std::vector<uint64_t> stored = ActualBits();
  ASSERT_EQ(predictions.size(), stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(std::bit_cast<uint64_t>(predictions[i].get<double>()), stored[i]) << "row " << i + 1;
  }
}

// A row another writer puts before the first one while the run goes (here a
// trigger on the run's first write, at rowid -1, with an outlandish target)
// is not one of the run's rows: the figures and the listed predictions are
// those of the same run on the untouched table.
TEST_F(CliTest, FiguresComeFromTheRunsOwnRows) {
  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "30", "--seed", "3", "--json-predictions"}),
            kExitSuccess)
      << err_.str();
  const nlohmann::json plain = nlohmann::json::parse(out_.str());

  TempDb changed(kExamples);
  changed.Exec(
      "ALTER TABLE T ADD COLUMN Actual DOUBLE;"
      "CREATE TRIGGER Intruder AFTER UPDATE OF Actual ON T"
      "  WHEN NOT EXISTS (SELECT 1 FROM T WHERE rowid = -1) BEGIN"
      "  INSERT INTO T (rowid, Price, Weight, Profit, Actual) VALUES (-1, 9e3, 9e3, 9e6, -7);"
      "END;");
  ASSERT_EQ(
      Run({"train", changed.path(), "T", "--epochs", "30", "--seed", "3", "--json-predictions"}),
      kExitSuccess)
      << err_.str();
  const nlohmann::json report = nlohmann::json::parse(out_.str());
  ASSERT_EQ(changed.Scalar("SELECT Actual FROM T WHERE rowid = -1").number(), -7.0);
  for (const char* key : {"rows", "examples", "rmse", "r2", "predictions"}) {
    EXPECT_EQ(report[key], plain[key]) << key;
  }
}

// Every example's target lies mid-range (rows after the Null target widen
// the range): a report epoch's whole pass soon fits.
TEST_F(CliTest, SummarySaysWhenTheRunConverged) {
  TempDb fits(
      "CREATE TABLE T (A REAL, Y REAL);"
      "INSERT INTO T VALUES (1, 5), (2, 5), (3, 5), (2.5, NULL), (0, 0), (4, 10);");
  ASSERT_EQ(Run({"train", fits.path(), "T", "--epochs", "500", "--seed", "11", "--json"}),
            kExitSuccess);
  const nlohmann::json report = nlohmann::json::parse(out_.str());
  EXPECT_EQ(report["ended"], "converged");
  EXPECT_LT(report["epochs_run"].get<int>(), 500);
  EXPECT_EQ(report["epochs"], 500);
  EXPECT_EQ(report["examples"], 3);
  EXPECT_TRUE(report["r2"].is_null()) << "every example has the same target";
  EXPECT_LT(report["rmse"].get<double>(), 0.5);

  ASSERT_EQ(Run({"train", fits.path(), "T", "--epochs", "500", "--seed", "11", "--quiet"}),
            kExitSuccess);
  EXPECT_THAT(out_.str(), testing::MatchesRegex("Trained on table 'T' \\(6 rows\\) for [0-9]+ of "
                                                "500 epochs, converged: RMSE [0-9.e-]+, R2 n/a "
                                                "over 3 example rows\n"));
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
  EXPECT_THAT(out_.str(),
              HasSubstr("Trained on table 'T' (42 rows) for 25 of 25 epochs, completed: RMSE "));
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

void PrintTo(const Invocation& i, std::ostream* os) { *os << i.name; }

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
        Invocation{"NegativeEpochs", {"train", "DB", "T", "--epochs", "-4"}, 2, "--epochs"},
        Invocation{"NegativeEpochsJoined", {"train", "DB", "T", "--epochs=-4"}, 2, "--epochs"},
        Invocation{"EmptyEpochs", {"train", "DB", "T", "--epochs", ""}, 2, "--epochs"},
        Invocation{"EmptyNetworkFile", {"train", "DB", "T", "--save-network", ""}, 2, "--save"},
        Invocation{"EmptyPictureFile", {"train", "DB", "T", "--status-png="}, 2, "--status-png"},
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

// Where an output file cannot go, the run is refused before it trains: the
// table is left as it was.
struct Destination {
  const char* name;
  // The path to give, made in the test's folder `dir`; the database is `db`.
  std::string (*make)(const TempDb& db);
};

void PrintTo(const Destination& d, std::ostream* os) { *os << d.name; }

const Destination kDestinations[] = {
    {"MissingFolder", [](const TempDb& db) { return db.File("none/out"); }},
    {"Folder", [](const TempDb& db) { return db.dir(); }},
    {"Device", [](const TempDb&) { return std::string("/dev/null"); }},
    {"Fifo",
     [](const TempDb& db) {
       const std::string path = db.File("fifo");
       ::mkfifo(path.c_str(), 0600);
       return path;
     }},
    {"TheDatabase", [](const TempDb& db) { return db.path(); }},
    {"LinkToTheDatabase",
     [](const TempDb& db) {
       const std::string link = db.File("db-link");
       std::filesystem::create_symlink(db.path(), link);
       return link;
     }},
    {"LinkLoop",
     [](const TempDb& db) {
       std::filesystem::create_symlink("loop-b", db.File("loop-a"));
       std::filesystem::create_symlink("loop-a", db.File("loop-b"));
       return db.File("loop-a");
     }},
};

void PrintTo(const std::tuple<const char*, Destination>& p, std::ostream* os) {
  *os << std::get<0>(p) << " to ";
  PrintTo(std::get<1>(p), os);
}

class DestinationTest : public CliTest,
                        public ::testing::WithParamInterface<std::tuple<const char*, Destination>> {
};

TEST_P(DestinationTest, RefusedBeforeTraining) {
  const auto& [option, destination] = GetParam();
  std::vector<std::string> args = {"train", db_.path(),           "T", "--epochs", "12",
                                   option,  destination.make(db_)};
  if (std::string(option) == "--status-png") args.push_back("--status-png-live");
  EXPECT_EQ(Run(args), kExitRunError);
  EXPECT_THAT(err_.str(), HasSubstr("kelda: error 75: "));
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(
      db_.Scalar("SELECT COUNT(*) FROM pragma_table_info('T') WHERE name = 'Actual'").number(),
      0.0);
  EXPECT_EQ(db_.Scalar("PRAGMA integrity_check").text(), "ok");
}

INSTANTIATE_TEST_SUITE_P(Unusable, DestinationTest,
                         ::testing::Combine(::testing::Values("--save-network", "--status-png"),
                                            ::testing::ValuesIn(kDestinations)),
                         [](const auto& info) {
                           const std::string option = std::get<0>(info.param);
                           return (option == "--status-png" ? std::string("Picture")
                                                            : std::string("Network")) +
                                  std::get<1>(info.param).name;
                         });

// A symbolic link (here a chain of two, relative, to a file not there yet)
// is written through: the link stays, the file it names gets the content.
TEST_F(CliTest, OutputFilesAreWrittenThroughSymbolicLinks) {
  namespace fs = std::filesystem;
  fs::create_directories(db_.File("out"));
  fs::create_directories(db_.File("kept"));
  fs::create_symlink("../kept/net.json", db_.File("out/net-link"));
  fs::create_symlink("net-link", db_.File("out/net.json"));
  fs::create_symlink("../kept/status.png", db_.File("out/status.png"));
  db_.WriteFile("kept/status.png", "an older picture");

  ASSERT_EQ(Run({"train", db_.path(), "T", "--epochs", "3", "--quiet", "--save-network",
                 db_.File("out/net.json"), "--status-png", db_.File("out/status.png")}),
            kExitSuccess)
      << err_.str();
  EXPECT_THAT(out_.str(), HasSubstr("Network saved to '" + db_.File("out/net.json") + "'"));
  for (const char* link : {"out/net.json", "out/net-link", "out/status.png"}) {
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(db_.File(link)))) << link;
  }
  EXPECT_EQ(fs::read_symlink(db_.File("out/net.json")), "net-link");
  EXPECT_EQ(nlohmann::json::parse(test::FileText(db_.File("kept/net.json")))["target"]["name"],
            "Profit");
  EXPECT_TRUE(Picture(db_.File("kept/status.png")).Read());
  // Nothing was left beside the links.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(db_.File("out"))) ++entries;
  EXPECT_EQ(entries, 3);
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
