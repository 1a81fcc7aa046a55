// Self-registration: what DllRegisterServer writes under HKEY_CLASSES_ROOT
// and DllUnregisterServer removes. The class is found by its ProgID
// TORVIKA.Network, served in process by this DLL in the apartment threading
// model; _Network is marshalled by the system's automation marshaller
// through the type library, which is registered for LCID 0 and 0x409 (some
// marshallers look up one, some the other).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kelda::server {

// The value `name` (empty: the key's default value) of the key `key` under
// HKEY_CLASSES_ROOT, set to the text `data`.
struct RegistryValue {
  std::wstring key;
  std::wstring name;
  std::wstring data;
};

// Every value that registration writes for this DLL at `module_path`.
std::vector<RegistryValue> RegistrationValues(const std::wstring& module_path);

// Writes the registration. On failure removes it again and returns the
// error.
HRESULT RegisterServer(const std::wstring& module_path) noexcept;

// Removes the registration. What the 32-bit and the 64-bit build share on
// one system stays for the other one while it is registered: the type
// library's keys go only as far as no other platform remains under them, and
// the ProgID is kept for the other build's registry view. Keys already
// missing are no error.
HRESULT UnregisterServer() noexcept;

}  // namespace kelda::server
