// IWbemLocator, IWbemServices and IEnumWbemClassObject of the simulated WMI.
#include "internal/Wmi.h"

#include <atomic>

namespace ksim::wmi::detail {
namespace {

using ksim::detail::Enter;
using ksim::detail::Selector;

std::wstring Text(const BSTR bstr) { return bstr ? std::wstring(bstr) : std::wstring(); }

// Locators, services and enumerators reach the service through RPC: once a restart has ended
// the generation they were made in, every call but AddRef, Release and QueryInterface fails
// with the restart's error. The call is still recorded and fault-able first.
class OfGeneration {
 protected:
  explicit OfGeneration(uint64_t ullGeneration) : m_ullGeneration(ullGeneration) {}
  std::optional<HRESULT> Dead() const { return DeadResult(m_ullGeneration); }
  // A method this WMI does not offer: still a call to the service.
  HRESULT NotImplemented() const { return Dead().value_or(E_NOTIMPL); }

  const uint64_t m_ullGeneration;
};

class Enumerator : public ksim::detail::ComObject<IEnumWbemClassObject>, OfGeneration {
 public:
  Enumerator(uint64_t ullGeneration, std::wstring className, std::vector<ObjectData> items, bool bForwardOnly)
      : ComObject("IEnumWbemClassObject", IID_IEnumWbemClassObject),
        OfGeneration(ullGeneration),
        m_className(std::move(className)),
        m_items(std::move(items)),
        m_bForwardOnly(bForwardOnly) {}

  ULONG STDMETHODCALLTYPE Release() override {
    Enter("IEnumWbemClassObject::Release", Selector(m_className.c_str()));
    return ComObject::Release();
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    if (auto f = Enter("IEnumWbemClassObject::Reset", Selector(m_className.c_str()))) {
      if (f->lastError) SetLastError(f->lastError);
      return static_cast<HRESULT>(f->result);
    }
    if (auto hr = Dead()) return *hr;
    if (m_bForwardOnly) return WBEM_E_INVALID_OPERATION;
    std::lock_guard<std::mutex> guard(m_lock);
    m_next = 0;
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects, ULONG* puReturned) override {
    if (!apObjects || !puReturned) return WBEM_E_INVALID_PARAMETER;
    *puReturned = 0;
    if (lTimeout < 0 && lTimeout != static_cast<LONG>(WBEM_INFINITE)) return WBEM_E_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(m_lock);
    if (auto f = Enter("IEnumWbemClassObject::Next", Selector(m_className.c_str()))) {
      if (f->variant == kNextTimedOut) return WBEM_S_TIMEDOUT;
      if (f->variant == kNextNullObject && uCount > 0) {
        apObjects[0] = nullptr;
        *puReturned = 1;
      } else if (f->variant == kNextFailWithObject && uCount > 0 && m_next < m_items.size()) {
        apObjects[0] = MakeObject(m_items[m_next++]);
        *puReturned = 1;
      }
      return static_cast<HRESULT>(f->result);
    }
    if (auto hr = Dead()) return *hr;
    while (*puReturned < uCount && m_next < m_items.size()) apObjects[(*puReturned)++] = MakeObject(m_items[m_next++]);
    return *puReturned == uCount ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE NextAsync(ULONG, IWbemObjectSink*) override { return NotImplemented(); }

  HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) override {
    if (!ppEnum) return WBEM_E_INVALID_PARAMETER;
    *ppEnum = nullptr;
    if (auto hr = Dead()) return *hr;
    if (m_bForwardOnly) return WBEM_E_INVALID_OPERATION;
    std::lock_guard<std::mutex> guard(m_lock);
    auto* p = new Enumerator(m_ullGeneration, m_className, m_items, false);
    p->m_next = m_next;
    *ppEnum = p;
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE Skip(LONG, ULONG nCount) override {
    if (auto hr = Dead()) return *hr;
    std::lock_guard<std::mutex> guard(m_lock);
    size_t left = m_items.size() - m_next;
    m_next += nCount < left ? nCount : left;
    return nCount <= left ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  std::mutex m_lock;
  std::wstring m_className;
  std::vector<ObjectData> m_items;
  size_t m_next = 0;
  bool m_bForwardOnly;
};

struct GetObjectObservers {
  std::atomic<bool> bSet{false};
  std::mutex lock;
  GetObjectObserver observer;
};

GetObjectObservers& Observers() {
  static GetObjectObservers* s_pObservers = new GetObjectObservers;  // used by detached threads
  return *s_pObservers;
}

void NotifyGetObject(const BSTR strObjectPath, HRESULT hr) {
  GetObjectObservers& o = Observers();
  if (!o.bSet.load(std::memory_order_acquire)) return;
  GetObjectObserver observer;
  {
    std::lock_guard<std::mutex> guard(o.lock);
    observer = o.observer;
  }
  if (observer) observer(strObjectPath ? strObjectPath : L"", hr);
}

class Services : public ksim::detail::ComObject<IWbemServices>, OfGeneration {
 public:
  Services(uint64_t ullGeneration, std::wstring ns)
      : ComObject("IWbemServices", IID_IWbemServices), OfGeneration(ullGeneration), m_ns(std::move(ns)) {}

  ULONG STDMETHODCALLTYPE Release() override {
    Enter("IWbemServices::Release", Selector(m_ns.c_str()));
    return ComObject::Release();
  }

  HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) override {
    return NotImplemented();
  }

  HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) override {
    if (auto f = Enter("IWbemServices::CancelAsyncCall")) return static_cast<HRESULT>(f->result);
    if (auto hr = Dead()) return *hr;
    if (!pSink) return WBEM_E_INVALID_PARAMETER;
    return Cancel(this, m_ullGeneration, pSink);
  }

  HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override { return NotImplemented(); }

  HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx, IWbemClassObject** ppObject,
                                      IWbemCallResult** ppCallResult) override {
    const HRESULT hr = ReadObject(strObjectPath, lFlags, pCtx, ppObject, ppCallResult);
    NotifyGetObject(strObjectPath, hr);
    return hr;
  }

  HRESULT ReadObject(const BSTR strObjectPath, LONG lFlags, IWbemContext*, IWbemClassObject** ppObject,
                     IWbemCallResult** ppCallResult) {
    if (ppObject) *ppObject = nullptr;
    if (ppCallResult) *ppCallResult = nullptr;
    if (auto f = Enter("IWbemServices::GetObject", Selector(strObjectPath))) return static_cast<HRESULT>(f->result);
    if (auto hr = Dead()) return *hr;
    if (lFlags & ~(WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_USE_AMENDED_QUALIFIERS | WBEM_FLAG_DIRECT_READ))
      return WBEM_E_INVALID_PARAMETER;
    ObjectData data;
    if (!strObjectPath || !*strObjectPath) {
      // No path: a new, empty class.
      data.nameSpace = m_ns;
      data.isClass = true;
    } else {
      ObjectPath path;
      if (!ParseObjectPath(strObjectPath, &path)) return WBEM_E_INVALID_OBJECT_PATH;
      std::wstring ns = m_ns;
      if (!path.nameSpace.empty() && !ResolveNamespace(path.nameSpace, &ns)) return WBEM_E_INVALID_NAMESPACE;
      std::lock_guard<RepositoryMutex> guard(RepositoryLock());
      const ObjectData* pClass = FindClassLocked(ns, path.className);
      if (!path.hasKeys) {
        if (!pClass) return WBEM_E_NOT_FOUND;
        data = *pClass;
      } else {
        if (!pClass) return WBEM_E_INVALID_CLASS;
        const ObjectData* pInst = FindInstanceLocked(ns, path);
        if (!pInst) return WBEM_E_NOT_FOUND;
        data = *pInst;
      }
    }
    if (ppObject) *ppObject = MakeObject(data);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext*, IEnumWbemClassObject** ppEnum) override {
    if (ppEnum) *ppEnum = nullptr;
    if (auto f = Enter("IWbemServices::CreateInstanceEnum", Selector(strFilter))) return static_cast<HRESULT>(f->result);
    if (auto hr = Dead()) return *hr;
    if (!strFilter || !ppEnum) return WBEM_E_INVALID_PARAMETER;
    std::vector<ObjectData> items;
    {
      std::lock_guard<RepositoryMutex> guard(RepositoryLock());
      if (!FindClassLocked(m_ns, strFilter)) return WBEM_E_INVALID_CLASS;
      items = InstancesLocked(m_ns, strFilter);
    }
    *ppEnum = new Enumerator(m_ullGeneration, strFilter, std::move(items), (lFlags & WBEM_FLAG_FORWARD_ONLY) != 0);
    return WBEM_S_NO_ERROR;
  }

  HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override { return NotImplemented(); }
  HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) override {
    return NotImplemented();
  }

  HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                                       IWbemContext*, IWbemObjectSink* pResponseHandler) override {
    ParsedQuery parsed{};
    const bool bParsed = strQuery && ParseEventQuery(strQuery, &parsed);
    std::string selector = bParsed ? Selector(parsed.fromClass.c_str()) +
                                         (parsed.isaClass.empty() ? "" : ":" + Selector(parsed.isaClass.c_str()))
                                   : Selector(strQuery);
    std::optional<HRESULT> hrFailAtOnce;
    bool bEndBeforeReturn = false;
    if (auto f = Enter("IWbemServices::ExecNotificationQueryAsync", selector)) {
      if (f->variant != kAcceptThenFail && f->variant != kAcceptThenFailBeforeReturn)
        return static_cast<HRESULT>(f->result);
      hrFailAtOnce = static_cast<HRESULT>(f->result);
      bEndBeforeReturn = f->variant == kAcceptThenFailBeforeReturn;
    }
    if (auto hr = Dead()) return *hr;
    if (!strQueryLanguage || !strQuery || !pResponseHandler) return WBEM_E_INVALID_PARAMETER;
    if (!NameEq(strQueryLanguage, L"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    if (lFlags & ~(WBEM_FLAG_SEND_STATUS | WBEM_FLAG_USE_AMENDED_QUALIFIERS)) return WBEM_E_INVALID_PARAMETER;
    if (!bParsed) return WBEM_E_INVALID_QUERY;
    return Subscribe(this, m_ullGeneration, m_ns, strQuery, parsed, pResponseHandler, hrFailAtOnce, bEndBeforeReturn);
  }

  HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName, LONG lFlags, IWbemContext*,
                                       IWbemClassObject* pInParams, IWbemClassObject** ppOutParams,
                                       IWbemCallResult** ppCallResult) override {
    if (ppOutParams) *ppOutParams = nullptr;
    if (ppCallResult) *ppCallResult = nullptr;
    if (auto f = Enter("IWbemServices::ExecMethod", Selector(strMethodName))) return static_cast<HRESULT>(f->result);
    if (auto hr = Dead()) return *hr;
    if (!strObjectPath || !strMethodName || lFlags & ~WBEM_FLAG_RETURN_IMMEDIATELY) return WBEM_E_INVALID_PARAMETER;
    ObjectPath path;
    if (!ParseObjectPath(strObjectPath, &path)) return WBEM_E_INVALID_OBJECT_PATH;
    MethodCall call;
    call.nameSpace = m_ns;
    call.objectPath = Text(strObjectPath);
    std::optional<MethodDef> method;
    {
      std::lock_guard<RepositoryMutex> guard(RepositoryLock());
      const ObjectData* pClass = FindClassLocked(m_ns, path.className);
      if (!pClass) return WBEM_E_INVALID_CLASS;
      for (const MethodDef& m : pClass->methods)
        if (NameEq(strMethodName, m.name)) method = m;
      if (!method) return WBEM_E_INVALID_METHOD;
      call.className = pClass->className;
      if (path.hasKeys) {
        const ObjectData* pInst = FindInstanceLocked(m_ns, path);
        if (!pInst) return WBEM_E_NOT_FOUND;
        Properties target;
        for (const Prop& p : pInst->props) target.push_back(PropertyValue{p.name, p.value});
        call.target = target;
      }
    }
    call.methodName = method->name;
    if (pInParams) {
      ObjectData in;
      if (!DataOf(pInParams, &in)) return WBEM_E_INVALID_PARAMETER;
      for (const Prop& p : in.props) {
        bool bKnown = false;
        for (const PropertyDef& d : method->in) bKnown |= NameEq(d.name, p.name);
        if (!bKnown) return WBEM_E_INVALID_METHOD_PARAMETERS;
        if (p.value.Type() != VT_NULL) call.in.emplace(p.name, p.value);
      }
    }
    HRESULT hr = method->handler ? method->handler(call) : HRESULT(WBEM_S_NO_ERROR);
    if (FAILED(hr)) return hr;
    if (ppOutParams && !method->out.empty()) {
      ObjectData out;
      out.nameSpace = m_ns;
      out.className = L"__PARAMETERS";
      for (const PropertyDef& d : method->out) out.props.push_back(Prop{d.name, d.type, false, Value()});
      for (const PropertyValue& pv : call.out)
        if (Prop* p = out.Find(pv.name); p && pv.value) p->value = *pv.value;
      *ppOutParams = MakeObject(out);
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) override {
    return NotImplemented();
  }

 private:
  std::wstring m_ns;
};

class Locator : public ksim::detail::ComObject<IWbemLocator>, OfGeneration {
 public:
  Locator() : ComObject("IWbemLocator", IID_IWbemLocator), OfGeneration(CurrentGeneration()) {}

  ULONG STDMETHODCALLTYPE Release() override {
    Enter("IWbemLocator::Release");
    return ComObject::Release();
  }

  HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR, const BSTR, const BSTR, LONG,
                                          const BSTR, IWbemContext*, IWbemServices** ppNamespace) override {
    if (ppNamespace) *ppNamespace = nullptr;
    // Any fault gives its result with no services; a successful result gives a null pointer.
    if (auto f = Enter("IWbemLocator::ConnectServer", Selector(strNetworkResource))) return static_cast<HRESULT>(f->result);
    if (auto hr = Dead()) return *hr;
    // A locator lives in the caller's process: one made during an outage connects once the
    // service is back.
    HRESULT hrConnect;
    if (OutageNow(&hrConnect, nullptr)) return hrConnect;
    if (!strNetworkResource || !ppNamespace) return WBEM_E_INVALID_PARAMETER;
    std::wstring canonical;
    if (!ResolveNamespace(strNetworkResource, &canonical)) return WBEM_E_INVALID_NAMESPACE;
    // A connection made as a restart ends the generation is dead at once, as the call that
    // reached the old service would be.
    *ppNamespace = new Services(m_ullGeneration, canonical);
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace
}  // namespace ksim::wmi::detail

namespace ksim::wmi {

void SetGetObjectObserver(GetObjectObserver observer) {
  detail::GetObjectObservers& o = detail::Observers();
  std::lock_guard<std::mutex> guard(o.lock);
  o.bSet.store(static_cast<bool>(observer), std::memory_order_release);
  o.observer = std::move(observer);
}

}  // namespace ksim::wmi

namespace ksim::detail {

HRESULT CreateWbemLocator(REFIID riid, void** ppv) {
  *ppv = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IWbemLocator)) return E_NOINTERFACE;
  bool bLocatorFails = false;
  if (ksim::wmi::detail::OutageNow(nullptr, &bLocatorFails) && bLocatorFails) return CO_E_SERVER_EXEC_FAILURE;
  *ppv = static_cast<IWbemLocator*>(new ksim::wmi::detail::Locator);
  return S_OK;
}

}  // namespace ksim::detail
