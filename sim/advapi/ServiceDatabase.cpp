// The Service Control Manager's database and its console operations: open the manager, create,
// open, query, control and delete services, lock the database, and the extended configuration.
//
// As on Windows: SC_HANDLEs are not kernel handles and carry the access they were opened with;
// a deleted service stays until it is stopped and its last handle is closed; only creating,
// deleting, starting and reconfiguring a service marked for deletion fail with 1072 (opening and
// querying it still work). Successful calls leave the last error alone. LockServiceDatabase has
// no effect (as since Vista); only another party's lock, which tests take, refuses it. Every
// database holds the system services that korvlog depends on.
#include <ksim/Host.h>
#include <ksim/Scm.h>

#include "internal/HostState.h"
#include "internal/ObjectTable.h"
#include "internal/Scm.h"
#include "internal/Sim.h"
#include "internal/SystemServices.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace scm = ksim::detail::scm;

namespace {

const size_t kMaxServiceName = 256;
const ULONGLONG kTicksPerSecond = 10000000;

struct Entry {
  scm::ServiceRecord record;
  bool bGone = false;  // no longer in the database (ResetScm); its handles refer to nothing
};

struct ScObject {
  bool bManager = false;
  DWORD dwGranted = 0;
  std::shared_ptr<Entry> entry;  // the service of a service handle
};

struct Database {
  std::mutex lock;
  std::map<std::string, std::shared_ptr<Entry>> services;  // by lower-case name
  ksim::detail::ObjectTable<ScObject> handles{0x10000000, "sc_handles"};
  // Another party's lock, and the values LockServiceDatabase handed out and not yet unlocked.
  bool bLocked = false;
  std::string lockOwner;
  ULONGLONG ullLockedSince = 0;
  std::set<uintptr_t> ownLocks;
  uintptr_t nextLockValue = 0x30000000;
  unsigned generation = 0;
};

void LoadState(Database* pDb);
void AddSystemServices(Database* pDb);

Database& Db() {
  static Database* s_pDb = [] {
    auto* p = new Database;
    LoadState(p);
    AddSystemServices(p);
    return p;
  }();
  return *s_pDb;
}

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

ULONGLONG Now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SC_HANDLE FailHandle(DWORD dwError) {
  SetLastError(dwError);
  return nullptr;
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

const DWORD kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED;

DWORD MapManagerAccess(DWORD dwAccess) {
  DWORD dw = dwAccess & ~kGenericRights;
  if (dwAccess & GENERIC_READ)
    dw |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (dwAccess & GENERIC_WRITE)
    dw |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (dwAccess & GENERIC_EXECUTE) dw |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (dwAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) dw |= SC_MANAGER_ALL_ACCESS;
  return dw | SC_MANAGER_CONNECT;  // every manager handle may connect
}

DWORD MapServiceAccess(DWORD dwAccess) {
  DWORD dw = dwAccess & ~kGenericRights;
  if (dwAccess & GENERIC_READ)
    dw |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
          SERVICE_ENUMERATE_DEPENDENTS;
  if (dwAccess & GENERIC_WRITE) dw |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
  if (dwAccess & GENERIC_EXECUTE)
    dw |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
          SERVICE_USER_DEFINED_CONTROL;
  if (dwAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) dw |= SERVICE_ALL_ACCESS;
  return dw;
}

std::shared_ptr<ScObject> LookupHandle(SC_HANDLE h) { return Db().handles.Lookup(reinterpret_cast<uintptr_t>(h)); }

// The selector under which a call on the handle is recorded: the service's name, or empty.
std::string SelectorOf(const std::shared_ptr<ScObject>& object) {
  return object && object->entry ? object->entry->record.name : std::string();
}

DWORD CheckObject(const std::shared_ptr<ScObject>& object, bool bManager, DWORD dwAccess) {
  if (!object || object->bManager != bManager || (object->entry && object->entry->bGone))
    return ERROR_INVALID_HANDLE;
  return (object->dwGranted & dwAccess) == dwAccess ? static_cast<DWORD>(NO_ERROR) : ERROR_ACCESS_DENIED;
}

bool IsStopped(const scm::ServiceRecord& r) { return r.status.dwCurrentState == SERVICE_STOPPED; }

// Removes a marked service once it is stopped and unreferenced. Call with the lock held; true
// when it was removed.
bool RemoveIfDone(Database& db, const std::shared_ptr<Entry>& entry) {
  const scm::ServiceRecord& r = entry->record;
  if (entry->bGone || !r.markedForDeletion || !IsStopped(r) || r.openHandles) return false;
  db.services.erase(Lower(r.name));
  entry->bGone = true;
  return true;
}

bool ValidServiceName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxServiceName && name.find_first_of("/\\") == std::string::npos;
}

bool ValidConfig(DWORD dwType, DWORD dwStart, DWORD dwErrorControl) {
  const bool bDriver = dwType == SERVICE_KERNEL_DRIVER || dwType == SERVICE_FILE_SYSTEM_DRIVER;
  const DWORD dwProcess = dwType & ~SERVICE_INTERACTIVE_PROCESS;
  const bool bProcess = dwProcess == SERVICE_WIN32_OWN_PROCESS || dwProcess == SERVICE_WIN32_SHARE_PROCESS;
  if (!bDriver && !bProcess) return false;
  if (dwStart > SERVICE_DISABLED || (!bDriver && dwStart < SERVICE_AUTO_START)) return false;
  return dwErrorControl <= SERVICE_ERROR_CRITICAL;
}

std::vector<std::string> ParseMultiString(const char* psz) {
  std::vector<std::string> texts;
  if (!psz) return texts;
  for (size_t cch; (cch = std::strlen(psz)) != 0; psz += cch + 1) texts.emplace_back(psz, cch);
  return texts;
}

// The right a control needs, or 0 for a control that applications may not send.
DWORD ControlAccess(DWORD dwControl) {
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return SERVICE_PAUSE_CONTINUE;
    default:
      return dwControl >= 128 && dwControl <= 255 ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

bool ControlAccepted(DWORD dwControl, DWORD dwAccepted) {
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      return (dwAccepted & SERVICE_ACCEPT_STOP) != 0;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return (dwAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
    case SERVICE_CONTROL_PARAMCHANGE:
      return (dwAccepted & SERVICE_ACCEPT_PARAMCHANGE) != 0;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
      return (dwAccepted & SERVICE_ACCEPT_NETBINDCHANGE) != 0;
    default:
      return true;  // interrogate and the service's own controls always reach it
  }
}

std::shared_ptr<Entry> FindEntry(Database& db, const std::string& name) {
  auto it = db.services.find(Lower(name));
  return it == db.services.end() ? nullptr : it->second;
}

void ClearLock(Database& db) {
  db.bLocked = false;
  db.lockOwner.clear();
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += n + '\n';
  return text;
}

std::vector<std::string> SplitNames(const std::string& text) {
  std::vector<std::string> names;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    names.push_back(text.substr(start, end - start));
  return names;
}

DWORD Number(const std::string& text) { return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10)); }

