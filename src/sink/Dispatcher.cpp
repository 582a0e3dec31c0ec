#include "sink/Dispatcher.h"

#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Rundown.h"
#include "diagnostics/EventLog.h"
#include "sink/WbemSink.h"

#include <cerrno>
#include <new>

namespace {

// One lane: the events of one key, in the order they were handed over. A lane is ready while it
// has events and none of its own runs; the workers take ready lanes in the order they became
// ready, so no lane waits behind a busy one.
struct tLane {
  ULONGLONG ullKey = 0;
  tIndicateThreadInfo* pHead = nullptr;
  tIndicateThreadInfo* pTail = nullptr;
  bool bRunning = false;
  tLane* pNextReady = nullptr;
  tLane* pNext = nullptr;  // in the list of lanes in use, or of free lanes
};

// The pool of one run. Its lock guards the lanes, the counts and the flags.
//
// Nothing is ever stranded, because of two rules kept under that lock:
//   - every ready lane stands for one token: one count of the work semaphore, or a worker that
//     holds the token after its own lane turned ready again; a worker takes a lane only with a
//     token, and each token is taken by a worker that then takes a lane or finds none;
//   - at least one worker lives from Start until Stop, and a worker ends only at Stop, once the
//     lanes are empty (the stop waits for the events in hand first).
// So every ready lane is taken by a worker that exists. A worker that cannot be added costs only
// parallelism: its lane waits for one that runs.
class CPool {
 public:
  CPool()
      : m_hWork(CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr)),
        m_hRoom(CreateEventA(nullptr, TRUE, TRUE, nullptr)),
        m_hNoWorkers(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}
  CPool(const CPool&) = delete;
  CPool& operator=(const CPool&) = delete;

  bool Usable() const { return m_hWork && m_hRoom && m_hNoWorkers; }

  void AddRef() { InterlockedIncrement(&m_lRef); }
  void Release() {
    if (InterlockedDecrement(&m_lRef) == 0) delete this;
  }

  // Starts one worker; false when the thread cannot start.
  bool AddWorker();
  bool Post(tIndicateThreadInfo* pJob);
  LONG Stop(DWORD dwMilliseconds);
  LONG Workers() {
    CLockGuard lock(m_cs);
    return m_lWorkers;
  }
  LONG InHand() {
    CLockGuard lock(m_cs);
    return m_lInHand;
  }

 private:
  ~CPool() {
    while (tLane* p = m_pFree) {
      m_pFree = p->pNext;
      delete p;
    }
  }

  static void __cdecl WorkerMain(void* pvPool);
  void Work();
  tLane* LaneLocked(ULONGLONG ullKey);
  void FreeLaneLocked(tLane* pLane);
  void PushReadyLocked(tLane* pLane);
  tLane* PopReadyLocked();
  bool WaitForRoom();

  LONG volatile m_lRef = 1;
  CCriticalSection m_cs;
  CKernelHandle m_hWork;       // one count per ready lane not held by a worker, and one per ending worker
  CKernelHandle m_hRoom;       // set while fewer than c_lQueueBound events are in hand
  CKernelHandle m_hNoWorkers;  // set while no worker runs
  tLane* m_pLanes = nullptr;
  tLane* m_pFree = nullptr;
  tLane* m_pReadyHead = nullptr;
  tLane* m_pReadyTail = nullptr;
  LONG m_lReady = 0;
  LONG m_lInHand = 0;   // events posted and not yet handled
  LONG m_lWorkers = 0;  // started and not ended
  LONG m_lBusy = 0;     // running a handler
  bool m_bEnding = false;
  bool m_bAbandoned = false;  // the stop did not wait for the workers: the last one frees the pool
};

// The pool of the current run, published for Indicate; the lock guards only the pointer.
CCriticalSection& PublicationLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;  // never destroyed: workers may outlive main
  return *s_pLock;
}
CPool* s_pPool;

// The current pool with a reference for the caller, started on first use; null without threads.
CPool* AcquirePool() {
  CLockGuard lock(PublicationLock());
  if (!s_pPool) {
    // A stopped run starts nothing: the stop unpublishes the pool under this lock after it began.
    if (CRundown::Service().IsClosed()) return nullptr;
    CPool* pPool = new (std::nothrow) CPool;
    if (!pPool) return nullptr;
    if (!pPool->Usable() || !pPool->AddWorker()) {
      pPool->Release();
      return nullptr;
    }
    s_pPool = pPool;
  }
  s_pPool->AddRef();
  return s_pPool;
}

// On a worker: the event being handled, for what the handlers read of its delivery.
thread_local const tIndicateThreadInfo* t_pCurrentJob;

void RunJob(const tIndicateThreadInfo& job) {
  if (job.pfnTask) {
    job.pfnTask(job.pvTask);
    return;
  }
  if (!job.pServices || !job.pObject || !job.pfnIndicate) return;
  t_pCurrentJob = &job;
  // The handler's result ends nothing but this event: the other events go on.
  job.pfnIndicate(job.pServices.Get(), job.pObject.Get());
  t_pCurrentJob = nullptr;
}

}  // namespace

