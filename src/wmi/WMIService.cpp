#include "wmi/WMIService.h"

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Wait.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"
#include "wmi/Consumers.h"

#include <new>

namespace {

// How long the stop waits for query calls still running, and then for the event workers it
// accepted. It reports its progress while it waits, so each wait may use most of the 6000 ms
// wait hint of a stop-pending report.
const DWORD c_dwRunDownMs = 4000;
const DWORD c_dwWorkerWaitMs = 5000;


}  // namespace

CWMIService::CWMIService() : m_dwCount(0), m_lRef(1), m_lStopBegun(0), m_lActiveCalls(0), m_bRefuseCalls(false) {}

CWMIService::~CWMIService() {
  // After a stop that could not wait for a running call, the last reference releases what the
  // stop left; no call can be running once the last reference is gone.
  if (m_ppConsumers) Uninitialize();
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
  m_hCallsDone.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!m_hShutdownEvent || !m_hCallsDone) return ecInternalError;

  m_dwCount = nsCount;
  m_ppConsumers.reset(new (std::nothrow) std::unique_ptr<CConsumers>[nsCount]());
  if (!m_ppConsumers) {
    m_dwCount = 0;
    return ecOutOfMemory;
  }

  for (DWORD ns = 0; ns < m_dwCount; ++ns) {
    CConsumers* pConsumers = nullptr;
    ErrorCode code = CConsumers::Create(&pConsumers, static_cast<ENameSpace>(ns));
    m_ppConsumers[ns].reset(pConsumers);
    if (code != ecNoError) return code;
    if (!m_ppConsumers[ns]) return ecOutOfMemory;
  }

  ErrorCode code = CAdapterInfo::CreateAdapterInfo();
  if (code != ecNoError)
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Create adapter information failed.  err=0x%08x\r\n",
                      static_cast<unsigned>(code));
  return code;
}

ErrorCode CWMIService::LogMain() {
  // Started before any controller is there, the service follows the controllers and the
  // driver's classes all the same, so that the first supported controller to arrive is served.
  if (CAdapterInfo::GetAdapterChannelCount() == 0)
    CEventLog::Print(EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceInfo,
                     "No SCSI controller was found at start; controllers are served as they arrive.\r\n");

  EQueryStatus status = qsUnknown;
  ExecQueryAsync(nsWMI, qEAdapterPrintfNotification, qoForce, &status);
  EQueryStatus local = qsUnknown;
  if (status == qsActive) {
    ExecQueryAsync(nsWMI, qCDeleteAdapterPrintf, qoForce, &local);
    ExecQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &local);
    ExecQueryAsync(nsWMI, qCDeleteSetHostTime, qoForce, &local);
  }
  // The creation queries of both classes stay registered for the whole run, so that a reload of
  // the driver is seen however soon it follows the unload.
  ExecQueryAsync(nsWMI, qCCreateAdapterPrintf, qoForce, &local);
  ExecQueryAsync(nsWMI, qCCreateSetHostTime, qoForce, &local);
  ExecQueryAsync(nsCIMV2, qICreateWin32ScsiController, qoForce, &local);
  ExecQueryAsync(nsCIMV2, qIDeleteWin32ScsiController, qoForce, &local);
  return ecNoError;
}

CWMIService::CCallGuard::CCallGuard(CWMIService& service)
    : m_pService(!service.IsShuttingDown() && service.BeginCall() ? &service : nullptr) {}

CWMIService::CCallGuard::~CCallGuard() {
  if (m_pService) m_pService->EndCall();
}

bool CWMIService::BeginCall() {
  CLockGuard lock(m_csCalls);
  if (m_bRefuseCalls) return false;
  ++m_lActiveCalls;
  return true;
}

void CWMIService::EndCall() {
  CLockGuard lock(m_csCalls);
  if (--m_lActiveCalls == 0 && m_bRefuseCalls && m_hCallsDone) SetEvent(m_hCallsDone.Get());
}

