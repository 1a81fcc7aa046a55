#include "network_object.h"

#include <algorithm>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "server.h"

namespace kelda::server {

HRESULT NetworkObject::Create(REFIID riid, void** out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  NetworkObject* object = nullptr;
  const HRESULT created = Guarded([&] { object = new NetworkObject(); });
  if (FAILED(created)) return created;
  const HRESULT hr = object->QueryInterface(riid, out);
  object->Release();
  return hr;
}

NetworkObject::NetworkObject() { ObjectCreated(); }

NetworkObject::~NetworkObject() {
  if (type_info_ != nullptr) type_info_->Release();
  ObjectDestroyed();
}

HRESULT NetworkObject::QueryInterface(REFIID riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__Network) {
    *out = static_cast<_Network*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *out = static_cast<ISupportErrorInfo*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG NetworkObject::AddRef() { return references_.fetch_add(1) + 1; }

ULONG NetworkObject::Release() {
  const ULONG left = references_.fetch_sub(1) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT NetworkObject::TypeInfo(ITypeInfo** info) {
  *info = nullptr;
  if (type_info_ == nullptr) {
    std::wstring path;
    const HRESULT found = Guarded([&] { path = ModulePath(); });
    if (FAILED(found)) return found;
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Out());
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID__Network, &type_info_);
    if (FAILED(hr)) return hr;
  }
  type_info_->AddRef();
  *info = type_info_;
  return S_OK;
}

HRESULT NetworkObject::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT NetworkObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return TypeInfo(info);
}

HRESULT NetworkObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> info;
  const HRESULT hr = TypeInfo(info.Out());
  if (FAILED(hr)) return hr;
  return DispGetIDsOfNames(info.get(), names, count, ids);
}

HRESULT NetworkObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> info;
  const HRESULT hr = TypeInfo(info.Out());
  if (FAILED(hr)) return hr;
  // The type library calls the member through the vtable; a member's failure
  // comes back as DISP_E_EXCEPTION with its error information in `exception`.
  return DispInvoke(static_cast<_Network*>(this), info.get(), id, flags, params, result, exception,
                    arg_error);
}

HRESULT NetworkObject::get_MSAccessDBName(BSTR* value) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  return Call([&] { *value = BstrFromUtf8(network_.MSAccessDBName()); });
}

HRESULT NetworkObject::put_MSAccessDBName(BSTR value) {
  return Call([&] { network_.SetMSAccessDBName(Utf8FromBstr(value)); });
}

HRESULT NetworkObject::get_MSAccessTableName(BSTR* value) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  return Call([&] { *value = BstrFromUtf8(network_.MSAccessTableName()); });
}

HRESULT NetworkObject::put_MSAccessTableName(BSTR value) {
  return Call([&] { network_.SetMSAccessTableName(Utf8FromBstr(value)); });
}

HRESULT NetworkObject::get_Epochs(LONG* value) {
  if (value == nullptr) return E_POINTER;
  return Call([&] { *value = network_.Epochs(); });
}

HRESULT NetworkObject::put_Epochs(LONG value) {
  return Call([&] { network_.SetEpochs(value); });
}

HRESULT NetworkObject::get_HiddenLayerCount(SHORT* value) {
  if (value == nullptr) return E_POINTER;
  return Call([&] { *value = network_.HiddenLayerCount(); });
}

HRESULT NetworkObject::put_HiddenLayerCount(SHORT value) {
  return Call([&] { network_.SetHiddenLayerCount(value); });
}

HRESULT NetworkObject::RunNetwork() {
  return Call([&] { network_.RunNetwork(); });
}

HRESULT NetworkObject::ShowStatus(VARIANT* result) {
  if (result == nullptr) return E_POINTER;
  VariantInit(result);
  return Call([&] { network_.ShowStatus(); });
}

HRESULT NetworkObject::InputRelevance(VARIANT* result) {
  if (result == nullptr) return E_POINTER;
  VariantInit(result);
  return Call([&] {
    const std::optional<std::vector<double>> scores = network_.InputRelevance();
    if (!scores) return;  // Empty: no database named
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(scores->size()));
    if (array == nullptr) throw std::bad_alloc();
    if (!scores->empty()) {
      void* data = nullptr;
      if (FAILED(SafeArrayAccessData(array, &data))) {
        SafeArrayDestroy(array);
        throw std::runtime_error("cannot fill the array of relevance scores");
      }
      std::copy(scores->begin(), scores->end(), static_cast<double*>(data));
      SafeArrayUnaccessData(array);
    }
    V_VT(result) = VT_ARRAY | VT_R8;
    V_ARRAY(result) = array;
  });
}

HRESULT NetworkObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID__Network ? S_OK : S_FALSE;
}

}  // namespace kelda::server
