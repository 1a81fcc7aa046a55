#include "cli/import.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/error.h"
#include "base/value.h"
#include "cli/interrupt.h"
#include "data/database.h"
#include "data/server_name.h"

namespace kelda::cli {

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
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
    CheckInterrupt();
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

// The database side: SQLite directly, in one transaction.
[[noreturn]] void RaiseSqlite(sqlite3* db, int code, const std::string& what) {
  if ((code & 0xFF) == SQLITE_INTERRUPT) Raise(kErrUserInterrupt);
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

// Opens `path` (which must exist: nothing here creates a file) so that a
// noted signal stops its statements within a few thousand steps.
std::unique_ptr<sqlite3, DbCloser> OpenDatabase(const std::string& path, int flags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  std::unique_ptr<sqlite3, DbCloser> db(raw);
  if (rc != SQLITE_OK) RaiseSqlite(raw, rc, fmt::format("cannot open '{}'", path));
  sqlite3_busy_timeout(raw, 5000);
  sqlite3_progress_handler(
      raw, 1000, [](void*) -> int { return ReceivedSignal() != 0 ? 1 : 0; }, nullptr);
  return db;
}

Statement Prepare(sqlite3* db, const std::string& sql, const std::string& path) {
  sqlite3_stmt* s = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
  Statement statement(s);
  if (rc != SQLITE_OK) RaiseSqlite(db, rc, fmt::format("'{}'", path));
  return statement;
}

class Writer {
 public:
  // `shown` names the database in errors: the path the user gave, also while
  // a new database is written under a scratch name.
  Writer(const std::string& path, std::string shown)
      : shown_(std::move(shown)), db_(OpenDatabase(path, SQLITE_OPEN_READWRITE)) {
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
    if (rc != SQLITE_OK) RaiseSqlite(db_.get(), rc, fmt::format("'{}'", shown_));
  }

  bool HasTable(const std::string& name) {
    Statement s = Prepare(
        "SELECT 1 FROM sqlite_master WHERE type IN ('table', 'view') AND name = ?1 "
        "COLLATE NOCASE");
    sqlite3_bind_text(s.get(), 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    const int rc = sqlite3_step(s.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, shown_);
    return rc == SQLITE_ROW;
  }

  Statement Prepare(const std::string& sql) { return kelda::cli::Prepare(db_.get(), sql, shown_); }

  // Binds `values` (a Null for nullopt) and runs the statement once; returns
  // the rowid of the row it inserted.
  int64_t Insert(sqlite3_stmt* s, const std::vector<std::optional<double>>& values) {
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
    if (rc != SQLITE_DONE) RaiseSqlite(db_.get(), rc, fmt::format("'{}'", shown_));
    return sqlite3_last_insert_rowid(db_.get());
  }

  void Commit() {
    // The last moment an interrupt leaves the database as it was.
    CheckInterrupt();
    Exec("COMMIT");
    open_ = false;
  }

 private:
  std::string shown_;
  std::unique_ptr<sqlite3, DbCloser> db_;
  bool open_ = false;
};

std::string Placeholders(std::size_t n) {
  std::string s;
  for (std::size_t i = 1; i <= n; ++i) s += fmt::format("{}?{}", i > 1 ? ", " : "", i);
  return s;
}

// Every row keeps the inputs in the table's order, then the target.
using Row = std::vector<std::optional<double>>;

// What goes into the database, read and checked in full beforehand.
struct Tables {
  std::vector<Row> examples;  // the trained ones first, then the held-out ones
  std::size_t held_out = 0;
  std::vector<Row> unknown;
};

// Writes the table (and the side table) into the database at `path` and
// commits.
void WriteTables(const std::string& path, const ImportOptions& options, const ImportReport& report,
                 const Tables& tables) {
  Writer db(path, options.database);
  const std::string side = HoldoutTableName(options.table);
  for (const std::string& name :
       tables.held_out > 0 ? std::vector{options.table, side} : std::vector{options.table}) {
    if (db.HasTable(name)) {
      Raise(kErrDatabase,
            fmt::format("the table '{}' already exists in '{}'; import into a new table",
                        Shown(name), options.database));
    }
  }
  std::string names;  // the inputs and the target
  for (const std::string& name : report.inputs) names += data::SqlName(name) + ", ";
  names += data::SqlName(report.target);
  std::string columns;
  for (const std::string& name : report.inputs) columns += data::SqlName(name) + " REAL, ";
  columns += data::SqlName(report.target) + " REAL, " + data::SqlName(kActual) + " REAL";
  db.Exec(fmt::format("CREATE TABLE {} ({})", data::SqlName(options.table), columns));
  // SQLite numbers the rows itself: a column named rowid, oid or _rowid_ is
  // the table's own and gets the file's values.
  Statement insert =
      db.Prepare(fmt::format("INSERT INTO {} ({}) VALUES ({})", data::SqlName(options.table), names,
                             Placeholders(report.inputs.size() + 1)));
  std::optional<Statement> insert_side;
  if (tables.held_out > 0) {
    // The inputs beside each true target tie it to its row for good: a
    // VACUUM may renumber the rows, but not change their inputs.
    std::string side_columns = fmt::format(
        "{} INTEGER PRIMARY KEY, {} REAL",
        data::SqlName(RowColumnName(report.inputs, report.target)), data::SqlName(report.target));
    for (const std::string& name : report.inputs)
      side_columns += ", " + data::SqlName(name) + " REAL";
    db.Exec(fmt::format("CREATE TABLE {} ({})", data::SqlName(side), side_columns));
    insert_side = db.Prepare(fmt::format("INSERT INTO {} VALUES ({})", data::SqlName(side),
                                         Placeholders(report.inputs.size() + 2)));
  }
  const std::size_t trained = tables.examples.size() - tables.held_out;
  for (std::size_t i = 0; i < trained; ++i) db.Insert(insert.get(), tables.examples[i]);
  for (std::size_t i = trained; i < tables.examples.size(); ++i) {
    Row row = tables.examples[i];
    const std::optional<double> truth = row.back();
    row.back().reset();
    const int64_t rowid = db.Insert(insert.get(), row);
    row.pop_back();
    row.insert(row.begin(), truth);
    row.insert(row.begin(), static_cast<double>(rowid));
    db.Insert(insert_side->get(), row);
  }
  for (const Row& row : tables.unknown) db.Insert(insert.get(), row);
  db.Commit();
}

// The error of a file operation on `path`.
[[noreturn]] void RaiseFile(int32_t number, const std::string& what, const std::string& path,
                            int error) {
  Raise(number, fmt::format("{}: {} '{}': {}", StandardErrorText(number), what, path,
                            std::strerror(error)));
}

// A new, empty file beside `path` that no one else knows of: the new
// database is written there and takes its name only once it is whole.
std::string CreateScratchFile(const std::string& path) {
  const std::filesystem::path target(path);
  std::random_device entropy;
  for (int attempt = 0;; ++attempt) {
    const std::string name =
        fmt::format(".{}.import-{}-{:08x}", target.filename().string(), ::getpid(), entropy());
    const std::string scratch = (target.parent_path() / name).string();
    // No connection of this process has the file open yet: closing the
    // descriptor drops no lock.
    const int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      return scratch;
    }
    if (errno != EEXIST || attempt == 100) {
      RaiseFile(kErrCannotOpen, "cannot create the database", path, errno);
    }
  }
}

void RemoveScratchFile(const std::string& scratch) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    ::unlink((scratch + suffix).c_str());
  }
}