bool CWMIService::RunDown(void (*pfnProgress)()) {
  bool bWait;
  {
    CLockGuard lock(m_csCalls);
    m_bRefuseCalls = true;
    bWait = m_lActiveCalls > 0;
  }
  if (!bWait) return true;
  return m_hCallsDone &&
         WaitWithProgress([this](DWORD dwMs) { return WaitForSingleObject(m_hCallsDone.Get(), dwMs) == WAIT_OBJECT_0; },
                          c_dwRunDownMs, pfnProgress);
}

template <typename F>
ErrorCode CWMIService::CallConsumers(ENameSpace ns, EQueryEvent query, F f) {
  CCallGuard call(*this);
  if (!call) return ecShuttingDown;
  if (ns < m_dwCount && m_ppConsumers[ns] && query < CConsumers::s_pdwQueryCount[ns]) return f(*m_ppConsumers[ns]);
  return ecBadParameter;
}

template <typename F>
ErrorCode CWMIService::CallConsumers(ENameSpace ns, EQueryEvent query, const EQueryStatus* pStatus, F f) {
  if (!pStatus) return IsShuttingDown() ? ecShuttingDown : ecBadParameter;
  return CallConsumers(ns, query, f);
}

ErrorCode CWMIService::ExecQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
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

ErrorCode CWMIService::SetQueryStatus(ENameSpace ns, EQueryEvent query, EQueryStatus value) {
  return CallConsumers(ns, query, [&](CConsumers& c) { return c.SetQueryStatus(query, value); });
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
  CCallGuard call(*this);
  if (!call) return ecShuttingDown;
  {
    CLockGuard lock(m_csControllers);
    CAdapterInfo::RescanAdapterInfo();
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
  }
  return ecNoError;
}

ErrorCode CWMIService::RescanAdapters() {
  CCallGuard call(*this);
  if (!call) return ecShuttingDown;
  return CAdapterInfo::RescanAdapterInfo();
}

bool CWMIService::IsShuttingDown() {
  return m_hShutdownEvent && WaitForSingleObject(m_hShutdownEvent.Get(), 0) == WAIT_OBJECT_0;
}

ErrorCode CWMIService::ServiceShutdown(void (*pfnProgress)()) {
  // Only the first stop acts, even when two arrive at once.
  if (IsShuttingDown() || InterlockedExchange(&m_lStopBegun, 1) != 0) return ecShuttingDown;
  CWMIServiceUtil::SetWMIService(nullptr);
  const bool bRunDown = RunDown(pfnProgress);
  if (bRunDown) {
    ReleaseConsumers();
  } else {
    CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                     "A WMI call was still running when the service stopped; its connection is released when it "
                     "returns.\r\n");
  }
  // Batches that WMI handed over before the queries were cancelled are handled before the stop
  // goes on: once the service reports stopped its process may end, and with it any worker.
  CWbemSink::AcceptBatches(false);
  if (!WaitWithProgress(CWbemSink::WaitForWorkers, c_dwWorkerWaitMs, pfnProgress))
    CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                     "Event handlers were still running when the service stopped; their events may be lost.\r\n");
  if (bRunDown) CAdapterInfo::DeleteAdapterInfo(nullptr);
  if (!m_hShutdownEvent || !SetEvent(m_hShutdownEvent.Get())) return CError::MapSystemError(GetLastError());
  return ecNoError;
}

void CWMIService::WaitForShutdown() {
  if (m_hShutdownEvent) WaitForSingleObject(m_hShutdownEvent.Get(), INFINITE);
}

ErrorCode CWMIService::Uninitialize() {
  ReleaseConsumers();
  CAdapterInfo::DeleteAdapterInfo(nullptr);
  return ecNoError;
}

void CWMIService::ReleaseConsumers() {
  // One namespace after the other, in order, then the list.
  for (DWORD i = 0; m_ppConsumers && i < m_dwCount; ++i) m_ppConsumers[i].reset();
  m_ppConsumers.reset();
  m_dwCount = 0;
}
