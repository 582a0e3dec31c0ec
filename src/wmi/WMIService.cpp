#include "wmi/WMIService.h"

#include "adapters/AdapterInfo.h"
#include "common/Rundown.h"
#include "common/Text.h"
#include "common/Wait.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "sink/Dispatcher.h"
#include "sink/WbemSink.h"
#include "wmi/Connection.h"
#include "wmi/Consumers.h"

#include <ProductVersion.h>

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

// The stop's bounded waits. Every wait reports progress about every half second, so each may use
// more than the 6000 ms wait hint of a stop-pending report; together they end the stop within
// 15 s of the control, whatever WMI does.
const DWORD c_dwDrainMs = 5000;     // the events in hand: handled within 5 s, also at shutdown
const DWORD c_dwTeardownMs = 7000;  // the cancellations, counted from the start of the stop
const DWORD c_dwWorkersMs = 1000;   // the workers' end, once they have nothing left

// The least time between two rebuilds of the adapter table for events of unknown adapters.
const DWORD c_dwUnknownScanMs = 1000;

// Back-off of the reconnection to WMI, and of the retries of what is missing.
const DWORD c_dwFirstRetryMs = 1000;
const DWORD c_dwLastReconnectMs = 60000;
const DWORD c_dwLastRetryMs = 300000;
// Where WMI's process cannot be watched: how often the connection is tried.
const DWORD c_dwPingMs = 60000;

// Whether tick count dwDue has come, at dwNow; the counts wrap after 49.7 days.
bool IsDue(DWORD dwNow, DWORD dwDue) { return static_cast<LONG>(dwNow - dwDue) >= 0; }
DWORD Until(DWORD dwNow, DWORD dwDue) { return IsDue(dwNow, dwDue) ? 0 : dwDue - dwNow; }
DWORD Doubled(DWORD dwDelay, DWORD dwLast) { return dwDelay >= dwLast / 2 ? dwLast : dwDelay * 2; }

}  // namespace

class CWMIService::CCallGuard {
 public:
  CCallGuard() = default;
  CCallGuard(const CCallGuard&) = delete;
  CCallGuard& operator=(const CCallGuard&) = delete;
  explicit operator bool() const { return static_cast<bool>(m_work); }

 private:
  CRundownRef m_work;
};

CWMIService::CWMIService()
    : m_lRef(1),
      m_lStopBegun(0),
      m_bUnknownScanned(false),
      m_dwUnknownScanned(0),
      m_bOutage(false),
      m_dwReconnectDue(0),
      m_dwReconnectDelay(c_dwFirstRetryMs),
      m_bRetryArmed(false),
      m_dwRetryDue(0),
      m_dwRetryDelay(c_dwFirstRetryMs),
      m_bTaskPending(false),
      m_bRetryNow(false),
      m_bPingNow(false),
      m_dwPingDue(0),
      m_lNewLoss(0),
      m_lVerify(0),
      m_bWatchEnded(false) {}

CWMIService::~CWMIService() {
  // After a stop that could not let go of the connection (a WMI call hung), the last reference
  // releases what the stop left; no call runs once the last reference is gone.
  Uninitialize();
}

ULONG CWMIService::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CWMIService::Release() {
  LONG lRef = InterlockedDecrement(&m_lRef);
  if (lRef == 0) delete this;
  return static_cast<ULONG>(lRef);
}

ErrorCode CWMIService::Create(CWMIService** ppService) {
  if (!ppService) return ecBadParameter;
  CComRef<CWMIService> pService(new (std::nothrow) CWMIService());
  if (!pService) return ecOutOfMemory;
  // On failure nothing half made stays behind: connections, the adapter table and the event go
  // with the only reference.
  ErrorCode code = pService->Initialize();
  if (code != ecNoError) return code;
  CWMIServiceUtil::SetWMIService(pService.Get());
  *ppService = pService.Detach();
  return ecNoError;
}

