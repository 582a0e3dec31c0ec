#include "service/ServiceRuntime.h"

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Wait.h"
#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"
#include "wmi/WMIService.h"

#include <cctype>
#include <cstdlib>

SERVICE_STATUS CWMIServiceUtil::s_ssStatus;
SERVICE_STATUS_HANDLE CWMIServiceUtil::s_sshHandle;
DWORD CWMIServiceUtil::s_dwServiceCntrlState;

namespace {

const DWORD c_dwWaitHint = 6000;
// How long the stop waits for the service thread to let go of the service object and return.
const DWORD c_dwServiceThreadMs = 3000;

// Serialises status reports and the last-control state between the dispatcher thread and the
// service thread. Never destroyed, as the process may end with the service thread still in it.
CCriticalSection& StatusLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;
  return *s_pLock;
}

bool IsStop(DWORD dwControl) { return dwControl == SERVICE_CONTROL_STOP || dwControl == SERVICE_CONTROL_SHUTDOWN; }

// True from the start of ServiceMain until the service thread reports running or takes on the
// stop itself; guarded by StatusLock. While it is set the handler only records a stop: the
// service thread owns the object it is making and stops the service when it is done with it.
bool s_bStarting = false;

// Set by the service thread as its last act once it has woken from its wait for the stop;
// guarded by StatusLock while the handler may take it. The handler reports stopped only after
// it: from that report on the process may end, and a thread still running in it with it.
HANDLE s_hServiceThreadDone = nullptr;

// Ends the start: reports running when bCreated and no stop has come. Otherwise the stop is the
// service thread's own, and a later stop control does nothing more. True when running.
bool EndStart(bool bCreated, HANDLE hDone) {
  CLockGuard lock(StatusLock());
  s_bStarting = false;
  if (bCreated && CWMIServiceUtil::ReportRunning()) {
    s_hServiceThreadDone = hDone;
    return true;
  }
  if (!IsStop(CWMIServiceUtil::GetServiceCntrlState())) CWMIServiceUtil::SetServiceCntrlState(SERVICE_CONTROL_STOP);
  return false;
}

SERVICE_STATUS MakeStatus(DWORD dwType, DWORD dwState, DWORD dwAccepted, DWORD dwCheckPoint, DWORD dwWaitHint) {
  SERVICE_STATUS ss = {};
  ss.dwServiceType = dwType;
  ss.dwCurrentState = dwState;
  ss.dwControlsAccepted = dwAccepted;
  ss.dwCheckPoint = dwCheckPoint;
  ss.dwWaitHint = dwWaitHint;
  return ss;
}

}  // namespace

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  CWMIServiceUtil::ResetServiceStatus();
  {
    CLockGuard lock(StatusLock());
    s_bStarting = true;
  }
  CWbemSink::AcceptBatches(true);
  if (argc > 0) CWMIServiceUtil::SetServiceName(argv[0]);

  SERVICE_STATUS ss = MakeStatus(SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 1, c_dwWaitHint);
  CWMIServiceUtil::SetServiceStatus(&ss);
  CWMIServiceUtil::Reconfig();

  if (argc > 1 && argv[1] && isdigit(static_cast<unsigned char>(argv[1][0]))) {
    int nDelay = atoi(argv[1]);
    if (nDelay > 0) Sleep(static_cast<DWORD>(nDelay));
  }

  // A stop during the start delay leaves nothing to make.
  CComRef<CWMIService> pService;
  const bool bCreated = !IsStop(CWMIServiceUtil::GetServiceCntrlState()) &&
                        CWMIService::Create(pService.Put()) == ecNoError && pService;
  CKernelHandle hDone(bCreated ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr);
  if (EndStart(bCreated, hDone.Get())) {
    // The handler has taken the event over: it closes it once this thread has set it.
    const HANDLE hSetWhenDone = hDone.Detach();
    pService->LogMain();
    pService->WaitForShutdown();
    pService.Reset();
    // The handler runs the whole stop and reports stopped as its last act, once this thread
    // says it is done; until then the handler (and the workers it waits for) may still use COM
    // and the driver list, and from then on the process may end at any moment. So this thread
    // leaves both to the end of the process.
    CWbemSink::AcceptBatches(false);
    if (hSetWhenDone) SetEvent(hSetWhenDone);
    return;
  }
  hDone.Reset();

  // Creation failed, or a stop came during the start: this thread stops the service, after it
  // is done with COM, so that stopped is the last thing the process does.
  if (pService) {
    pService->ServiceShutdown();
    pService.Reset();
  }
  CWbemSink::AcceptBatches(false);
  CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
  CoUninitialize();
  CWMIServiceUtil::ServiceShutdown(false);
}

