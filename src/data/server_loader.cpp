#include "base/error.h"
#include "base/module_loader.h"
#include "data/server_module.h"
#include "data/server_name.h"

namespace kelda::data {

namespace {

struct Loaded {
  const ServerModule* module = nullptr;
  std::string why;
};

Loaded Load() {
  Loaded loaded;
  if (void* entry = LoadModuleEntry(kServerModuleName, "kelda_server_module", loaded.why)) {
    loaded.module = reinterpret_cast<decltype(&kelda_server_module)>(entry)();
  }
  return loaded;
}

}  // namespace

const ServerModule& ServerEngineFor(const std::string& name) {
  static const Loaded loaded = Load();
  if (loaded.module == nullptr) {
    Raise(kErrConnectionFailed, "Cannot connect to '" + ShownName(name) + "': the server engine " +
                                    kServerModuleName + " cannot be loaded: " + loaded.why);
  }
  return *loaded.module;
}

std::shared_ptr<DatabaseBackend> OpenServerDatabase(const std::string& name,
                                                    std::chrono::milliseconds busy_timeout,
                                                    StatementObserver observer,
                                                    InterruptCheck interrupt) {
  return ServerEngineFor(name).open(name, busy_timeout, std::move(observer), std::move(interrupt));
}

}  // namespace kelda::data
