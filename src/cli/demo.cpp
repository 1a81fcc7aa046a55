#include "cli/demo.h"

#include <fmt/format.h>
#include <kelda/error.h>
#include <kelda/import.h>
#include <kelda/value.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <numbers>
#include <optional>
#include <system_error>

#include "cli/interrupt.h"
#include "cli/output_file.h"

namespace kelda::cli {

namespace {

// Enough epochs for the fit to show, few enough for a run of a second or two.
constexpr int32_t kDemoEpochs = 1500;
constexpr uint64_t kDemoSeed = 20240611;

// A small generator of our own: the demo must produce the same rows with any
// standard library, which the standard distributions do not promise.
class SplitMix {
 public:
  explicit SplitMix(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double Uniform() { return static_cast<double>(Next() >> 11) * 0x1p-53; }
  double Between(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  // Standard normal, by Box-Muller.
  double Normal() {
    const double u = 1.0 - Uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * Uniform());
  }

 private:
  uint64_t state_;
};

double Round(double v, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(v * scale) / scale;
}

}  // namespace

std::string WriteDemoDatabase(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    Raise(kErrPathFileAccess,
          fmt::format("Path/File access error: cannot create folder '{}': {}", dir, ec.message()));
  }
  const std::string path = (std::filesystem::path(dir) / kDemoDatabaseName).string();
  // A database left by an earlier demo is replaced, with its log files.
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::filesystem::remove(path + suffix, ec);
    if (ec) {
      Raise(kErrPathFileAccess, fmt::format("Path/File access error: cannot replace '{}': {}",
                                            path + suffix, ec.message()));
    }
  }

  NewTable houses;
  houses.name = kDemoTable;
  houses.columns = {"FloorArea", "GardenArea", "HouseNumber", "Price"};
  SplitMix random(7);
  for (int row = 0; row < kDemoPricedRows + kDemoUnpricedRows; ++row) {
    const double area = Round(random.Between(45.0, 230.0), 1);
    const double garden = std::floor(random.Between(0.0, 600.0));
    const double number = std::floor(random.Between(1.0, 250.0));
    // Thousands: mostly floor area, some for the garden, and the spread of
    // real sales around that.
    double price = 40.0 + 2.6 * area + 0.12 * garden + 12.0 * random.Normal();
    // The first sale, a large house in need of repair, went far below what
    // its features suggest: the network predicts what such a house fetches.
    if (row == 0) price = 95.0;
    price = Round(price, 1);
    houses.rows.push_back({area, garden, number,
                           row < kDemoPricedRows ? std::optional<double>(price) : std::nullopt});
  }
  // Not cancelled: a signal during these few rows stops the demo at the
  // training run that follows.
  MakeNewTable(path, houses);
  return path;
}

namespace {

std::string Cell(const Value& v, int decimals) {
  if (v.IsNull()) return "?";
  if (v.IsNumber()) return fmt::format("{:.{}f}", v.number(), decimals);
  return v.Describe();
}

void PrintPredictions(const std::string& path, std::ostream& out) {
  const std::vector<std::vector<Value>> rows =
      ReadColumns(path, kDemoTable, {"FloorArea", "GardenArea", "HouseNumber", "Price", "Actual"},
                  InterruptibleWork());
  out << fmt::format("  {:>9} {:>10} {:>11} {:>9} {:>9}\n", "FloorArea", "GardenArea",
                     "HouseNumber", "Price", "Actual");
  constexpr int kFirstRowsShown = 5;
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    if (row == kFirstRowsShown) out << fmt::format("  {:>9}\n", "...");
    if (row >= kFirstRowsShown && row < kDemoPricedRows) continue;
    const std::vector<Value>& v = rows[static_cast<std::size_t>(row)];
    out << fmt::format("  {:>9} {:>10} {:>11} {:>9} {:>9}\n", Cell(v[0], 1), Cell(v[1], 0),
                       Cell(v[2], 0), Cell(v[3], 1), Cell(v[4], 1));
  }
}

}  // namespace

void RunDemo(const std::string& dir, Console& console) {
  const std::string path = WriteDemoDatabase(dir);
  console.out << fmt::format(
      "Sample database '{}': table {} of {} house sales (FloorArea, GardenArea, HouseNumber -> "
      "Price),\n"
      "and {} houses at the end whose price is not known.\n\n",
      path, kDemoTable, kDemoPricedRows, kDemoUnpricedRows);

  TrainOptions options;
  options.database = path;
  options.table = kDemoTable;
  options.epochs = kDemoEpochs;
  options.seed = kDemoSeed;
  options.relevance = true;
  options.save_network = (std::filesystem::path(dir) / kDemoNetworkName).string();
  options.status_png = (std::filesystem::path(dir) / kDemoStatusPictureName).string();
  const TrainReport report = Train(options, console);

  console.out << '\n';
  PrintTrainReport(report, false, console);
  console.out << "\nPrices (thousands) as sold and as predicted; '?' marks a house not sold yet.\n"
                 "The first house, sold in need of repair, went far below what it would fetch:\n";
  PrintPredictions(path, console.out);
  console.out << fmt::format(
      "\nTo predict again from the saved network:\n  kelda predict {} {} "
      "--network {}\n",
      path, kDemoTable, report.network_file);
}

}  // namespace kelda::cli