bool CPool::AddWorker() {
  {
    CLockGuard lock(m_cs);
    if (m_bEnding) return false;
    if (m_lWorkers++ == 0) ResetEvent(m_hNoWorkers.Get());
  }
  // A worker holds no reference: the pool outlives its workers, as the stop frees it once the
  // last one has ended, or hands its reference to the last one when the stop could not wait.
  if (_beginthread(WorkerMain, 0, this) != static_cast<uintptr_t>(-1)) return true;
  CLockGuard lock(m_cs);
  if (--m_lWorkers == 0) SetEvent(m_hNoWorkers.Get());
  return false;
}

void __cdecl CPool::WorkerMain(void* pvPool) {
  static_cast<CPool*>(pvPool)->Work();
  _endthread();
}

void CPool::Work() {
  bool bToken = false;
  for (;;) {
    if (!bToken) WaitForSingleObject(m_hWork.Get(), INFINITE);
    tLane* pLane;
    tIndicateThreadInfo* pJob = nullptr;
    bool bLast = false, bOwner = false;
    HANDLE hNoWorkers = nullptr;
    {
      CLockGuard lock(m_cs);
      pLane = PopReadyLocked();
      if (pLane) {
        pJob = pLane->pHead;
        pLane->pHead = pJob->pNext;
        if (!pLane->pHead) pLane->pTail = nullptr;
        pJob->pNext = nullptr;
        pLane->bRunning = true;
        ++m_lBusy;
      } else {
        bToken = false;
        if (!m_bEnding) continue;
        bLast = --m_lWorkers == 0;
        bOwner = bLast && m_bAbandoned;
        hNoWorkers = m_hNoWorkers.Get();
      }
    }
    if (!pLane) {
      // The last worker's last touch of the pool: once set, the stop may free it. When the stop
      // gave up waiting, the pool is this worker's to free.
      if (bOwner)
        Release();
      else if (bLast)
        SetEvent(hNoWorkers);
      return;
    }
    const DWORD dwTicket = pJob->dwTicket;
    RunJob(*pJob);
    delete pJob;  // the copy and the services go before the event stops counting
    CRundown::Service().Exit(dwTicket);
    {
      CLockGuard lock(m_cs);
      pLane->bRunning = false;
      --m_lBusy;
      if (m_lInHand-- == CDispatcher::c_lQueueBound) SetEvent(m_hRoom.Get());
      // A lane with more events stays this worker's to take up again, with the token it holds.
      bToken = pLane->pHead != nullptr;
      if (bToken)
        PushReadyLocked(pLane);
      else
        FreeLaneLocked(pLane);
    }
  }
}

tLane* CPool::LaneLocked(ULONGLONG ullKey) {
  for (tLane* p = m_pLanes; p; p = p->pNext)
    if (p->ullKey == ullKey) return p;
  tLane* pLane = m_pFree;
  if (pLane) {
    m_pFree = pLane->pNext;
  } else {
    pLane = new (std::nothrow) tLane;
    if (!pLane) return nullptr;
  }
  *pLane = tLane();
  pLane->ullKey = ullKey;
  pLane->pNext = m_pLanes;
  m_pLanes = pLane;
  return pLane;
}

void CPool::FreeLaneLocked(tLane* pLane) {
  for (tLane** pp = &m_pLanes; *pp; pp = &(*pp)->pNext) {
    if (*pp == pLane) {
      *pp = pLane->pNext;
      break;
    }
  }
  pLane->pNext = m_pFree;
  m_pFree = pLane;
}

void CPool::PushReadyLocked(tLane* pLane) {
  pLane->pNextReady = nullptr;
  (m_pReadyTail ? m_pReadyTail->pNextReady : m_pReadyHead) = pLane;
  m_pReadyTail = pLane;
  ++m_lReady;
}

tLane* CPool::PopReadyLocked() {
  tLane* pLane = m_pReadyHead;
  if (!pLane) return nullptr;
  m_pReadyHead = pLane->pNextReady;
  if (!m_pReadyHead) m_pReadyTail = nullptr;
  pLane->pNextReady = nullptr;
  --m_lReady;
  return pLane;
}

bool CPool::WaitForRoom() {
  // At the bound: wait for a worker to make room, or for the stop. After c_dwRoomWaitMs the event
  // is taken all the same: WMI must not take the sink for hung.
  HANDLE rgh[] = {m_hRoom.Get(), CRundown::Service().ClosedEvent()};
  const DWORD dwWait = WaitForMultipleObjects(rgh[1] ? 2 : 1, rgh, FALSE, CDispatcher::c_dwRoomWaitMs);
  return dwWait != WAIT_OBJECT_0 + 1;
}

