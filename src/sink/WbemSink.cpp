#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "common/Rundown.h"
#include "diagnostics/EventLog.h"
#include "sink/Dispatcher.h"
#include "sink/EventFilter.h"

#include <new>

namespace {

void LogError(const char* pszMessage) { CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszMessage); }

// The number of the newest registration, process-wide.
LONG volatile s_lLastRegistration;

// A copy of one delivered object, ready for its lane.
struct tCopy {
  CComRef<IWbemClassObject> pObject;
  ULONGLONG ullLane = CDispatcher::c_ullLaneChanges;
  bool bNameRead = false;
  HRESULT hrName = S_OK;
  CVARIANT varName;
};

}  // namespace

CWbemSink::CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices,
                     DWORD dwRegistration, bool bControllerEvents)
    : m_pServices(CComRef<IWbemServices>::Share(const_cast<IWbemServices*>(pServices))),
      m_pfnIndicate(pfnIndicate),
      m_pfnSetStatus(pfnSetStatus),
      m_lRef(1),
      m_dwRegistration(dwRegistration),
      m_lEnded(0),
      m_hrFinal(S_OK),
      m_bControllerEvents(bControllerEvents),
      m_lDelivering(0),
      m_pFilter(nullptr) {}

CWbemSink::~CWbemSink() {
  if (m_pFilter) m_pFilter->Release();
}

void CWbemSink::SetFilter(CEventFilter* pFilter) {
  if (pFilter) pFilter->AddRef();
  if (m_pFilter) m_pFilter->Release();
  m_pFilter = pFilter;
}

bool CWbemSink::IsDelivering() const {
  return InterlockedCompareExchange(const_cast<LONG volatile*>(&m_lDelivering), 0, 0) != 0;
}

