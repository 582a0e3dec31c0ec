// Conformance of the Service Control Manager as the service and its installer use it: controls
// in each service state, SetServiceStatus checks and a report after stopped, when the
// dispatcher returns, a service marked for deletion, the lock, failure actions and dependencies.
//
// The program is both sides: run without arguments it installs itself as a service and drives
// it; run with "service" (as the SCM starts it) it is that service. The service writes what it
// saw into the registry, where the driving side reads it.
#include "Conformance.h"

#include <string.h>

#include <string>

#ifndef _WIN32
#include <ksim/Services.h>
#endif

namespace {

const char kService[] = "korvlogconformance";
const char kOtherService[] = "korvlogconformance2";
const char kNotes[] = "SOFTWARE\\KorvlogConformance";
// Controls of the test's own, for the service to act on.
const DWORD kCtlStopPendingThenStop = 128;  // reports stop pending, and stopped half a second later
const DWORD kCtlBadStates = 129;            // reports states 0 and 8, and notes the errors

// --- The service side ------------------------------------------------------------------------

SERVICE_STATUS_HANDLE s_hStatus;
HANDLE s_hStop;
HANDLE s_hMainDone;  // the service main has made its last report
// The state of the last report made, set before the report is sent; the service main and the
// process main thread both use it.
LONG volatile s_lLastState;

void Note(const char* pszName, DWORD dwValue) {
  HKEY hKey = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kNotes, &hKey) != ERROR_SUCCESS) return;
  RegSetValueExA(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
  RegCloseKey(hKey);
}

BOOL Report(DWORD dwState, DWORD dwAccepted, DWORD dwCheckPoint = 0) {
  SERVICE_STATUS ss = {SERVICE_WIN32_OWN_PROCESS, dwState, dwAccepted, NO_ERROR, 0, dwCheckPoint,
                       dwCheckPoint ? 10000u : 0u};
  InterlockedExchange(&s_lLastState, static_cast<LONG>(dwState));
  SetLastError(0xdeadbeef);
  return SetServiceStatus(s_hStatus, &ss);
}

void __cdecl StopSoon(void*) {
  Sleep(500);
  SetEvent(s_hStop);
}

void WINAPI Handler(DWORD dwControl) {
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      SetEvent(s_hStop);
      break;
    case kCtlStopPendingThenStop:
      Report(SERVICE_STOP_PENDING, 0, 1);
      _beginthread(StopSoon, 0, nullptr);
      break;
    case kCtlBadStates:
      Note("bad_state_0", Report(0, SERVICE_ACCEPT_STOP) ? 0 : GetLastError());
      Note("bad_state_8", Report(8, SERVICE_ACCEPT_STOP) ? 0 : GetLastError());
      Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);  // where a bad state was taken, and for the note
      break;
    default:
      break;
  }
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  s_hStatus = RegisterServiceCtrlHandlerA(kService, Handler);
  const bool bSlow = argc > 1 && strcmp(argv[1], "slow") == 0;
  Report(bSlow ? SERVICE_START_PENDING : SERVICE_RUNNING, SERVICE_ACCEPT_STOP, bSlow ? 1 : 0);
  WaitForSingleObject(s_hStop, 30000);
  Report(SERVICE_STOPPED, 0);
  // The status handle still takes a report after stopped, until the process ends.
  Note("after_stopped", Report(SERVICE_STOPPED, 0) ? 1 : GetLastError());
  SetEvent(s_hMainDone);
}

int ServiceProgram() {
  s_hStop = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  s_hMainDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char szName[sizeof(kService)];
  memcpy(szName, kService, sizeof(kService));
  SERVICE_TABLE_ENTRYA table[] = {{szName, ServiceMain}, {nullptr, nullptr}};
  const BOOL bOk = StartServiceCtrlDispatcherA(table);
  // The dispatcher returns once the service has reported stopped.
  Note("dispatcher_returned", bOk ? static_cast<DWORD>(InterlockedCompareExchange(&s_lLastState, 0, 0)) : 0xffffffff);
  // Returning ends the process and cuts the service main wherever it is: let it finish first.
  WaitForSingleObject(s_hMainDone, 5000);
  return 0;
}

// --- The driving side ------------------------------------------------------------------------

SC_HANDLE s_hManager;

DWORD ReadNote(const char* pszName, DWORD dwWaitMs) {
  for (DWORD dwWaited = 0;; dwWaited += 50) {
    HKEY hKey = nullptr;
    DWORD dwValue = 0, cb = sizeof(dwValue), dwType = 0;
    LONG l = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kNotes, 0, KEY_READ, &hKey);
    if (l == ERROR_SUCCESS) {
      l = RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cb);
      RegCloseKey(hKey);
    }
    if (l == ERROR_SUCCESS) return dwValue;
    if (dwWaited >= dwWaitMs) return 0xdeadbeef;
    Sleep(50);
  }
}

void ClearNotes() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kNotes); }