ErrorCode CWMIService::Initialize() {
  // No exception may leave the service thread's start-up; whatever is thrown becomes a logged
  // failure of the start.
  try {
    return InitializeSteps();
  } catch (...) {
    ErrorCode code = CError::MapSystemError(GetLastError());
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Exception in CWMIService::Initialize.  err=0x%08x\r\n",
                      static_cast<unsigned>(code));
    return code;
  }
}

ErrorCode CWMIService::InitializeSteps() {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr != S_OK) {
    LogHResult("Failed to initialize COM library. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }

  hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                            nullptr, EOAC_NONE, nullptr);
  if (hr != S_OK) {
    LogHResult("Failed to register and set security. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }

  m_hShutdownEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!m_hShutdownEvent) return ecInternalError;

  // The workers run before any query is registered, so that no event finds none.
  ErrorCode code = CDispatcher::Start();
  if (code != ecNoError) return code;

  for (DWORD ns = 0; ns < nsCount; ++ns) {
    m_rgpBooks[ns].reset(new (std::nothrow) tQueryBook[CConsumers::QueryCount(static_cast<ENameSpace>(ns))]());
    if (!m_rgpBooks[ns]) return ecOutOfMemory;
  }
  tQueryBook* const rgpBooks[nsCount] = {m_rgpBooks[nsWMI].get(), m_rgpBooks[nsCIMV2].get()};
  CConnection* pConnection = nullptr;
  code = CConnection::Create(&pConnection, rgpBooks);
  if (code != ecNoError) return code;
  {
    CLockGuard lock(m_csConnection);
    m_pConnection = CComRef<CConnection>(pConnection);
  }

  m_dwPingDue = GetTickCount() + PingDelay(pConnection);
  code = CAdapterInfo::CreateAdapterInfo();
  if (code != ecNoError)
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Create adapter information failed.  err=0x%08x\r\n",
                      static_cast<unsigned>(code));
  // An enumeration of the controllers that did not complete in time is no reason to give up the
  // start: the table is built again later, as the service goes on.
  return code == ecTimeout ? ecNoError : code;
}

ErrorCode CWMIService::LogMain() {
  // Started before any controller is there, the service follows the controllers and the
  // driver's classes all the same, so that the first supported controller to arrive is served.
  // An enumeration that did not complete found nothing that says so.
  if (CAdapterInfo::GetAdapterChannelCount() == 0 && CAdapterInfo::IsTableComplete())
    CEventLog::Print(EVENTLOG_INFORMATION_TYPE, c_dwMsgNoController,
                     "No SCSI controller was found at start; controllers are served as they arrive.\r\n");
  RegisterStartupQueries();
  return ecNoError;
}

void CWMIService::RegisterStartupQueries() {
  EQueryStatus status = qsUnknown;
  ExecQueryAsync(nsWMI, qEAdapterPrintfNotification, qoForce, &status);
  EQueryStatus local = qsUnknown;
  if (status == qsActive) {
    ExecQueryAsync(nsWMI, qCDeleteAdapterPrintf, qoForce, &local);
    ExecQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &local);
    ExecQueryAsync(nsWMI, qCDeleteSetHostTime, qoForce, &local);
  } else {
    // The message query was refused: for want of the driver's classes, or for a moment. Either
    // way its companions are wanted with it, and the retries register them together, also should
    // the classes come before their creation queries stand, when no creation event tells of them.
    static const EQueryEvent c_rgCompanions[] = {qCDeleteAdapterPrintf, qEHostTimeRequest, qCDeleteSetHostTime};
    for (EQueryEvent query : c_rgCompanions) InterlockedExchange(&m_rgpBooks[nsWMI][query].lWanted, 1);
  }
  // The creation queries of both classes stay registered for the whole run, so that a reload of
  // the driver is seen however soon it follows the unload.
  ExecQueryAsync(nsWMI, qCCreateAdapterPrintf, qoForce, &local);
  ExecQueryAsync(nsWMI, qCCreateSetHostTime, qoForce, &local);
  ExecQueryAsync(nsCIMV2, qICreateWin32ScsiController, qoForce, &local);
  ExecQueryAsync(nsCIMV2, qIDeleteWin32ScsiController, qoForce, &local);
}