// Gives the whole scratch database the name `path` unless something has
// taken that name meanwhile; false then.
bool PutInPlace(const std::string& scratch, const std::string& path) {
  // A hard link never replaces what is there; a file system without them
  // gets a rename that does not either.
  int rc = ::link(scratch.c_str(), path.c_str());
  if (rc != 0 && errno != EEXIST) {
    rc = ::renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  }
  const int error = errno;
  RemoveScratchFile(scratch);
  if (rc == 0) return true;
  if (error == EEXIST) return false;
  RaiseFile(kErrCannotOpen, "cannot create the database", path, error);
}

// Where the database stands: a file (or a link to one) to write into, or no
// file at all. A link to a missing file is refused: creating the file it
// names would put the database somewhere the user never asked for.
bool DatabaseExists(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return false;
    RaiseFile(kErrCannotOpen, "cannot open the database", path, errno);
  }
  if (S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) != 0) {
    Raise(kErrCannotOpen,
          fmt::format("{}: the database '{}' is a symbolic link to a missing file; give the path "
                      "of the file itself",
                      StandardErrorText(kErrCannotOpen), path));
  }
  return true;
}

void WriteDatabase(const ImportOptions& options, const ImportReport& report, const Tables& tables) {
  for (;;) {
    if (DatabaseExists(options.database)) {
      // Someone else's file: an error leaves it as it was, rolled back.
      WriteTables(options.database, options, report, tables);
      return;
    }
    const std::string scratch = CreateScratchFile(options.database);
    try {
      WriteTables(scratch, options, report, tables);
      CheckInterrupt();
    } catch (...) {
      RemoveScratchFile(scratch);
      throw;
    }
    // Another import that made the file first: this one goes into it.
    if (PutInPlace(scratch, options.database)) return;
  }
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
    if ((i & 0xFFFF) == 0) CheckInterrupt();
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
  data::RequireFileName(options.database);
  try {
    const std::string origin = fmt::format("CSV file '{}'", options.csv);
    if (!(options.holdout >= 0.0 && options.holdout < 1.0)) {
      Raise(kErrInvalidArgument,
            fmt::format("the holdout is a fraction from 0 up to 1, not {}", options.holdout));
    }
    const std::vector<CsvRecord> records = ParseCsv(ReadFile(options.csv), origin);
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
      if ((r & 0x3FF) == 0) CheckInterrupt();
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
      report.holdout_table = HoldoutTableName(options.table);
    }

    WriteDatabase(options, report, tables);
    return report;
  } catch (const Error& e) {
    if (e.Number() != kErrUserInterrupt) throw;
    Raise(kErrUserInterrupt,
          fmt::format("{} while the CSV file was imported: the database is as it was",
                      e.Description()));
  }
}

