// The Service Control Manager's database, shared by its console side (create, open, query,
// control, delete, lock, configuration) and its service side (start, dispatcher, status reports).
//
// A service lives in the database from CreateServiceA until it is marked for deletion, stopped
// and no handle to it is open any more; then it disappears, as on Windows. Its status changes
// only through ReportStatus (what SetServiceStatus reports from the service's process) and
// through the stand-ins that tests install.
#pragma once

#include <ksim/Scm.h>
#include <simwin/windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ksim::detail::scm {

using FailureActions = ksim::ServiceFailureActions;

// Delivers a control to the process of a running service. Returns NO_ERROR once the handler
// has taken the control, or the Windows error that ControlService then reports (for example
// ERROR_SERVICE_REQUEST_TIMEOUT when the handler does not answer). Called on the thread of the
// ControlService caller without the database lock, so it may call ReportStatus.
using ControlTarget = std::function<DWORD(DWORD dwControl)>;

// A service as the database holds it: what tests see of it, and what receives its controls.
struct ServiceRecord : ksim::ServiceInfo {
  ControlTarget control;  // set while the service's process runs and takes controls
  ULONGLONG ullLastFailure = 0;  // system time of the last failure
};

// A copy of the named service's record without its control target (names compare without
// regard to case).
std::optional<ServiceRecord> Find(const std::string& name);
// Copies of every record, in name order.
std::vector<ServiceRecord> All();

// Runs fn on the named record under the database lock; afterwards a marked, stopped service
// with no open handle is removed and the host state is saved. False when there is no service.
bool Update(const std::string& name, const std::function<void(ServiceRecord&)>& fn);

// A status report from the service's process. A stopped service no longer takes controls.
bool ReportStatus(const std::string& name, const SERVICE_STATUS& status);

// Plugs in (or, with an empty target, removes) what receives the service's controls.
bool SetControlTarget(const std::string& name, ControlTarget target);
// A copy of what receives the service's controls; empty when nothing does.
ControlTarget TargetOf(const std::string& name);

// Counts a failure of the service (its process ended without reporting stopped) and returns the
// failure action for it: the Nth failure since the count was last reset takes the Nth action,
// and failures past the last action repeat the last one. Nothing without actions.
std::optional<SC_ACTION> CountFailure(const std::string& name);

// Starts one of the system's own services: it runs at once. False for any other service.
bool StartSystemService(const std::string& name);

// Changes whenever the database is reset, so that a restart planned before a reset is dropped.
unsigned Generation();

// The name of the service that a handle refers to, after the checks that every service call
// makes: ERROR_INVALID_HANDLE for anything but a service handle, ERROR_ACCESS_DENIED when the
// handle lacks one of dwAccess. NO_ERROR on success.
DWORD ServiceOfHandle(SC_HANDLE hService, DWORD dwAccess, std::string* pName);

// The database lock, as QueryServiceLockStatusA reports it. LockServiceDatabase has no effect
// (as since Vista), so only another party's lock (a test's) is ever held.
struct LockInfo {
  bool bLocked = false;
  std::string owner;
  DWORD dwSeconds = 0;
};
LockInfo QueryLock();
// Another party takes the lock, as if it had done so dwHeldSeconds ago; false when it is held.
bool HoldLock(const std::string& owner, DWORD dwHeldSeconds);
// Releases the lock whoever holds it.
void ReleaseLock();

// An empty database: no services, no lock. Open handles stay valid but refer to nothing.
void Reset();

}  // namespace ksim::detail::scm
