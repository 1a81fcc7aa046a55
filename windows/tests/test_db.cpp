// The Wine tests' database tool, run on Linux beside them:
//   kelda_wine_test_db make PATH         writes PATH afresh with the tables below
//   kelda_wine_test_db actual PATH TABLE checks that every row of TABLE has a
//                                        number in its last column, Actual
//
// Tables (the same rows every time):
//   Sales(Price, Volume, Profit)  40 rows, two inputs
//   Wide(a, b, c, Target)         30 rows, three inputs
//   Smooth(x1, x2, y)             25 rows of y = (x1 + x2) / 2, which a short
//                                 run learns well enough to draw its trace
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class Db {
 public:
  Db(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) Fail("open " + path);
  }
  ~Db() { sqlite3_close(db_); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  sqlite3* get() const { return db_; }

  [[noreturn]] void Fail(const std::string& what) const {
    std::fprintf(stderr, "test_db: %s: %s\n", what.c_str(),
                 db_ != nullptr ? sqlite3_errmsg(db_) : "no connection");
    std::exit(1);
  }

 private:
  sqlite3* db_ = nullptr;
};

// A fixed sequence in [0, 1), so the rows never change between runs.
class Sequence {
 public:
  double Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state_ >> 11) * 0x1p-53;
  }

 private:
  unsigned long long state_ = 20250101;
};

std::string Num(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

void Make(const std::string& path) {
  std::remove(path.c_str());
  std::remove((path + "-wal").c_str());
  std::remove((path + "-shm").c_str());
  Db db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  Sequence seq;
  db.Exec("BEGIN");
  db.Exec("CREATE TABLE Sales (Price REAL, Volume REAL, Profit REAL)");
  for (int i = 0; i < 40; ++i) {
    const double price = 1 + 9 * seq.Next();
    const double volume = 100 * seq.Next();
    db.Exec("INSERT INTO Sales VALUES (" + Num(price) + ", " + Num(volume) + ", " +
            Num(price * volume / 100 + seq.Next()) + ")");
  }
  db.Exec("CREATE TABLE Wide (a REAL, b REAL, c REAL, Target REAL)");
  for (int i = 0; i < 30; ++i) {
    const double a = seq.Next();
    const double b = seq.Next();
    const double c = seq.Next();
    db.Exec("INSERT INTO Wide VALUES (" + Num(a) + ", " + Num(b) + ", " + Num(c) + ", " +
            Num(0.7 * a + 0.2 * b + 0.1 * c) + ")");
  }
  db.Exec("CREATE TABLE Smooth (x1 REAL, x2 REAL, y REAL)");
  for (int i = 0; i < 25; ++i) {
    const double x1 = seq.Next();
    const double x2 = seq.Next();
    db.Exec("INSERT INTO Smooth VALUES (" + Num(x1) + ", " + Num(x2) + ", " + Num((x1 + x2) / 2) +
            ")");
  }
  db.Exec("COMMIT");
}

int CheckActual(const std::string& path, const std::string& table) {
  Db db(path, SQLITE_OPEN_READONLY);
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT * FROM \"" + table + "\"";
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) db.Fail(sql);
  const int last = sqlite3_column_count(stmt) - 1;
  int rows = 0;
  int numbers = 0;
  const bool named = last >= 0 && std::string(sqlite3_column_name(stmt, last)) == "Actual";
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    ++rows;
    const int type = sqlite3_column_type(stmt, last);
    if ((type == SQLITE_FLOAT || type == SQLITE_INTEGER) &&
        std::isfinite(sqlite3_column_double(stmt, last))) {
      ++numbers;
    }
  }
  sqlite3_finalize(stmt);
  std::printf("%s: last column %s, %d rows, %d with a number there\n", table.c_str(),
              named ? "Actual" : "not Actual", rows, numbers);
  return named && rows > 0 && numbers == rows ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 3) {
    Make(argv[2]);
    return 0;
  }
  if (command == "actual" && argc == 4) return CheckActual(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s make PATH | actual PATH TABLE\n", argv[0]);
  return 2;
}