HRESULT STDMETHODCALLTYPE CWbemSink::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IWbemObjectSink)) {
    *ppvObject = static_cast<IWbemObjectSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CWbemSink::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG STDMETHODCALLTYPE CWbemSink::Release() {
  LONG lRef = InterlockedDecrement(&m_lRef);
  if (lRef == 0) delete this;
  return static_cast<ULONG>(lRef);
}

bool CWbemSink::HasControllerEvents() const {
  return m_bControllerEvents || m_pfnIndicate == IndEAdapterPrintfNotification ||
         m_pfnIndicate == IndEHostTimeRequest;
}

namespace {

// Counts WMI's calls of Indicate on a sink while they last.
class CDelivering {
 public:
  explicit CDelivering(LONG volatile* pl) : m_pl(pl) { InterlockedIncrement(m_pl); }
  ~CDelivering() { InterlockedDecrement(m_pl); }
  CDelivering(const CDelivering&) = delete;
  CDelivering& operator=(const CDelivering&) = delete;

 private:
  LONG volatile* m_pl;
};

}  // namespace

HRESULT STDMETHODCALLTYPE CWbemSink::Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) {
  const CDelivering delivering(&m_lDelivering);
  // After the stop a late batch (WMI may deliver one after its query was cancelled) is not
  // handled: what its handler would read is being freed.
  if (CRundown::Service().IsClosed()) return WBEM_E_CALL_CANCELLED;
  if (!apObjArray) {
    LogError("Receive registered events, but ppArray is NULL\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }
  if (lObjectCount <= 0) {
    LogError("Receive registered events, but lObjCount <= 0\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }

  std::unique_ptr<tCopy[]> pCopies(new (std::nothrow) tCopy[lObjectCount]);
  if (!pCopies) return WBEM_E_FAILED;

  // The delivered objects belong to WMI and die when this call returns: copy every one. A
  // controller's event also gives its InstanceName here, once: it names the event's lane, and
  // the handler uses it.
  const bool bControllerEvents = HasControllerEvents();
  for (LONG i = 0; i < lObjectCount; ++i) {
    if (!apObjArray[i]) {
      LogError("Receive registered events, but pObj is NULL\r\n");
      return WBEM_E_INVALID_PARAMETER;
    }
    tCopy& copy = pCopies[i];
    if (bControllerEvents) {
      copy.bNameRead = true;
      copy.hrName = apObjArray[i]->Get(L"InstanceName", 0, copy.varName.Put(), nullptr, nullptr);
      BSTR bstrName = nullptr;
      copy.ullLane = SUCCEEDED(copy.hrName) && SUCCEEDED(copy.varName.GetBSTR(&bstrName)) && bstrName
                         ? CDispatcher::LaneOfName(bstrName)
                         : CDispatcher::c_ullLaneNoName;
    }
    // An event another registration of the query has delivered already is handled once.
    if (m_pFilter) {
      BSTR bstrName = nullptr;
      if (copy.bNameRead) copy.varName.GetBSTR(&bstrName);
      if (!m_pFilter->Admit(this, apObjArray[i], bstrName)) continue;
    }
    HRESULT hr = apObjArray[i]->Clone(copy.pObject.Put());
    if (SUCCEEDED(hr) && copy.pObject) continue;
    LogHResult("IWbemClassObject clone failed. Error: %s(0x%08x)\r\n", hr);
    return WBEM_E_FAILED;
  }

  const DWORD dwLastRegistration = LastRegistration();
  const LONG lScansBefore = CAdapterInfo::ScansBegun();
  for (LONG i = 0; i < lObjectCount; ++i) {
    if (!pCopies[i].pObject) continue;  // let through already by another registration
    std::unique_ptr<tIndicateThreadInfo> pJob(new (std::nothrow) tIndicateThreadInfo);
    if (!pJob) {
      LogError("Out of memory at Indicate(): an event is lost.\r\n");
      continue;
    }
    tCopy& copy = pCopies[i];
    pJob->pfnIndicate = m_pfnIndicate;
    // The worker's own reference: the services outlive the event even if the sink goes first.
    pJob->pServices = CComRef<IWbemServices>::Share(m_pServices.Get());
    pJob->pObject = std::move(copy.pObject);
    pJob->ullLane = copy.ullLane;
    pJob->bNameRead = copy.bNameRead;
    pJob->hrName = copy.hrName;
    pJob->varName = std::move(copy.varName);
    pJob->dwLastRegistration = dwLastRegistration;
    pJob->lScansBefore = lScansBefore;
    switch (CDispatcher::Post(std::move(pJob))) {
      case CDispatcher::prTaken: break;
      case CDispatcher::prStopping: return WBEM_E_CALL_CANCELLED;
      default: {
        CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                          "No event worker thread runs; %ld event(s) are lost.\r\n",
                          static_cast<long>(lObjectCount - i));
        return WBEM_E_FAILED;
      }
    }
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::GetEventName(IWbemClassObject* pEvent, CVARIANT* pvarName, const CVARIANT** ppvarName) {
  const tIndicateThreadInfo* pJob = CurrentIndicateJob();
  if (pJob && pJob->bNameRead && pJob->pObject.Get() == pEvent) {
    *ppvarName = &pJob->varName;
    return pJob->hrName;
  }
  *ppvarName = pvarName;
  return pEvent->Get(L"InstanceName", 0, pvarName->Put(), nullptr, nullptr);
}

HRESULT STDMETHODCALLTYPE CWbemSink::SetStatus(LONG lFlags, HRESULT hResult, BSTR strParam,
                                               IWbemClassObject* pObjParam) {
  // A final status ends the call whatever its code. The mark is made before the handler runs,
  // so that whoever looks at this registration from now on sees that it has ended.
  if (lFlags == WBEM_STATUS_COMPLETE) {
    InterlockedExchange(&m_hrFinal, hResult);
    InterlockedExchange(&m_lEnded, 1);
  }
  return m_pfnSetStatus ? m_pfnSetStatus(m_dwRegistration, lFlags, hResult, strParam, pObjParam)
                        : static_cast<HRESULT>(WBEM_S_NO_ERROR);
}

bool CWbemSink::HasEnded() const {
  return InterlockedCompareExchange(const_cast<LONG volatile*>(&m_lEnded), 0, 0) != 0;
}

HRESULT CWbemSink::FinalStatus() const {
  return InterlockedCompareExchange(const_cast<LONG volatile*>(&m_hrFinal), 0, 0);
}

DWORD CWbemSink::NewRegistration() {
  DWORD dw = static_cast<DWORD>(InterlockedIncrement(&s_lLastRegistration));
  // 0 means "no registration"; after a wrap the numbering skips it.
  return dw ? dw : static_cast<DWORD>(InterlockedIncrement(&s_lLastRegistration));
}

DWORD CWbemSink::LastRegistration() {
  return static_cast<DWORD>(InterlockedCompareExchange(&s_lLastRegistration, 0, 0));
}

DWORD CWbemSink::LastRegistrationBeforeEvent() {
  const tIndicateThreadInfo* pJob = CurrentIndicateJob();
  return pJob ? pJob->dwLastRegistration : LastRegistration();
}

bool CWbemSink::MadeNoLaterThan(DWORD dwRegistration, DWORD dwLast) {
  // Serial-number order, so that the comparison survives the numbering's wrap.
  return static_cast<LONG>(dwRegistration - dwLast) <= 0;
}

