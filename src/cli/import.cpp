#include "cli/import.h"

#include <fmt/format.h>
#include <kelda/database_name.h>

#include <string>

namespace kelda::cli {

void PrintImportReport(const ImportOptions& options, const ImportReport& report,
                       std::ostream& out) {
  std::string inputs;
  for (const std::string& name : report.inputs) inputs += (inputs.empty() ? "" : ", ") + name;
  out << fmt::format("{}: table {} of {}: inputs {}; target {}\n", options.csv, options.table,
                     ShownDatabaseName(options.database), inputs, report.target);
  out << fmt::format("{} examples, {} held out, {} to predict", report.examples, report.held_out,
                     report.to_predict);
  if (!report.holdout_table.empty()) {
    out << fmt::format("; the held-out targets are in table {}", report.holdout_table);
  }
  out << "\n";
}

}  // namespace kelda::cli