// A service's state-file line: its configuration, failure actions, exit code and mark.
enum EStateField {
  sfTag, sfName, sfDisplay, sfType, sfStart, sfErrorControl, sfImage, sfGroup, sfStartName, sfDeps,
  sfDescription, sfMarked, sfExitCode, sfHasActions, sfReset, sfReboot, sfCommand, sfNonCrashFailures, sfActions
};

ksim::detail::StateLine StateLineOf(const scm::ServiceRecord& r) {
  const scm::FailureActions& fa = r.failureActions;
  ksim::detail::StateLine line = {"service", r.name, r.displayName, std::to_string(r.serviceType),
                                  std::to_string(r.startType), std::to_string(r.errorControl), r.imagePath,
                                  r.loadOrderGroup, r.startName, JoinNames(r.dependencies), r.description,
                                  r.markedForDeletion ? "1" : "0", std::to_string(r.status.dwWin32ExitCode),
                                  r.hasFailureActions ? "1" : "0", std::to_string(fa.resetPeriod),
                                  fa.rebootMessage, fa.command, r.failureActionsOnNonCrashFailures ? "1" : "0"};
  for (const SC_ACTION& a : fa.actions) {
    line.push_back(std::to_string(static_cast<DWORD>(a.Type)));
    line.push_back(std::to_string(a.Delay));
  }
  return line;
}

void LoadState(Database* pDb) {
  for (const auto& line : ksim::detail::ReadStateLines("service")) {
    // A marked service is gone once its process and every handle to it are.
    if (line.size() < sfActions || line[sfMarked] == "1") continue;
    auto entry = std::make_shared<Entry>();
    scm::ServiceRecord& r = entry->record;
    r.name = line[sfName];
    r.displayName = line[sfDisplay];
    r.serviceType = Number(line[sfType]);
    r.startType = Number(line[sfStart]);
    r.errorControl = Number(line[sfErrorControl]);
    r.imagePath = line[sfImage];
    r.loadOrderGroup = line[sfGroup];
    r.startName = line[sfStartName];
    r.dependencies = SplitNames(line[sfDeps]);
    r.description = line[sfDescription];
    r.status = SERVICE_STATUS{r.serviceType, SERVICE_STOPPED, 0, Number(line[sfExitCode]), 0, 0, 0};
    r.hasFailureActions = line[sfHasActions] == "1";
    r.failureActions.resetPeriod = Number(line[sfReset]);
    r.failureActions.rebootMessage = line[sfReboot];
    r.failureActions.command = line[sfCommand];
    r.failureActionsOnNonCrashFailures = line[sfNonCrashFailures] == "1";
    for (size_t i = sfActions; i + 1 < line.size(); i += 2)
      r.failureActions.actions.push_back(
          SC_ACTION{static_cast<SC_ACTION_TYPE>(Number(line[i])), Number(line[i + 1])});
    pDb->services[Lower(r.name)] = entry;
  }
}