SERVICE_STATUS Query(SC_HANDLE h) {
  SERVICE_STATUS ss = {};
  QueryServiceStatus(h, &ss);
  return ss;
}

bool WaitState(SC_HANDLE h, DWORD dwState, DWORD dwAccepted = 0) {
  for (int i = 0; i < 200; ++i) {
    const SERVICE_STATUS ss = Query(h);
    if (ss.dwCurrentState == dwState && (ss.dwControlsAccepted & dwAccepted) == dwAccepted) return true;
    Sleep(50);
  }
  return false;
}

DWORD ControlError(SC_HANDLE h, DWORD dwControl, SERVICE_STATUS* pStatus = nullptr) {
  SERVICE_STATUS ss = {};
  SetLastError(0xdeadbeef);
  const BOOL bOk = ControlService(h, dwControl, &ss);
  if (pStatus) *pStatus = ss;
  return bOk ? 0 : GetLastError();
}

// A start that must fail with the error, and that Wine lets through: the service it started then
// is stopped again.
void ExpectStartRefusedButNotByWine(SC_HANDLE h, DWORD dwError, int nLine) {
  SetLastError(0xdeadbeef);
  const BOOL bStarted = StartServiceA(h, 0, nullptr);
  conformance::Check(nLine, !bStarted && GetLastError() == dwError, true, "StartServiceA refused", GetLastError());
  if (!bStarted) return;
  WaitState(h, SERVICE_RUNNING);
  ControlError(h, SERVICE_CONTROL_STOP);
  WaitState(h, SERVICE_STOPPED);
}

SC_HANDLE CreateSelf(const std::string& image, const char* pszDependencies = nullptr, const char* pszName = kService) {
  return CreateServiceA(s_hManager, pszName, pszName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                        pszDependencies, nullptr, nullptr);
}

// Removes what an earlier run may have left.
void RemoveSelf(const char* pszName) {
  SC_HANDLE h = OpenServiceA(s_hManager, pszName, SERVICE_ALL_ACCESS);
  if (!h) return;
  SERVICE_STATUS ss;
  ControlService(h, SERVICE_CONTROL_STOP, &ss);
  WaitState(h, SERVICE_STOPPED);
  DeleteService(h);
  CloseServiceHandle(h);
}