CComRef<CConnection> CWMIService::AcquireConnection() {
  CLockGuard lock(m_csConnection);
  return CComRef<CConnection>::Share(m_pConnection.Get());
}

CComRef<CConnection> CWMIService::TakeConnection() {
  CLockGuard lock(m_csConnection);
  return std::move(m_pConnection);
}

template <typename F>
ErrorCode CWMIService::CallConsumers(ENameSpace ns, EQueryEvent query, F f) {
  CCallGuard call;
  if (!call) return ecShuttingDown;
  if (ns >= nsCount || query >= CConsumers::QueryCount(ns)) return ecBadParameter;
  CComRef<CConnection> pConnection = AcquireConnection();
  // Without a connection (WMI is gone until the reconnection) nothing is registered now.
  if (!pConnection) return ecWbemError;
  return f(pConnection->Consumers(ns));
}

template <typename F>
ErrorCode CWMIService::CallConsumers(ENameSpace ns, EQueryEvent query, const EQueryStatus* pStatus, F f) {
  if (!pStatus) return IsShuttingDown() ? ecShuttingDown : ecBadParameter;
  return CallConsumers(ns, query, f);
}

ErrorCode CWMIService::ExecQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  // Wanted, also while no connection stands: the reconnection registers it.
  if (ns < nsCount && query < CConsumers::QueryCount(ns) && m_rgpBooks[ns] && pStatus &&
      (option == qoConditional || option == qoForce))
    InterlockedExchange(&m_rgpBooks[ns][query].lWanted, 1);
  return CallConsumers(ns, query, pStatus,
                       [&](CConsumers& c) { return c.CallExecNotificationQueryAsync(query, option, pStatus); });
}

ErrorCode CWMIService::CancelQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  return CallConsumers(ns, query, pStatus,
                       [&](CConsumers& c) { return c.CallCancelAsyncCall(query, option, pStatus); });
}

EQueryStatus CWMIService::GetQueryStatus(ENameSpace ns, EQueryEvent query) {
  EQueryStatus status = qsUnknown;
  CallConsumers(ns, query, [&](CConsumers& c) {
    status = c.GetQueryStatus(query);
    return ecNoError;
  });
  return status;
}

ErrorCode CWMIService::EndRegistration(ENameSpace ns, EQueryEvent query, DWORD dwRegistration) {
  return CallConsumers(ns, query, [&](CConsumers& c) { return c.EndRegistration(query, dwRegistration); });
}

ErrorCode CWMIService::EndStaleRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale,
                                            EQueryStatus* pStatus) {
  return CallConsumers(ns, query, pStatus,
                       [&](CConsumers& c) { return c.CallEndStaleRegistration(query, dwLastStale, pStatus); });
}

ErrorCode CWMIService::RefreshRegistration(ENameSpace ns, EQueryEvent query, DWORD dwLastStale,
                                           EQueryStatus* pStatus) {
  return CallConsumers(ns, query, pStatus,
                       [&](CConsumers& c) { return c.CallRefreshRegistration(query, dwLastStale, pStatus); });
}

ErrorCode CWMIService::FollowControllers(bool bArrived) {
  CCallGuard call;
  if (!call) return ecShuttingDown;
  CLockGuard lock(m_csControllers);
  return FollowControllersLocked(bArrived);
}

ErrorCode CWMIService::FollowUnknownAdapter(LONG lScansBefore) {
  CCallGuard call;
  if (!call) return ecShuttingDown;
  CLockGuard lock(m_csControllers);
  // Signed difference: the count may wrap.
  if (CAdapterInfo::ScansBegun() - lScansBefore > 0) return ecNoError;
  // A flood of unknown IDs costs at most one rebuild a second: an event that comes sooner waits
  // for the next one rather than be written off unscanned, and the events behind it wait on this
  // lock and find that rebuild done. The stop ends the wait, not the rebuild.
  const DWORD dwSince = GetTickCount() - m_dwUnknownScanned;
  if (m_bUnknownScanned && dwSince < c_dwUnknownScanMs) {
    const HANDLE hClosed = CRundown::Service().ClosedEvent();
    if (hClosed)
      WaitForSingleObject(hClosed, c_dwUnknownScanMs - dwSince);
    else
      Sleep(c_dwUnknownScanMs - dwSince);
    if (CAdapterInfo::ScansBegun() - lScansBefore > 0) return ecNoError;
  }
  m_bUnknownScanned = true;
  m_dwUnknownScanned = GetTickCount();
  return FollowControllersLocked(true);
}