// A system service stops at once when asked to.
scm::ControlTarget SystemServiceControl(const std::string& name) {
  return [name](DWORD dwControl) -> DWORD {
    if (dwControl == SERVICE_CONTROL_STOP) ksim::detail::SetSystemServiceRunning(name.c_str(), false);
    return NO_ERROR;
  };
}

// Under the database lock: the system service runs, in a new process of its own.
void RunSystemServiceLocked(scm::ServiceRecord& r) {
  r.status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
  r.control = SystemServiceControl(r.name);
  r.processId = ksim::StartProcess();
}

// The system's own services, as a freshly booted machine has them: each runs in a shared
// process of the system and accepts stop.
void AddSystemServices(Database* pDb) {
  struct SystemService {
    const char* pszName;
    const char* pszDisplay;
    DWORD dwStart;
  };
  static const SystemService c_rgServices[] = {
      {"Eventlog", "Windows Event Log", SERVICE_AUTO_START},
      {"RasMan", "Remote Access Connection Manager", SERVICE_DEMAND_START},
      {"WinMgmt", "Windows Management Instrumentation", SERVICE_AUTO_START},
  };
  for (const SystemService& system : c_rgServices) {
    if (pDb->services.count(Lower(system.pszName))) continue;
    auto entry = std::make_shared<Entry>();
    scm::ServiceRecord& r = entry->record;
    r.name = system.pszName;
    r.displayName = system.pszDisplay;
    r.serviceType = SERVICE_WIN32_SHARE_PROCESS;
    r.startType = system.dwStart;
    r.errorControl = SERVICE_ERROR_NORMAL;
    r.imagePath = "C:\\Windows\\system32\\svchost.exe -k netsvcs";
    r.startName = "LocalSystem";
    r.systemService = true;
    RunSystemServiceLocked(r);
    pDb->services[Lower(r.name)] = entry;
  }
}

void ResetDatabase(Database& db) {
  for (auto& entry : db.services) {
    entry.second->bGone = true;
    // The system services' processes go with the old machine.
    if (entry.second->record.systemService && entry.second->record.processId)
      ksim::EndProcess(entry.second->record.processId);
  }
  db.services.clear();
  ClearLock(db);
  ksim::detail::AddLive("sc_locks", -static_cast<int64_t>(db.ownLocks.size()));
  db.ownLocks.clear();
  ++db.generation;
}

// Copies a text into the string area of an output buffer and returns where it went.
LPSTR PutText(BYTE** ppCursor, const std::string& text) {
  LPSTR psz = reinterpret_cast<LPSTR>(*ppCursor);
  std::memcpy(psz, text.c_str(), text.size() + 1);
  *ppCursor += text.size() + 1;
  return psz;
}

}  // namespace

namespace ksim::detail {

std::vector<StateLine> ScmStateLines() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::vector<StateLine> lines;
  for (const auto& entry : db.services)
    if (!entry.second->record.systemService) lines.push_back(StateLineOf(entry.second->record));
  return lines;
}

void ReloadScmState() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  ResetDatabase(db);
  LoadState(&db);
  AddSystemServices(&db);
}

}  // namespace ksim::detail

namespace ksim::detail::scm {

std::optional<ServiceRecord> Find(const std::string& name) {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::shared_ptr<Entry> entry = FindEntry(db, name);
  if (!entry) return std::nullopt;
  ServiceRecord copy = entry->record;
  copy.control = nullptr;
  return copy;
}

std::vector<ServiceRecord> All() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::vector<ServiceRecord> records;
  for (const auto& entry : db.services) {
    records.push_back(entry.second->record);
    records.back().control = nullptr;
  }
  return records;
}

bool Update(const std::string& name, const std::function<void(ServiceRecord&)>& fn) {
  ControlTarget released;  // a replaced target is destroyed outside the lock
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    std::shared_ptr<Entry> entry = FindEntry(db, name);
    if (!entry) return false;
    fn(entry->record);
    if (IsStopped(entry->record)) released = std::move(entry->record.control);
    RemoveIfDone(db, entry);
  }
  SaveHostState();
  return true;
}

