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

}  // namespace kelda
