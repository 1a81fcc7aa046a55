// The in-process server's four entry points and the class factory of
// Network.
#include "server.h"

#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "automation.h"
#include "network_object.h"
#include "registration.h"
#include "status/renderer_win32.h"
#include "torvika.h"

namespace kelda::server {

namespace {

// Process-wide by nature (see server.h).
std::atomic<long> live_objects{0};
std::atomic<long> module_locks{0};

// One factory for the process, without state of its own: a reference on it
// is a lock on the module, so that the DLL stays loaded while a host holds
// the factory.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    LockModule();
    return 2;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    UnlockModule();
    return 1;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return NetworkObject::Create(riid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

ClassFactory factory;

}  // namespace

void ObjectCreated() noexcept { live_objects.fetch_add(1); }
void ObjectDestroyed() noexcept { live_objects.fetch_sub(1); }
void LockModule() noexcept { module_locks.fetch_add(1); }
void UnlockModule() noexcept { module_locks.fetch_sub(1); }

std::wstring ModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ModulePath), &module);
  // Paths may be longer than MAX_PATH; grow until the whole path fits.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw std::runtime_error("cannot find the server's own file");
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace kelda::server

// The exports, by these undecorated names (kelda.def).

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_Network) return CLASS_E_CLASSNOTAVAILABLE;
  return kelda::server::factory.QueryInterface(riid, out);
}

// A status window keeps the module too: its window procedure is in here, and
// it outlives the objects (it belongs to the thread).
STDAPI DllCanUnloadNow() {
  return kelda::server::live_objects.load() == 0 && kelda::server::module_locks.load() == 0 &&
                 kelda::status::LiveStatusWindows() == 0
             ? S_OK
             : S_FALSE;
}

STDAPI DllRegisterServer() {
  std::wstring path;
  const HRESULT found = kelda::server::Guarded([&] { path = kelda::server::ModulePath(); });
  if (FAILED(found)) return found;
  return kelda::server::RegisterServer(path);
}

STDAPI DllUnregisterServer() { return kelda::server::UnregisterServer(); }