namespace {

// A value as a key that matches it exactly: a number by its bits (+0 for
// -0, which SQLite may store as the integer 0), anything else by its bytes.
void AppendKey(std::string& key, sqlite3_stmt* s, int column) {
  switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT: {
      double v = sqlite3_column_double(s, column);
      if (v == 0.0) v = 0.0;
      key += 'n';
      key.append(reinterpret_cast<const char*>(&v), sizeof v);
      break;
    }
    case SQLITE_NULL:
      key += 'z';
      break;
    default: {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, column));
      const int n = sqlite3_column_bytes(s, column);
      key += fmt::format("b{}:", n);
      if (n > 0) key.append(bytes, static_cast<std::size_t>(n));
    }
  }
}

struct Column {
  std::string name;
  std::string type;
  int pk = 0;
};

std::vector<Column> TableColumns(sqlite3* db, const std::string& table,
                                 const std::string& database) {
  Statement s = Prepare(db, "SELECT name, type, pk FROM pragma_table_info(?1)", database);
  sqlite3_bind_text(s.get(), 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
  std::vector<Column> columns;
  int step = 0;
  auto text = [&](int i) {
    const unsigned char* t = sqlite3_column_text(s.get(), i);
    return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
    columns.push_back(Column{text(0), text(1), sqlite3_column_int(s.get(), 2)});
  }
  if (step != SQLITE_DONE) RaiseSqlite(db, step, fmt::format("'{}'", database));
  return columns;
}

// A stored prediction of a row with a Null target, found by its inputs.
struct Candidate {
  std::optional<int64_t> rowid;
  std::optional<double> prediction;  // none when not a number
  bool used = false;
};

}  // namespace

