#include "service/ServiceRuntime.h"

#include "common/ComTypes.h"
#include "common/Handle.h"
#include "common/Lock.h"
#include "common/Rundown.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "wmi/WMIService.h"

#include <cctype>
#include <cstdlib>

SERVICE_STATUS CWMIServiceUtil::s_ssStatus;
SERVICE_STATUS_HANDLE CWMIServiceUtil::s_sshHandle;
DWORD CWMIServiceUtil::s_dwServiceCntrlState;

namespace {

const DWORD c_dwWaitHint = 6000;
const DWORD c_dwAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Serialises status reports and the last-control state between the dispatcher thread and the
// service thread. Never destroyed, as the process may end with the service thread still in it.
CCriticalSection& StatusLock() {
  static CCriticalSection* s_pLock = new CCriticalSection;
  return *s_pLock;
}

// Wakes the service thread for work that is its own: a status request, and the recoveries of
// the WMI service object. Auto-reset; never destroyed.
HANDLE WakeEvent() {
  static HANDLE s_hWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return s_hWake;
}

LONG volatile s_lStatusRequested;

bool IsStop(DWORD dwControl) { return dwControl == SERVICE_CONTROL_STOP || dwControl == SERVICE_CONTROL_SHUTDOWN; }

SERVICE_STATUS MakeStatus(DWORD dwType, DWORD dwState, DWORD dwAccepted, DWORD dwCheckPoint, DWORD dwWaitHint) {
  SERVICE_STATUS ss = {};
  ss.dwServiceType = dwType;
  ss.dwCurrentState = dwState;
  ss.dwControlsAccepted = dwAccepted;
  ss.dwCheckPoint = dwCheckPoint;
  ss.dwWaitHint = dwWaitHint;
  return ss;
}

// Reports stop pending (check point 1) unless it is reported already.
void ReportStopPending() {
  CLockGuard lock(StatusLock());
  SERVICE_STATUS ss = CWMIServiceUtil::GetServiceStatus();
  if (ss.dwCurrentState == SERVICE_STOP_PENDING || ss.dwCurrentState == SERVICE_STOPPED) return;
  ss.dwCurrentState = SERVICE_STOP_PENDING;
  ss.dwCheckPoint = 1;
  ss.dwWaitHint = c_dwWaitHint;
  ss.dwWin32ExitCode = 0;
  ss.dwServiceSpecificExitCode = 0;
  CWMIServiceUtil::SetServiceStatus(&ss);
}

// The service thread's life between the start and the stop: it waits for the stop, and wakes
// only for what is its own to do: a status request, what the service object has due (a
// reconnection, a retry) or learns (WMI's process ended), and the event log's backlog. With
// nothing due it waits without time-out.
void Supervise(CWMIService& service) {
  for (;;) {
    HANDLE hWatch = nullptr;
    DWORD dwTimeout = service.Maintain(&hWatch);
    const DWORD dwBacklog = CEventLog::RetryBacklog();
    if (dwBacklog < dwTimeout) dwTimeout = dwBacklog;
    HANDLE rgh[3] = {CRundown::Service().ClosedEvent(), WakeEvent(), hWatch};
    DWORD dwHandles = rgh[1] ? 2 : 1;
    if (hWatch && rgh[1]) ++dwHandles;
    const DWORD dwWait = WaitForMultipleObjects(dwHandles, rgh, FALSE, dwTimeout);
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_FAILED || service.IsShuttingDown()) return;
    if (dwWait == WAIT_OBJECT_0 + 2) service.NoteWatchEnded();
    if (InterlockedExchange(&s_lStatusRequested, 0) != 0) service.WriteStatus();
  }
}

}  // namespace

void PrepareServiceRun() {
  CRundown::Service();
  WakeEvent();
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  CRundown::Service().Open();
  CWMIServiceUtil::ResetServiceStatus();
  CEventLog::ResetCounts();
  CEventLog::ResetBacklog();
  InterlockedExchange(&s_lStatusRequested, 0);
  if (argc > 0) CWMIServiceUtil::SetServiceName(argv[0]);

  SERVICE_STATUS ss = MakeStatus(SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, c_dwAccepted, 1, c_dwWaitHint);
  CWMIServiceUtil::SetServiceStatus(&ss);
  CWMIServiceUtil::Reconfig();

  // The start delay ends early when a stop comes.
  if (argc > 1 && argv[1] && isdigit(static_cast<unsigned char>(argv[1][0]))) {
    int nDelay = atoi(argv[1]);
    if (nDelay > 0 && CRundown::Service().ClosedEvent())
      WaitForSingleObject(CRundown::Service().ClosedEvent(), static_cast<DWORD>(nDelay));
  }

  CComRef<CWMIService> pService;
  ErrorCode code = ecNoError;
  if (!CRundown::Service().IsClosed()) code = CWMIService::Create(pService.Put());
  if (code == ecNoError && pService && CWMIServiceUtil::ReportRunning()) {
    pService->LogMain();
    Supervise(*pService.Get());
  }
  CWMIServiceUtil::ServiceShutdown(pService.Detach(), code);
}

