#include "sql/extension.h"

#include <sqlite3ext.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sql/predict_function.h"

SQLITE_EXTENSION_INIT1

namespace kelda::sql {
namespace {

// As the database layer reads a column's value (ColumnValue in
// data/recordset.cpp), so that an argument converts to a number exactly as the
// same value in a table does for `kelda predict`. Written again here because
// an extension must reach SQLite through the routines the loading program
// hands it (sqlite3ext.h), which may be another copy of SQLite than the one
// the layer links.
Value ArgumentValue(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_FLOAT:
      return Value(sqlite3_value_double(v));
    case SQLITE_INTEGER:
      return Value(static_cast<double>(sqlite3_value_int64(v)));
    case SQLITE_NULL:
      return Value::Null();
    case SQLITE_TEXT: {
      const unsigned char* p = sqlite3_value_text(v);
      const int n = sqlite3_value_bytes(v);
      return Value(std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n)));
    }
    default: {
      const auto* p = static_cast<const std::uint8_t*>(sqlite3_value_blob(v));
      const int n = sqlite3_value_bytes(v);
      return Value(Value::Blob(p, p + n));
    }
  }
}

void DeleteCache(void* cache) { delete static_cast<NetworkCache*>(cache); }

void DeletePinned(void* pinned) { delete static_cast<std::shared_ptr<LoadedNetwork>*>(pinned); }

void ReportError(sqlite3_context* context, const std::string& text) {
  sqlite3_result_error(context, text.c_str(), static_cast<int>(text.size()));
}

void Predict(sqlite3_context* context, int argc, sqlite3_value** argv) {
  try {
    if (argc < 1) {
      Raise(kErrInvalidArgument, std::string(StandardErrorText(kErrInvalidArgument)) + ": " +
                                     kFunctionName +
                                     " takes the network file and one value per input column");
    }
    // The network the statement started with, while SQLite keeps it (for a
    // constant path, to the statement's end); else the connection's copy.
    std::shared_ptr<LoadedNetwork> network;
    if (auto* pinned =
            static_cast<std::shared_ptr<LoadedNetwork>*>(sqlite3_get_auxdata(context, 0))) {
      network = *pinned;
    } else {
      auto& cache = *static_cast<NetworkCache*>(sqlite3_user_data(context));
      network = cache.Get(PathArgument(ArgumentValue(argv[0])));
      sqlite3_set_auxdata(context, 0, new std::shared_ptr<LoadedNetwork>(network), DeletePinned);
    }
    std::vector<Value> inputs;
    inputs.reserve(static_cast<std::size_t>(argc - 1));
    for (int i = 1; i < argc; ++i) inputs.push_back(ArgumentValue(argv[i]));
    sqlite3_result_double(context, network->PredictRow(inputs));
  } catch (const Error& e) {
    ReportError(context, ErrorText(e));
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(context);
  } catch (const std::exception& e) {
    // Nothing may unwind into SQLite; what is not the runtime's own error
    // still reaches the statement as its error.
    ReportError(context, std::string("kelda: ") + e.what());
  }
}

}  // namespace
}  // namespace kelda::sql

extern "C" int sqlite3_keldasql_init(sqlite3* db, char** error_message,
                                     const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  kelda::sql::NetworkCache* cache = nullptr;
  try {
    cache = new kelda::sql::NetworkCache();
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  // SQLite deletes the cache with the function: when the connection closes,
  // or when the extension is loaded again into it.
  const int rc = sqlite3_create_function_v2(
      db, kelda::sql::kFunctionName, -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, cache,
      kelda::sql::Predict, nullptr, nullptr, kelda::sql::DeleteCache);
  if (rc != SQLITE_OK && error_message != nullptr) {
    *error_message =
        sqlite3_mprintf("cannot add %s: %s", kelda::sql::kFunctionName, sqlite3_errmsg(db));
  }
  return rc;
}