std::optional<FitFigures> MeasureHoldout(const std::string& database, const std::string& table) {
  const std::unique_ptr<sqlite3, DbCloser> db = OpenDatabase(database, SQLITE_OPEN_READONLY);
  sqlite3* raw = db.get();
  const std::string side = HoldoutTableName(table);

  // Only a side table in the layout import makes, for the table as it stands
  // (its inputs, its target, Actual last), is read as one: a table of the
  // same name made by anyone else gives no figures.
  const std::vector<Column> columns = TableColumns(raw, table, database);
  const std::vector<Column> aside = TableColumns(raw, side, database);
  if (columns.size() < 3 || !data::SameName(columns.back().name, kActual)) return std::nullopt;
  const std::size_t inputs = columns.size() - 2;
  const std::string& target = columns[inputs].name;
  if (aside.size() != inputs + 2 || aside[0].pk != 1 || !data::SameName(aside[0].type, "INTEGER") ||
      !data::SameName(aside[1].name, target)) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < inputs; ++i) {
    if (!data::SameName(aside[i + 2].name, columns[i].name)) return std::nullopt;
  }

  // The rows that may be held out, by their inputs. A row's own rowid is
  // preferred, but only as a hint: a VACUUM may have renumbered the rows.
  std::string rowid = "NULL";  // when the table's columns take every name of it
  for (const char* alias : {"rowid", "oid", "_rowid_"}) {
    if (std::none_of(columns.begin(), columns.end(),
                     [&](const Column& c) { return data::SameName(c.name, alias); })) {
      rowid = alias;
      break;
    }
  }
  std::string input_names;
  for (std::size_t i = 0; i < inputs; ++i) input_names += data::SqlName(columns[i].name) + ", ";
  Statement rows =
      Prepare(raw,
              fmt::format("SELECT {}, {}{} FROM {} WHERE {} IS NULL", rowid, input_names,
                          data::SqlName(kActual), data::SqlName(table), data::SqlName(target)),
              database);
  std::unordered_map<std::string, std::vector<Candidate>> by_inputs;
  const int prediction_column = static_cast<int>(inputs) + 1;
  int step = 0;
  while ((step = sqlite3_step(rows.get())) == SQLITE_ROW) {
    std::string key;
    for (std::size_t i = 0; i < inputs; ++i) AppendKey(key, rows.get(), static_cast<int>(i) + 1);
    Candidate c;
    if (sqlite3_column_type(rows.get(), 0) == SQLITE_INTEGER) {
      c.rowid = sqlite3_column_int64(rows.get(), 0);
    }
    if (sqlite3_column_type(rows.get(), prediction_column) == SQLITE_FLOAT) {
      c.prediction = sqlite3_column_double(rows.get(), prediction_column);
    }
    by_inputs[key].push_back(c);
  }
  if (step != SQLITE_DONE) RaiseSqlite(raw, step, fmt::format("'{}'", database));

  std::string side_names;
  for (std::size_t i = 0; i < inputs; ++i) side_names += ", " + data::SqlName(aside[i + 2].name);
  Statement held =
      Prepare(raw,
              fmt::format("SELECT {0}, {1}{2} FROM {3} ORDER BY {0}", data::SqlName(aside[0].name),
                          data::SqlName(aside[1].name), side_names, data::SqlName(side)),
              database);
  std::vector<double> targets;
  std::vector<double> predictions;
  int64_t found = 0;
  bool numbers = true;
  while ((step = sqlite3_step(held.get())) == SQLITE_ROW) {
    std::string key;
    for (std::size_t i = 0; i < inputs; ++i) AppendKey(key, held.get(), static_cast<int>(i) + 2);
    const auto it = by_inputs.find(key);
    if (it == by_inputs.end()) continue;  // the row is gone, or its inputs changed
    const int64_t place = sqlite3_column_int64(held.get(), 0);
    Candidate* match = nullptr;
    for (Candidate& c : it->second) {
      if (c.used) continue;
      if (match == nullptr || c.rowid == place) match = &c;
      if (c.rowid == place) break;
    }
    if (match == nullptr) continue;
    match->used = true;
    ++found;
    const int type = sqlite3_column_type(held.get(), 1);
    if ((type != SQLITE_FLOAT && type != SQLITE_INTEGER) || !match->prediction) {
      numbers = false;
      continue;
    }
    targets.push_back(sqlite3_column_double(held.get(), 1));
    predictions.push_back(*match->prediction);
  }
  if (step != SQLITE_DONE) RaiseSqlite(raw, step, fmt::format("'{}'", database));
  FitFigures fit = MeasureFit(targets, predictions);
  if (!numbers) fit = FitFigures{};
  fit.examples = static_cast<int32_t>(found);
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