bool ReportStatus(const std::string& name, const SERVICE_STATUS& status) {
  return Update(name, [&](ServiceRecord& r) { r.status = status; });
}

bool SetControlTarget(const std::string& name, ControlTarget target) {
  ControlTarget previous;
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::shared_ptr<Entry> entry = FindEntry(db, name);
  if (!entry) return false;
  previous = std::move(entry->record.control);
  entry->record.control = std::move(target);
  return true;
}

ControlTarget TargetOf(const std::string& name) {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::shared_ptr<Entry> entry = FindEntry(db, name);
  return entry ? entry->record.control : ControlTarget();
}

DWORD ServiceOfHandle(SC_HANDLE hService, DWORD dwAccess, std::string* pName) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  DWORD dwError = CheckObject(object, false, dwAccess);
  if (!dwError && pName) *pName = object->entry->record.name;
  return dwError;
}

std::optional<SC_ACTION> CountFailure(const std::string& name) {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::shared_ptr<Entry> entry = FindEntry(db, name);
  if (!entry) return std::nullopt;
  ServiceRecord& r = entry->record;
  const ULONGLONG ullNow = Now();
  const DWORD dwReset = r.failureActions.resetPeriod;
  if (r.failureCount && dwReset != INFINITE &&
      ullNow - r.ullLastFailure >= static_cast<ULONGLONG>(dwReset) * kTicksPerSecond)
    r.failureCount = 0;
  ++r.failureCount;
  r.ullLastFailure = ullNow;
  const std::vector<SC_ACTION>& actions = r.failureActions.actions;
  if (actions.empty()) return std::nullopt;
  return actions[std::min<size_t>(r.failureCount, actions.size()) - 1];
}

bool StartSystemService(const std::string& name) {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  std::shared_ptr<Entry> entry = FindEntry(db, name);
  if (!entry || !entry->record.systemService) return false;
  if (IsStopped(entry->record)) RunSystemServiceLocked(entry->record);
  return true;
}

unsigned Generation() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  return db.generation;
}

LockInfo QueryLock() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  LockInfo info;
  info.bLocked = db.bLocked;
  info.owner = db.lockOwner;
  if (db.bLocked) {
    const ULONGLONG ullNow = Now();
    info.dwSeconds = ullNow > db.ullLockedSince ? static_cast<DWORD>((ullNow - db.ullLockedSince) / kTicksPerSecond) : 0;
  }
  return info;
}

bool HoldLock(const std::string& owner, DWORD dwHeldSeconds) {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  if (db.bLocked) return false;
  db.bLocked = true;
  db.lockOwner = owner;
  db.ullLockedSince = Now() - static_cast<ULONGLONG>(dwHeldSeconds) * kTicksPerSecond;
  return true;
}

void ReleaseLock() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  ClearLock(db);
}

void Reset() {
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  ResetDatabase(db);
  AddSystemServices(&db);
}

}  // namespace ksim::detail::scm

