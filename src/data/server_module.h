// The server engine (data/postgres), built as a library of its own,
// libkelda-server, with libpq and what libpq links. A process loads it the
// first time it opens a server's database: one that reads files only never
// loads them (see base/module_loader.h).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "data/backend.h"
#include "data/new_tables.h"

namespace kelda::data {

// What the engine offers: OpenServerDatabase (data/backend.h) and the
// server's MakeNewTables (data/new_tables.h), with their contracts.
struct ServerModule {
  std::shared_ptr<DatabaseBackend> (*open)(const std::string& name,
                                           std::chrono::milliseconds busy_timeout,
                                           StatementObserver observer, InterruptCheck interrupt);
  void (*make_new_tables)(const std::string& name, const NewTable& table,
                          const std::optional<KeyedTable>& keyed, const NewTablesOptions& options);
};

inline constexpr const char* kServerModuleName = "libkelda-server.so.1";

// The engine, loaded by the first call in the process. Raises 3151 naming
// the server `name` (its password masked) when it cannot be loaded.
const ServerModule& ServerEngineFor(const std::string& name);

}  // namespace kelda::data

// The engine's one entry point, found by name.
extern "C" const kelda::data::ServerModule* kelda_server_module();