void WINAPI ServiceHandler(DWORD dwControl) {
  // A request for the service's status may come again and again; the service thread answers it.
  if (dwControl == c_dwControlStatus) {
    CWMIServiceUtil::RequestStatus();
    return;
  }
  // Read and record together: the service thread may report running at the same moment.
  CLockGuard lock(StatusLock());
  const DWORD dwLast = CWMIServiceUtil::GetServiceCntrlState();
  if (dwControl == dwLast) return;
  if (IsStop(dwControl)) {
    CWMIServiceUtil::SetServiceCntrlState(dwControl);
    // The stop begins here; the service thread carries it out and reports stopped. The handler
    // returns at once, so the Service Control Manager is never held up.
    if (!IsStop(dwLast) && CRundown::Service().Close()) ReportStopPending();
  } else if (dwControl == SERVICE_CONTROL_INTERROGATE) {
    CWMIServiceUtil::SetServiceStatus(nullptr);
    CWMIServiceUtil::SetServiceCntrlState(dwControl);
  }
}

ErrorCode CWMIServiceUtil::ServiceShutdown(CWMIService* pServiceRef, ErrorCode ecStart) {
  CComRef<CWMIService> pService(pServiceRef);
  // A stop control has begun the stop already; a start that failed begins it here.
  CRundown::Service().Close();
  ReportStopPending();
  ErrorCode code = ecNoError;
  if (pService) code = pService->ServiceShutdown(ReportStopProgress);
  // The object goes now, unless a call that hung holds it: nothing of it is left to do after
  // stopped, when the process may end at any moment.
  pService.Reset();
  // The records the event log refused get one last try; nothing is written after stopped.
  CEventLog::FlushBacklog();
  // COM and the driver list are left to the end of the process, which follows stopped at once:
  // a WMI call that hung through the stop may still be using both.

  SERVICE_STATUS ss;
  {
    CLockGuard lock(StatusLock());
    ss = s_ssStatus;
  }
  ss.dwCurrentState = SERVICE_STOPPED;
  ss.dwCheckPoint = 0;
  ss.dwWaitHint = 0;
  // A start that failed says so, with the Windows error where there is one. A start that a stop
  // cut short did not fail. Nor does a start that fails after a stop was asked for: the service
  // stops as asked, and an error here would have the failure actions start it again. The
  // failure's record says what failed.
  ss.dwWin32ExitCode = 0;
  ss.dwServiceSpecificExitCode = 0;
  if (ecStart != ecNoError && ecStart != ecShuttingDown && !IsStop(GetServiceCntrlState())) {
    if (CError::IsSystemError(ecStart)) {
      ss.dwWin32ExitCode = static_cast<DWORD>(ecStart) & 0xFFFF;
    } else {
      ss.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
      ss.dwServiceSpecificExitCode = static_cast<DWORD>(ecStart);
    }
  }
  // The last act: from this report on the process may end at any moment.
  SetServiceStatus(&ss);
  return ecStart != ecNoError && ecStart != ecShuttingDown ? ecStart : code;
}

void CWMIServiceUtil::RequestStatus() {
  InterlockedExchange(&s_lStatusRequested, 1);
  if (WakeEvent()) SetEvent(WakeEvent());
}

void CWMIServiceUtil::WakeServiceThread() {
  if (WakeEvent()) SetEvent(WakeEvent());
}

void CWMIServiceUtil::NoteWmiFailure(HRESULT hr, const IWbemServices* pServices) {
  if (!CError::IsConnectionLoss(hr)) return;
  CComRef<CWMIService> pService(AcquireWMIService());
  if (pService) pService->NoteConnectionLoss(pServices);
}

void CWMIServiceUtil::NoteSuspectedLoss(const IWbemServices* pServices) {
  CComRef<CWMIService> pService(AcquireWMIService());
  if (pService) pService->NoteSuspectedLoss(pServices);
}

void CWMIServiceUtil::NoteQueryMissing() {
  CComRef<CWMIService> pService(AcquireWMIService());
  if (pService) pService->NoteQueryMissing();
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

SERVICE_STATUS CWMIServiceUtil::GetServiceStatus() {
  CLockGuard lock(StatusLock());
  return s_ssStatus;
}

void CWMIServiceUtil::ResetServiceStatus() {
  CLockGuard lock(StatusLock());
  s_ssStatus = SERVICE_STATUS();
  s_sshHandle = nullptr;
  s_dwServiceCntrlState = 0;
}

bool CWMIServiceUtil::ReportRunning() {
  CLockGuard lock(StatusLock());
  if (CRundown::Service().IsClosed()) return false;
  SERVICE_STATUS ss = MakeStatus(SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, c_dwAccepted, 0, 0);
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