ErrorCode CWMIService::FollowControllersLocked(bool bArrived) {
  const bool bWasComplete = CAdapterInfo::IsTableComplete();
  CAdapterInfo::RescanAdapterInfo();
  // An enumeration that did not complete is built again by the maintenance: its first retry
  // comes soon.
  if (bWasComplete && !CAdapterInfo::IsTableComplete()) NoteQueryMissing();
  const bool bSupported = CAdapterInfo::GetIsSupDriverInstalled();
  const EQueryEvent rgEvents[] = {qEAdapterPrintfNotification, qEHostTimeRequest};
  for (EQueryEvent query : rgEvents) {
    EQueryStatus status = qsUnknown;
    if (bArrived && bSupported)
      ExecQueryAsync(nsWMI, query, qoConditional, &status);
    else if (!bArrived && !bSupported)
      CancelQueryAsync(nsWMI, query, qoConditional, &status);
  }
  // A controller event is also the way back for a controller query that WMI ended.
  const EQueryEvent rgControllers[] = {qICreateWin32ScsiController, qIDeleteWin32ScsiController};
  for (EQueryEvent query : rgControllers) {
    EQueryStatus status = qsUnknown;
    ExecQueryAsync(nsCIMV2, query, qoConditional, &status);
  }
  return ecNoError;
}

bool CWMIService::IsShuttingDown() { return CRundown::Service().IsClosed(); }

void CWMIService::NoteConnectionLoss(const IWbemServices* pServices) {
  CComRef<CConnection> pConnection = AcquireConnection();
  if (!pConnection || !pConnection->Owns(pServices)) return;
  pConnection->MarkLost();
  CWMIServiceUtil::WakeServiceThread();
}

void CWMIService::NoteSuspectedLoss(const IWbemServices* pServices) {
  CComRef<CConnection> pConnection = AcquireConnection();
  if (!pConnection || !pConnection->Owns(pServices)) return;
  InterlockedExchange(&m_lVerify, 1);
  CWMIServiceUtil::WakeServiceThread();
}

DWORD CWMIService::PingDelay(const CConnection* pConnection) {
  // Without WMI's process to watch, the first look comes soon: the process may just not have
  // reported running yet.
  return pConnection && pConnection->WmiProcess() ? c_dwPingMs : c_dwFirstRetryMs;
}

void CWMIService::NoteWatchEnded() {
  CLockGuard lock(m_csMaintain);
  m_bWatchEnded = true;
  InterlockedExchange(&m_lVerify, 1);
}

void CWMIService::NoteQueryMissing() {
  InterlockedExchange(&m_lNewLoss, 1);
  CWMIServiceUtil::WakeServiceThread();
}

bool CWMIService::AnythingMissing() {
  if (!CAdapterInfo::IsTableComplete()) return true;
  CComRef<CConnection> pConnection = AcquireConnection();
  for (DWORD ns = 0; ns < nsCount; ++ns) {
    for (DWORD q = 0; q < CConsumers::QueryCount(static_cast<ENameSpace>(ns)); ++q) {
      const EQueryEvent query = static_cast<EQueryEvent>(q);
      if (!pConnection) {
        if (InterlockedCompareExchange(&m_rgpBooks[ns][q].lWanted, 0, 0)) return true;
        continue;
      }
      CConsumers& consumers = pConnection->Consumers(static_cast<ENameSpace>(ns));
      if (consumers.IsMissing(query) || consumers.HasLeftovers(query)) return true;
    }
  }
  return false;
}

