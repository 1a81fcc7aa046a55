// SQLite result codes to kelda::Error, names in SQL text, column affinity.
#include <string>
#include <string_view>

#include "base/error.h"
#include "data/db_core.h"

namespace kelda::data {
namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

}  // namespace

int32_t ErrorNumberFor(int rc, std::string_view message) {
  switch (rc & 0xff) {
    case SQLITE_INTERRUPT:
      return kErrUserInterrupt;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrLocked;
    case SQLITE_READONLY:
      return kErrReadOnly;
    case SQLITE_FULL:
      return kErrDiskFull;
    case SQLITE_IOERR:
      return kErrIo;
    case SQLITE_CORRUPT:
      return kErrCorrupt;
    case SQLITE_NOTADB:
      return kErrNotADatabase;
    case SQLITE_CANTOPEN:
      return kErrCannotOpen;
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
      return kErrConversion;
    case SQLITE_CONSTRAINT:
      if (rc == SQLITE_CONSTRAINT_DATATYPE || rc == SQLITE_CONSTRAINT_NOTNULL ||
          rc == SQLITE_CONSTRAINT_CHECK) {
        return kErrConversion;
      }
      return kErrDatabase;
    case SQLITE_ERROR:
      if (Contains(message, "no such table")) return kErrTableNotFound;
      if (Contains(message, "no such column") || Contains(message, "has no column named")) {
        return kErrNoSuchColumn;
      }
      if (Contains(message, "duplicate column name")) return kErrFieldExists;
      if (Contains(message, "syntax error") || Contains(message, "incomplete input") ||
          Contains(message, "unrecognized token")) {
        return kErrSyntax;
      }
      return kErrDatabase;
    default:
      return kErrDatabase;
  }
}

void RaiseSqlite(int rc, sqlite3* db, std::string_view what, std::string_view subject) {
  const char* raw = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  std::string message = raw != nullptr ? raw : sqlite3_errstr(rc);
  // sqlite3_errmsg may still describe an earlier call; the code is authoritative.
  if (message == "not an error") message = sqlite3_errstr(rc);
  // SQLite says the database is read-only when the file is writable but its
  // folder is not, so that no journal can be made beside it.
  if (rc == SQLITE_READONLY_DIRECTORY) {
    message =
        "the folder of the database cannot be written, and a change needs a journal file "
        "beside the database";
  }
  const int32_t number = ErrorNumberFor(rc, message);
  std::string text = StandardErrorText(number);
  text += ": ";
  text += message;
  text += " (";
  text += what;
  if (!subject.empty()) {
    text += " '";
    text += subject;
    text += "'";
  }
  text += ", SQLite code " + std::to_string(rc) + ")";
  Raise(number, std::move(text));
}

void RaiseDb(int32_t number, std::string text) { Raise(number, std::move(text)); }

Affinity AffinityOf(std::string_view declared_type, bool strict) {
  std::string t(declared_type);
  for (char& c : t) c = AsciiUpper(c);
  if (strict && t == "ANY") return Affinity::kBlob;
  if (Contains(t, "INT")) return Affinity::kInteger;
  if (Contains(t, "CHAR") || Contains(t, "CLOB") || Contains(t, "TEXT")) return Affinity::kText;
  if (t.empty() || Contains(t, "BLOB")) return Affinity::kBlob;
  if (Contains(t, "REAL") || Contains(t, "FLOA") || Contains(t, "DOUB")) return Affinity::kReal;
  return Affinity::kNumeric;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

bool IsPlainIdentifier(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] >= '0' && name[0] <= '9') return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return sqlite3_keyword_check(name.data(), static_cast<int>(name.size())) == 0;
}

std::string SqlName(const std::string& name) {
  if (IsPlainIdentifier(name)) return name;
  std::string quoted;
  quoted.reserve(name.size() + 2);
  quoted += '"';
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

}  // namespace kelda::data
