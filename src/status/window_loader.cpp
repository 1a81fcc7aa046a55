#include "base/module_loader.h"
#include "status/window_module.h"

namespace kelda::status {

namespace {

struct Loaded {
  const WindowModule* module = nullptr;
  std::string why;
};

Loaded Load() {
  Loaded loaded;
  if (void* entry = LoadModuleEntry(kWindowModuleName, "kelda_window_module", loaded.why)) {
    loaded.module = reinterpret_cast<decltype(&kelda_window_module)>(entry)();
  }
  return loaded;
}

}  // namespace

const WindowModule* LoadWindowModule(std::string* why) {
  static const Loaded loaded = Load();
  if (why != nullptr) *why = loaded.why;
  return loaded.module;
}

}  // namespace kelda::status
