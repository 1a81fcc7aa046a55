#include "server/server_run.h"

namespace kelda::test {

std::string TableSql(const std::string& qualified) {
  std::string sql = "CREATE TABLE " + qualified +
                    " (id bigint PRIMARY KEY, a double precision, b double precision, "
                    "c double precision, y double precision, \"Actual\" double precision);"
                    "INSERT INTO " +
                    qualified + " VALUES ";
  for (int i = 1; i <= kRows; ++i) {
    const double a = std::sin(i * 0.7) * 10.0, b = (i % 7) * 1.5, c = std::cos(i * 0.3) + i * 0.01;
    char row[256];
    char target[64] = "NULL";
    if (i <= kExamples) std::snprintf(target, sizeof target, "%.17g", a * 0.3 - b + c * c);
    std::snprintf(row, sizeof row, "%s(%lld, %.17g, %.17g, %.17g, %s, -1)", i > 1 ? ", " : "",
                  static_cast<long long>(KeyOf(i)), a, b, c, target);
    sql += row;
  }
  return sql;
}

Column ReadColumn(const PgConn& conn, const std::string& qualified, const std::string& column) {
  const PgResult r = conn.Run("SELECT id, " + column + "::text FROM " + qualified + " ORDER BY id");
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    ADD_FAILURE() << "cannot read " << qualified << ": " << PQerrorMessage(conn.get());
    return {};
  }
  Column out;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    std::optional<double> v;
    if (!PQgetisnull(r.get(), i, 1)) v = std::strtod(PQgetvalue(r.get(), i, 1), nullptr);
    out[std::strtoll(PQgetvalue(r.get(), i, 0), nullptr, 10)] = v;
  }
  return out;
}

bool SameBits(const std::optional<double>& x, const std::optional<double>& y) {
  if (!x || !y) return !x && !y;
  return std::bit_cast<uint64_t>(*x) == std::bit_cast<uint64_t>(*y);
}

std::string Shown(const std::optional<double>& v) {
  if (!v) return "NULL";
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", *v);
  return text;
}

std::string Differences(const Column& expected, const Column& actual) {
  if (expected.size() != actual.size()) {
    return std::to_string(actual.size()) + " rows, not " + std::to_string(expected.size());
  }
  for (const auto& [key, v] : expected) {
    const auto it = actual.find(key);
    if (it == actual.end()) return "no row " + std::to_string(key);
    if (!SameBits(v, it->second)) {
      return "row " + std::to_string(key) + ": " + Shown(it->second) + ", not " + Shown(v);
    }
  }
  return "";
}

std::string OldOrWhole(const Column& before, const Column& after, const Column& actual,
                       int* written) {
  if (actual.size() != before.size() || after.size() != before.size()) {
    return "row counts " + std::to_string(actual.size()) + ", " + std::to_string(before.size()) +
           ", " + std::to_string(after.size());
  }
  bool old_seen = false;
  int fresh = 0;
  for (const auto& [key, v] : actual) {
    const std::optional<double>& was = before.at(key);
    const std::optional<double>& now = after.at(key);
    const bool is_old = SameBits(v, was), is_new = SameBits(v, now);
    if (!is_old && !is_new) {
      return "row " + std::to_string(key) + " holds " + Shown(v) + ": neither its old " +
             Shown(was) + " nor the new " + Shown(now);
    }
    if (is_new && !is_old) {
      if (old_seen) return "row " + std::to_string(key) + " written after an unwritten row";
      ++fresh;
    }
    if (is_old && !is_new) old_seen = true;
  }
  if (written != nullptr) *written = fresh;
  return "";
}

RunOutcome RunInProcess(const RunOptions& o) {
  RunOutcome out;
  ThreadBlock& block = ThisThread();
  data::DBEngine& engine = block.DBEngine();
  const auto saved_timeout = engine.BusyTimeout();
  const auto saved_window = engine.CommitWindow();
  engine.SetBusyTimeout(o.busy_timeout);
  engine.SetCommitWindow(o.commit_window);
  {
    int32_t epoch = -1;
    Point point;
    ScopedThreadSettings settings(
        o.seed,
        [&] {
          if (block.progress.epoch != epoch) {
            epoch = block.progress.epoch;
            // At an epoch's start the sum is still the last epoch's.
            if (epoch >= 2) out.sums.push_back(block.network.ErrorSum);
            point = Point{epoch, 0};
          } else {
            ++point.example;
          }
          if (o.at) o.at(point);
        },
        o.use);
    if (o.check) {
      settings.SetInterruptCheck([&] {
        o.check();
        return false;
      });
    }
    Network net;
    net.SetMSAccessDBName(o.uri);
    net.SetMSAccessTableName(o.table);
    net.SetEpochs(o.epochs);
    try {
      net.RunNetwork();
      out.sums.push_back(block.network.ErrorSum);
    } catch (const Error& e) {
      out.number = e.Number();
      out.text = e.Description();
    }
  }
  engine.SetBusyTimeout(saved_timeout);
  engine.SetCommitWindow(saved_window);
  return out;
}

Reference MakeReference(PgServer& server, const std::string& table) {
  server.Exec(TableSql(table));
  PgConn conn(server.Uri());
  Reference ref;
  ref.before[1] = ReadColumn(conn, table);
  RunOptions o;
  o.uri = server.Uri();
  o.table = table;
  o.at = [&](Point p) {
    if (p.example == 0 && p.epoch >= 2) ref.before[p.epoch] = ReadColumn(conn, table);
  };
  const RunOutcome r = RunInProcess(o);
  EXPECT_EQ(r.number, 0) << r.text;
  ref.sums = r.sums;
  ref.final = ReadColumn(conn, table);
  return ref;
}

const Reference& SharedReference(PgServer& server) {
  static const Reference ref = MakeReference(server, "reference_run");
  return ref;
}

const char* Name(Moment m) {
  switch (m) {
    case Moment::kEarly:
      return "Early";
    case Moment::kReport:
      return "Report";
    case Moment::kWriteBack:
      return "WriteBack";
  }
  return "?";
}

RunOutcome RunActingAt(const PgServer& server, Moment m, RunOptions o,
                       const std::function<void()>& act) {
  bool acted = false;
  const auto once = [&] {
    acted = true;
    act();
  };
  RunOutcome r;
  if (m == Moment::kWriteBack) {
    WriteBackStall stall(server, o.table, KeyOf(kStallRow), once);
    o.at = [&](Point p) { stall.At(p); };
    o.check = [&] { stall.Check(); };
    r = RunInProcess(o);
  } else {
    const Point at = m == Moment::kEarly ? Point{1, 0} : Point{10, kActedAfter};
    o.at = [&](Point p) {
      if (p.epoch == at.epoch && p.example == at.example) once();
    };
    r = RunInProcess(o);
  }
  EXPECT_TRUE(acted) << "the run never reached " << Name(m);
  return r;
}

std::string FreshName(const std::string& stem) {
  static int count = 0;
  return stem + std::to_string(++count);
}

}  // namespace kelda::test
