// The automation boundary: conversions between automation types and the
// runtime's, and the one place where what the runtime throws becomes an
// HRESULT with error information. Nothing thrown may cross into the host.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "base/error.h"

namespace kelda::server {

// Holds one reference on a COM interface and releases it on scope exit.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() {
    if (p_ != nullptr) p_->Release();
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  // For a function that hands out a reference. REQUIRES: empty.
  T** Out() { return &p_; }
  void** OutVoid() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// What hosts see as Err.Source.
inline constexpr wchar_t kErrorSource[] = L"TORVIKA.Network";

// A BSTR's whole text (its length, not its first NUL) as UTF-8; a null BSTR
// is the empty string. An unpaired surrogate becomes U+FFFD.
std::string Utf8FromBstr(BSTR text);

// A new BSTR holding `text` (UTF-8; invalid bytes become U+FFFD). Throws
// std::bad_alloc when it cannot be allocated.
BSTR BstrFromUtf8(const std::string& text);

// The HRESULT by which late-bound hosts recognise run-time error `number`
// (they take the low 16 bits back as Err.Number).
HRESULT HresultFromErrorNumber(int32_t number);

// Sets the thread's error information (source, description, interface
// _Network) and returns `hr`. Never throws: when even that fails for want of
// memory, `hr` goes out without description.
HRESULT ReportError(HRESULT hr, const char* description) noexcept;

// Runs `body` and returns S_OK, clearing the thread's error information, or
// the failure that `body` raised, with error information. kelda::Error keeps
// its number; running out of memory is E_OUTOFMEMORY; any other standard
// exception is E_FAIL with its text. The runtime throws nothing else; should
// anything else escape, noexcept ends the process rather than let it unwind
// through the host's frames.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    body();
    SetErrorInfo(0, nullptr);
    return S_OK;
  } catch (const kelda::Error& e) {
    return ReportError(HresultFromErrorNumber(e.Number()), e.Description().c_str());
  } catch (const std::bad_alloc&) {
    return ReportError(E_OUTOFMEMORY, "Out of memory");
  } catch (const std::exception& e) {
    return ReportError(E_FAIL, e.what());
  }
}

}  // namespace kelda::server
