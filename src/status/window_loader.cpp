#include <dlfcn.h>

#include <mutex>
#include <string>
#include <vector>

#include "status/window_module.h"

namespace kelda::status {

namespace {

struct Loaded {
  const WindowModule* module = nullptr;
  std::string why;
};

std::string DirectoryOfThisCode() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LoadWindowModule), &info) == 0 || !info.dli_fname) {
    return {};
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

Loaded Load() {
  std::vector<std::string> candidates;
  if (const std::string dir = DirectoryOfThisCode(); !dir.empty()) {
    for (const char* relative : {"", KELDA_LIBDIR_FROM_BINDIR, KELDA_LIBDIR_FROM_PYTHONDIR}) {
      candidates.push_back(dir + relative + kWindowModuleName);
    }
  }
  candidates.push_back(kWindowModuleName);  // the system's library path
  Loaded loaded;
  for (const std::string& candidate : candidates) {
    // RTLD_NODELETE: renderers and their toolkit callbacks may outlive any
    // handle count.
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      if (loaded.why.empty() || candidate == kWindowModuleName) loaded.why = dlerror();
      continue;
    }
    const auto entry =
        reinterpret_cast<decltype(&kelda_window_module)>(dlsym(handle, "kelda_window_module"));
    if (entry == nullptr) {
      loaded.why = candidate + ": no kelda_window_module";
      continue;
    }
    loaded.module = entry();
    return loaded;
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
