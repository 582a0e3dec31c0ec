// The service side of the Service Control Manager: starting a service as a process (after its
// dependencies), the dispatcher, the control handler, the status reports, the end of the
// process, and the failure actions when it ends without having reported stopped.
#include <cstdio>
#include <cstdlib>
#include <ksim/Host.h>
#include <ksim/Services.h>

#include "internal/Handles.h"
#include "internal/Scm.h"
#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace scm = ksim::detail::scm;

namespace {

// How long StartServiceA waits for the process to reach its dispatcher, and ControlService for
// the handler to return, as the real SCM does.
const DWORD kConnectTimeoutMs = 30000;
const DWORD kControlTimeoutMs = 30000;

// How deep a chain of stopped dependencies StartServiceA starts before it calls it circular.
const int kMaxDependencyDepth = 16;

struct PendingControl {
  DWORD dwControl = 0;
  bool bTaken = false;  // the handler has it
  bool bDone = false;
  DWORD dwResult = NO_ERROR;
};

}  // namespace

namespace ksim::detail {

struct ServiceProcess {
  std::string service;
  DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  DWORD dwProcessId = 0;  // signalled to OpenProcess handles when the process ends
  std::vector<std::string> processArgs;
  std::vector<std::string> mainArgs;

  std::mutex lock;
  std::condition_variable changed;
  bool bDispatching = false;
  bool bConnected = false;
  bool bMainStarted = false;
  bool bMainReturned = false;
  Waiter* pMainWaiter = nullptr;  // the wait the service main thread is in, under the kernel's wait lock
  bool bEntryReturned = false;
  bool bStopped = false;      // stopped has been reported: the dispatcher returns
  bool bLastStopped = false;  // the last report was stopped
  std::atomic<bool> bEnded{false};  // the entry returned, or the process was terminated
  std::atomic<unsigned> nCutThreads{0};
  int nExitCode = -1;
  LPHANDLER_FUNCTION pfnHandler = nullptr;
  uintptr_t statusHandle = 0;
  std::deque<std::shared_ptr<PendingControl>> controls;
};

}  // namespace ksim::detail

