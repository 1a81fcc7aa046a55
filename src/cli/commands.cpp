#include "cli/commands.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>

#include "base/error.h"
#include "cli/import.h"
#include "cli/interrupt.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "component/network.h"
#include "component/network_file.h"
#include "component/thread_block.h"
#include "component/thread_settings.h"
#include "data/server_name.h"
#include "status/status_image.h"
#include "training/training_table.h"

namespace kelda::cli {

namespace {

std::string TrimLeft(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

struct Captions {
  std::string cycle;
  std::string error;
  friend bool operator==(const Captions&, const Captions&) = default;
};

Captions CurrentCaptions(ThreadBlock& block) {
  status::frmStatus& form = block.status.Form();
  return Captions{TrimLeft(form.CycleBoxCaption()), TrimLeft(form.SSQBoxCaption())};
}

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

// Reads back what the run stored: the fit of the example rows (up to the
// first Null target, as the run trains) and, when asked, every prediction.
// The rows are the run's own, by the keys it fixed, and the target is the
// column the run trained on, by its name: rows other programs inserted since
// and columns they added are not mistaken for them, and a row of the run
// deleted since raises 3021 instead of a figure over other rows.
void ReadOutcome(const training::ObjectFields& fields, bool with_predictions, TrainReport& report) {
  data::Database db = training::OpenRunDatabase(ThisThread().DBEngine(), fields);
  data::Recordset table = db.OpenRecordset(fields.MSAccessTableName);
  const data::Field target_field = table.Fields(fields.TargetRecordset->Fields(0).Name());
  const data::Field actual_field = table.Fields("Actual");
  const int32_t rows = fields.RowCount();
  auto number = [](const Value& v) -> std::optional<double> {
    if (v.IsNumber()) return v.number();
    if (v.IsText()) return ParseNumber(v.text());
    return std::nullopt;
  };
  std::vector<double> targets;
  std::vector<double> predicted;
  bool examples = true;
  bool all_numbers = true;
  int32_t examples_seen = 0;
  if (with_predictions) report.predictions.emplace();
  for (int32_t row = 0; row < rows; ++row, table.MoveNext()) {
    const std::optional<double> actual = number(actual_field.GetValue());
    if (report.predictions) report.predictions->push_back(actual);
    if (!examples) continue;
    const Value target = target_field.GetValue();
    if (target.IsNull()) {
      examples = false;
      continue;
    }
    ++examples_seen;
    const std::optional<double> y = number(target);
    if (!y || !actual) {
      all_numbers = false;
      continue;
    }
    targets.push_back(*y);
    predicted.push_back(*actual);
  }
  report.fit = MeasureFit(targets, predicted);
  if (!all_numbers) {
    // A figure over some of the examples would pass for one over all.
    report.fit.rmse.reset();
    report.fit.r2.reset();
    report.fit.examples = examples_seen;
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

  ThreadBlock& block = ThisThread();
  std::optional<ProgressDisplay> display = MakeDisplay(options, console);

  // The status window outlives runs: until this run changes its texts, they
  // are an earlier run's and are not shown.
  const Captions earlier = CurrentCaptions(block);
  bool captions_current = false;
  auto snapshot = [&block, &earlier, &captions_current] {
    ProgressSnapshot s{block.progress.epoch, block.progress.epochs, {}, {}};
    const Captions now = CurrentCaptions(block);
    captions_current = captions_current || now != earlier;
    if (captions_current) {
      s.cycle_text = now.cycle;
      s.error_text = now.error;
    }
    return s;
  };
  // The live picture is rewritten at the first yield of an epoch, once the
  // window shows a report that the picture does not.
  int32_t pictured_epoch = 0;
  Captions pictured = earlier;
  auto picture = [&block, &picture_path, &pictured_epoch, &pictured] {
    if (block.progress.epoch == pictured_epoch) return;
    pictured_epoch = block.progress.epoch;
    const Captions now = CurrentCaptions(block);
    if (now == pictured) return;
    pictured = now;
    status::StatusImage(block.status.Form()).WritePng(picture_path);
  };
  const bool live_picture = options.status_png_live && !picture_path.empty();
  training::YieldHook hook = [&display, &snapshot, &picture, live_picture] {
    CheckInterrupt();
    if (display) display->Update(snapshot());
    if (live_picture) picture();
  };

  Network network;
  network.SetMSAccessDBName(options.database);
  network.SetMSAccessTableName(options.table);
  network.SetEpochs(options.epochs);
  network.SetHiddenLayerCount(0);
  if (options.show_status) {
    network.ShowStatus();
    if (!block.status.OnScreen()) {
      console.err << "kelda: no display available; the status window is not shown\n" << std::flush;
    }
  }
  // An interrupt during set-up must not report an earlier run's epoch.
  block.progress = training::RunProgress{0, options.epochs};
  {
    // The progress line and the live picture leave the database alone.
    ScopedThreadSettings settings(options.seed, std::move(hook),
                                  training::YieldUse::kLeavesDatabaseAlone);
    AbandonUnlessFinished guard(display);
    Interruptible([&network] { network.RunNetwork(); },
                  [&block] {
                    return fmt::format("at epoch {} of {}", block.progress.epoch,
                                       block.progress.epochs);
                  });
    if (display) {
      captions_current = true;
      display->Finish(snapshot());
    }
    guard.Finished();
  }

  // The run is complete and its predictions stored; an interrupt of what
  // follows says so.
  auto after_training = [] { return std::string("after training had completed"); };
  TrainReport report;
  // A server's password never reaches the report.
  report.database = data::ShownName(options.database);
  report.table = options.table;
  report.epochs = options.epochs;
  report.epochs_run = block.progress.epoch;
  report.converged = block.progress.converged;
  report.rows = network.Fields().RecordCount - 1;
  const Captions final_captions = CurrentCaptions(block);
  report.cycle_text = final_captions.cycle;
  report.error_text = final_captions.error;
  Interruptible([&] { ReadOutcome(network.Fields(), options.json_predictions, report); },
                after_training);
  Interruptible([&] { report.holdout = MeasureHoldout(options.database, options.table); },
                after_training);

  if (options.relevance) {
    std::optional<std::vector<double>> scores;
    Interruptible([&] { scores = network.InputRelevance(); },
                  [] {
                    return std::string(
                        "while the inputs were scored: rows scored so far hold predictions "
                        "made with one input withheld");
                  });
    std::vector<ColumnScore> named;
    if (scores) {
      const training::ObjectFields& fields = network.Fields();
      for (std::size_t i = 0; i < scores->size(); ++i) {
        const Value& name = fields.InputNames(static_cast<int32_t>(i));
        named.push_back(ColumnScore{name.IsText() ? name.text() : "", (*scores)[i]});
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
    Interruptible([&] { status::StatusImage(block.status.Form()).WritePng(picture_path); },
                  after_training);
    report.status_png = options.status_png;
  }
  return report;
}

void WaitForStatusWindow(Console& console) {
  status::StatusWindow& window = ThisThread().status;
  if (!window.OnScreen()) return;
  console.out << std::flush;
  console.err << "Close the status window to finish.\n" << std::flush;
  window.WaitUntilClosed();
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
      [&] { rows = Predict(ThisThread().DBEngine(), network, options.database, options.table); },
      [] { return std::string("while predictions were written: rows written so far hold them"); });
  if (options.json) {
    const nlohmann::ordered_json j = {{"database", data::ShownName(options.database)},
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
