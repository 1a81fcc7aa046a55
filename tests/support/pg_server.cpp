#include "support/pg_server.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "support/process.h"

namespace kelda::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kServerUser = "postgres";  // the account the server runs as under root
constexpr int kPort = 5432;                      // names the socket file only

std::string ShellQuoted(std::string_view arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Percent-encodes what a URI's query value cannot hold as it is.
std::string UriEncoded(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool HasServerPrograms(const fs::path& bin) {
  std::error_code ec;
  return fs::exists(bin / "initdb", ec) && fs::exists(bin / "pg_ctl", ec);
}

// The folder of initdb and pg_ctl: pg_config's, else the newest Debian
// version's. "" when there is none.
std::string ServerBinDir() {
  const ProcessResult config = RunProcess("pg_config", {"--bindir"});
  if (config.status == 0) {
    std::string dir = config.out;
    while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
    if (HasServerPrograms(dir)) return dir;
  }
  std::vector<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    if (HasServerPrograms(entry.path() / "bin")) found.push_back(entry.path() / "bin");
  }
  if (found.empty()) return "";
  // Debian's version folders are plain numbers: the longest, then the
  // greatest, is the newest.
  std::sort(found.begin(), found.end(), [](const fs::path& a, const fs::path& b) {
    const std::string x = a.parent_path().filename(), y = b.parent_path().filename();
    return x.size() != y.size() ? x.size() < y.size() : x < y;
  });
  return found.back().string();
}

}  // namespace

// ---- PgConn ----------------------------------------------------------------

PgConn::PgConn(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
  if (conn_ == nullptr) throw std::runtime_error("PQconnectdb: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string message = PQerrorMessage(conn_);
    PQfinish(conn_);
    throw std::runtime_error("cannot connect: " + message);
  }
  // The server's notices ("... does not exist, skipping") are no test output.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
}

PgConn::~PgConn() { PQfinish(conn_); }

PgResult PgConn::Run(std::string_view sql) const {
  return PgResult(PQexec(conn_, std::string(sql).c_str()), &PQclear);
}

void PgConn::Exec(std::string_view sql) const {
  const PgResult r = Run(sql);
  const ExecStatusType status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error("cannot run '" + std::string(sql) + "': " + PQerrorMessage(conn_));
  }
}

std::string PgConn::Scalar(std::string_view sql) const {
  const PgResult r = Run(sql);
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    throw std::runtime_error("cannot run '" + std::string(sql) + "': " + PQerrorMessage(conn_));
  }
  if (PQntuples(r.get()) == 0 || PQnfields(r.get()) == 0 || PQgetisnull(r.get(), 0, 0)) return "";
  return PQgetvalue(r.get(), 0, 0);
}

// ---- PgServer --------------------------------------------------------------

std::optional<std::string> PgServer::Unavailable() {
  if (ServerBinDir().empty()) {
    return "no PostgreSQL server programs (initdb, pg_ctl): install Debian's postgresql";
  }
  if (::geteuid() == 0 && ::getpwnam(kServerUser) == nullptr) {
    return std::string("running as root, and there is no '") + kServerUser +
           "' user to run the server as";
  }
  return std::nullopt;
}

PgServer::PgServer() : bin_(ServerBinDir()) {
  if (const std::optional<std::string> why = Unavailable()) throw std::runtime_error(*why);
  if (::geteuid() == 0) runner_ = std::string("runuser -u ") + kServerUser + " -- ";

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelda-pg-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  try {
    StartWatchdog();
    Start();
  } catch (...) {
    Stop(/*immediate=*/true);
    throw;
  }
}

PgServer::~PgServer() { Stop(/*immediate=*/false); }

void PgServer::StartWatchdog() {
  // Reads until the write end closes, which the kernel does when this
  // process dies however it dies; then stops the server at once and removes
  // the folder. In a session of its own, so that a signal to the test's
  // process group spares it.
  const std::string data = dir_ + "/data";
  const std::string script = "cd /; read -r _; if [ -f " + ShellQuoted(data + "/postmaster.pid") +
                             " ]; then " + runner_ + ShellQuoted(bin_ + "/pg_ctl") + " stop -D " +
                             ShellQuoted(data) + " -m immediate -w -t 30; fi; rm -rf " +
                             ShellQuoted(dir_);
  ChildOptions options;
  options.in = Stream::Pipe();
  options.new_session = true;
  watchdog_ = std::make_unique<Child>(std::vector<std::string>{"/bin/sh", "-c", script}, options);
}

