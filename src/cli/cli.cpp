#include "cli/cli.h"

#include <new>

#include <fmt/format.h>
#include <kelda/error.h>
#include <kelda/value.h>
#include <sqlite3.h>
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdint>
#include <string>
#include <system_error>

#include "cli/demo.h"
#include "cli/import.h"
#include "cli/interrupt.h"

namespace kelda::cli {

namespace {

constexpr const char* kDefaultDemoDir = "kelda-demo";

// Checked as text before the conversion, which would take "-1" for a huge
// seed and cut a number too large for 64 bits down to the largest one.
CLI::Validator SeedText() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        uint64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
          return "a seed is a whole number from 0 to 18446744073709551615, not " + text;
        }
        return "";
      },
      "");
}

// Checked as text too: the conversion would take an empty text for 0.
CLI::Validator EpochsText() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        int32_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
          return "epochs are a whole number from 0 to 2147483647, not '" + text + "'";
        }
        return "";
      },
      "");
}

// An empty name would otherwise mean "do not write the file".
CLI::Validator FileName() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        return text.empty() ? "a file name is needed, not an empty text" : "";
      },
      "");
}

// An empty name is taken for a mistake (most often an unset variable in a
// script): SQLite would take an empty file name for a private scratch
// database, and an empty table name for a table that is really so named.
CLI::Validator Named(const char* what) {
  return CLI::Validator(
      [what](const std::string& text) -> std::string {
        return text.empty() ? fmt::format("a {} is needed, not an empty text", what) : "";
      },
      "");
}

void AddTrain(CLI::App& app, TrainOptions& options, uint64_t& seed, CLI::Option*& seed_option,
              bool& no_wait) {
  CLI::App* train = app.add_subcommand(
      "train", "Train a network on a table and write its predictions into the column Actual");
  train->footer(
      "The table's input columns come first, the target after them, Actual last (added when "
      "missing). Training stops at the first row whose target is Null; every row gets a "
      "prediction.");
  train->add_option("DB", options.database, "SQLite database file")
      ->required()
      ->check(Named("database file"));
  train->add_option("TABLE", options.table, "Table of examples")
      ->required()
      ->check(Named("table name"));
  train->add_option("--epochs", options.epochs, "Epochs to train (0: none)")
      ->capture_default_str()
      ->check(EpochsText());
  seed_option = train->add_option("--seed", seed, "Seed of the initial weights (default: clock)")
                    ->check(SeedText());
  train
      ->add_option("--save-network", options.save_network,
                   "Save the trained network to FILE, for `kelda predict`")
      ->type_name("FILE")
      ->check(FileName());
  train->add_flag("--relevance", options.relevance,
                  "Score how much each input column matters, and print the scores");
  train->add_flag("--json", options.json,
                  "Print the report as one JSON object; progress only to a terminal's stderr");
  train->add_flag("--json-predictions", options.json_predictions,
                  "The JSON report with every row's stored prediction too, in table order");
  train->add_flag("--quiet", options.quiet, "Show no progress");
  CLI::Option* png =
      train
          ->add_option("--status-png", options.status_png,
                       "Write a picture of the status window to FILE once the run is over")
          ->type_name("FILE")
          ->check(FileName());
  train
      ->add_flag("--status-png-live", options.status_png_live,
                 "Also rewrite the picture after every report epoch, to follow the run")
      ->needs(png);
  CLI::Option* show =
      train->add_flag("--show-status", options.show_status,
                      "Show the status window during the run and keep it open until it is closed");
  train->add_flag("--no-wait", no_wait, "With --show-status: end when the run does")->needs(show);
}

void AddPredict(CLI::App& app, PredictOptions& options) {
  CLI::App* predict = app.add_subcommand(
      "predict", "Write a saved network's predictions into the column Actual of a table");
  predict->footer(
      "The input columns are found by their names, wherever they stand in the table; Actual is "
      "added when missing.");
  predict->add_option("DB", options.database, "SQLite database file")
      ->required()
      ->check(Named("database file"));
  predict->add_option("TABLE", options.table, "Table to predict")
      ->required()
      ->check(Named("table name"));
  predict->add_option("--network", options.network_file, "Network file saved by `kelda train`")
      ->required()
      ->type_name("FILE");
  predict->add_flag("--json", options.json, "Print the report as one JSON object");
}

void AddDemo(CLI::App& app, std::string& dir) {
  CLI::App* demo = app.add_subcommand(
      "demo", "Write a sample database of house sales, train on it and show the results");
  demo->add_option("DIR", dir, "Folder for the sample database")->capture_default_str();
}

