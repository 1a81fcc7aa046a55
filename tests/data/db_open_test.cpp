// Opening database files: what is refused and how, journal mode, locks,
// read-only files, closing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "data/database.h"
#include "support/raised.h"
#include "support/temp_db.h"

namespace kelda::data {
namespace {

using std::chrono::milliseconds;
using test::ErrorNumberOf;
using test::RaisedBy;
using test::RawDb;
using test::TempDb;

TEST(DaoOpen, MissingFileRaises3024WithThePathAndCreatesNothing) {
  TempDb tmp;
  DBEngine engine;
  const std::string missing = tmp.File("nothing.db");
  auto e = RaisedBy([&] { engine.OpenDatabase(missing); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrDbFileNotFound);
  EXPECT_NE(e->Description().find(missing), std::string::npos) << e->Description();
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_EQ(ErrorNumberOf([&] { engine.OpenDatabase(""); }), kErrDbFileNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { engine.OpenDatabase(tmp.dir()); }), kErrCannotOpen);
}

// A server that cannot be reached: its name is never taken for a missing
// file's path, whose message would show the password.
TEST(DaoOpen, AServerNameIsRefusedWithItsPasswordMasked) {
  DBEngine engine;
  for (const char* name : {"postgresql://ann:s3cr3t@/sales?host=/nonexistent/kelda",
                           "POSTGRES:///sales?password=s3cr3t&host=/nonexistent/kelda"}) {
    auto e = RaisedBy([&] { engine.OpenDatabase(name); });
    ASSERT_TRUE(e) << name;
    EXPECT_EQ(e->Number(), kErrConnectionFailed);
    EXPECT_EQ(e->Description().find("s3cr3t"), std::string::npos) << e->Description();
    EXPECT_NE(e->Description().find("***"), std::string::npos) << e->Description();
  }
}

struct ForeignFile {
  const char* name;
  std::string bytes;
  const char* says;  // a phrase the message must hold
};

class DaoOpenForeign : public ::testing::TestWithParam<ForeignFile> {};

TEST_P(DaoOpenForeign, Raises3343AndSaysWhatTheFileIs) {
  TempDb tmp;
  const std::string file = tmp.WriteFile("data.bin", GetParam().bytes);
  DBEngine engine;
  auto e = RaisedBy([&] { engine.OpenDatabase(file); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrNotADatabase) << e->Description();
  EXPECT_NE(e->Description().find(GetParam().says), std::string::npos) << e->Description();
}

std::string AccessHeader(const char* kind) {
  std::string bytes("\x00\x01\x00\x00", 4);
  bytes += kind;
  bytes += std::string(1, '\0');
  bytes += std::string(2048, 'x');
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, DaoOpenForeign,
    ::testing::Values(ForeignFile{"Text", "name,price\nwidget,3.5\n", "not a database"},
                      ForeignFile{"Jet", AccessHeader("Standard Jet DB"), "mdb-export -I sqlite"},
                      ForeignFile{"Ace", AccessHeader("Standard ACE DB"), "Microsoft Access"},
                      ForeignFile{"DamagedSqlite",
                                  std::string("SQLite format 3\0", 16) + std::string(4080, '\xff'),
                                  "SQLite"}),
    [](const auto& info) { return info.param.name; });

TEST(DaoOpen, AFileNamedLikeAUriIsOpenedAsAPath) {
  TempDb tmp("CREATE TABLE t(a); INSERT INTO t VALUES (7);");
  std::filesystem::rename(tmp.path(), tmp.File("file:t.db"));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.dir());
  DBEngine engine;
  const int error = ErrorNumberOf([&] {
    Database db = engine.OpenDatabase("file:t.db");
    Recordset rs = db.OpenRecordset("t");
    if (rs.Fields(0).GetValue() != Value(7.0)) throw std::runtime_error("wrong row");
  });
  std::filesystem::current_path(cwd);
  EXPECT_EQ(error, 0);
}

TEST(DaoOpen, WritableFilesGoToWalAndHandlesShareTheConnection) {
  TempDb tmp("CREATE TABLE t(a); INSERT INTO t VALUES (1), (2);");
  DBEngine engine;
  Recordset kept = [&] {
    Database db = engine.OpenDatabase(tmp.path());
    return db.OpenRecordset("t");
  }();  // the handle is dropped without Close
  EXPECT_EQ(tmp.Scalar("PRAGMA journal_mode"), Value("wal"));
  EXPECT_EQ(kept.Fields(0).GetValue(), Value(1.0));
  kept.MoveNext();
  EXPECT_EQ(kept.Fields(0).GetValue(), Value(2.0));

  Database db = engine.OpenDatabase(tmp.path());
  Recordset rs = db.OpenRecordset("SELECT a FROM t");
  db.Close();
  db.Close();
  EXPECT_EQ(ErrorNumberOf([&] { rs.MoveNext(); }), kErrObjectClosed);
  EXPECT_EQ(ErrorNumberOf([&] { rs.Fields(0).GetValue(); }), kErrObjectClosed);
  EXPECT_EQ(ErrorNumberOf([&] { db.OpenRecordset("t"); }), kErrObjectClosed);
  EXPECT_EQ(ErrorNumberOf([&] { db.TableDefs("t"); }), kErrObjectClosed);
  EXPECT_EQ(kept.Fields(0).GetValue(), Value(2.0));  // another handle's cursor goes on
}

TEST(DaoOpen, ReadOnlyFileReadsAndRefusesWritesWith3027) {
  TempDb tmp("CREATE TABLE t(a REAL); INSERT INTO t VALUES (1.5);");
  ASSERT_EQ(::chmod(tmp.dir().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0444), 0);
  const std::string path = tmp.path();
  // Each step's error number, packed: read | update << 1 | append << 2.
  const auto result = test::RunUnprivileged([&] {
    DBEngine engine;
    Database db = engine.OpenDatabase(path);
    Recordset rs = db.OpenRecordset("t");
    const bool read = rs.Fields("a").GetValue() == Value(1.5);
    const int update = ErrorNumberOf([&] {
      rs.Edit();
      rs.Fields("a").SetValue(2.0);
      rs.Update();
    });
    const int append = ErrorNumberOf([&] {
      db.TableDefs("t").Fields().Append(FieldDef{"Actual", kDbDouble});
    });
    return (read ? 1 : 0) | (update == kErrReadOnly ? 2 : 0) | (append == kErrReadOnly ? 4 : 0);
  });
  if (!result) GTEST_SKIP() << "running as root and cannot give up root's rights";
  EXPECT_EQ(*result, 7);
  EXPECT_EQ(tmp.Scalar("SELECT a FROM t"), Value(1.5));
}

class DaoOpenLocked : public ::testing::Test {
 protected:
  TempDb tmp_{"CREATE TABLE t(a REAL, Actual REAL); INSERT INTO t VALUES (1, NULL);"};
  DBEngine engine_;
};

TEST_F(DaoOpenLocked, UpdateRaises3218AfterTheBusyWait) {
  engine_.SetBusyTimeout(milliseconds(200));
  Database db = engine_.OpenDatabase(tmp_.path());
  Recordset rs = db.OpenRecordset("t");
  RawDb other(tmp_.path());
  other.Exec("BEGIN IMMEDIATE");
  const auto start = std::chrono::steady_clock::now();
  rs.Edit();
  rs.Fields("Actual").SetValue(5.0);
  auto e = RaisedBy([&] { rs.Update(); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Number(), kErrLocked) << e->Description();
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
  other.Exec("COMMIT");
  rs.Update();  // still in edit mode; the lock is gone
  EXPECT_EQ(tmp_.Scalar("SELECT Actual FROM t"), Value(5.0));
}

TEST_F(DaoOpenLocked, ALockReleasedWithinTheWaitLetsTheUpdateGoOn) {
  engine_.SetBusyTimeout(milliseconds(5000));
  Database db = engine_.OpenDatabase(tmp_.path());
  Recordset rs = db.OpenRecordset("t");
  RawDb other(tmp_.path(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX);
  other.Exec("BEGIN IMMEDIATE");
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(150));
    other.Exec("COMMIT");
  });
  rs.Edit();
  rs.Fields("Actual").SetValue(6.0);
  const int error = ErrorNumberOf([&] { rs.Update(); });
  releaser.join();
  EXPECT_EQ(error, 0);
  EXPECT_EQ(tmp_.Scalar("SELECT Actual FROM t"), Value(6.0));
}

TEST_F(DaoOpenLocked, OpeningAFileHeldExclusivelyRaises3218) {
  engine_.SetBusyTimeout(milliseconds(100));
  RawDb other(tmp_.path());
  other.Exec("PRAGMA journal_mode=DELETE; BEGIN EXCLUSIVE");
  EXPECT_EQ(ErrorNumberOf([&] { engine_.OpenDatabase(tmp_.path()); }), kErrLocked);
  other.Exec("COMMIT");
  EXPECT_EQ(ErrorNumberOf([&] { engine_.OpenDatabase(tmp_.path()); }), 0);
}

}  // namespace
}  // namespace kelda::data