void PgServer::Start() {
  // The server refuses to run as root: the account it runs as owns the folder.
  if (!runner_.empty()) {
    const passwd* pw = ::getpwnam(kServerUser);
    if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      throw std::runtime_error("cannot give " + dir_ + " to " + kServerUser);
    }
  }
  const std::string data = dir_ + "/data";
  RunAsServer("initdb", ShellQuoted(bin_ + "/initdb") + " -D " + ShellQuoted(data) +
                            " -U postgres -A trust -E UTF8 --locale=C --no-sync --no-instructions");

  // Trust for every role on the socket but the password role; no TCP at all.
  {
    std::ofstream hba(data + "/pg_hba.conf", std::ios::trunc);
    hba << "local all " << kPasswordUser << " scram-sha-256\n"
        << "local all all trust\n";
    std::ofstream conf(data + "/postgresql.conf", std::ios::app);
    conf << "listen_addresses = ''\n"
         << "unix_socket_directories = '" << dir_ << "'\n"
         << "port = " << kPort
         << "\n"
         // No fsync, but every commit in the log before it returns: a
         // server stopped at once, as a crash stops it, keeps what it
         // reported committed, which the fault tests rely on.
         << "fsync = off\n"
         << "synchronous_commit = on\n"
         << "full_page_writes = off\n"
         << "max_connections = 30\n"
         << "shared_buffers = 16MB\n"
         // Deadlocks are found within a tenth of a second rather than one.
         << "deadlock_timeout = 100ms\n";
    if (!hba || !conf) throw std::runtime_error("cannot write the configuration in " + data);
  }
  StartServer();

  PgConn admin(Uri("postgres", {}, "postgres"));
  admin.Exec(std::string("CREATE DATABASE ") + kDatabase);
  admin.Exec(std::string("CREATE ROLE ") + kPasswordUser + " LOGIN PASSWORD '" + kPassword + "'");
}

void PgServer::RunAsServer(const std::string& what, const std::string& command) const {
  // From /, which the server's account can always enter.
  const ProcessResult r = RunProcess("/bin/sh", {"-c", "cd / && " + runner_ + command});
  if (r.status != 0) {
    throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "): " + r.out + r.err +
                             FileText(dir_ + "/server.log"));
  }
}

void PgServer::StartServer() const {
  RunAsServer("pg_ctl start", ShellQuoted(bin_ + "/pg_ctl") + " start -w -t 60 -D " +
                                  ShellQuoted(dir_ + "/data") + " -l " +
                                  ShellQuoted(dir_ + "/server.log"));
}

void PgServer::Halt(bool immediate) {
  RunAsServer("pg_ctl stop", ShellQuoted(bin_ + "/pg_ctl") + " stop -w -t 30 -D " +
                                 ShellQuoted(dir_ + "/data") + " -m " +
                                 (immediate ? "immediate" : "fast"));
}

void PgServer::Resume() { StartServer(); }

void PgServer::Stop(bool immediate) {
  const std::string data = dir_ + "/data";
  std::error_code ec;
  if (fs::exists(data + "/postmaster.pid", ec)) {
    const std::string pg_ctl = "cd / && " + runner_ + ShellQuoted(bin_ + "/pg_ctl") +
                               " stop -w -t 30 -D " + ShellQuoted(data) + " -m ";
    if (immediate || RunProcess("/bin/sh", {"-c", pg_ctl + "fast"}).status != 0) {
      RunProcess("/bin/sh", {"-c", pg_ctl + "immediate"});
    }
  }
  fs::remove_all(dir_, ec);
  if (watchdog_) {
    watchdog_->CloseIn();
    watchdog_->Wait();
    watchdog_.reset();
  }
}

std::string PgServer::Uri(std::string_view user, std::string_view password,
                          std::string_view database) const {
  std::string uri = "postgresql:///" + UriEncoded(database) + "?host=" + UriEncoded(dir_) +
                    "&port=" + std::to_string(kPort) + "&user=" + UriEncoded(user);
  if (!password.empty()) uri += "&password=" + UriEncoded(password);
  return uri;
}

void PgServer::Exec(std::string_view sql) const { PgConn(Uri()).Exec(sql); }

// ---- PgServerTest ----------------------------------------------------------

std::unique_ptr<PgServer> PgServerTest::server_;
std::string PgServerTest::failure_;

void PgServerTest::TearDownTestSuite() { server_.reset(); }

void PgServerTest::SetUp() {
  if (server_ != nullptr) return;
  if (const std::optional<std::string> why = PgServer::Unavailable()) GTEST_SKIP() << *why;
  if (failure_.empty()) {
    try {
      server_ = std::make_unique<PgServer>();
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
  }
  if (server_ == nullptr) FAIL() << "cannot start a PostgreSQL server: " << failure_;
}

}  // namespace kelda::test