void TestControlsInEachState(SC_HANDLE h) {
  SERVICE_STATUS ss = Query(h);
  ok(ss.dwCurrentState == SERVICE_STOPPED && ss.dwWin32ExitCode == ERROR_SERVICE_NEVER_STARTED);
  ok(ControlError(h, SERVICE_CONTROL_STOP, &ss) == ERROR_SERVICE_NOT_ACTIVE);
  ok(ss.dwCurrentState == SERVICE_STOPPED);

  // Start pending, accepting stop: only the stop gets through.
  ClearNotes();
  const char* rgArgs[] = {"slow"};
  ok(StartServiceA(h, 1, rgArgs));
  ok(WaitState(h, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP));
  ok(ControlError(h, SERVICE_CONTROL_INTERROGATE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  ok(ControlError(h, SERVICE_CONTROL_PAUSE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  ok_err(ERROR_SERVICE_ALREADY_RUNNING, StartServiceA(h, 0, nullptr));
  ok(ControlError(h, SERVICE_CONTROL_STOP) == 0);
  ok(WaitState(h, SERVICE_STOPPED));
  ok(Query(h).dwWin32ExitCode == NO_ERROR);
  ok_eq(SERVICE_STOPPED, ReadNote("dispatcher_returned", 5000));
  ok_eq(1, ReadNote("after_stopped", 5000));

  // Running: a control it does not accept is refused, interrogate always reaches it.
  ClearNotes();
  ok(StartServiceA(h, 0, nullptr));
  ok(WaitState(h, SERVICE_RUNNING, SERVICE_ACCEPT_STOP));
  ok(ControlError(h, SERVICE_CONTROL_PAUSE) == ERROR_INVALID_SERVICE_CONTROL);
  ok(ControlError(h, SERVICE_CONTROL_INTERROGATE) == 0);
  ok_err(ERROR_INVALID_PARAMETER, ControlService(h, SERVICE_CONTROL_SHUTDOWN, &ss));

  // SetServiceStatus refuses states that do not exist; Wine takes them.
  ok(ControlError(h, kCtlBadStates) == 0);
  todo_wine_ok(ReadNote("bad_state_0", 5000) == ERROR_INVALID_DATA);
  todo_wine_ok(ReadNote("bad_state_8", 5000) == ERROR_INVALID_DATA);
  ok(WaitState(h, SERVICE_RUNNING));

  // Stop pending: every control is refused.
  ok(ControlError(h, kCtlStopPendingThenStop) == 0);
  ok(Query(h).dwCurrentState == SERVICE_STOP_PENDING);
  ok(ControlError(h, SERVICE_CONTROL_STOP) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  ok(ControlError(h, SERVICE_CONTROL_INTERROGATE) == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  ok(WaitState(h, SERVICE_STOPPED));
  ok_eq(SERVICE_STOPPED, ReadNote("dispatcher_returned", 5000));
}

void TestMarkedForDeletion(SC_HANDLE h, const std::string& image) {
  ok(StartServiceA(h, 0, nullptr));
  ok(WaitState(h, SERVICE_RUNNING));
  ok(DeleteService(h));
  ok_err(ERROR_SERVICE_MARKED_FOR_DELETE, DeleteService(h));
  SC_HANDLE hAgain = OpenServiceA(s_hManager, kService, SERVICE_QUERY_STATUS);
  ok(hAgain != nullptr);
  ok_err(ERROR_SERVICE_MARKED_FOR_DELETE, CreateSelf(image));
  ok(ControlError(h, SERVICE_CONTROL_STOP) == 0);
  ok(WaitState(h, SERVICE_STOPPED));
  // Wine starts a service marked for deletion.
  ExpectStartRefusedButNotByWine(h, ERROR_SERVICE_MARKED_FOR_DELETE, __LINE__);
  if (hAgain) CloseServiceHandle(hAgain);
  CloseServiceHandle(h);
  // Stopped and without handles, it is gone.
  SC_HANDLE hGone = nullptr;
  for (int i = 0; i < 200 && (hGone = OpenServiceA(s_hManager, kService, SERVICE_QUERY_STATUS)) != nullptr; ++i) {
    CloseServiceHandle(hGone);
    Sleep(50);
  }
  // Wine sometimes keeps a deleted service that it started again for a while longer.
  SetLastError(0xdeadbeef);
  hGone = OpenServiceA(s_hManager, kService, SERVICE_QUERY_STATUS);
  ok((!hGone && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) || conformance::broken(hGone != nullptr));
  if (hGone) CloseServiceHandle(hGone);
}

void TestLock() {
  // The lock has no effect since Vista: it can be taken twice, and each value unlocks.
  SC_LOCK first = LockServiceDatabase(s_hManager);
  SC_LOCK second = LockServiceDatabase(s_hManager);
  ok(first != nullptr && second != nullptr);
  ok(UnlockServiceDatabase(first));
  ok(UnlockServiceDatabase(second));
  // Wine's lock status is a stub.
  DWORD cbNeeded = 0;
  todo_wine_ok_err(ERROR_INSUFFICIENT_BUFFER, QueryServiceLockStatusA(s_hManager, nullptr, 0, &cbNeeded));
  todo_wine_ok(cbNeeded > sizeof(QUERY_SERVICE_LOCK_STATUSA));
}

void TestFailureActionsAndDependencies(const std::string& image) {
  SC_HANDLE h = CreateSelf(image, "NoSuchService\0", kOtherService);
  ok(h != nullptr);
  if (!h) return;
  // A dependency that does not exist fails the start; Wine starts the service all the same.
  ExpectStartRefusedButNotByWine(h, ERROR_SERVICE_DEPENDENCY_DELETED, __LINE__);

  SC_ACTION rgActions[] = {{SC_ACTION_RESTART, 500}, {SC_ACTION_RESTART, 500}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 3, rgActions};
  ok(ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &actions));
  BYTE rgBuffer[256] = {};
  DWORD cbNeeded = 0;
  const BOOL bGot = QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, rgBuffer, sizeof(rgBuffer), &cbNeeded);
  const auto* pGot = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(rgBuffer);
  // Wine takes failure actions and keeps none of them.
  todo_wine_ok(bGot && pGot->cActions == 3 && pGot->dwResetPeriod == INFINITE && pGot->lpsaActions &&
               pGot->lpsaActions[1].Type == SC_ACTION_RESTART && pGot->lpsaActions[1].Delay == 500);
  ok(DeleteService(h));
  CloseServiceHandle(h);
}

std::string SelfImage() {
#ifdef _WIN32
  char szPath[MAX_PATH];
  GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
  return std::string("\"") + szPath + "\" service";
#else
  ksim::SetProcessEntry([](int, char*[]) { return ServiceProgram(); });
  return "\"C:\\conformance\\scm.exe\" service";
#endif
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 && strcmp(argv[1], "service") == 0) return ServiceProgram();
  conformance::Begin();
  s_hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ok(s_hManager != nullptr);
  if (!s_hManager) return conformance::End("Service Control Manager");
  const std::string image = SelfImage();
  RemoveSelf(kService);
  RemoveSelf(kOtherService);
  SC_HANDLE h = CreateSelf(image);
  ok(h != nullptr);
  if (h) {
    TestControlsInEachState(h);
    TestMarkedForDeletion(h, image);
  }
  TestLock();
  TestFailureActionsAndDependencies(image);
  ClearNotes();
  CloseServiceHandle(s_hManager);
  return conformance::End("Service Control Manager");
}
