#include "wmi/WMIService.h"

#include "adapters/AdapterInfo.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "wmi/Consumers.h"

#include <new>

namespace {

// How long the stop waits for query calls already running; together with the rest of the stop
// it stays inside the 6000 ms wait hint of the stop-pending report.
const DWORD c_dwRunDownMs = 4000;

void LogComError(const char* pszFormat, HRESULT hr) {
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat, CError::ErrorString(hr),
                    static_cast<unsigned>(hr));
}

}  // namespace

CWMIService::CWMIService()
    : m_hShutdownEvent(nullptr),
      m_ppConsumers(nullptr),
      m_dwCount(0),
      m_lRef(1),
      m_lStopBegun(0),
      m_lActiveCalls(0),
      m_bRefuseCalls(false),
      m_hCallsDone(nullptr) {}

CWMIService::~CWMIService() {
  // After a stop that could not wait for a running call, the last reference releases what the
  // stop left; no call can be running once the last reference is gone.
  if (m_ppConsumers) Uninitialize();
  if (m_hShutdownEvent) {
    CloseHandle(m_hShutdownEvent);
    m_hShutdownEvent = nullptr;
  }
  if (m_hCallsDone) CloseHandle(m_hCallsDone);
}

ULONG CWMIService::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_lRef)); }

ULONG CWMIService::Release() {
  LONG lRef = InterlockedDecrement(&m_lRef);
  if (lRef == 0) delete this;
  return static_cast<ULONG>(lRef);
}

ErrorCode CWMIService::Create(CWMIService** ppService) {
  if (!ppService) return ecBadParameter;
  CWMIService* pService = new (std::nothrow) CWMIService();
  if (!pService) return ecOutOfMemory;
  ErrorCode code = pService->Initialize();
  if (code != ecNoError) {
    // Nothing half made stays behind: connections, the adapter table and the event go now.
    pService->Release();
    return code;
  }
  CWMIServiceUtil::SetWMIService(pService);
  *ppService = pService;
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
    LogComError("Failed to initialize COM library. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }

  hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                            nullptr, EOAC_NONE, nullptr);
  if (hr != S_OK) {
    LogComError("Failed to register and set security. Error = %s(0x%08x)\r\n", hr);
    return ecComError;
  }

  if (m_hShutdownEvent) CloseHandle(m_hShutdownEvent);
  m_hShutdownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_hCallsDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!m_hShutdownEvent || !m_hCallsDone) return ecInternalError;

  m_dwCount = nsCount;
  m_ppConsumers = new (std::nothrow) CConsumers*[nsCount]();
  if (!m_ppConsumers) {
    m_dwCount = 0;
    return ecOutOfMemory;
  }

  for (DWORD ns = 0; ns < m_dwCount; ++ns) {
    ErrorCode code = CConsumers::Create(&m_ppConsumers[ns], static_cast<ENameSpace>(ns));
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
  if (CAdapterInfo::GetAdapterChannelCount() == 0) return ecUninstallRequired;

  EQueryStatus status = qsUnknown;
  ExecQueryAsync(nsWMI, qEAdapterPrintfNotification, qoForce, &status);
  if (status == qsActive) {
    EQueryStatus local = qsUnknown;
    ExecQueryAsync(nsWMI, qCDeleteAdapterPrintf, qoForce, &local);
    ExecQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &local);
    ExecQueryAsync(nsWMI, qCDeleteSetHostTime, qoForce, &local);
  } else {
    // The driver's message class is not there yet: wait for it to be created.
    EQueryStatus local = qsUnknown;
    ExecQueryAsync(nsWMI, qCCreateAdapterPrintf, qoForce, &local);
  }
  EQueryStatus local = qsUnknown;
  ExecQueryAsync(nsCIMV2, qICreateWin32ScsiController, qoForce, &local);
  ExecQueryAsync(nsCIMV2, qIDeleteWin32ScsiController, qoForce, &local);
  return ecNoError;
}

bool CWMIService::BeginCall() {
  CLockGuard lock(m_csCalls);
  if (m_bRefuseCalls) return false;
  ++m_lActiveCalls;
  return true;
}

