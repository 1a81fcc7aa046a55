// The optional parts of kelda that are libraries of their own (the window
// module, the server engine), loaded by file name the first time a process
// needs one, so that a process that never needs them never loads them or
// what they link.
#pragma once

#include <string>

namespace kelda {

// The address of the function `entry` in the library `file_name`
// ("libkelda-window.so.1"), loaded for good: from beside the library or
// program that holds this code, from where an installed tool or Python
// module finds the installed libraries, then from the system's library
// path. Null when no copy can be loaded, with `why` saying why.
// Thread-safe; callers keep what it returns rather than ask again.
void* LoadModuleEntry(const std::string& file_name, const char* entry, std::string& why);

// A module's table of functions, as its entry point `const Table* entry()`
// hands it out: null, with `why`, when the module cannot be loaded.
template <typename Table>
struct LoadedModule {
  const Table* table = nullptr;
  std::string why;
};

template <typename Table>
LoadedModule<Table> LoadModule(const std::string& file_name, const char* entry) {
  LoadedModule<Table> loaded;
  if (void* address = LoadModuleEntry(file_name, entry, loaded.why)) {
    loaded.table = reinterpret_cast<const Table* (*)()>(address)();
  }
  return loaded;
}

}  // namespace kelda
