#include "cli/import.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <utility>

#include "base/error.h"
#include "base/value.h"
#include "data/database.h"

namespace kelda::cli {

namespace {

constexpr const char* kActual = "Actual";

[[noreturn]] void Malformed(std::string_view origin, const std::string& problem) {
  Raise(kErrInvalidArgument, fmt::format("{}: {}", origin, problem));
}

std::string ReadFile(const std::string& path) {
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
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) text.append(buffer, n);
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

// The database side: SQLite directly, in one transaction.
[[noreturn]] void RaiseSqlite(sqlite3* db, int code, const std::string& what) {
  const std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  int32_t number = kErrDatabase;
  switch (code & 0xFF) {
    case SQLITE_FULL:
      number = kErrDiskFull;
      break;
    case SQLITE_READONLY:
      number = kErrReadOnly;
      break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      number = kErrLocked;
      break;
    case SQLITE_CANTOPEN:
      number = kErrCannotOpen;
      break;
    case SQLITE_NOTADB:
      number = kErrNotADatabase;
      break;
    case SQLITE_CORRUPT:
      number = kErrCorrupt;
      break;
    case SQLITE_IOERR:
      number = kErrIo;
      break;
  }
  Raise(number, fmt::format("{}: {}", what, text));
}

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

class Writer {
 public:
  explicit Writer(const std::string& path) : path_(path) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    db_.reset(db);
    if (rc != SQLITE_OK) RaiseSqlite(db, rc, fmt::format("cannot open '{}'", path));
    sqlite3_busy_timeout(db, 5000);
    Exec("BEGIN IMMEDIATE");
    open_ = true;
  }
  ~Writer() {
    if (open_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Exec(const std::string& sql) {
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) RaiseSqlite(db_.get(), rc, fmt::format("'{}'", path_));
  }

  bool HasTable(const std::string& name) {
    Statement s = Prepare(
        "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 "
        "COLLATE NOCASE");
    sqlite3_bind_text(s.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, path_);
    return rc == SQLITE_ROW;
  }

  Statement Prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &s, nullptr);
    Statement statement(s);
    if (rc != SQLITE_OK) RaiseSqlite(db_.get(), rc, fmt::format("'{}'", path_));
    return statement;
  }

  // Binds `values` (a Null for nullopt) and runs the statement once.
  void Insert(sqlite3_stmt* s, const std::vector<std::optional<double>>& values) {
    sqlite3_reset(s);
    for (std::size_t i = 0; i < values.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      if (values[i]) {
        sqlite3_bind_double(s, index, *values[i]);
      } else {
        sqlite3_bind_null(s, index);
      }
    }
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, fmt::format("'{}'", path_));
  }

  void Commit() {
    Exec("COMMIT");
    open_ = false;
  }

 private:
  std::string path_;
  std::unique_ptr<sqlite3, DbCloser> db_;
  bool open_ = false;
};

std::string Placeholders(std::size_t n) {
  std::string s;
  for (std::size_t i = 1; i <= n; ++i) s += fmt::format("{}?{}", i > 1 ? ", " : "", i);
  return s;
}

int FindColumn(const std::vector<std::string>& header, const std::string& name,
               std::string_view origin) {
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (data::SameName(header[i], name)) return static_cast<int>(i);
  }
  Malformed(origin, fmt::format("the header row has no column '{}'", name));
}

}  // namespace

std::vector<CsvRecord> ParseCsv(std::string_view text, std::string_view origin) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<CsvRecord> records;
  CsvRecord record;
  std::string cell;
  bool quoted = false;       // inside a quoted cell
  bool was_quoted = false;   // the cell being read began with a quote
  bool record_open = false;  // something of the current record has been read
  int64_t line = 1;
  int64_t quote_line = 0;
  auto end_cell = [&] {
    record.cells.push_back(std::move(cell));
    cell.clear();
    was_quoted = false;
  };
  auto end_record = [&] {
    // A blank line is no record (a lone empty cell that was never quoted).
    if (record_open) {
      end_cell();
      records.push_back(std::move(record));
    }
    record = CsvRecord{};
    cell.clear();
    was_quoted = false;
    record_open = false;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!record_open) record.line = line;
    if (quoted) {
      if (c == '"') {
        if (i + 1 < text.size() && text[i + 1] == '"') {
          cell += '"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        if (c == '\n') ++line;
        cell += c;
      }
      continue;
    }
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (c == '\n' || c == '\r') {
      end_record();
      ++line;
      continue;
    }
    record_open = true;
    if (c == ',') {
      end_cell();
    } else if (c == '"' && cell.empty() && !was_quoted) {
      quoted = true;
      was_quoted = true;
      quote_line = line;
    } else if (was_quoted) {
      Malformed(origin, fmt::format("line {}: text after the closing quote of a cell", line));
    } else {
      cell += c;
    }
  }
  if (quoted) {
    Malformed(origin, fmt::format("line {}: a quote opened here is never closed", quote_line));
  }
  end_record();
  return records;
}