// A share of the rows: at least 0 and less than 1.
CLI::Validator FractionText() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        const std::optional<double> value = ParseNumber(text);
        if (!value || *value < 0.0 || *value >= 1.0) {
          return "a holdout is a fraction from 0 up to (not including) 1, not '" + text + "'";
        }
        return "";
      },
      "");
}

void AddImport(CLI::App& app, ImportOptions& options, uint64_t& seed, CLI::Option*& seed_option) {
  CLI::App* import = app.add_subcommand(
      "import", "Make a training table from a CSV file: the inputs, the target, then Actual");
  import->footer(
      "The CSV file starts with a row of column names. Every input cell must be a number; an "
      "empty target cell marks a row to predict, which is put last. The table must not exist "
      "yet; the database file is created when missing.");
  import->add_option("FILE", options.csv, "CSV file with a header row")->required();
  import->add_option("DB", options.database, "SQLite database file")
      ->required()
      ->check(Named("database file"));
  import->add_option("TABLE", options.table, "The new table")
      ->required()
      ->check(Named("table name"));
  import->add_option("--target", options.target, "The column to predict")->required();
  import
      ->add_option("--inputs", options.inputs,
                   "Input columns in the order wanted, A,B,C (default: every other column)")
      ->delimiter(',');
  seed_option =
      import->add_option("--shuffle", seed, "Put the rows in a random order fixed by SEED")
          ->type_name("SEED")
          ->check(SeedText());
  import
      ->add_option("--holdout", options.holdout,
                   "Put this fraction of the rows last with a Null target, their targets in "
                   "TABLE_holdout")
      ->type_name("FRACTION")
      ->check(FractionText());
}

// The version, and the SQLite the tool runs on, which may be newer than the
// one it was built with.
std::string VersionText() {
  return fmt::format("kelda {}\nSQLite {}", KELDA_VERSION, sqlite3_libversion());
}

}  // namespace

int RunCli(int argc, const char* const* argv, Console& console) {
  CLI::App app("Train a feed-forward network on a database table, and predict with it.", "kelda");
  app.require_subcommand(1);
  app.set_version_flag("--version", VersionText(), "Print the version and the SQLite it runs on");

  TrainOptions train;
  uint64_t seed = 0;
  CLI::Option* seed_option = nullptr;
  bool no_wait = false;
  PredictOptions predict;
  std::string demo_dir = kDefaultDemoDir;
  AddTrain(app, train, seed, seed_option, no_wait);
  AddPredict(app, predict);
  AddDemo(app, demo_dir);
  ImportOptions import;
  uint64_t shuffle = 0;
  CLI::Option* shuffle_option = nullptr;
  AddImport(app, import, shuffle, shuffle_option);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, console.out, console.err);
    return code == 0 ? kExitSuccess : kExitUsage;
  }

  bool wait_for_window = false;
  try {
    InterruptScope interrupt;
    if (app.got_subcommand("train")) {
      if (seed_option->count() > 0) train.seed = seed;
      train.json = train.json || train.json_predictions;
      PrintTrainReport(Train(train, console), train.json, console);
      wait_for_window = train.show_status && !no_wait;
    } else if (app.got_subcommand("predict")) {
      RunPredict(predict, console);
    } else if (app.got_subcommand("import")) {
      if (shuffle_option->count() > 0) import.shuffle = shuffle;
      const ImportReport report = ImportCsv(import, InterruptibleWork());
      // Committed: the table is there whatever comes now, and the status
      // says so.
      PrintImportReport(import, report, console.out);
      return kExitSuccess;
    } else {
      RunDemo(demo_dir, console);
    }
    // A signal that came after the last check still ends the tool as
    // interrupted: whoever sent it is told so by the exit status.
    if (ReceivedSignal() != 0) {
      Raise(kErrUserInterrupt,
            StandardErrorText(kErrUserInterrupt) + " after the command had completed");
    }
  } catch (const Error& e) {
    console.out.flush();
    console.err << fmt::format("kelda: error {}: {}\n", e.Number(), e.Description());
    if (e.Number() == kErrUserInterrupt && ReceivedSignal() != 0) {
      return kExitSignalBase + ReceivedSignal();
    }
    return kExitRunError;
  } catch (const std::bad_alloc&) {
    // Memory running out is a run-time error like any other, with its number.
    console.out.flush();
    console.err << fmt::format("kelda: error {}: {}\n", kErrOutOfMemory,
                               StandardErrorText(kErrOutOfMemory));
    return kExitRunError;
  }
  // Outside the interrupt's scope: closing the window, or Ctrl-C, ends it.
  if (wait_for_window) WaitForStatusWindow(console);
  return kExitSuccess;
}

}  // namespace kelda::cli