void CWMIService::RegisterMissing() {
  CComRef<CConnection> pConnection = AcquireConnection();
  if (!pConnection) return;
  for (DWORD ns = 0; ns < nsCount; ++ns) {
    for (DWORD q = 0; q < CConsumers::QueryCount(static_cast<ENameSpace>(ns)); ++q) {
      const EQueryEvent query = static_cast<EQueryEvent>(q);
      CConsumers& consumers = pConnection->Consumers(static_cast<ENameSpace>(ns));
      EQueryStatus status = qsUnknown;
      if (consumers.IsMissing(query)) ExecQueryAsync(static_cast<ENameSpace>(ns), query, qoConditional, &status);
      if (consumers.HasLeftovers(query)) consumers.CancelLeftovers(query);
    }
  }
}

DWORD CWMIService::Maintain(HANDLE* phWatch) {
  *phWatch = nullptr;
  if (IsShuttingDown()) return INFINITE;
  CComRef<CConnection> pConnection = AcquireConnection();
  CLockGuard lock(m_csMaintain);
  const DWORD dwNow = GetTickCount();
  if (!m_bOutage && (!pConnection || pConnection->IsLost())) {
    // One warning for the whole outage, however many calls show it.
    m_bOutage = true;
    m_dwReconnectDelay = c_dwFirstRetryMs;
    m_dwReconnectDue = dwNow;
    CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgWmiLost,
                     "The connection to WMI was lost (WMI stopped or was restarted); no controller message or "
                     "host-time request is received until the service has connected again, which it tries now and "
                     "then.\r\n");
  }
  if (m_bOutage) {
    if (IsDue(dwNow, m_dwReconnectDue)) PostMaintenanceLocked();
    return m_bTaskPending ? INFINITE : Until(dwNow, m_dwReconnectDue);
  }
  // The handle is the connection's: it is replaced only while it is not handed out.
  *phWatch = m_bWatchEnded ? nullptr : pConnection->WmiProcess();

  if (InterlockedExchange(&m_lNewLoss, 0) != 0) {
    // A new loss: its first retry comes soon, whatever the retries before came to.
    m_dwRetryDelay = c_dwFirstRetryMs;
    m_bRetryArmed = false;
  }
  DWORD dwWait = INFINITE;
  if (AnythingMissing()) {
    if (!m_bRetryArmed) {
      m_bRetryArmed = true;
      m_dwRetryDue = dwNow + m_dwRetryDelay;
    }
    if (IsDue(dwNow, m_dwRetryDue) && !m_bTaskPending) {
      m_bRetryNow = true;
      m_bRetryArmed = false;
      m_dwRetryDelay = Doubled(m_dwRetryDelay, c_dwLastRetryMs);
      PostMaintenanceLocked();
    }
    if (m_bRetryArmed) dwWait = Until(dwNow, m_dwRetryDue);
  } else {
    m_bRetryArmed = false;
    m_dwRetryDelay = c_dwFirstRetryMs;
  }
  // A registration ended as if WMI went away: the connection is tried at once.
  if (!m_bTaskPending && InterlockedCompareExchange(&m_lVerify, 0, 0) != 0) {
    InterlockedExchange(&m_lVerify, 0);
    m_bPingNow = true;
    PostMaintenanceLocked();
  }
  // Where WMI's process cannot be watched, the connection is tried now and then.
  if (!*phWatch) {
    if (IsDue(dwNow, m_dwPingDue) && !m_bTaskPending) {
      m_bPingNow = true;
      m_dwPingDue = dwNow + c_dwPingMs;
      PostMaintenanceLocked();
    }
    const DWORD dwPing = Until(dwNow, m_dwPingDue);
    if (dwPing < dwWait) dwWait = dwPing;
  }
  return m_bTaskPending ? INFINITE : dwWait;
}

void CWMIService::PostMaintenanceLocked() {
  if (m_bTaskPending) return;
  AddRef();  // the task's
  if (CDispatcher::PostTask(MaintenanceTask, this)) {
    m_bTaskPending = true;
  } else {
    Release();
  }
}

