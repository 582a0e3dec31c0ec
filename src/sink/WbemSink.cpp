#include "sink/WbemSink.h"

#include "common/Lock.h"
#include "diagnostics/EventLog.h"

#include <cerrno>
#include <new>

namespace {

// The running workers, counted so that the service can wait for them before it frees what
// they read. A count and an event that is set exactly while the count is zero.
class CWorkerCount {
 public:
  CWorkerCount() : m_lCount(0), m_bAccepting(true), m_hIdle(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  CWorkerCount(const CWorkerCount&) = delete;
  CWorkerCount& operator=(const CWorkerCount&) = delete;

  // Counts a new worker, unless batches are no longer accepted.
  bool TryAdd() {
    CLockGuard lock(m_cs);
    if (!m_bAccepting) return false;
    if (m_lCount++ == 0 && m_hIdle) ResetEvent(m_hIdle);
    return true;
  }
  // A job that reached the thread function without Indicate was never counted: the count
  // never goes below zero, so that it cannot hide a worker that Indicate counts later.
  void Remove() {
    CLockGuard lock(m_cs);
    if (m_lCount > 0 && --m_lCount == 0 && m_hIdle) SetEvent(m_hIdle);
  }
  bool IsAccepting() {
    CLockGuard lock(m_cs);
    return m_bAccepting;
  }
  void SetAccepting(bool bAccepting) {
    CLockGuard lock(m_cs);
    m_bAccepting = bAccepting;
  }
  bool WaitIdle(DWORD dwMilliseconds) {
    if (m_hIdle) return WaitForSingleObject(m_hIdle, dwMilliseconds) == WAIT_OBJECT_0;
    // Without its event the count still tells whether a worker runs.
    CLockGuard lock(m_cs);
    return m_lCount == 0;
  }

 private:
  CCriticalSection m_cs;
  LONG m_lCount;
  bool m_bAccepting;
  HANDLE m_hIdle;
};

// Never destroyed: a worker may still be ending while the process exits.
CWorkerCount& Workers() {
  static CWorkerCount* s_pWorkers = new CWorkerCount;
  return *s_pWorkers;
}

void ReleaseObjects(IWbemClassObject** ppObjects, LONG lCount) {
  for (LONG i = 0; i < lCount; ++i) {
    if (ppObjects[i]) {
      ppObjects[i]->Release();
      ppObjects[i] = nullptr;
    }
  }
}

void FreeJob(tIndicateThreadInfo* pInfo) {
  if (pInfo->ppObjects) {
    ReleaseObjects(pInfo->ppObjects, pInfo->lCount);
    delete[] pInfo->ppObjects;
  }
  if (pInfo->pServices) pInfo->pServices->Release();
  delete pInfo;
}

void LogError(const char* pszMessage) { CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszMessage); }

// The number of the newest registration, process-wide.
LONG volatile s_lLastRegistration;

// On a worker: the newest registration made before its batch was delivered.
thread_local bool t_bInBatch;
thread_local DWORD t_dwLastRegistrationBeforeBatch;

}  // namespace

CWbemSink::CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices,
                     DWORD dwRegistration)
    : m_pServices(const_cast<IWbemServices*>(pServices)),
      m_pfnIndicate(pfnIndicate),
      m_pfnSetStatus(pfnSetStatus),
      m_lRef(1),
      m_dwRegistration(dwRegistration),
      m_lEnded(0),
      m_hrFinal(S_OK) {
  if (m_pServices) m_pServices->AddRef();
}