std::string HoldoutTableName(const std::string& table) { return table + "_holdout"; }

ImportReport ImportCsv(const ImportOptions& options) {
  const std::string origin = fmt::format("CSV file '{}'", options.csv);
  if (!(options.holdout >= 0.0 && options.holdout < 1.0)) {
    Raise(kErrInvalidArgument,
          fmt::format("the holdout is a fraction from 0 up to 1, not {}", options.holdout));
  }
  const std::vector<CsvRecord> records = ParseCsv(ReadFile(options.csv), origin);
  if (records.empty()) Malformed(origin, "no header row");
  const std::vector<std::string>& header = records.front().cells;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header[i].empty()) Malformed(origin, fmt::format("column {} has no name", i + 1));
    for (std::size_t j = 0; j < i; ++j) {
      if (data::SameName(header[i], header[j])) {
        Malformed(origin, fmt::format("the column '{}' is named twice", header[i]));
      }
    }
  }

  const int target = FindColumn(header, options.target, origin);
  std::vector<int> inputs;
  if (options.inputs.empty()) {
    for (int i = 0; i < static_cast<int>(header.size()); ++i) {
      if (i != target) inputs.push_back(i);
    }
  } else {
    for (const std::string& name : options.inputs) {
      const int column = FindColumn(header, name, origin);
      if (column == target) {
        Malformed(origin, fmt::format("'{}' is the target and cannot be an input", name));
      }
      for (int earlier : inputs) {
        if (earlier == column)
          Malformed(origin, fmt::format("the input '{}' is named twice", name));
      }
      inputs.push_back(column);
    }
  }
  if (inputs.empty()) Malformed(origin, "there is no input column");
  for (int column : inputs) {
    if (data::SameName(header[static_cast<std::size_t>(column)], kActual)) {
      Malformed(origin, "a column named Actual is where the predictions go; it cannot be an input");
    }
  }
  if (data::SameName(header[static_cast<std::size_t>(target)], kActual)) {
    Malformed(origin, "a column named Actual is where the predictions go; it cannot be the target");
  }

  // Every cell is checked as it is read; the row keeps the inputs in their
  // new order, then the target.
  using Row = std::vector<std::optional<double>>;
  std::vector<Row> examples;
  std::vector<Row> unknown;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const CsvRecord& record = records[r];
    if (record.cells.size() != header.size()) {
      Malformed(origin, fmt::format("line {}: {} cells in a row of {} columns", record.line,
                                    record.cells.size(), header.size()));
    }
    auto cell = [&](int column, bool may_be_empty) -> std::optional<double> {
      const std::string& text = record.cells[static_cast<std::size_t>(column)];
      if (std::optional<double> v = ParseNumber(text)) return v;
      if (may_be_empty && text.find_first_not_of(" \t") == std::string::npos) return std::nullopt;
      Raise(kErrTypeMismatch,
            fmt::format("{}: {}, line {}, column {} '{}': '{}' is not a number",
                        StandardErrorText(kErrTypeMismatch), origin, record.line, column + 1,
                        header[static_cast<std::size_t>(column)], text));
    };
    Row row;
    for (int column : inputs) row.push_back(cell(column, false));
    row.push_back(cell(target, true));
    (row.back() ? examples : unknown).push_back(std::move(row));
  }

  if (options.shuffle) {
    std::mt19937_64 random(*options.shuffle);
    for (std::size_t i = examples.size(); i > 1; --i) {
      std::swap(examples[i - 1], examples[Below(random, i)]);
    }
  }
  const auto held_out = static_cast<std::size_t>(
      std::floor(options.holdout * static_cast<double>(examples.size()) + 0.5));
  if (held_out > 0 && held_out >= examples.size()) {
    Raise(kErrInvalidArgument, fmt::format("a holdout of {} leaves no example of {} to train on",
                                           options.holdout, examples.size()));
  }

  ImportReport report;
  for (int column : inputs) report.inputs.push_back(header[static_cast<std::size_t>(column)]);
  report.target = header[static_cast<std::size_t>(target)];
  report.examples = static_cast<int64_t>(examples.size() - held_out);
  report.held_out = static_cast<int64_t>(held_out);
  report.to_predict = static_cast<int64_t>(unknown.size());

  std::error_code ec;
  const bool existed = std::filesystem::exists(options.database, ec) || ec;
  try {
    Writer db(options.database);
    const std::string side = HoldoutTableName(options.table);
    for (const std::string& name :
         held_out > 0 ? std::vector{options.table, side} : std::vector{options.table}) {
      if (db.HasTable(name)) {
        Raise(kErrDatabase, fmt::format("the table '{}' already exists in '{}'; import into a "
                                        "new table",
                                        name, options.database));
      }
    }
    std::string names;  // the inputs and the target
    for (const std::string& name : report.inputs) names += data::SqlName(name) + ", ";
    names += data::SqlName(report.target);
    std::string columns;
    for (const std::string& name : report.inputs) columns += data::SqlName(name) + " REAL, ";
    columns += data::SqlName(report.target) + " REAL, " + data::SqlName(kActual) + " REAL";
    db.Exec(fmt::format("CREATE TABLE {} ({})", data::SqlName(options.table), columns));
    // Explicit rowids: the side table refers to the rows by them.
    Statement insert = db.Prepare(fmt::format("INSERT INTO {} (rowid, {}) VALUES ({})",
                                              data::SqlName(options.table), names,
                                              Placeholders(report.inputs.size() + 2)));
    std::optional<Statement> insert_side;
    if (held_out > 0) {
      db.Exec(fmt::format("CREATE TABLE {} (row INTEGER PRIMARY KEY, {} REAL)", data::SqlName(side),
                          data::SqlName(report.target)));
      insert_side = db.Prepare(fmt::format("INSERT INTO {} VALUES (?1, ?2)", data::SqlName(side)));
      report.holdout_table = side;
    }
    int64_t rowid = 0;
    auto put = [&](Row row) {
      row.insert(row.begin(), static_cast<double>(++rowid));
      db.Insert(insert.get(), row);
    };
    const std::size_t trained = examples.size() - held_out;
    for (std::size_t i = 0; i < trained; ++i) put(std::move(examples[i]));
    for (std::size_t i = trained; i < examples.size(); ++i) {
      Row row = std::move(examples[i]);
      const std::optional<double> truth = row.back();
      row.back().reset();
      put(std::move(row));
      db.Insert(insert_side->get(), {static_cast<double>(rowid), truth});
    }
    for (Row& row : unknown) put(std::move(row));
    db.Commit();
  } catch (...) {
    // A database file this import created holds nothing: it goes again.
    if (!existed) std::filesystem::remove(options.database, ec);
    throw;
  }
  return report;
}