namespace {

using ksim::detail::ServiceProcess;

thread_local ServiceProcess* t_pProcess = nullptr;
thread_local bool t_bServiceMain = false;

// While the system shuts down, no failure counts: the failure actions do not apply.
std::atomic<unsigned> g_nShutdowns{0};

struct Processes {
  std::mutex lock;
  std::condition_variable changed;
  ksim::ProcessEntry entry = nullptr;
  std::map<std::string, std::shared_ptr<ServiceProcess>> last;  // by lower-case service name
  std::vector<std::shared_ptr<ServiceProcess>> all;
  std::map<uintptr_t, std::shared_ptr<ServiceProcess>> statusHandles;
  uintptr_t nextStatusHandle = 0x50000000;
  std::map<std::string, std::vector<ksim::StatusReport>> reports;  // by lower-case service name
  std::map<std::string, std::vector<SC_ACTION_TYPE>> actionsTaken;  // by lower-case service name
  std::map<std::string, unsigned> started;                          // by lower-case service name
  unsigned nPendingRestarts = 0;
};

Processes& Procs() {
  static Processes* s_pProcesses = new Processes;
  return *s_pProcesses;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

// argv storage whose strings the entry may change, as a C runtime's argv.
struct ArgvBlock {
  explicit ArgvBlock(const std::vector<std::string>& args) : storage(args) {
    for (std::string& s : storage) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
  }
  std::vector<std::string> storage;
  std::vector<char*> pointers;
};

void NotifyAll(ServiceProcess* p) {
  p->changed.notify_all();
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  procs.changed.notify_all();
}

// Delivers a control to the process's dispatcher and waits for the handler to return.
DWORD SendControl(const std::weak_ptr<ServiceProcess>& weak, DWORD dwControl) {
  std::shared_ptr<ServiceProcess> p = weak.lock();
  if (!p) return ERROR_SERVICE_NOT_ACTIVE;
  auto pending = std::make_shared<PendingControl>();
  pending->dwControl = dwControl;
  std::unique_lock<std::mutex> guard(p->lock);
  if (p->bStopped || p->bEnded) return ERROR_SERVICE_NOT_ACTIVE;
  if (!p->pfnHandler || !p->bDispatching) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  p->controls.push_back(pending);
  p->changed.notify_all();
  if (!p->changed.wait_for(guard, std::chrono::milliseconds(kControlTimeoutMs),
                           [&] { return pending->bDone || p->bEnded; }))
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  // A process that ended with the control in its handler had taken it.
  if (!pending->bDone) return pending->bTaken ? static_cast<DWORD>(NO_ERROR) : ERROR_SERVICE_NOT_ACTIVE;
  return pending->dwResult;
}

void RunServiceMain(std::shared_ptr<ServiceProcess> p, LPSERVICE_MAIN_FUNCTIONA pfnMain) {
  t_pProcess = p.get();
  t_bServiceMain = true;
  ArgvBlock argv(p->mainArgs);
  pfnMain(static_cast<DWORD>(argv.storage.size()), argv.pointers.data());
  t_pProcess = nullptr;
  {
    std::lock_guard<std::mutex> guard(p->lock);
    p->bMainReturned = true;
  }
  NotifyAll(p.get());
}

DWORD StartByName(const std::string& name, const std::vector<std::string>& args, int nDepth);

// The Service Control Manager's answer to a failure: the next failure action, if any. A restart
// is a start by the manager itself after the action's delay, unless the database was reset.
void ApplyFailureActions(const std::string& service) {
  if (g_nShutdowns.load() > 0) return;
  std::optional<SC_ACTION> action = scm::CountFailure(service);
  if (!action) return;
  Processes& procs = Procs();
  {
    std::lock_guard<std::mutex> guard(procs.lock);
    procs.actionsTaken[Lower(service)].push_back(action->Type);
    if (action->Type != SC_ACTION_RESTART) return;
    ++procs.nPendingRestarts;
  }
  const unsigned generation = scm::Generation();
  std::thread([service, generation, dwDelay = action->Delay] {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwDelay));
    if (scm::Generation() == generation) StartByName(service, {}, 0);
    Processes& procs = Procs();
    std::lock_guard<std::mutex> guard(procs.lock);
    --procs.nPendingRestarts;
    procs.changed.notify_all();
  }).detach();
}

// The process has ended (ExitProcess or termination): its threads are gone, it takes no more
// controls, and one that had not reported stopped has failed.
void EndServiceProcess(const std::shared_ptr<ServiceProcess>& p, int nExitCode) {
  bool bFailed;
  {
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->bEnded) return;
    p->nExitCode = nExitCode;
    p->bEnded = true;
    bFailed = !p->bLastStopped;
  }
  ksim::detail::EndProcessThreads(p.get());
  ksim::detail::EndProcessApartments(p.get());
  scm::Update(p->service, [&](scm::ServiceRecord& r) {
    if (r.processId == p->dwProcessId) r.processId = 0;
    if (bFailed) r.status = SERVICE_STATUS{p->dwServiceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
  });
  ksim::EndProcess(p->dwProcessId);
  if (bFailed) ApplyFailureActions(p->service);
  NotifyAll(p.get());
}

void RunProcess(std::shared_ptr<ServiceProcess> p, ksim::ProcessEntry entry) {
  t_pProcess = p.get();
  ArgvBlock argv(p->processArgs);
  const int nExitCode = entry(static_cast<int>(argv.storage.size()), argv.pointers.data());
  t_pProcess = nullptr;
  {
    std::lock_guard<std::mutex> guard(p->lock);
    p->bEntryReturned = true;
  }
  EndServiceProcess(p, nExitCode);
}

