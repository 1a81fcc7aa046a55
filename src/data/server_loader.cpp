#include "base/error.h"
#include "base/module_loader.h"
#include "data/server_module.h"
#include "data/server_name.h"

namespace kelda::data {

const ServerModule& ServerEngineFor(const std::string& name) {
  static const LoadedModule<ServerModule> loaded =
      LoadModule<ServerModule>(kServerModuleName, "kelda_server_module");
  if (loaded.table == nullptr) {
    Raise(kErrConnectionFailed, "Cannot connect to '" + ShownName(name) + "': the server engine " +
                                    kServerModuleName + " cannot be loaded: " + loaded.why);
  }
  return *loaded.table;
}

std::shared_ptr<DatabaseBackend> OpenServerDatabase(const std::string& name,
                                                    std::chrono::milliseconds busy_timeout,
                                                    StatementObserver observer,
                                                    InterruptCheck interrupt) {
  return ServerEngineFor(name).open(name, busy_timeout, std::move(observer), std::move(interrupt));
}

}  // namespace kelda::data
