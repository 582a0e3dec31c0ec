#include "sink/WbemSink.h"

#include "common/Lock.h"
#include "diagnostics/EventLog.h"

#include <new>

namespace {

// The accepted batches, counted so that the service can wait for them before it frees what
// they read: a count of batches not yet handled and an event that is set exactly while it is
// zero. Also the worker threads that run and the queue of batches whose own thread could not
// start: a worker that has handled its batch runs the queued ones, one at a time and in the
// order they came, before it ends.
class CWorkerCount {
 public:
  CWorkerCount()
      : m_lCount(0),
        m_lThreads(0),
        m_bAccepting(true),
        m_bDraining(false),
        m_pHead(nullptr),
        m_pTail(nullptr),
        m_hIdle(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  CWorkerCount(const CWorkerCount&) = delete;
  CWorkerCount& operator=(const CWorkerCount&) = delete;

  // Counts a new batch and the worker thread about to start for it, unless batches are no
  // longer accepted.
  bool TryAdd() {
    CLockGuard lock(m_cs);
    if (!m_bAccepting) return false;
    if (m_lCount++ == 0 && m_hIdle) ResetEvent(m_hIdle);
    ++m_lThreads;
    return true;
  }
  // A batch was handled (or dropped before it was handed over). A job that reached the thread
  // function without Indicate was never counted: the count never goes below zero, so that it
  // cannot hide a batch that Indicate counts later.
  void Remove() {
    CLockGuard lock(m_cs);
    if (m_lCount > 0 && --m_lCount == 0 && m_hIdle) SetEvent(m_hIdle);
  }
  // The thread counted for a batch will not run: the batch never got so far. False when
  // batches wait in the queue and no other worker runs to take them: the calling thread then
  // stands for the worker and runs them (DrainQueue).
  bool ThreadNotStarted() {
    CLockGuard lock(m_cs);
    return LeaveUnlessLast();
  }
  // The thread of a batch could not start: the queue takes the job, for a worker that runs. False
  // when no other worker runs: the calling thread then stands for the worker and runs the queue
  // (DrainQueue), so that nothing is left in it.
  bool Queue(std::unique_ptr<tIndicateThreadInfo>* pJob) {
    CLockGuard lock(m_cs);
    tIndicateThreadInfo* pInfo = pJob->release();
    pInfo->pNext = nullptr;
    (m_pTail ? m_pTail->pNext : m_pHead) = pInfo;
    m_pTail = pInfo;
    return LeaveUnlessLast();
  }
  // Called by a worker that has handled its batch, and again after each queued batch it ran:
  // the next queued batch, or null when the worker is to end. Only one worker at a time runs
  // queued batches (*pbDraining says whether it is this one), so they run in order; a worker
  // that ends while batches wait leaves them to that one. The decision to end is made under the
  // lock that queuing takes, so that nothing is queued for a worker that has decided to end.
  std::unique_ptr<tIndicateThreadInfo> NextQueuedOrEnd(bool* pbDraining) {
    CLockGuard lock(m_cs);
    if (m_pHead && (*pbDraining || !m_bDraining)) {
      m_bDraining = *pbDraining = true;
      tIndicateThreadInfo* pInfo = m_pHead;
      m_pHead = pInfo->pNext;
      if (!m_pHead) m_pTail = nullptr;
      pInfo->pNext = nullptr;
      return std::unique_ptr<tIndicateThreadInfo>(pInfo);
    }
    if (*pbDraining) m_bDraining = *pbDraining = false;
    if (m_lThreads > 0) --m_lThreads;
    return nullptr;
  }
  void SetAccepting(bool bAccepting) {
    CLockGuard lock(m_cs);
    m_bAccepting = bAccepting;
  }
  bool WaitIdle(DWORD dwMilliseconds) {
    if (m_hIdle) return WaitForSingleObject(m_hIdle, dwMilliseconds) == WAIT_OBJECT_0;
    // Without its event the count still tells whether a batch is in hand.
    CLockGuard lock(m_cs);
    return m_lCount == 0;
  }

 private:
  // Under the lock: a counted thread leaves, unless batches wait and it is the last one, which
  // must then run them. (A drainer is a counted thread, so with one running this one is not
  // the last.)
  bool LeaveUnlessLast() {
    if (m_pHead && m_lThreads <= 1) return false;
    if (m_lThreads > 0) --m_lThreads;
    return true;
  }

  CCriticalSection m_cs;
  LONG m_lCount;
  LONG m_lThreads;
  bool m_bAccepting;
  bool m_bDraining;
  tIndicateThreadInfo* m_pHead;
  tIndicateThreadInfo* m_pTail;
  HANDLE m_hIdle;
};

// Never destroyed: a worker may still be ending while the process exits.
CWorkerCount& Workers() {
  static CWorkerCount* s_pWorkers = new CWorkerCount;
  return *s_pWorkers;
}

void LogError(const char* pszMessage) { CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszMessage); }

// The number of the newest registration, process-wide.
LONG volatile s_lLastRegistration;

// On a worker: the newest registration made before its batch was delivered.
thread_local bool t_bInBatch;
thread_local DWORD t_dwLastRegistrationBeforeBatch;

// Hands the objects of a batch to its handler, one after another in delivery order, until one is
// null or the handler returns anything but 0. An incomplete job dispatches nothing.
void RunJob(const tIndicateThreadInfo& job) {
  if (!job.pServices || job.lCount <= 0 || !job.ppObjects || !job.pfnIndicate) return;
  t_bInBatch = true;
  t_dwLastRegistrationBeforeBatch = job.dwLastRegistration;
  for (LONG i = 0; i < job.lCount; ++i) {
    if (!job.ppObjects[i]) {
      LogError("Receive registered events, but pObj is NULL\r\n");
      break;
    }
    if (job.pfnIndicate(job.pServices.Get(), job.ppObjects[i].Get()) != WBEM_S_NO_ERROR) break;
  }
  t_bInBatch = false;
}

// Runs a counted batch and frees it; the batch then no longer counts.
void RunCountedJob(std::unique_ptr<tIndicateThreadInfo> pJob) {
  RunJob(*pJob);
  pJob.reset();
  Workers().Remove();
}

// The end of a counted worker: the batches whose own thread could not start, if this worker is
// the one to run them, then the worker no longer counts.
void DrainQueue() {
  bool bDraining = false;
  while (std::unique_ptr<tIndicateThreadInfo> pQueued = Workers().NextQueuedOrEnd(&bDraining))
    RunCountedJob(std::move(pQueued));
}

}  // namespace


