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

// After the routines' pointer: the reads of values below go through it.
#include "data/sqlite_value.h"

namespace kelda::sql {
namespace {

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
      network = cache.Get(PathArgument(data::ValueOf(argv[0])));
      sqlite3_set_auxdata(context, 0, new std::shared_ptr<LoadedNetwork>(network), DeletePinned);
    }
    std::vector<Value> inputs;
    inputs.reserve(static_cast<std::size_t>(argc - 1));
    for (int i = 1; i < argc; ++i) inputs.push_back(data::ValueOf(argv[i]));
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