namespace ksim::detail {

void SetSystemServiceRunning(const char* pszName, bool bRunning) {
  DWORD dwEnded = 0;
  scm::ControlTarget released;  // destroyed outside the lock
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    std::shared_ptr<Entry> entry = FindEntry(db, pszName ? pszName : "");
    if (!entry || !entry->record.systemService) return;
    scm::ServiceRecord& r = entry->record;
    if (IsStopped(r) != bRunning) return;
    if (bRunning) {
      RunSystemServiceLocked(r);
    } else {
      r.status = SERVICE_STATUS{SERVICE_WIN32_SHARE_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
      released = std::move(r.control);
      dwEnded = r.processId;
      r.processId = 0;
    }
  }
  if (dwEnded) ksim::EndProcess(dwEnded);
}

}  // namespace ksim::detail

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
  const std::string database = lpDatabaseName ? lpDatabaseName : SERVICES_ACTIVE_DATABASEA;
  if (auto f = ksim::detail::Enter("OpenSCManagerA", database)) return FailHandle(f->lastError);
  if (lpMachineName && *lpMachineName) return FailHandle(RPC_S_SERVER_UNAVAILABLE);  // no network here
  if (!ksim::detail::EqualsNoCase(database, SERVICES_ACTIVE_DATABASEA)) return FailHandle(ERROR_INVALID_NAME);
  auto object = std::make_shared<ScObject>();
  object->bManager = true;
  object->dwGranted = MapManagerAccess(dwDesiredAccess);
  return reinterpret_cast<SC_HANDLE>(Db().handles.Insert(object));
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, LPCSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCSTR lpBinaryPathName, LPCSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCSTR lpDependencies, LPCSTR lpServiceStartName, LPCSTR) {
  const std::string name = lpServiceName ? lpServiceName : "";
  if (auto f = ksim::detail::Enter("CreateServiceA", name)) return FailHandle(f->lastError);
  if (DWORD dwError = CheckObject(LookupHandle(hSCManager), true, SC_MANAGER_CREATE_SERVICE))
    return FailHandle(dwError);
  const std::string display = lpDisplayName && *lpDisplayName ? lpDisplayName : name;
  if (!ValidServiceName(name) || display.size() > kMaxServiceName) return FailHandle(ERROR_INVALID_NAME);
  if (!lpBinaryPathName || !*lpBinaryPathName || !ValidConfig(dwServiceType, dwStartType, dwErrorControl))
    return FailHandle(ERROR_INVALID_PARAMETER);
  if (lpdwTagId && (!lpLoadOrderGroup || !*lpLoadOrderGroup)) return FailHandle(ERROR_INVALID_PARAMETER);
  std::vector<std::string> dependencies = ParseMultiString(lpDependencies);
  for (const std::string& dependency : dependencies)
    if (ksim::detail::EqualsNoCase(dependency, name)) return FailHandle(ERROR_CIRCULAR_DEPENDENCY);

  Database& db = Db();
  auto entry = std::make_shared<Entry>();
  {
    std::lock_guard<std::mutex> guard(db.lock);
    if (std::shared_ptr<Entry> existing = FindEntry(db, name))
      return FailHandle(existing->record.markedForDeletion ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
    for (const auto& other : db.services)
      if (ksim::detail::EqualsNoCase(display, other.second->record.displayName) ||
          ksim::detail::EqualsNoCase(display, other.second->record.name))
        return FailHandle(ERROR_DUPLICATE_SERVICE_NAME);
    scm::ServiceRecord& r = entry->record;
    r.name = name;
    r.displayName = display;
    r.serviceType = dwServiceType;
    r.startType = dwStartType;
    r.errorControl = dwErrorControl;
    r.imagePath = lpBinaryPathName;
    r.loadOrderGroup = lpLoadOrderGroup ? lpLoadOrderGroup : "";
    r.startName = lpServiceStartName && *lpServiceStartName ? lpServiceStartName
                  : (dwServiceType & (SERVICE_WIN32_OWN_PROCESS | SERVICE_WIN32_SHARE_PROCESS)) ? "LocalSystem"
                                                                                                  : "";
    r.dependencies = std::move(dependencies);
    r.status = SERVICE_STATUS{dwServiceType, SERVICE_STOPPED, 0, ERROR_SERVICE_NEVER_STARTED, 0, 0, 0};
    r.openHandles = 1;
    db.services[Lower(name)] = entry;
  }
  if (lpdwTagId) *lpdwTagId = 0;
  auto object = std::make_shared<ScObject>();
  object->dwGranted = MapServiceAccess(dwDesiredAccess);
  object->entry = entry;
  SC_HANDLE hService = reinterpret_cast<SC_HANDLE>(db.handles.Insert(object));
  ksim::detail::SaveHostState();
  return hService;
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
  const std::string name = lpServiceName ? lpServiceName : "";
  if (auto f = ksim::detail::Enter("OpenServiceA", name)) return FailHandle(f->lastError);
  if (DWORD dwError = CheckObject(LookupHandle(hSCManager), true, SC_MANAGER_CONNECT)) return FailHandle(dwError);
  if (!ValidServiceName(name)) return FailHandle(ERROR_INVALID_NAME);
  Database& db = Db();
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard<std::mutex> guard(db.lock);
    entry = FindEntry(db, name);
    if (!entry) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    ++entry->record.openHandles;
  }
  auto object = std::make_shared<ScObject>();
  object->dwGranted = MapServiceAccess(dwDesiredAccess);
  object->entry = entry;
  return reinterpret_cast<SC_HANDLE>(db.handles.Insert(object));
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("QueryServiceStatus", SelectorOf(object))) return Fail(f->lastError);
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  if (DWORD dwError = CheckObject(object, false, SERVICE_QUERY_STATUS)) return Fail(dwError);
  if (!lpServiceStatus) return Fail(RPC_X_NULL_REF_POINTER);
  *lpServiceStatus = object->entry->record.status;
  return TRUE;
}