bool CPool::Post(tIndicateThreadInfo* pJob) {
  bool bFull;
  {
    CLockGuard lock(m_cs);
    bFull = m_lInHand >= CDispatcher::c_lQueueBound;
  }
  if (bFull && !WaitForRoom()) return false;
  if (!CRundown::Service().TryEnter(&pJob->dwTicket)) return false;

  bool bWake = false, bGrow = false;
  {
    CLockGuard lock(m_cs);
    tLane* pLane = LaneLocked(pJob->ullLane);
    if (!pLane) {
      CRundown::Service().Exit(pJob->dwTicket);
      return false;
    }
    pJob->pNext = nullptr;
    const bool bWasEmpty = pLane->pHead == nullptr;
    (pLane->pTail ? pLane->pTail->pNext : pLane->pHead) = pJob;
    pLane->pTail = pJob;
    if (++m_lInHand == CDispatcher::c_lQueueBound) ResetEvent(m_hRoom.Get());
    if (bWasEmpty && !pLane->bRunning) {
      PushReadyLocked(pLane);
      bWake = true;
      // More lanes ready than idle workers: one more worker, up to the bound.
      bGrow = m_lReady > m_lWorkers - m_lBusy && m_lWorkers < CDispatcher::c_lMaxWorkers;
    }
  }
  if (bWake) ReleaseSemaphore(m_hWork.Get(), 1, nullptr);
  if (bGrow) AddWorker();
  return true;
}

LONG CPool::Stop(DWORD dwMilliseconds) {
  LONG lWorkers;
  {
    CLockGuard lock(m_cs);
    m_bEnding = true;
    lWorkers = m_lWorkers;
  }
  // One token for each worker to find no lane and end.
  if (lWorkers > 0) ReleaseSemaphore(m_hWork.Get(), lWorkers, nullptr);
  if (WaitForSingleObject(m_hNoWorkers.Get(), dwMilliseconds) == WAIT_OBJECT_0) return 0;
  {
    CLockGuard lock(m_cs);
    if (m_lWorkers > 0) {
      // The last of them frees the pool (on Windows the process ends first, as a rule).
      m_bAbandoned = true;
      return m_lWorkers;
    }
  }
  // The last worker counted itself out after the wait ended and sets the event next, without a
  // call that can block in between: wait for that last touch before the pool may go.
  WaitForSingleObject(m_hNoWorkers.Get(), INFINITE);
  return 0;
}

ErrorCode CDispatcher::Start() {
  // A stop that came while the service started leaves nothing to start.
  if (CRundown::Service().IsClosed()) return ecShuttingDown;
  errno = 0;
  CPool* pPool = AcquirePool();
  if (!pPool) {
    // _beginthread says why in errno.
    const int nError = errno;
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "No event worker thread could be started; the service cannot handle events. Error: %d\r\n",
                      nError);
    return ecInternalError;
  }
  pPool->Release();
  return ecNoError;
}

CDispatcher::EPost CDispatcher::Post(std::unique_ptr<tIndicateThreadInfo> pJob) {
  CPool* pPool = AcquirePool();
  if (!pPool) return CRundown::Service().IsClosed() ? prStopping : prNoWorker;
  const bool bTaken = pPool->Post(pJob.get());
  if (bTaken) pJob.release();
  pPool->Release();
  return bTaken ? prTaken : prStopping;
}

bool CDispatcher::PostTask(void (*pfnTask)(void* pvTask), void* pvTask) {
  std::unique_ptr<tIndicateThreadInfo> pJob(new (std::nothrow) tIndicateThreadInfo);
  if (!pJob) return false;
  pJob->pfnTask = pfnTask;
  pJob->pvTask = pvTask;
  pJob->ullLane = c_ullLaneChanges;
  return Post(std::move(pJob)) == prTaken;
}

LONG CDispatcher::Stop(DWORD dwMilliseconds) {
  CPool* pPool;
  {
    CLockGuard lock(PublicationLock());
    pPool = s_pPool;
    s_pPool = nullptr;
  }
  if (!pPool) return 0;
  const LONG lLeft = pPool->Stop(dwMilliseconds);
  // A worker that did not end may still use the pool: the stop's reference is then the last
  // worker's to let go, if it ever ends before the process does.
  if (lLeft == 0) pPool->Release();
  return lLeft;
}

ULONGLONG CDispatcher::LaneOfName(const wchar_t* pwszName) {
  // FNV-1a over the characters with ASCII letters folded; the top bit keeps it off the lanes
  // that are no controller's. Two names on one lane only share its order.
  ULONGLONG ullHash = 14695981039346656037ull;
  for (const wchar_t* p = pwszName; p && *p; ++p) {
    wchar_t ch = *p;
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
    ullHash = (ullHash ^ static_cast<ULONGLONG>(ch)) * 1099511628211ull;
  }
  return ullHash | 0x8000000000000000ull;
}

LONG CDispatcher::Workers() {
  CLockGuard lock(PublicationLock());
  return s_pPool ? s_pPool->Workers() : 0;
}

LONG CDispatcher::EventsInHand() {
  CLockGuard lock(PublicationLock());
  return s_pPool ? s_pPool->InHand() : 0;
}

const tIndicateThreadInfo* CurrentIndicateJob() { return t_pCurrentJob; }
