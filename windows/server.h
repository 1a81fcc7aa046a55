// What the in-process server's pieces share: the counts behind
// DllCanUnloadNow and the module's own path.
#pragma once

#include <string>

namespace kelda::server {

// Live Network objects and server locks (class factory references and
// LockServer) in this process. These counts are process-wide atomics: COM
// creates and releases objects on the threads of every apartment that uses
// the server.
void ObjectCreated() noexcept;
void ObjectDestroyed() noexcept;
void LockModule() noexcept;
void UnlockModule() noexcept;

// The full path of this DLL. Throws std::bad_alloc.
std::wstring ModulePath();

}  // namespace kelda::server