// Windows 2000 and later: the status with the id of the service's process. A handle that is no
// service handle fails in RPC before the manager sees the call; the manager checks the level
// and the buffer before the handle's access.
BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("QueryServiceStatusEx", SelectorOf(object))) return Fail(f->lastError);
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  if (DWORD dwError = CheckObject(object, false, 0)) return Fail(dwError);
  if (InfoLevel != SC_STATUS_PROCESS_INFO) return Fail(ERROR_INVALID_LEVEL);
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (DWORD dwError = CheckObject(object, false, SERVICE_QUERY_STATUS)) return Fail(dwError);
  const scm::ServiceRecord& r = object->entry->record;
  SERVICE_STATUS_PROCESS status;
  status.dwServiceType = r.status.dwServiceType;
  status.dwCurrentState = r.status.dwCurrentState;
  status.dwControlsAccepted = r.status.dwControlsAccepted;
  status.dwWin32ExitCode = r.status.dwWin32ExitCode;
  status.dwServiceSpecificExitCode = r.status.dwServiceSpecificExitCode;
  status.dwCheckPoint = r.status.dwCheckPoint;
  status.dwWaitHint = r.status.dwWaitHint;
  // A stopped service has no process, even while the one that reported stopped is still ending.
  status.dwProcessId = IsStopped(r) ? 0 : r.processId;
  status.dwServiceFlags = 0;
  std::memcpy(lpBuffer, &status, sizeof(status));  // the caller's buffer need not be aligned
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("ControlService", SelectorOf(object))) return Fail(f->lastError);
  Database& db = Db();
  scm::ControlTarget target;
  {
    std::lock_guard<std::mutex> guard(db.lock);
    if (DWORD dwError = CheckObject(object, false, 0)) return Fail(dwError);
    const DWORD dwAccess = ControlAccess(dwControl);
    if (!dwAccess) return Fail(ERROR_INVALID_PARAMETER);
    if (DWORD dwError = CheckObject(object, false, dwAccess)) return Fail(dwError);
    if (!lpServiceStatus) return Fail(RPC_X_NULL_REF_POINTER);
    // For these three refusals the caller still gets the current status.
    const scm::ServiceRecord& r = object->entry->record;
    *lpServiceStatus = r.status;
    const DWORD dwState = r.status.dwCurrentState;
    if (dwState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
    // A starting service takes a stop when it has said it accepts one, and nothing else.
    if (dwState == SERVICE_STOP_PENDING ||
        (dwState == SERVICE_START_PENDING &&
         (dwControl != SERVICE_CONTROL_STOP || !ControlAccepted(dwControl, r.status.dwControlsAccepted))))
      return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    if (!ControlAccepted(dwControl, r.status.dwControlsAccepted)) return Fail(ERROR_INVALID_SERVICE_CONTROL);
    target = r.control;
  }
  // The handler runs without the database lock: it reports its new status through it.
  const DWORD dwResult = target ? target(dwControl) : static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT);
  {
    std::lock_guard<std::mutex> guard(db.lock);
    *lpServiceStatus = object->entry->record.status;
  }
  return dwResult == NO_ERROR ? TRUE : Fail(dwResult);
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("DeleteService", SelectorOf(object))) return Fail(f->lastError);
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    if (DWORD dwError = CheckObject(object, false, DELETE)) return Fail(dwError);
    scm::ServiceRecord& r = object->entry->record;
    if (r.markedForDeletion) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    // The entry goes once the service is stopped and its last handle is closed.
    r.markedForDeletion = true;
  }
  ksim::detail::SaveHostState();
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  std::shared_ptr<ScObject> object = LookupHandle(hSCObject);
  if (auto f = ksim::detail::Enter("CloseServiceHandle", SelectorOf(object))) return Fail(f->lastError);
  Database& db = Db();
  object = db.handles.Remove(reinterpret_cast<uintptr_t>(hSCObject));
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!object->entry) return TRUE;
  bool bRemoved = false;
  {
    std::lock_guard<std::mutex> guard(db.lock);
    --object->entry->record.openHandles;
    bRemoved = RemoveIfDone(db, object->entry);
  }
  if (bRemoved) ksim::detail::SaveHostState();
  return TRUE;
}

