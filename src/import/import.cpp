#include <fmt/format.h>
#include <kelda/import.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <unordered_map>
#include <utility>

#include "base/error.h"
#include "base/value.h"
#include "component/thread_settings.h"
#include "data/database.h"
#include "data/new_tables.h"
#include "data/server_name.h"
#include "import/work.h"

namespace kelda {

namespace {

constexpr const char* kActual = "Actual";
// The side table's first column, the held-out row's rowid in the table.
constexpr const char* kRow = "row";

// kRow, or with underscores after it when the table has a column of that name.
std::string RowColumnName(const std::vector<std::string>& inputs, const std::string& target) {
  std::string name = kRow;
  auto taken = [&name](const std::string& other) { return data::SameName(other, name); };
  while (taken(target) || std::any_of(inputs.begin(), inputs.end(), taken)) name += '_';
  return name;
}

// A name or cell as it stands in a message: a long one is cut, so that a
// huge cell does not flood the terminal.
std::string Shown(std::string_view text) {
  constexpr std::size_t kLongest = 60;
  if (text.size() <= kLongest) return std::string(text);
  std::size_t end = kLongest;
  // Never in the middle of a UTF-8 sequence.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return fmt::format("{}... ({} bytes)", text.substr(0, end), text.size());
}

[[noreturn]] void Malformed(std::string_view origin, const std::string& problem) {
  Raise(kErrInvalidArgument, fmt::format("{}: {}", origin, problem));
}

// How a name is compared with others (see data::SameName): ASCII letters
// folded, everything else as it is.
std::string Folded(std::string_view name) {
  std::string s(name);
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string ReadFile(const std::string& path, const WorkOptions& work) {
  std::error_code ec;
  const auto type = std::filesystem::status(path, ec).type();
  if (type == std::filesystem::file_type::not_found) {
    Raise(kErrFileNotFound,
          fmt::format("{}: CSV file '{}'", StandardErrorText(kErrFileNotFound), path));
  }
  if (!ec && type == std::filesystem::file_type::directory) {
    Raise(kErrPathFileAccess, fmt::format("{}: CSV file '{}' is a folder",
                                          StandardErrorText(kErrPathFileAccess), path));
  }
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"),
                                                          &std::fclose);
  if (!f) {
    Raise(kErrPathFileAccess,
          fmt::format("{}: cannot read CSV file '{}': {}", StandardErrorText(kErrPathFileAccess),
                      path, std::strerror(errno)));
  }
  std::string text;
  char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
    RaiseIfCancelled(work);
    text.append(buffer, n);
  }
  if (std::ferror(f.get())) {
    Raise(kErrPathFileAccess, fmt::format("{}: cannot read CSV file '{}'",
                                          StandardErrorText(kErrPathFileAccess), path));
  }
  return text;
}

// A uniform draw from 0 .. bound - 1 without the bias of a plain modulo.
uint64_t Below(std::mt19937_64& random, uint64_t bound) {
  const uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const uint64_t x = random();
    if (x >= threshold) return x % bound;
  }
}

// Every row keeps the inputs in the table's order, then the target.
using Row = std::vector<std::optional<double>>;

// What goes into the database, read and checked in full beforehand.
struct Tables {
  std::vector<Row> examples;  // the trained ones first, then the held-out ones
  std::size_t held_out = 0;
  std::vector<Row> unknown;
};

// Writes the table (and the side table) through the database layer, in one
// transaction.
void WriteDatabase(const ImportOptions& options, const ImportReport& report, Tables& tables,
                   const WorkOptions& work) {
  data::NewTable table;
  table.name = options.table;
  table.columns = report.inputs;
  table.columns.push_back(report.target);
  table.columns.push_back(kActual);
  std::optional<data::KeyedTable> side;
  const std::size_t trained = tables.examples.size() - tables.held_out;
  if (tables.held_out > 0) {
    // The inputs beside each true target tie it to its row for good: a
    // VACUUM may renumber the rows, but not change their inputs.
    side.emplace();
    side->name = HoldoutTableName(options.database, options.table);
    side->key_column = RowColumnName(report.inputs, report.target);
    side->columns.push_back(report.target);
    side->columns.insert(side->columns.end(), report.inputs.begin(), report.inputs.end());
  }
  table.rows.reserve(tables.examples.size() + tables.unknown.size());
  for (std::size_t i = 0; i < tables.examples.size(); ++i) {
    Row& row = tables.examples[i];
    if (i >= trained) {
      Row held = {row.back()};
      held.insert(held.end(), row.begin(), row.end() - 1);
      side->rows.push_back(std::move(held));
      side->of_rows.push_back(table.rows.size());
      row.back().reset();
    }
    row.emplace_back();  // Actual
    table.rows.push_back(std::move(row));
  }
  for (Row& row : tables.unknown) {
    row.emplace_back();
    table.rows.push_back(std::move(row));
  }
  data::MakeNewTables(options.database, table, side, import::WriteOptions(work));
}

}  // namespace

std::string HoldoutTableName(const std::string& database, const std::string& table) {
  constexpr std::string_view kSuffix = "_holdout";
  // A server's quoted name gets the suffix inside its quotes: the name it
  // stands for, not text after it.
  if (data::IsServerName(database) && table.size() >= 2 && table.back() == '"') {
    return table.substr(0, table.size() - 1) + std::string(kSuffix) + '"';
  }
  return table + std::string(kSuffix);
}

