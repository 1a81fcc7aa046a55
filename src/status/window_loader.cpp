#include "base/module_loader.h"
#include "status/window_module.h"

namespace kelda::status {

const WindowModule* LoadWindowModule(std::string* why) {
  static const LoadedModule<WindowModule> loaded =
      LoadModule<WindowModule>(kWindowModuleName, "kelda_window_module");
  if (why != nullptr) *why = loaded.why;
  return loaded.table;
}

}  // namespace kelda::status