void CWMIService::EndCall() {
  CLockGuard lock(m_csCalls);
  if (--m_lActiveCalls == 0 && m_bRefuseCalls && m_hCallsDone) SetEvent(m_hCallsDone);
}

bool CWMIService::RunDown() {
  bool bWait;
  {
    CLockGuard lock(m_csCalls);
    m_bRefuseCalls = true;
    bWait = m_lActiveCalls > 0;
  }
  if (!bWait) return true;
  return m_hCallsDone && WaitForSingleObject(m_hCallsDone, c_dwRunDownMs) == WAIT_OBJECT_0;
}

ErrorCode CWMIService::ExecQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  if (IsShuttingDown() || !BeginCall()) return ecShuttingDown;
  ErrorCode code = ecBadParameter;
  if (ns < m_dwCount && m_ppConsumers[ns] && query < CConsumers::s_pdwQueryCount[ns] && pStatus)
    code = m_ppConsumers[ns]->CallExecNotificationQueryAsync(query, option, pStatus);
  EndCall();
  return code;
}

ErrorCode CWMIService::CancelQueryAsync(ENameSpace ns, EQueryEvent query, EQueryOption option, EQueryStatus* pStatus) {
  if (IsShuttingDown() || !BeginCall()) return ecShuttingDown;
  ErrorCode code = ecBadParameter;
  if (ns < m_dwCount && m_ppConsumers[ns] && query < CConsumers::s_pdwQueryCount[ns] && pStatus)
    code = m_ppConsumers[ns]->CallCancelAsyncCall(query, option, pStatus);
  EndCall();
  return code;
}

EQueryStatus CWMIService::GetQueryStatus(ENameSpace ns, EQueryEvent query) {
  if (IsShuttingDown() || !BeginCall()) return qsUnknown;
  EQueryStatus status = qsUnknown;
  if (ns < m_dwCount && m_ppConsumers[ns] && query < CConsumers::s_pdwQueryCount[ns])
    status = m_ppConsumers[ns]->GetQueryStatus(query);
  EndCall();
  return status;
}

ErrorCode CWMIService::SetQueryStatus(ENameSpace ns, EQueryEvent query, EQueryStatus value) {
  if (IsShuttingDown() || !BeginCall()) return ecShuttingDown;
  ErrorCode code = ecBadParameter;
  if (ns < m_dwCount && m_ppConsumers[ns] && query < CConsumers::s_pdwQueryCount[ns])
    code = m_ppConsumers[ns]->SetQueryStatus(query, value);
  EndCall();
  return code;
}

ErrorCode CWMIService::RescanAdapters() {
  if (IsShuttingDown() || !BeginCall()) return ecShuttingDown;
  ErrorCode code = CAdapterInfo::RescanAdapterInfo();
  EndCall();
  return code;
}

bool CWMIService::IsShuttingDown() {
  return m_hShutdownEvent && WaitForSingleObject(m_hShutdownEvent, 0) == WAIT_OBJECT_0;
}

ErrorCode CWMIService::ServiceShutdown() {
  // Only the first stop acts, even when two arrive at once.
  if (IsShuttingDown() || InterlockedExchange(&m_lStopBegun, 1) != 0) return ecShuttingDown;
  CWMIServiceUtil::SetWMIService(nullptr);
  if (RunDown()) {
    Uninitialize();
  } else {
    CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError,
                     "A WMI call was still running when the service stopped; its connection is released when it "
                     "returns.\r\n");
  }
  if (!m_hShutdownEvent || !SetEvent(m_hShutdownEvent)) return CError::MapSystemError(GetLastError());
  return ecNoError;
}

void CWMIService::WaitForShutdown() {
  if (m_hShutdownEvent) WaitForSingleObject(m_hShutdownEvent, INFINITE);
}

ErrorCode CWMIService::Uninitialize() {
  for (DWORD i = 0; m_ppConsumers && i < m_dwCount; ++i) {
    if (m_ppConsumers[i]) {
      delete m_ppConsumers[i];
      m_ppConsumers[i] = nullptr;
    }
  }
  delete[] m_ppConsumers;
  m_ppConsumers = nullptr;
  m_dwCount = 0;
  CAdapterInfo::DeleteAdapterInfo(nullptr);
  return ecNoError;
}