void CWMIService::MaintenanceTask(void* pvService) {
  CWMIService* pService = static_cast<CWMIService*>(pvService);
  pService->RunMaintenance();
  {
    CLockGuard lock(pService->m_csMaintain);
    pService->m_bTaskPending = false;
  }
  CWMIServiceUtil::WakeServiceThread();
  pService->Release();
}

void CWMIService::RunMaintenance() {
  CCallGuard call;
  if (!call) return;
  bool bOutage, bRetry, bPing;
  {
    CLockGuard lock(m_csMaintain);
    bOutage = m_bOutage;
    bRetry = m_bRetryNow;
    bPing = m_bPingNow;
    m_bRetryNow = m_bPingNow = false;
  }
  if (bOutage) {
    const bool bConnected = TryReconnect();
    CLockGuard lock(m_csMaintain);
    if (bConnected) {
      m_bOutage = false;
      m_bWatchEnded = false;
      m_dwRetryDelay = c_dwFirstRetryMs;
      m_bRetryArmed = false;
      CComRef<CConnection> pNew = AcquireConnection();
      m_dwPingDue = GetTickCount() + PingDelay(pNew.Get());
    } else {
      m_dwReconnectDue = GetTickCount() + m_dwReconnectDelay;
      m_dwReconnectDelay = Doubled(m_dwReconnectDelay, c_dwLastReconnectMs);
    }
    return;
  }
  if (bRetry) {
    if (!CAdapterInfo::IsTableComplete()) FollowControllers(true);
    RegisterMissing();
  }
  if (bPing) {
    CComRef<CConnection> pConnection = AcquireConnection();
    if (pConnection && !pConnection->Ping()) {
      NoteConnectionLoss(nullptr);
    } else {
      // The process is watched anew when the one watched ended, and tried again when there was
      // none to watch (WinMgmt had not yet reported running when the connection was made). No
      // handle is handed out meanwhile.
      bool bRewatch;
      {
        CLockGuard lock(m_csMaintain);
        bRewatch = m_bWatchEnded || (pConnection && !pConnection->WmiProcess());
        if (bRewatch) m_bWatchEnded = true;
      }
      if (bRewatch && pConnection) {
        pConnection->WatchWmiProcess();
        CLockGuard lock(m_csMaintain);
        m_bWatchEnded = false;
      }
      ConfirmEnds();
    }
  }
}

void CWMIService::ConfirmEnds() {
  CComRef<CConnection> pConnection = AcquireConnection();
  if (!pConnection || pConnection->IsLost()) return;
  for (DWORD ns = 0; ns < nsCount; ++ns)
    for (DWORD q = 0; q < CConsumers::QueryCount(static_cast<ENameSpace>(ns)); ++q)
      pConnection->Consumers(static_cast<ENameSpace>(ns)).ConfirmEnd(static_cast<EQueryEvent>(q));
}

bool CWMIService::TryReconnect() {
  // The lost connection goes first: WMI holds none of its registrations any more, and its calls
  // fail at once.
  if (CComRef<CConnection> pLost = TakeConnection()) pLost->Close();
  tQueryBook* const rgpBooks[nsCount] = {m_rgpBooks[nsWMI].get(), m_rgpBooks[nsCIMV2].get()};
  // The ends that waited for a look at the lost connection were its loss, which is said once.
  InterlockedExchange(&m_lVerify, 0);
  for (DWORD ns = 0; ns < nsCount; ++ns)
    for (DWORD q = 0; q < CConsumers::QueryCount(static_cast<ENameSpace>(ns)); ++q)
      InterlockedExchange(&rgpBooks[ns][q].lUnconfirmedEnd, 0);
  CConnection* pNew = nullptr;
  HRESULT hr = S_OK;
  if (CConnection::Create(&pNew, rgpBooks, &hr) != ecNoError) return false;
  {
    CLockGuard lock(m_csConnection);
    m_pConnection = CComRef<CConnection>(pNew);
  }
  // Everything as at the start: the controllers, the start-up queries, and every other query
  // that the service wants.
  FollowControllers(true);
  RegisterStartupQueries();
  RegisterMissing();
  CEventLog::Print(EVENTLOG_INFORMATION_TYPE, c_dwMsgWmiRestored,
                   "The connection to WMI is restored; the event queries are registered again.\r\n");
  return true;
}