SC_LOCK WINAPI LockServiceDatabase(SC_HANDLE hSCManager) {
  std::shared_ptr<ScObject> object = LookupHandle(hSCManager);
  if (auto f = ksim::detail::Enter("LockServiceDatabase")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  if (DWORD dwError = CheckObject(object, true, SC_MANAGER_LOCK)) {
    SetLastError(dwError);
    return nullptr;
  }
  if (db.bLocked) {
    SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
    return nullptr;
  }
  // Nothing is locked; the value only has to be unlocked again.
  const uintptr_t lockValue = db.nextLockValue;
  db.nextLockValue += 4;
  db.ownLocks.insert(lockValue);
  ksim::detail::AddLive("sc_locks", 1);
  return reinterpret_cast<SC_LOCK>(lockValue);
}

BOOL WINAPI UnlockServiceDatabase(SC_LOCK ScLock) {
  if (auto f = ksim::detail::Enter("UnlockServiceDatabase")) return Fail(f->lastError);
  Database& db = Db();
  std::lock_guard<std::mutex> guard(db.lock);
  if (!db.ownLocks.erase(reinterpret_cast<uintptr_t>(ScLock))) return Fail(ERROR_INVALID_SERVICE_LOCK);
  ksim::detail::AddLive("sc_locks", -1);
  return TRUE;
}

BOOL WINAPI QueryServiceLockStatusA(SC_HANDLE hSCManager, LPQUERY_SERVICE_LOCK_STATUSA lpLockStatus, DWORD cbBufSize,
                                    LPDWORD pcbBytesNeeded) {
  std::shared_ptr<ScObject> object = LookupHandle(hSCManager);
  if (auto f = ksim::detail::Enter("QueryServiceLockStatusA")) return Fail(f->lastError);
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    if (DWORD dwError = CheckObject(object, true, SC_MANAGER_QUERY_LOCK_STATUS)) return Fail(dwError);
  }
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  const scm::LockInfo info = scm::QueryLock();
  const DWORD cbNeeded = static_cast<DWORD>(sizeof(QUERY_SERVICE_LOCK_STATUSA) + info.owner.size() + 1);
  if (!lpLockStatus || cbBufSize < cbNeeded) {
    *pcbBytesNeeded = cbNeeded;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  BYTE* pCursor = reinterpret_cast<BYTE*>(lpLockStatus + 1);
  lpLockStatus->fIsLocked = info.bLocked ? TRUE : FALSE;
  lpLockStatus->lpLockOwner = PutText(&pCursor, info.owner);
  lpLockStatus->dwLockDuration = info.dwSeconds;
  return TRUE;
}

BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("ChangeServiceConfig2A", SelectorOf(object))) return Fail(f->lastError);
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    if (DWORD dwError = CheckObject(object, false, SERVICE_CHANGE_CONFIG)) return Fail(dwError);
    scm::ServiceRecord& r = object->entry->record;
    if (r.markedForDeletion) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION && dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
        dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
      return Fail(ERROR_INVALID_LEVEL);
    if (!lpInfo) return Fail(ERROR_INVALID_PARAMETER);

    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
      r.failureActionsOnNonCrashFailures =
          static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(lpInfo)->fFailureActionsOnNonCrashFailures != FALSE;
    } else if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
      // A null description leaves the description as it is.
      const SERVICE_DESCRIPTIONA* pInfo = static_cast<const SERVICE_DESCRIPTIONA*>(lpInfo);
      if (pInfo->lpDescription) r.description = pInfo->lpDescription;
    } else {
      const SERVICE_FAILURE_ACTIONSA* pInfo = static_cast<const SERVICE_FAILURE_ACTIONSA*>(lpInfo);
      const DWORD cActions = pInfo->lpsaActions ? pInfo->cActions : 0;
      for (DWORD i = 0; i < cActions; ++i) {
        if (pInfo->lpsaActions[i].Type > SC_ACTION_RUN_COMMAND) return Fail(ERROR_INVALID_PARAMETER);
        // The manager restarts the service on the caller's behalf: the caller must be allowed to.
        if (pInfo->lpsaActions[i].Type == SC_ACTION_RESTART && !(object->dwGranted & SERVICE_START))
          return Fail(ERROR_ACCESS_DENIED);
      }
      scm::FailureActions& fa = r.failureActions;
      r.hasFailureActions = true;
      // Null texts and a null action list leave those parts unchanged; an empty list clears
      // the actions and the reset period.
      if (pInfo->lpsaActions) {
        fa.actions.assign(pInfo->lpsaActions, pInfo->lpsaActions + cActions);
        fa.resetPeriod = cActions ? pInfo->dwResetPeriod : 0;
      }
      if (pInfo->lpRebootMsg) fa.rebootMessage = pInfo->lpRebootMsg;
      if (pInfo->lpCommand) fa.command = pInfo->lpCommand;
    }
  }
  ksim::detail::SaveHostState();
  return TRUE;
}