ImportReport ImportCsv(const ImportOptions& options, const WorkOptions& work) {
  try {
    const std::string origin = fmt::format("CSV file '{}'", options.csv);
    if (!(options.holdout >= 0.0 && options.holdout < 1.0)) {
      Raise(kErrInvalidArgument,
            fmt::format("the holdout is a fraction from 0 up to 1, not {}", options.holdout));
    }
    const std::vector<CsvRecord> records = ParseCsv(ReadFile(options.csv, work), origin, work);
    if (records.empty()) Malformed(origin, "no header row");
    const std::vector<std::string>& header = records.front().cells;
    std::unordered_map<std::string, int> by_name;
    for (std::size_t i = 0; i < header.size(); ++i) {
      if (header[i].empty()) Malformed(origin, fmt::format("column {} has no name", i + 1));
      if (!by_name.emplace(Folded(header[i]), static_cast<int>(i)).second) {
        Malformed(origin, fmt::format("the column '{}' is named twice", Shown(header[i])));
      }
    }
    auto find_column = [&](const std::string& name) {
      const auto it = by_name.find(Folded(name));
      if (it == by_name.end()) {
        Malformed(origin, fmt::format("the header row has no column '{}'", Shown(name)));
      }
      return it->second;
    };

    const int target = find_column(options.target);
    std::vector<int> inputs;
    if (options.inputs.empty()) {
      for (int i = 0; i < static_cast<int>(header.size()); ++i) {
        if (i != target) inputs.push_back(i);
      }
    } else {
      std::vector<bool> chosen(header.size());
      for (const std::string& name : options.inputs) {
        const int column = find_column(name);
        if (column == target) {
          Malformed(origin, fmt::format("'{}' is the target and cannot be an input", Shown(name)));
        }
        if (chosen[static_cast<std::size_t>(column)]) {
          Malformed(origin, fmt::format("the input '{}' is named twice", Shown(name)));
        }
        chosen[static_cast<std::size_t>(column)] = true;
        inputs.push_back(column);
      }
    }
    if (inputs.empty()) Malformed(origin, "there is no input column");
    for (int column : inputs) {
      if (data::SameName(header[static_cast<std::size_t>(column)], kActual)) {
        Malformed(origin,
                  "a column named Actual is where the predictions go; it cannot be an input");
      }
    }
    if (data::SameName(header[static_cast<std::size_t>(target)], kActual)) {
      Malformed(origin,
                "a column named Actual is where the predictions go; it cannot be the target");
    }

    // Every cell is checked as it is read.
    Tables tables;
    for (std::size_t r = 1; r < records.size(); ++r) {
      if ((r & 0x3FF) == 0) RaiseIfCancelled(work);
      const CsvRecord& record = records[r];
      if (record.cells.size() != header.size()) {
        Malformed(origin, fmt::format("line {}: {} cells in a row of {} columns", record.line,
                                      record.cells.size(), header.size()));
      }
      auto cell = [&](int column, bool may_be_empty) -> std::optional<double> {
        const std::string& text = record.cells[static_cast<std::size_t>(column)];
        if (std::optional<double> v = ParseNumber(text)) return v;
        if (may_be_empty && text.find_first_not_of(" \t") == std::string::npos) {
          return std::nullopt;
        }
        Raise(kErrTypeMismatch,
              fmt::format("{}: {}, line {}, column {} '{}': '{}' is not a number",
                          StandardErrorText(kErrTypeMismatch), origin, record.line, column + 1,
                          Shown(header[static_cast<std::size_t>(column)]), Shown(text)));
      };
      Row row;
      for (int column : inputs) row.push_back(cell(column, false));
      row.push_back(cell(target, true));
      (row.back() ? tables.examples : tables.unknown).push_back(std::move(row));
    }

    std::vector<Row>& examples = tables.examples;
    if (options.shuffle) {
      std::mt19937_64 random(*options.shuffle);
      for (std::size_t i = examples.size(); i > 1; --i) {
        std::swap(examples[i - 1], examples[Below(random, i)]);
      }
    }
    tables.held_out = static_cast<std::size_t>(
        std::floor(options.holdout * static_cast<double>(examples.size()) + 0.5));
    if (tables.held_out > 0 && tables.held_out >= examples.size()) {
      Raise(kErrInvalidArgument, fmt::format("a holdout of {} leaves no example of {} to train on",
                                             options.holdout, examples.size()));
    }

    ImportReport report;
    for (int column : inputs) report.inputs.push_back(header[static_cast<std::size_t>(column)]);
    report.target = header[static_cast<std::size_t>(target)];
    report.examples = static_cast<int64_t>(examples.size() - tables.held_out);
    report.held_out = static_cast<int64_t>(tables.held_out);
    report.to_predict = static_cast<int64_t>(tables.unknown.size());
    if (tables.held_out > 0) {
      report.holdout_table = HoldoutTableName(options.database, options.table);
    }

    WriteDatabase(options, report, tables, work);
    return report;
  } catch (const Error& e) {
    if (e.Number() != kErrUserInterrupt) throw;
    Raise(kErrUserInterrupt,
          fmt::format("{} while the CSV file was imported: the database is as it was",
                      e.Description()));
  }
}

}  // namespace kelda