CWbemSink::~CWbemSink() {
  if (m_pServices) m_pServices->Release();
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

HRESULT STDMETHODCALLTYPE CWbemSink::Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) {
  // After the stop a late batch (WMI may deliver one after its query was cancelled) is not
  // handled: what its handler would read is being freed.
  if (!Workers().IsAccepting()) return WBEM_E_CALL_CANCELLED;
  if (!apObjArray) {
    LogError("Receive registered events, but ppArray is NULL\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }
  if (lObjectCount <= 0) {
    LogError("Receive registered events, but lObjCount <= 0\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }

  IWbemClassObject** ppCopies = new (std::nothrow) IWbemClassObject*[lObjectCount]();
  if (!ppCopies) return WBEM_E_FAILED;

  // The delivered objects belong to WMI and die when this call returns: copy every one.
  HRESULT hrResult = WBEM_S_NO_ERROR;
  for (LONG i = 0; i < lObjectCount; ++i) {
    if (!apObjArray[i]) {
      LogError("Receive registered events, but pObj is NULL\r\n");
      hrResult = WBEM_E_INVALID_PARAMETER;
      break;
    }
    IWbemClassObject* pCopy = nullptr;
    HRESULT hr = apObjArray[i]->Clone(&pCopy);
    if (SUCCEEDED(hr) && pCopy) {
      ppCopies[i] = pCopy;
      continue;
    }
    if (pCopy) pCopy->Release();
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "IWbemClassObject clone failed. Error: %s(0x%08x)\r\n",
                      CError::ErrorString(hr), static_cast<unsigned>(hr));
    hrResult = WBEM_E_FAILED;
    break;
  }
  if (hrResult != WBEM_S_NO_ERROR) {
    ReleaseObjects(ppCopies, lObjectCount);
    delete[] ppCopies;
    return hrResult;
  }

  tIndicateThreadInfo* pInfo = new (std::nothrow)
      tIndicateThreadInfo{m_pfnIndicate, m_pServices, ppCopies, lObjectCount, LastRegistration()};
  if (!pInfo) {
    ReleaseObjects(ppCopies, lObjectCount);
    delete[] ppCopies;
    return WBEM_E_FAILED;
  }
  // The worker's own reference: the services outlive the batch even if the sink goes first.
  if (pInfo->pServices) pInfo->pServices->AddRef();

  if (!Workers().TryAdd()) {
    FreeJob(pInfo);
    return WBEM_E_CALL_CANCELLED;
  }
  if (_beginthread(Indicate_ThreadFunction, 0, pInfo) == static_cast<uintptr_t>(-1)) {
    const int nError = errno;
    Workers().Remove();
    FreeJob(pInfo);
    // The batch is lost; say so rather than let it vanish.
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "Could not start a thread for %d registered event(s); they are lost. Error: %d\r\n",
                      static_cast<int>(lObjectCount), nError);
    return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
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
  return t_bInBatch ? t_dwLastRegistrationBeforeBatch : LastRegistration();
}

bool CWbemSink::MadeNoLaterThan(DWORD dwRegistration, DWORD dwLast) {
  // Serial-number order, so that the comparison survives the numbering's wrap.
  return static_cast<LONG>(dwRegistration - dwLast) <= 0;
}

void __cdecl CWbemSink::Indicate_ThreadFunction(void* pvInfo) {
  tIndicateThreadInfo* pInfo = static_cast<tIndicateThreadInfo*>(pvInfo);
  if (pInfo) {
    if (pInfo->pServices && pInfo->lCount > 0 && pInfo->ppObjects && pInfo->pfnIndicate) {
      t_bInBatch = true;
      t_dwLastRegistrationBeforeBatch = pInfo->dwLastRegistration;
      for (LONG i = 0; i < pInfo->lCount; ++i) {
        if (!pInfo->ppObjects[i]) {
          LogError("Receive registered events, but pObj is NULL\r\n");
          break;
        }
        if (pInfo->pfnIndicate(pInfo->pServices, pInfo->ppObjects[i]) != WBEM_S_NO_ERROR) break;
      }
      t_bInBatch = false;
    }
    FreeJob(pInfo);
    Workers().Remove();
  }
  _endthread();
}

bool CWbemSink::WaitForWorkers(DWORD dwMilliseconds) { return Workers().WaitIdle(dwMilliseconds); }

void CWbemSink::AcceptBatches(bool bAccept) { Workers().SetAccepting(bAccept); }