void WINAPI ServiceHandler(DWORD dwControl) {
  DWORD dwLast;
  bool bStarting;
  {
    // Read and record together: the service thread may take on the stop at the same moment.
    CLockGuard lock(StatusLock());
    dwLast = CWMIServiceUtil::GetServiceCntrlState();
    if (dwControl == dwLast) return;
    if (IsStop(dwControl)) CWMIServiceUtil::SetServiceCntrlState(dwControl);
    bStarting = s_bStarting;
  }

  if (IsStop(dwControl)) {
    // The whole stop runs here, on the dispatcher thread, unless the service is still starting.
    if (!IsStop(dwLast) && !bStarting) CWMIServiceUtil::ServiceShutdown(false);
  } else if (dwControl == SERVICE_CONTROL_INTERROGATE) {
    CWMIServiceUtil::SetServiceStatus(nullptr);
    CWMIServiceUtil::SetServiceCntrlState(dwControl);
  }
}

ErrorCode CWMIServiceUtil::ServiceShutdown(bool bUninstall) {
  SERVICE_STATUS ss;
  {
    CLockGuard lock(StatusLock());
    ss = s_ssStatus;
  }
  ss.dwCurrentState = SERVICE_STOP_PENDING;
  ss.dwCheckPoint = 1;
  ss.dwWaitHint = c_dwWaitHint;
  ss.dwWin32ExitCode = 0;
  ss.dwServiceSpecificExitCode = 0;
  SetServiceStatus(&ss);

  ErrorCode code = ecNoError;
  CComRef<CWMIService> pService(AcquireWMIService());
  if (pService) {
    // The work accepted before the stop finishes before stopped is reported.
    code = pService->ServiceShutdown(ReportStopProgress);
    pService.Reset();
  }

  // The service thread lets go of the object and returns before stopped is reported.
  CKernelHandle hDone;
  {
    CLockGuard lock(StatusLock());
    hDone.Reset(s_hServiceThreadDone);
    s_hServiceThreadDone = nullptr;
  }
  const HANDLE hWait = hDone.Get();
  if (hWait && !WaitWithProgress([hWait](DWORD dwMs) { return WaitForSingleObject(hWait, dwMs) == WAIT_OBJECT_0; },
                                 c_dwServiceThreadMs, ReportStopProgress))
    hDone.Detach();  // a thread that never said it was done may still set it: left open
  hDone.Reset();

  ss.dwCurrentState = SERVICE_STOPPED;
  ss.dwCheckPoint = 0;
  ss.dwWaitHint = 0;
  SetServiceStatus(&ss);

  return bUninstall ? ServiceUninstall(true) : code;
}

void CWMIServiceUtil::ReportStopProgress() {
  CLockGuard lock(StatusLock());
  if (s_ssStatus.dwCurrentState != SERVICE_STOP_PENDING) return;
  SERVICE_STATUS ss = s_ssStatus;
  ++ss.dwCheckPoint;
  SetServiceStatus(&ss);
}

ErrorCode CWMIServiceUtil::SetServiceStatus(SERVICE_STATUS* pStatus) {
  CLockGuard lock(StatusLock());
  SERVICE_STATUS_HANDLE hStatus = GetServiceHandle();
  if (!::SetServiceStatus(hStatus, pStatus ? pStatus : &s_ssStatus)) return CError::MapSystemError(GetLastError());
  if (pStatus) s_ssStatus = *pStatus;
  return ecNoError;
}

void CWMIServiceUtil::ResetServiceStatus() {
  CLockGuard lock(StatusLock());
  s_ssStatus = SERVICE_STATUS();
  s_sshHandle = nullptr;
  s_dwServiceCntrlState = 0;
}

bool CWMIServiceUtil::ReportRunning() {
  CLockGuard lock(StatusLock());
  if (IsStop(s_dwServiceCntrlState)) return false;
  SERVICE_STATUS ss = MakeStatus(SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0);
  SetServiceStatus(&ss);
  return true;
}

SERVICE_STATUS_HANDLE CWMIServiceUtil::GetServiceHandle() {
  CLockGuard lock(StatusLock());
  if (!s_sshHandle) s_sshHandle = RegisterServiceCtrlHandlerA(GetServiceName(), ServiceHandler);
  return s_sshHandle;
}

void CWMIServiceUtil::SetServiceCntrlState(DWORD dwControl) {
  CLockGuard lock(StatusLock());
  s_dwServiceCntrlState = dwControl;
}

DWORD CWMIServiceUtil::GetServiceCntrlState() {
  CLockGuard lock(StatusLock());
  return s_dwServiceCntrlState;
}