// Starts the service's stopped dependencies first; a dependency that is gone, disabled or fails
// to start fails the start.
DWORD StartDependencies(const scm::ServiceRecord& record, int nDepth) {
  for (const std::string& name : record.dependencies) {
    std::optional<scm::ServiceRecord> dependency = scm::Find(name);
    if (!dependency || dependency->markedForDeletion) return ERROR_SERVICE_DEPENDENCY_DELETED;
    if (dependency->status.dwCurrentState != SERVICE_STOPPED) continue;
    if (nDepth >= kMaxDependencyDepth) return ERROR_CIRCULAR_DEPENDENCY;
    if (ksim::detail::Enter("StartServiceA", dependency->name)) return ERROR_SERVICE_DEPENDENCY_FAIL;
    if (StartByName(dependency->name, {}, nDepth + 1) != NO_ERROR) return ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  return NO_ERROR;
}

DWORD StartByName(const std::string& name, const std::vector<std::string>& args, int nDepth) {
  std::optional<scm::ServiceRecord> record = scm::Find(name);
  if (!record) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (record->markedForDeletion) return ERROR_SERVICE_MARKED_FOR_DELETE;
  if (record->startType == SERVICE_DISABLED) return ERROR_SERVICE_DISABLED;
  if (record->status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  if (DWORD dwError = StartDependencies(*record, nDepth)) return dwError;
  if (record->systemService) return scm::StartSystemService(name) ? NO_ERROR : ERROR_SERVICE_DOES_NOT_EXIST;

  Processes& procs = Procs();
  ksim::ProcessEntry entry;
  {
    std::lock_guard<std::mutex> guard(procs.lock);
    entry = procs.entry;
  }
  if (!entry) return ERROR_FILE_NOT_FOUND;

  auto p = std::make_shared<ServiceProcess>();
  p->service = record->name;
  p->dwServiceType = record->serviceType;
  p->dwProcessId = ksim::StartProcess();
  p->processArgs = ksim::SplitCommandLine(record->imagePath);
  p->mainArgs.push_back(record->name);
  p->mainArgs.insert(p->mainArgs.end(), args.begin(), args.end());

  scm::Update(name, [&](scm::ServiceRecord& r) {
    r.status = SERVICE_STATUS{record->serviceType, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 2000};
    r.processId = p->dwProcessId;
  });
  std::weak_ptr<ServiceProcess> weak = p;
  scm::SetControlTarget(name, [weak](DWORD dwControl) { return SendControl(weak, dwControl); });
  {
    std::lock_guard<std::mutex> guard(procs.lock);
    procs.last[Lower(name)] = p;
    procs.all.push_back(p);
    ++procs.started[Lower(name)];
  }
  std::thread(RunProcess, p, entry).detach();

  std::unique_lock<std::mutex> guard(p->lock);
  if (!p->changed.wait_for(guard, std::chrono::milliseconds(kConnectTimeoutMs),
                           [&] { return p->bConnected || p->bEnded; }) ||
      !p->bConnected)
    return ERROR_SERVICE_REQUEST_TIMEOUT;
  return NO_ERROR;
}

std::shared_ptr<ServiceProcess> LastProcess(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.last.find(Lower(service));
  return it == procs.last.end() ? nullptr : it->second;
}

// Where the threads of ended processes wait for ever.
struct Parking {
  std::mutex lock;
  std::condition_variable never;
};

}  // namespace

namespace ksim::detail {

ServiceProcess* CurrentServiceProcess() { return t_pProcess; }

void JoinServiceProcess(ServiceProcess* pProcess) { t_pProcess = pProcess; }

bool ServiceProcessEnded(const ServiceProcess* pProcess) { return pProcess && pProcess->bEnded; }

void ParkIfProcessEnded(const char* pszWhere) {
  ServiceProcess* p = t_pProcess;
  if (!p || !p->bEnded || t_nHostLocksHeld > 0) return;
  ++p->nCutThreads;
  if (getenv("KSIM_TRACE_CUT")) fprintf(stderr, "ksim: a thread of %s was cut in %s\n", p->service.c_str(), pszWhere);
  NotifyAll(p);
  static Parking* s_pParking = new Parking;  // never destroyed: parked threads outlive main
  std::unique_lock<std::mutex> guard(s_pParking->lock);
  for (;;) s_pParking->never.wait(guard);
}

void NoteServiceMainWaitLocked(Waiter* pWaiter) {
  if (t_pProcess && t_bServiceMain) t_pProcess->pMainWaiter = pWaiter;
}

void NotifyWaitChanged() {
  if (t_pProcess && t_bServiceMain) NotifyAll(t_pProcess);
}

}  // namespace ksim::detail

BOOL WINAPI StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
  std::string name;
  const DWORD dwHandleError = scm::ServiceOfHandle(hService, SERVICE_START, &name);
  if (auto f = ksim::detail::Enter("StartServiceA", name)) return Fail(f->lastError);
  if (dwHandleError) return Fail(dwHandleError);
  std::vector<std::string> args;
  for (DWORD i = 0; i < dwNumServiceArgs; ++i)
    args.push_back(lpServiceArgVectors && lpServiceArgVectors[i] ? lpServiceArgVectors[i] : "");
  const DWORD dwError = StartByName(name, args, 0);
  return dwError == NO_ERROR ? TRUE : Fail(dwError);
}

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
  if (auto f = ksim::detail::Enter("StartServiceCtrlDispatcherA")) return Fail(f->lastError);
  if (!lpServiceStartTable || !lpServiceStartTable->lpServiceName || !lpServiceStartTable->lpServiceProc)
    return Fail(ERROR_INVALID_PARAMETER);
  // A process that the SCM did not start has no controller to connect to.
  ServiceProcess* pRaw = t_pProcess;
  if (!pRaw) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  std::shared_ptr<ServiceProcess> p;
  {
    Processes& procs = Procs();
    std::lock_guard<std::mutex> guard(procs.lock);
    for (const auto& candidate : procs.all)
      if (candidate.get() == pRaw) p = candidate;
  }
  if (!p) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  {
    std::lock_guard<std::mutex> guard(p->lock);
    if (p->bDispatching) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    p->bDispatching = true;
    p->bMainStarted = true;
  }
  // A service of its own process: the SCM does not look at the table's name.
  std::thread(RunServiceMain, p, lpServiceStartTable->lpServiceProc).detach();
  {
    std::lock_guard<std::mutex> guard(p->lock);
    p->bConnected = true;
  }
  NotifyAll(p.get());

  // Controls run on this thread, one at a time, until the service reports stopped.
  std::unique_lock<std::mutex> guard(p->lock);
  for (;;) {
    p->changed.wait(guard, [&] { return !p->controls.empty() || p->bStopped || p->bEnded; });
    if (p->bEnded) {
      // Terminated: this thread is gone with the rest of the process.
      guard.unlock();
      ksim::detail::ParkIfProcessEnded("the control dispatcher");
    }
    if (!p->controls.empty()) {
      std::shared_ptr<PendingControl> pending = p->controls.front();
      p->controls.pop_front();
      pending->bTaken = true;
      LPHANDLER_FUNCTION pfnHandler = p->pfnHandler;
      guard.unlock();
      pfnHandler(pending->dwControl);
      guard.lock();
      pending->bDone = true;
      p->changed.notify_all();
      continue;
    }
    break;
  }
  // Controls that arrived too late find a stopped service.
  for (auto& pending : p->controls) {
    pending->dwResult = ERROR_SERVICE_NOT_ACTIVE;
    pending->bDone = true;
  }
  p->controls.clear();
  p->bDispatching = false;
  p->changed.notify_all();
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
  if (auto f = ksim::detail::Enter("RegisterServiceCtrlHandlerA", lpServiceName ? lpServiceName : "")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  ServiceProcess* p = t_pProcess;
  if (!p) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return nullptr;
  }
  if (!lpHandlerProc || !lpServiceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A service of its own process: the name is not checked against the table.
  Processes& procs = Procs();
  std::lock_guard<std::mutex> procsGuard(procs.lock);
  std::lock_guard<std::mutex> guard(p->lock);
  p->pfnHandler = lpHandlerProc;
  if (!p->statusHandle) {
    p->statusHandle = procs.nextStatusHandle++;
    for (const auto& candidate : procs.all)
      if (candidate.get() == p) procs.statusHandles[p->statusHandle] = candidate;
  }
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(p->statusHandle);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  std::shared_ptr<ServiceProcess> p;
  Processes& procs = Procs();
  {
    std::lock_guard<std::mutex> guard(procs.lock);
    auto it = procs.statusHandles.find(reinterpret_cast<uintptr_t>(hServiceStatus));
    if (it != procs.statusHandles.end()) p = it->second;
  }
  if (auto f = ksim::detail::Enter("SetServiceStatus", p ? p->service : std::string())) return Fail(f->lastError);
  if (!p) return Fail(ERROR_INVALID_HANDLE);
  if (!lpServiceStatus || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED)
    return Fail(ERROR_INVALID_DATA);
  {
    std::lock_guard<std::mutex> guard(procs.lock);
    procs.reports[Lower(p->service)].push_back(ksim::StatusReport{*lpServiceStatus, GetCurrentThreadId()});
  }
  // Since Vista a service may ask that a stop with an error (a failed start, say) count as a
  // failure, as a process that ends without reporting stopped does.
  const bool bStopped = lpServiceStatus->dwCurrentState == SERVICE_STOPPED;
  bool bNonCrashFailure = false;
  scm::Update(p->service, [&](scm::ServiceRecord& r) {
    bNonCrashFailure = r.failureActionsOnNonCrashFailures && bStopped && r.status.dwCurrentState != SERVICE_STOPPED &&
                       lpServiceStatus->dwWin32ExitCode != NO_ERROR;
    r.status = *lpServiceStatus;
  });
  // The last report counts when the process ends, also one made after stopped.
  {
    std::lock_guard<std::mutex> guard(p->lock);
    p->bLastStopped = bStopped;
    if (bStopped) p->bStopped = true;
  }
  if (bNonCrashFailure) ApplyFailureActions(p->service);
  if (bStopped) NotifyAll(p.get());
  return TRUE;
}

