#include "registration.h"

#include "automation.h"
#include "torvika.h"

namespace kelda::server {

namespace {

constexpr wchar_t kProgId[] = L"TORVIKA.Network";
constexpr wchar_t kLibraryHelp[] = L"Vantor Software - Neural Network Runtime";
constexpr wchar_t kLibraryVersion[] = L"3.0";
// The system's automation marshaller, which works from the type library.
constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";
// The other build's registry view: where the 64-bit DLL's registration lives
// when this is the 32-bit one, and the reverse. On 32-bit Windows the flag is
// ignored and names this process's own view.
#ifdef _WIN64
constexpr wchar_t kPlatform[] = L"win64";
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr wchar_t kPlatform[] = L"win32";
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
#endif
constexpr const wchar_t* kLocales[] = {L"0", L"409"};

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() { return L"CLSID\\" + GuidText(CLSID_Network); }
std::wstring InterfaceKey() { return L"Interface\\" + GuidText(IID__Network); }
std::wstring LibraryKey() { return L"TypeLib\\" + GuidText(LIBID_TORVIKA); }
std::wstring LibraryVersionKey() { return LibraryKey() + L"\\" + kLibraryVersion; }

LSTATUS SetValue(const RegistryValue& value, REGSAM view = 0) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, value.key.c_str(), 0, nullptr, 0,
                                   KEY_SET_VALUE | view, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  status = RegSetValueExW(key, value.name.empty() ? nullptr : value.name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(value.data.c_str()),
                          static_cast<DWORD>((value.data.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return status;
}

// Deletes `key` with everything under it; a missing key is no error.
LSTATUS DeleteTree(const std::wstring& key) {
  const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// Deletes `key` when nothing is left under it.
void DeleteIfEmpty(const std::wstring& key) { RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str()); }

bool Exists(const std::wstring& key, REGSAM view = 0) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &handle) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(handle);
  return true;
}

}  // namespace

std::vector<RegistryValue> RegistrationValues(const std::wstring& module_path) {
  const std::wstring clsid = GuidText(CLSID_Network);
  const std::wstring libid = GuidText(LIBID_TORVIKA);
  const std::wstring folder = module_path.substr(0, module_path.find_last_of(L"\\/") + 1);
  const std::wstring cls = ClassKey();
  const std::wstring iface = InterfaceKey();
  const std::wstring lib = LibraryVersionKey();

  std::vector<RegistryValue> values = {
      {cls, L"", kProgId},
      {cls + L"\\InprocServer32", L"", module_path},
      {cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {cls + L"\\ProgID", L"", kProgId},
      {cls + L"\\VERSION", L"", kLibraryVersion},
      {cls + L"\\TypeLib", L"", libid},
      {kProgId, L"", kProgId},
      {std::wstring(kProgId) + L"\\Clsid", L"", clsid},
      {iface, L"", L"_Network"},
      {iface + L"\\ProxyStubClsid", L"", kAutomationMarshaller},
      {iface + L"\\ProxyStubClsid32", L"", kAutomationMarshaller},
      {iface + L"\\TypeLib", L"", libid},
      {iface + L"\\TypeLib", L"Version", kLibraryVersion},
      {lib, L"", kLibraryHelp},
      {lib + L"\\FLAGS", L"", L"0"},
      {lib + L"\\HELPDIR", L"", folder},
  };
  for (const wchar_t* locale : kLocales) {
    values.push_back({lib + L"\\" + locale + L"\\" + kPlatform, L"", module_path});
  }
  return values;
}

HRESULT RegisterServer(const std::wstring& module_path) noexcept {
  std::vector<RegistryValue> values;
  const HRESULT listed = Guarded([&] { values = RegistrationValues(module_path); });
  if (FAILED(listed)) return listed;
  for (const RegistryValue& value : values) {
    const LSTATUS status = SetValue(value);
    if (status != ERROR_SUCCESS) {
      UnregisterServer();
      return HRESULT_FROM_WIN32(status);
    }
  }
  return S_OK;
}

HRESULT UnregisterServer() noexcept {
  HRESULT result = S_OK;
  const HRESULT hr = Guarded([&] {
    for (const std::wstring& key : {ClassKey(), std::wstring(kProgId), InterfaceKey()}) {
      const LSTATUS status = DeleteTree(key);
      if (status != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(status);
    }
    // 64-bit Windows keeps one ProgID key for both views, so deleting ours
    // took the other build's with it while its class is still registered:
    // hosts of that architecture could no longer create the object by name.
    const std::wstring prog_id_clsid = std::wstring(kProgId) + L"\\Clsid";
    if (Exists(ClassKey(), kOtherView) && !Exists(prog_id_clsid, kOtherView)) {
      for (const RegistryValue& value :
           {RegistryValue{kProgId, L"", kProgId},
            RegistryValue{prog_id_clsid, L"", GuidText(CLSID_Network)}}) {
        const LSTATUS status = SetValue(value, kOtherView);
        if (status != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(status);
      }
    }
    // The library version key is shared by the 32-bit and 64-bit builds on
    // one system: it goes with the last platform registered under it.
    const std::wstring lib = LibraryVersionKey();
    bool other_platform = false;
    for (const wchar_t* locale : kLocales) {
      const std::wstring locale_key = lib + L"\\" + locale;
      const LSTATUS status = DeleteTree(locale_key + L"\\" + kPlatform);
      if (status != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(status);
      DeleteIfEmpty(locale_key);
      other_platform = other_platform || Exists(locale_key);
    }
    if (!other_platform) {
      const LSTATUS status = DeleteTree(lib);
      if (status != ERROR_SUCCESS && SUCCEEDED(result)) result = HRESULT_FROM_WIN32(status);
      DeleteIfEmpty(LibraryKey());
    }
  });
  return FAILED(hr) ? hr : result;
}

}  // namespace kelda::server
