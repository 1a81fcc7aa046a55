#include "base/module_loader.h"

#include <dlfcn.h>

#include <vector>

namespace kelda {

namespace {

std::string DirectoryOfThisCode() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LoadModuleEntry), &info) == 0 || !info.dli_fname) return {};
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

void* LoadModuleEntry(const std::string& file_name, const char* entry, std::string& why) {
  std::vector<std::string> candidates;
  if (const std::string dir = DirectoryOfThisCode(); !dir.empty()) {
    for (const char* relative : {"", KELDA_LIBDIR_FROM_BINDIR, KELDA_LIBDIR_FROM_PYTHONDIR}) {
      candidates.push_back(dir + relative + file_name);
    }
  }
  candidates.push_back(file_name);  // the system's library path
  why.clear();
  for (const std::string& candidate : candidates) {
    // RTLD_NODELETE: objects made by the module, and callbacks a toolkit
    // holds, may outlive any count of handles.
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (handle == nullptr) {
      const char* error = dlerror();
      // The system's search says the most; the others say so when it is not
      // reached.
      if (why.empty() || candidate == file_name) why = error != nullptr ? error : candidate;
      continue;
    }
    if (void* address = dlsym(handle, entry)) return address;
    why = candidate + " has no " + entry;
  }
  return nullptr;
}

}  // namespace kelda