namespace {

// What the stop hands to the thread that cancels the registrations.
struct tTeardown {
  CComRef<CConnection> pConnection;
  HANDLE hDone;  // the stop's: it closes it once set, or leaves it to the end of the process
};

}  // namespace

void __cdecl CWMIService::TeardownMain(void* pvTeardown) {
  std::unique_ptr<tTeardown> pTeardown(static_cast<tTeardown*>(pvTeardown));
  const HANDLE hDone = pTeardown->hDone;
  // Cancels every registration and releases the connection; WMI may hang in a call here, and
  // this thread with it.
  if (pTeardown->pConnection) pTeardown->pConnection->Close();
  pTeardown.reset();
  // The last act: once it is set, the stop may report stopped, and the process may end.
  SetEvent(hDone);
}

ErrorCode CWMIService::ServiceShutdown(void (*pfnProgress)()) {
  // Only the first stop acts, even when two arrive at once.
  if (InterlockedExchange(&m_lStopBegun, 1) != 0) return ecShuttingDown;
  const DWORD dwBegun = GetTickCount();
  CRundown::Service().Close();
  CWMIServiceUtil::SetWMIService(nullptr);

  // The registrations are cancelled on a thread of their own while the events in hand are
  // handled, so that a WMI call that hangs holds neither up.
  CKernelHandle hTornDown(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  tTeardown* pTeardown = new (std::nothrow) tTeardown{TakeConnection(), hTornDown.Get()};
  if (pTeardown && hTornDown) {
    if (_beginthread(TeardownMain, 0, pTeardown) == static_cast<uintptr_t>(-1)) TeardownMain(pTeardown);
  } else {
    // Without memory or an event for a thread, the cancellations are made here.
    if (pTeardown) pTeardown->pConnection.Reset();
    delete pTeardown;
  }

  bool bClean = true;
  if (!WaitWithProgress([](DWORD dwMs) { return CRundown::Service().WaitDrained(dwMs); }, c_dwDrainMs, pfnProgress)) {
    bClean = false;
    CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgStopIncomplete,
                      "The service stopped with %ld event(s) not handled in time; they may be lost.\r\n",
                      static_cast<long>(CDispatcher::EventsInHand()));
  }
  const DWORD dwSpent = GetTickCount() - dwBegun;
  const DWORD dwLeft = dwSpent < c_dwTeardownMs ? c_dwTeardownMs - dwSpent : 0;
  const HANDLE hWait = hTornDown.Get();
  if (hWait && !WaitWithProgress([hWait](DWORD dwMs) { return WaitForSingleObject(hWait, dwMs) == WAIT_OBJECT_0; },
                                 dwLeft, pfnProgress)) {
    bClean = false;
    CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgStopIncomplete,
                     "A WMI call did not return while the service stopped; the service stopped without it.\r\n");
    hTornDown.Detach();  // the thread that hangs may still set it
  }
  if (const LONG lLeft = CDispatcher::Stop(c_dwWorkersMs)) {
    bClean = false;
    CEventLog::Printf(EVENTLOG_WARNING_TYPE, c_dwMsgStopIncomplete,
                      "%ld event worker(s) did not end in time; the service stopped without them.\r\n",
                      static_cast<long>(lLeft));
  }
  CAdapterInfo::DeleteAdapterInfo(nullptr);
  if (!m_hShutdownEvent || !SetEvent(m_hShutdownEvent.Get())) return CError::MapSystemError(GetLastError());
  return bClean ? ecNoError : ecTimeout;
}

void CWMIService::WaitForShutdown() {
  if (m_hShutdownEvent) WaitForSingleObject(m_hShutdownEvent.Get(), INFINITE);
}