namespace ksim {

void SetProcessEntry(ProcessEntry entry) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  procs.entry = entry;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = commandLine.size();
  auto blank = [&](size_t at) { return commandLine[at] == ' ' || commandLine[at] == '\t'; };
  // The program name: up to the closing quote, or up to a blank; backslashes are plain.
  std::string program;
  if (i < n && commandLine[i] == '"') {
    for (++i; i < n && commandLine[i] != '"'; ++i) program += commandLine[i];
    if (i < n) ++i;
  } else {
    for (; i < n && !blank(i); ++i) program += commandLine[i];
  }
  args.push_back(program);
  for (;;) {
    while (i < n && blank(i)) ++i;
    if (i >= n) break;
    std::string arg;
    bool bQuoted = false;
    while (i < n && (bQuoted || !blank(i))) {
      size_t nBackslashes = 0;
      while (i < n && commandLine[i] == '\\') {
        ++nBackslashes;
        ++i;
      }
      if (i < n && commandLine[i] == '"') {
        arg.append(nBackslashes / 2, '\\');
        if (nBackslashes % 2) {
          arg += '"';
        } else if (bQuoted && i + 1 < n && commandLine[i + 1] == '"') {
          arg += '"';  // "" inside quotes is one quote
          ++i;
        } else {
          bQuoted = !bQuoted;
        }
        ++i;
      } else {
        arg.append(nBackslashes, '\\');
        if (i < n && (bQuoted || !blank(i))) arg += commandLine[i++];
      }
    }
    args.push_back(arg);
  }
  return args;
}

