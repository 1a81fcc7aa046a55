// NetworkObject: the automation class Network. Each object wraps one
// kelda::Network and offers it as the dual interface _Network, with IDispatch
// served from the type library built into this DLL, and ISupportErrorInfo,
// so that hosts take the error information of a failed call.
//
// Apartment-threaded: an object is called on the thread that created it, and
// the runtime's per-thread block is that thread's. Only the reference count is
// atomic, because COM may release a proxy's object from another thread.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <atomic>

#include "automation.h"
#include "component/network.h"
#include "torvika.h"

namespace kelda::server {

class NetworkObject final : public _Network, public ISupportErrorInfo {
 public:
  // Creates an object (running the class initialiser on the calling thread's
  // block) and hands out its interface `riid`.
  static HRESULT Create(REFIID riid, void** out) noexcept;

  NetworkObject(const NetworkObject&) = delete;
  NetworkObject& operator=(const NetworkObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch, through the type library.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override;

  // _Network, in slot order.
  HRESULT STDMETHODCALLTYPE get_MSAccessDBName(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE put_MSAccessDBName(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_MSAccessTableName(BSTR* value) override;
  HRESULT STDMETHODCALLTYPE put_MSAccessTableName(BSTR value) override;
  HRESULT STDMETHODCALLTYPE get_Epochs(LONG* value) override;
  HRESULT STDMETHODCALLTYPE put_Epochs(LONG value) override;
  HRESULT STDMETHODCALLTYPE get_HiddenLayerCount(SHORT* value) override;
  HRESULT STDMETHODCALLTYPE put_HiddenLayerCount(SHORT value) override;
  HRESULT STDMETHODCALLTYPE RunNetwork() override;
  HRESULT STDMETHODCALLTYPE ShowStatus(VARIANT* result) override;
  HRESULT STDMETHODCALLTYPE InputRelevance(VARIANT* result) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  NetworkObject();
  ~NetworkObject();

  // Runs a member's body with a reference held on this object, so that a
  // host dropping its last reference meanwhile (from an event handler run by
  // a yield) does not free the object under it.
  template <class Body>
  HRESULT Call(Body&& body) noexcept {
    AddRef();
    const HRESULT hr = Guarded(body);
    Release();
    return hr;
  }

  // The type information of _Network, loaded on first use.
  HRESULT TypeInfo(ITypeInfo** info);

  std::atomic<ULONG> references_{1};
  kelda::Network network_;
  ITypeInfo* type_info_ = nullptr;
};

}  // namespace kelda::server