std::optional<FitFigures> MeasureHoldout(const std::string& database, const std::string& table) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(database.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  const std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (rc != SQLITE_OK) RaiseSqlite(raw, rc, fmt::format("cannot open '{}'", database));
  sqlite3_busy_timeout(raw, 5000);
  const std::string side = HoldoutTableName(table);
  auto prepare = [&](const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    const int prc = sqlite3_prepare_v2(raw, sql.c_str(), -1, &s, nullptr);
    Statement statement(s);
    if (prc != SQLITE_OK) RaiseSqlite(raw, prc, fmt::format("'{}'", database));
    return statement;
  };
  Statement exists =
      prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
  sqlite3_bind_text(exists.get(), 1, side.c_str(), static_cast<int>(side.size()), SQLITE_TRANSIENT);
  int step = sqlite3_step(exists.get());
  if (step == SQLITE_DONE) return std::nullopt;
  if (step != SQLITE_ROW) RaiseSqlite(raw, step, fmt::format("'{}'", database));

  // The side table's columns: the row, then the target.
  Statement pairs = prepare(
      fmt::format("SELECT h.*, t.{} FROM {} AS h JOIN {} AS t ON t.rowid = h.row ORDER BY h.row",
                  data::SqlName(kActual), data::SqlName(side), data::SqlName(table)));
  std::vector<double> targets;
  std::vector<double> predictions;
  int64_t rows = 0;
  bool numbers = true;
  while ((step = sqlite3_step(pairs.get())) == SQLITE_ROW) {
    ++rows;
    if (sqlite3_column_type(pairs.get(), 1) == SQLITE_NULL ||
        sqlite3_column_type(pairs.get(), 2) != SQLITE_FLOAT) {
      numbers = false;
      continue;
    }
    targets.push_back(sqlite3_column_double(pairs.get(), 1));
    predictions.push_back(sqlite3_column_double(pairs.get(), 2));
  }
  if (step != SQLITE_DONE) RaiseSqlite(raw, step, fmt::format("'{}'", database));
  FitFigures fit = MeasureFit(targets, predictions);
  if (!numbers) fit = FitFigures{};
  fit.examples = static_cast<int32_t>(rows);
  return fit;
}

void PrintImportReport(const ImportOptions& options, const ImportReport& report,
                       std::ostream& out) {
  std::string inputs;
  for (const std::string& name : report.inputs) inputs += (inputs.empty() ? "" : ", ") + name;
  out << fmt::format("{}: table {} of {}: inputs {}; target {}\n", options.csv, options.table,
                     options.database, inputs, report.target);
  out << fmt::format("{} examples, {} held out, {} to predict", report.examples, report.held_out,
                     report.to_predict);
  if (!report.holdout_table.empty()) {
    out << fmt::format("; the held-out targets are in table {}", report.holdout_table);
  }
  out << "\n";
}

}  // namespace kelda::cli
