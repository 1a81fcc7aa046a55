#include "automation.h"

#include <cstring>

#include "torvika.h"

namespace kelda::server {

std::string Utf8FromBstr(BSTR text) {
  const UINT length = SysStringLen(text);
  if (length == 0) return {};
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) throw std::bad_alloc();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes, nullptr,
                      nullptr);
  return out;
}

BSTR BstrFromUtf8(const std::string& text) {
  const int chars = text.empty() ? 0
                                 : MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                                       static_cast<int>(text.size()), nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
  if (out == nullptr) throw std::bad_alloc();
  if (chars > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out, chars);
  }
  return out;
}

HRESULT HresultFromErrorNumber(int32_t number) {
  return static_cast<HRESULT>(0x800A0000u | (static_cast<uint32_t>(number) & 0xFFFFu));
}

HRESULT ReportError(HRESULT hr, const char* description) noexcept {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.Out()))) {
    SetErrorInfo(0, nullptr);
    return hr;
  }
  create->SetGUID(IID__Network);
  create->SetSource(const_cast<LPOLESTR>(kErrorSource));
  const size_t length = std::strlen(description);
  const int chars = length == 0 ? 0
                                : MultiByteToWideChar(CP_UTF8, 0, description,
                                                      static_cast<int>(length), nullptr, 0);
  // A BSTR doubles as the zero-terminated text that SetDescription copies.
  BSTR wide = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
  if (wide != nullptr) {
    if (chars > 0) {
      MultiByteToWideChar(CP_UTF8, 0, description, static_cast<int>(length), wide, chars);
    }
    create->SetDescription(wide);
    SysFreeString(wide);
  }
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.OutVoid()))) {
    SetErrorInfo(0, info.get());
  } else {
    SetErrorInfo(0, nullptr);
  }
  return hr;
}

}  // namespace kelda::server