std::vector<StatusReport> StatusReports(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.reports.find(Lower(service));
  return it == procs.reports.end() ? std::vector<StatusReport>() : it->second;
}

void ClearStatusReports() {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  procs.reports.clear();
}

bool WaitForServiceState(const std::string& service, DWORD state, DWORD timeoutMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  for (;;) {
    std::optional<scm::ServiceRecord> record = scm::Find(service);
    if (record && record->status.dwCurrentState == state) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool WaitForServiceProcesses(DWORD timeoutMilliseconds) {
  Processes& procs = Procs();
  std::unique_lock<std::mutex> guard(procs.lock);
  // A service main thread still running in an ended process is gone as well.
  auto ended = [&] {
    if (procs.nPendingRestarts) return false;
    for (const auto& p : procs.all)
      if (!p->bEnded) return false;
    return true;
  };
  return procs.changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds), ended);
}

bool WaitForServiceIdle(const std::string& service, DWORD timeoutMilliseconds) {
  std::shared_ptr<ServiceProcess> p;
  Processes& procs = Procs();
  std::unique_lock<std::mutex> guard(procs.lock);
  // Idle: the service main thread has returned, or is blocked in a wait that nothing satisfies at
  // the moment.
  auto idle = [&] {
    auto it = procs.last.find(Lower(service));
    if (it == procs.last.end()) return false;
    ServiceProcess& p = *it->second;
    {
      std::lock_guard<std::mutex> processGuard(p.lock);
      if (p.bMainReturned || p.bEnded) return true;
    }
    std::lock_guard<std::mutex> waits(ksim::detail::WaitLock());
    return ksim::detail::WaiterQuietLocked(p.pMainWaiter);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
  while (!idle()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    procs.changed.wait_until(guard, deadline);
  }
  return true;
}

int ServiceProcessExitCode(const std::string& service) {
  std::shared_ptr<ServiceProcess> p = LastProcess(service);
  if (!p) return -1;
  std::lock_guard<std::mutex> guard(p->lock);
  return p->bEnded ? p->nExitCode : -1;
}

bool TerminateServiceProcess(const std::string& service, int exitCode) {
  std::shared_ptr<ServiceProcess> p = LastProcess(service);
  if (!p || p->bEnded) return false;
  EndServiceProcess(p, exitCode);
  return true;
}

unsigned ServiceProcessCount(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.started.find(Lower(service));
  return it == procs.started.end() ? 0 : it->second;
}

unsigned CutThreads(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  unsigned n = 0;
  for (const auto& p : procs.all)
    if (ksim::detail::EqualsNoCase(p->service, service)) n += p->nCutThreads;
  return n;
}

std::vector<SC_ACTION_TYPE> FailureActionsTaken(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.actionsTaken.find(Lower(service));
  return it == procs.actionsTaken.end() ? std::vector<SC_ACTION_TYPE>() : it->second;
}

std::vector<std::string> ShutdownSystem(DWORD budgetMilliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMilliseconds);
  ++g_nShutdowns;
  std::vector<std::string> running;
  std::vector<std::string> told;
  for (const scm::ServiceRecord& r : scm::All()) {
    if (r.systemService || r.status.dwCurrentState == SERVICE_STOPPED) continue;
    running.push_back(r.name);
    if (r.status.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN) told.push_back(r.name);
  }
  // All at once: each handler gets the control on a thread of the manager's own, and one that
  // never returns holds up no other.
  std::vector<std::thread> controls;
  for (const std::string& name : told)
    if (scm::ControlTarget target = scm::TargetOf(name))
      controls.emplace_back([target] { target(SERVICE_CONTROL_SHUTDOWN); });
  auto stopped = [](const std::string& name) {
    std::optional<scm::ServiceRecord> record = scm::Find(name);
    return !record || record->status.dwCurrentState == SERVICE_STOPPED;
  };
  while (!std::all_of(told.begin(), told.end(), stopped) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<std::string> ended;
  for (const std::string& name : running) {
    if (stopped(name)) continue;
    ended.push_back(name);
    std::shared_ptr<ServiceProcess> p = LastProcess(name);
    if (p && !p->bEnded) {
      EndServiceProcess(p, 1);
    } else {
      // A stand-in without a process of its own.
      scm::Update(name, [](scm::ServiceRecord& r) {
        r.status = SERVICE_STATUS{r.serviceType, SERVICE_STOPPED, 0, ERROR_PROCESS_ABORTED, 0, 0, 0};
      });
    }
  }
  // A handler still inside returns now that its process is gone.
  for (std::thread& t : controls) t.join();
  --g_nShutdowns;
  return ended;
}

std::vector<std::string> ServiceProcessArgs(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.last.find(Lower(service));
  return it == procs.last.end() ? std::vector<std::string>() : it->second->processArgs;
}

std::vector<std::string> ServiceMainArgs(const std::string& service) {
  Processes& procs = Procs();
  std::lock_guard<std::mutex> guard(procs.lock);
  auto it = procs.last.find(Lower(service));
  return it == procs.last.end() ? std::vector<std::string>() : it->second->mainArgs;
}

}  // namespace ksim