ErrorCode CWMIService::Uninitialize() {
  TakeConnection().Reset();
  CAdapterInfo::DeleteAdapterInfo(nullptr);
  return ecNoError;
}

namespace {

// Appends to a text buffer, cutting at its end.
class CTextBuilder {
 public:
  CTextBuilder(char* psz, size_t cch) : m_psz(psz), m_cch(cch), m_cchUsed(0) { m_psz[0] = '\0'; }
  void Append(const char* pszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    if (m_cchUsed + 1 >= m_cch) return;
    va_list args;
    va_start(args, pszFormat);
    const int n = vsnprintf(m_psz + m_cchUsed, m_cch - m_cchUsed, pszFormat, args);
    va_end(args);
    if (n > 0) m_cchUsed += static_cast<size_t>(n) < m_cch - m_cchUsed ? static_cast<size_t>(n) : m_cch - m_cchUsed - 1;
  }

 private:
  char* m_psz;
  size_t m_cch;
  size_t m_cchUsed;
};

const char* QueryStateText(EQueryStatus status) {
  switch (status) {
    case qsActive: return "registered";
    case qsInactive: return "not registered";
    case qsFailed: return "refused";
    default: return "unknown";
  }
}

void AppendAdapter(void* pvText, const wchar_t* pwszDeviceID, const char* pszDriver, bool bSupported) {
  char szDeviceID[256];
  NarrowWideName(pwszDeviceID, szDeviceID, sizeof(szDeviceID));
  static_cast<CTextBuilder*>(pvText)->Append("  %s: driver %s, %s\r\n", szDeviceID, *pszDriver ? pszDriver : "(none)",
                                             bSupported ? "served" : "not served");
}

}  // namespace

void CWMIService::WriteStatus() {
  const size_t c_cchStatus = 8192;
  std::unique_ptr<char[]> pszText(new (std::nothrow) char[c_cchStatus]);
  if (!pszText) return;
  CTextBuilder text(pszText.get(), c_cchStatus);
  text.Append("The service is running. Version: %s\r\n", KORVLOG_VERSION_TEXT);
  CComRef<CConnection> pConnection = AcquireConnection();
  text.Append("Connection to WMI: %s\r\n",
              pConnection && !pConnection->IsLost() ? "connected" : "lost; the service connects again now and then");
  pConnection.Reset();
  char szDrivers[512];
  CAdapterInfo::GetSupportedDrivers(szDrivers, sizeof(szDrivers));
  text.Append("Supported drivers: %s\r\n", szDrivers);
  text.Append("Controllers: %lu\r\n", CAdapterInfo::GetAdapterChannelCount());
  CAdapterInfo::ForEachAdapter(AppendAdapter, &text);
  text.Append("Event queries:\r\n");
  for (DWORD ns = 0; ns < nsCount; ++ns) {
    for (DWORD q = 0; q < CConsumers::QueryCount(static_cast<ENameSpace>(ns)); ++q) {
      char szQuery[256];
      NarrowWideName(CConsumers::Row(static_cast<ENameSpace>(ns), static_cast<EQueryEvent>(q)).pwszQuery, szQuery,
                     sizeof(szQuery));
      text.Append("  %s: %s\r\n", szQuery,
                  QueryStateText(GetQueryStatus(static_cast<ENameSpace>(ns), static_cast<EQueryEvent>(q))));
    }
  }
  text.Append("Event log backlog: %ld record(s) waiting for the log to accept them.\r\n",
              static_cast<long>(CEventLog::BacklogSize()));
  const CEventLog::tCounts counts = CEventLog::Counts();
  text.Append("Since the start: %ld controller message(s) logged, %ld host-time request(s) answered, %ld lost.\r\n",
              static_cast<long>(counts.lMessages), static_cast<long>(counts.lHostTimes),
              static_cast<long>(counts.lLost));
  CEventLog::Print(EVENTLOG_INFORMATION_TYPE, c_dwMsgStatus, pszText.get());
}