BOOL WINAPI QueryServiceConfig2A(SC_HANDLE hService, DWORD dwInfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  std::shared_ptr<ScObject> object = LookupHandle(hService);
  if (auto f = ksim::detail::Enter("QueryServiceConfig2A", SelectorOf(object))) return Fail(f->lastError);
  scm::ServiceRecord r;
  {
    Database& db = Db();
    std::lock_guard<std::mutex> guard(db.lock);
    if (DWORD dwError = CheckObject(object, false, SERVICE_QUERY_CONFIG)) return Fail(dwError);
    r = object->entry->record;
  }
  if (!pcbBytesNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  auto textSize = [](const std::string& text) { return text.empty() ? 0 : text.size() + 1; };
  DWORD cbNeeded = 0;
  if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
    cbNeeded = static_cast<DWORD>(sizeof(SERVICE_DESCRIPTIONA) + textSize(r.description));
  } else if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
    const scm::FailureActions& fa = r.failureActions;
    cbNeeded = static_cast<DWORD>(sizeof(SERVICE_FAILURE_ACTIONSA) + fa.actions.size() * sizeof(SC_ACTION) +
                                  textSize(fa.rebootMessage) + textSize(fa.command));
  } else if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
    cbNeeded = sizeof(SERVICE_FAILURE_ACTIONS_FLAG);
  } else {
    return Fail(ERROR_INVALID_LEVEL);
  }
  if (!lpBuffer || cbBufSize < cbNeeded) {
    *pcbBytesNeeded = cbNeeded;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
    reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(lpBuffer)->fFailureActionsOnNonCrashFailures =
        r.failureActionsOnNonCrashFailures ? TRUE : FALSE;
    return TRUE;
  }
  if (dwInfoLevel == SERVICE_CONFIG_DESCRIPTION) {
    auto* pInfo = reinterpret_cast<SERVICE_DESCRIPTIONA*>(lpBuffer);
    BYTE* pCursor = lpBuffer + sizeof(*pInfo);
    pInfo->lpDescription = r.description.empty() ? nullptr : PutText(&pCursor, r.description);
    return TRUE;
  }
  const scm::FailureActions& fa = r.failureActions;
  auto* pInfo = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(lpBuffer);
  BYTE* pCursor = lpBuffer + sizeof(*pInfo);
  pInfo->dwResetPeriod = fa.resetPeriod;
  pInfo->cActions = static_cast<DWORD>(fa.actions.size());
  pInfo->lpsaActions = fa.actions.empty() ? nullptr : reinterpret_cast<SC_ACTION*>(pCursor);
  if (!fa.actions.empty()) std::memcpy(pCursor, fa.actions.data(), fa.actions.size() * sizeof(SC_ACTION));
  pCursor += fa.actions.size() * sizeof(SC_ACTION);
  pInfo->lpRebootMsg = fa.rebootMessage.empty() ? nullptr : PutText(&pCursor, fa.rebootMessage);
  pInfo->lpCommand = fa.command.empty() ? nullptr : PutText(&pCursor, fa.command);
  return TRUE;
}

namespace ksim {

std::optional<ServiceInfo> FindService(const std::string& name) {
  std::optional<scm::ServiceRecord> record = scm::Find(name);
  if (!record) return std::nullopt;
  return static_cast<const ServiceInfo&>(*record);
}

std::vector<ServiceInfo> Services() {
  std::vector<ServiceInfo> infos;
  for (const scm::ServiceRecord& r : scm::All())
    if (!r.systemService) infos.push_back(r);
  return infos;
}

bool RunServiceStandIn(const std::string& name, StopBehaviour onStop, DWORD failError) {
  const bool bFound = scm::Update(name, [](scm::ServiceRecord& r) {
    r.status = SERVICE_STATUS{r.serviceType, SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN,
                              NO_ERROR, 0, 0, 0};
  });
  if (!bFound) return false;
  return scm::SetControlTarget(name, [name, onStop, failError](DWORD dwControl) -> DWORD {
    if (dwControl != SERVICE_CONTROL_STOP && dwControl != SERVICE_CONTROL_SHUTDOWN) return NO_ERROR;
    auto record = scm::Find(name);
    if (!record) return ERROR_SERVICE_DOES_NOT_EXIST;
    const DWORD dwType = record->serviceType;
    switch (onStop) {
      case StopBehaviour::kStops:
        scm::ReportStatus(name, SERVICE_STATUS{dwType, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0});
        return NO_ERROR;
      case StopBehaviour::kStopPending:
        scm::ReportStatus(name, SERVICE_STATUS{dwType, SERVICE_STOP_PENDING, 0, NO_ERROR, 0, 1, 5000});
        return NO_ERROR;
      case StopBehaviour::kFails:
        break;
    }
    return failError;
  });
}

bool CompleteServiceStop(const std::string& name) {
  auto record = scm::Find(name);
  if (!record) return false;
  return scm::ReportStatus(name, SERVICE_STATUS{record->serviceType, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0});
}

ScopedScmLock::ScopedScmLock(const std::string& owner, DWORD heldSeconds) { scm::HoldLock(owner, heldSeconds); }

ScopedScmLock::~ScopedScmLock() { scm::ReleaseLock(); }

ScmLockStatus ScmLock() {
  const scm::LockInfo info = scm::QueryLock();
  return ScmLockStatus{info.bLocked, info.owner, info.dwSeconds};
}

void ResetScm() {
  scm::Reset();
  detail::SaveHostState();
}

}  // namespace ksim
