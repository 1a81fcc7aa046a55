// What the Win32 renderer tells the rest of a Windows build beyond the
// Renderer interface.
#pragma once

#include <cstdint>

namespace kelda::status {

// Status windows that exist now in this process, on any thread. Their window
// procedure lives in this module, so the module must stay loaded while the
// count is above 0 (an in-process server's DllCanUnloadNow asks it).
int32_t LiveStatusWindows();

}  // namespace kelda::status