CWbemSink::CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices,
                     DWORD dwRegistration)
    : m_pServices(CComRef<IWbemServices>::Share(const_cast<IWbemServices*>(pServices))),
      m_pfnIndicate(pfnIndicate),
      m_pfnSetStatus(pfnSetStatus),
      m_lRef(1),
      m_dwRegistration(dwRegistration),
      m_lEnded(0),
      m_hrFinal(S_OK) {
}

CWbemSink::~CWbemSink() {}

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
  // handled: what its handler would read is being freed. A batch counts from here on, so that
  // the stop cannot miss one that is being handed over.
  if (!Workers().TryAdd()) return WBEM_E_CALL_CANCELLED;
  const HRESULT hr = HandOver(lObjectCount, apObjArray);
  if (hr != WBEM_S_NO_ERROR) {
    Workers().Remove();
    if (!Workers().ThreadNotStarted()) DrainQueue();
  }
  return hr;
}

HRESULT CWbemSink::HandOver(LONG lObjectCount, IWbemClassObject** apObjArray) {
  if (!apObjArray) {
    LogError("Receive registered events, but ppArray is NULL\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }
  if (lObjectCount <= 0) {
    LogError("Receive registered events, but lObjCount <= 0\r\n");
    return WBEM_E_INVALID_PARAMETER;
  }

  std::unique_ptr<CComRef<IWbemClassObject>[]> ppCopies(new (std::nothrow) CComRef<IWbemClassObject>[lObjectCount]);
  if (!ppCopies) return WBEM_E_FAILED;

  // The delivered objects belong to WMI and die when this call returns: copy every one.
  for (LONG i = 0; i < lObjectCount; ++i) {
    if (!apObjArray[i]) {
      LogError("Receive registered events, but pObj is NULL\r\n");
      return WBEM_E_INVALID_PARAMETER;
    }
    HRESULT hr = apObjArray[i]->Clone(ppCopies[i].Put());
    if (SUCCEEDED(hr) && ppCopies[i]) continue;
    LogHResult("IWbemClassObject clone failed. Error: %s(0x%08x)\r\n", hr);
    return WBEM_E_FAILED;
  }

  std::unique_ptr<tIndicateThreadInfo> pJob(new (std::nothrow) tIndicateThreadInfo{
      m_pfnIndicate, CComRef<IWbemServices>(), std::move(ppCopies), lObjectCount, LastRegistration(), nullptr});
  if (!pJob) return WBEM_E_FAILED;
  // The worker's own reference: the services outlive the batch even if the sink goes first.
  pJob->pServices = CComRef<IWbemServices>::Share(m_pServices.Get());

  if (_beginthread(Indicate_ThreadFunction, 0, pJob.get()) != static_cast<uintptr_t>(-1)) {
    pJob.release();  // the worker's now
    return WBEM_S_NO_ERROR;
  }
  // No thread for this batch (the process is out of threads, or of memory for their stacks): a
  // running worker takes it after its own batch or, with none running, WMI's thread runs it
  // now. Either way it is handled, on a thread that exists already.
  if (!Workers().Queue(&pJob)) DrainQueue();
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
  if (tIndicateThreadInfo* pInfo = static_cast<tIndicateThreadInfo*>(pvInfo)) {
    RunCountedJob(std::unique_ptr<tIndicateThreadInfo>(pInfo));
    DrainQueue();
  }
  _endthread();
}

bool CWbemSink::WaitForWorkers(DWORD dwMilliseconds) { return Workers().WaitIdle(dwMilliseconds); }

void CWbemSink::AcceptBatches(bool bAccept) { Workers().SetAccepting(bAccept); }
