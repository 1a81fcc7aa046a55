#include "cli/commands.h"

#include <fmt/format.h>

#include <kelda/database_name.h>
#include <kelda/error.h>
#include <kelda/fit.h>
#include <kelda/import.h>
#include <kelda/network.h>
#include <kelda/network_file.h>
#include <kelda/run_options.h>
#include <kelda/status_picture.h>
#include <kelda/status_window.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "cli/interrupt.h"
#include "cli/output_file.h"
#include "cli/progress.h"

namespace kelda::cli {

namespace {

// Ends the progress display when the run stops by an error.
class AbandonUnlessFinished {
 public:
  explicit AbandonUnlessFinished(std::optional<ProgressDisplay>& display) : display_(display) {}
  ~AbandonUnlessFinished() {
    if (display_ && !finished_) display_->Abandon();
  }
  AbandonUnlessFinished(const AbandonUnlessFinished&) = delete;
  AbandonUnlessFinished& operator=(const AbandonUnlessFinished&) = delete;
  void Finished() { finished_ = true; }

 private:
  std::optional<ProgressDisplay>& display_;
  bool finished_ = false;
};

// Runs `step`, first checking for an interrupt; an interrupt that stops it
// is raised again with the text `where()` adds, so that the message says how
// far the command got.
template <class Step, class Where>
void Interruptible(Step&& step, Where&& where) {
  try {
    CheckInterrupt();
    step();
  } catch (const Error& e) {
    if (e.Number() != kErrUserInterrupt) throw;
    Raise(kErrUserInterrupt, fmt::format("{} {}", e.Description(), where()));
  }
}

std::optional<ProgressDisplay> MakeDisplay(const TrainOptions& options, Console& console) {
  std::optional<ProgressDisplay> display;
  if (options.quiet) return display;
  if (options.json) {
    // stdout carries the JSON alone; a log file gets no progress at all.
    if (console.err_is_terminal) display.emplace(console.err, ProgressDisplay::Style::kTerminal);
  } else {
    display.emplace(console.out, console.out_is_terminal ? ProgressDisplay::Style::kTerminal
                                                         : ProgressDisplay::Style::kLines);
  }
  return display;
}

}  // namespace

TrainReport Train(const TrainOptions& options, Console& console) {
  // Checked before anything is trained, so that a run never ends in a
  // result it cannot keep.
  const std::string network_path =
      options.save_network.empty() ? "" : ResolveOutputFile(options.save_network, options.database);
  const std::string picture_path =
      options.status_png.empty() ? "" : ResolveOutputFile(options.status_png, options.database);

  std::optional<ProgressDisplay> display = MakeDisplay(options, console);
  const WorkOptions work = InterruptibleWork();

  // The live picture is rewritten at the first yield of an epoch, once the
  // window shows a report that the picture does not (an earlier run's texts
  // until this run has shown one).
  int32_t pictured_epoch = 0;
  StatusTexts pictured = CurrentStatusTexts();
  auto picture = [&picture_path, &pictured_epoch, &pictured](int32_t epoch) {
    if (epoch == pictured_epoch) return;
    pictured_epoch = epoch;
    StatusTexts now = CurrentStatusTexts();
    if (now == pictured) return;
    pictured = std::move(now);
    StatusPicture().WritePng(picture_path);
  };
  const bool live_picture = options.status_png_live && !picture_path.empty();
  RunOptions run;
  run.cancel = work.cancel;
  run.seed = options.seed;
  run.progress = [&display, &picture, live_picture](const RunProgress& p) {
    if (display) display->Update(ProgressSnapshot{p.epoch, p.epochs, p.cycle_text, p.error_text});
    if (live_picture) picture(p.epoch);
  };
  // The progress line and the live picture leave the database alone.
  run.progress_writes_database = false;

  Network network;
  network.SetMSAccessDBName(options.database);
  network.SetMSAccessTableName(options.table);
  network.SetEpochs(options.epochs);
  network.SetHiddenLayerCount(0);
  if (options.show_status) {
    network.ShowStatus();
    if (!StatusWindowOnScreen()) {
      console.err << "kelda: no display available; the status window is not shown\n" << std::flush;
    }
  }
  {
    AbandonUnlessFinished guard(display);
    // A run stopped during set-up has begun no epoch.
    Interruptible([&network, &run] { network.RunNetwork(run); },
                  [&network, &options] {
                    return fmt::format("at epoch {} of {}", network.EpochsRun(), options.epochs);
                  });
    if (display) {
      const StatusTexts texts = CurrentStatusTexts();
      display->Finish(ProgressSnapshot{network.EpochsRun(), options.epochs, texts.cycle_text,
                                       texts.error_text});
    }
    guard.Finished();
  }

  // The run is complete and its predictions stored; an interrupt of what
  // follows says so.
  auto after_training = [] { return std::string("after training had completed"); };
  TrainReport report;
  // A server's password never reaches the report.
  report.database = ShownDatabaseName(options.database);
  report.table = options.table;
  report.epochs = options.epochs;
  report.epochs_run = network.EpochsRun();
  report.converged = network.Converged();
  StatusTexts final_texts = CurrentStatusTexts();
  report.cycle_text = std::move(final_texts.cycle_text);
  report.error_text = std::move(final_texts.error_text);
  Interruptible(
      [&] {
        RunFit outcome = MeasureRunFit(network, options.json_predictions, work);
        report.rows = outcome.rows;
        report.fit = outcome.fit;
        report.predictions = std::move(outcome.predictions);
      },
      after_training);
  Interruptible([&] { report.holdout = MeasureHoldout(options.database, options.table, work); },
                after_training);

  if (options.relevance) {
    std::optional<std::vector<double>> scores;
    Interruptible([&] { scores = network.InputRelevance(work); },
                  [] {
                    return std::string(
                        "while the inputs were scored: rows scored so far hold predictions "
                        "made with one input withheld");
                  });
    std::vector<ColumnScore> named;
    if (scores) {
      const std::vector<std::string> names = network.InputColumnNames();
      for (std::size_t i = 0; i < scores->size(); ++i) {
        named.push_back(ColumnScore{i < names.size() ? names[i] : "", (*scores)[i]});
      }
    }
    report.relevance = std::move(named);
  }
  if (!network_path.empty()) {
    Interruptible([&] { SaveNetworkFile(CaptureNetwork(network), network_path); }, after_training);
    report.network_file = options.save_network;
  }
  // Last, so that a picture that cannot be written costs nothing else.
  if (!picture_path.empty()) {
    Interruptible([&] { StatusPicture().WritePng(picture_path); }, after_training);
    report.status_png = options.status_png;
  }
  return report;
}

void WaitForStatusWindow(Console& console) {
  if (!StatusWindowOnScreen()) return;
  console.out << std::flush;
  console.err << "Close the status window to finish.\n" << std::flush;
  WaitForStatusWindowClosed();
}

void PrintRelevance(const std::vector<ColumnScore>& scores, std::ostream& out) {
  constexpr int kBarWidth = 30;
  std::size_t name_width = 0;
  double highest = 0.0;
  for (const ColumnScore& s : scores) {
    name_width = std::max(name_width, s.name.size());
    highest = std::max(highest, s.score);
  }
  for (const ColumnScore& s : scores) {
    const int bar = highest > 0.0 ? static_cast<int>(s.score / highest * kBarWidth + 0.5) : 0;
    out << fmt::format("  {:<{}}  {:>14.4f}  {}\n", s.name, name_width, s.score,
                       std::string(static_cast<std::size_t>(std::max(bar, 0)), '#'));
  }
}

void PrintTrainReport(const TrainReport& report, bool json, Console& console) {
  if (json) {
    auto figure = [](const std::optional<double>& v) {
      return v ? nlohmann::ordered_json(*v) : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json j = {{"database", report.database},
                                {"table", report.table},
                                {"epochs", report.epochs},
                                {"epochs_run", report.epochs_run},
                                {"ended", report.converged ? "converged" : "completed"},
                                {"rows", report.rows},
                                {"examples", report.fit.examples},
                                {"rmse", figure(report.fit.rmse)},
                                {"r2", figure(report.fit.r2)},
                                {"cycle_text", report.cycle_text},
                                {"error_text", report.error_text}};
    if (report.predictions) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const std::optional<double>& p : *report.predictions) list.push_back(figure(p));
      j["predictions"] = std::move(list);
    }
    if (report.relevance) {
      nlohmann::ordered_json list = nlohmann::ordered_json::array();
      for (const ColumnScore& s : *report.relevance) {
        list.push_back({{"name", s.name}, {"score", s.score}});
      }
      j["relevance"] = std::move(list);
    }
    if (report.holdout) {
      j["holdout"] = {{"rows", report.holdout->examples},
                      {"rmse", figure(report.holdout->rmse)},
                      {"r2", figure(report.holdout->r2)}};
    }
    if (!report.network_file.empty()) j["network_file"] = report.network_file;
    if (!report.status_png.empty()) j["status_png"] = report.status_png;
    // Names that are not UTF-8 are written with replacement characters
    // rather than failing a report whose run has succeeded.
    console.out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    return;
  }
  console.out << fmt::format("Trained on table '{}' ({} rows) for {} of {} epochs, {}",
                             report.table, report.rows, report.epochs_run, report.epochs,
                             report.converged ? "converged" : "completed");
  const FitFigures& fit = report.fit;
  if (fit.rmse) {
    console.out << fmt::format(": RMSE {:.6g}, R2 {} over {} example rows", *fit.rmse,
                               fit.r2 ? fmt::format("{:.4f}", *fit.r2) : "n/a", fit.examples);
  } else if (fit.examples == 0) {
    console.out << ": no example rows";
  } else {
    console.out << ": no figures, a target or stored prediction is not a number";
  }
  console.out << '\n';
  if (report.holdout && report.holdout->rmse) {
    console.out << fmt::format(
        "Held-out rows: RMSE {:.6g}, R2 {} over {} rows\n", *report.holdout->rmse,
        report.holdout->r2 ? fmt::format("{:.4f}", *report.holdout->r2) : "n/a",
        report.holdout->examples);
  } else if (report.holdout) {
    console.out << fmt::format("Held-out rows: no figures over {} rows\n",
                               report.holdout->examples);
  }
  if (report.relevance) {
    console.out << "Input relevance (the error made without the column):\n";
    PrintRelevance(*report.relevance, console.out);
  }
  if (!report.network_file.empty()) {
    console.out << fmt::format("Network saved to '{}'\n", report.network_file);
  }
  if (!report.status_png.empty()) {
    console.out << fmt::format("Status window saved to '{}'\n", report.status_png);
  }
}

int64_t RunPredict(const PredictOptions& options, Console& console) {
  const SavedNetwork network = LoadNetworkFile(options.network_file);
  int64_t rows = 0;
  Interruptible(
      [&] { rows = Predict(network, options.database, options.table, InterruptibleWork()); },
      [] { return std::string("while predictions were written: rows written so far hold them"); });
  if (options.json) {
    const nlohmann::ordered_json j = {{"database", ShownDatabaseName(options.database)},
                                      {"table", options.table},
                                      {"network_file", options.network_file},
                                      {"rows", rows}};
    console.out << j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  } else {
    console.out << fmt::format("Wrote {} predictions into column Actual of table '{}'\n", rows,
                               options.table);
  }
  return rows;
}

}  // namespace kelda::cli
