#include "data/postgres/errors.h"

#include <array>
#include <utility>

#include "base/error.h"

namespace kelda::data::postgres {
namespace {

// Exact SQLSTATEs; whole classes follow in ErrorNumberForSqlState.
constexpr std::array<std::pair<std::string_view, int32_t>, 25> kExact = {{
    {"42P01", kErrTableNotFound},    {"42703", kErrNoSuchColumn},
    {"42701", kErrFieldExists},      {"42501", kErrReadOnly},
    {"25006", kErrReadOnly},         {"55P03", kErrLocked},
    {"57014", kErrLocked},           {"40P01", kErrLocked},
    {"40001", kErrLocked},           {"22P02", kErrTypeMismatch},
    {"22001", kErrConversion},       {"22003", kErrConversion},
    {"23502", kErrConversion},       {"23514", kErrConversion},
    {"42601", kErrSyntax},           {"53100", kErrDiskFull},
    {"53200", kErrOutOfMemory},      {"58030", kErrIo},
    {"XX001", kErrCorrupt},          {"XX002", kErrCorrupt},
    {"3D000", kErrConnectionFailed}, {"57P01", kErrConnectionFailed},
    {"57P02", kErrConnectionFailed}, {"57P03", kErrConnectionFailed},
    {"57P04", kErrConnectionFailed},
}};

}  // namespace

int32_t ErrorNumberForSqlState(std::string_view sqlstate) {
  if (sqlstate.size() != 5) return kErrDatabase;
  for (const auto& [state, number] : kExact) {
    if (state == sqlstate) return number;
  }
  const std::string_view error_class = sqlstate.substr(0, 2);
  if (error_class == "08" || error_class == "28") return kErrConnectionFailed;
  return kErrDatabase;
}

int32_t ErrorNumberForFailure(const PGconn* conn, const PGresult* result) {
  if (PQstatus(conn) == CONNECTION_BAD) return kErrConnectionFailed;
  const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  return sqlstate != nullptr ? ErrorNumberForSqlState(sqlstate) : kErrDatabase;
}

}  // namespace kelda::data::postgres
