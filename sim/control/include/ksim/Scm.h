// The simulated Service Control Manager's database, as tests and tools see and script it.
#pragma once

#include <simwin/windows.h>

#include <optional>
#include <string>
#include <vector>

namespace ksim {

struct ServiceFailureActions {
  DWORD resetPeriod = 0;
  std::string rebootMessage;
  std::string command;
  std::vector<SC_ACTION> actions;
};

// A service as the database holds it.
struct ServiceInfo {
  std::string name;
  std::string displayName;
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::string imagePath;
  std::string loadOrderGroup;
  std::string startName;
  std::vector<std::string> dependencies;
  std::string description;
  bool hasFailureActions = false;  // false until ChangeServiceConfig2A set them
  ServiceFailureActions failureActions;
  SERVICE_STATUS status{};
  // The id of the service's process while it has one (QueryServiceStatusEx shows it while the
  // service is not stopped); 0 without one.
  DWORD processId = 0;
  bool markedForDeletion = false;
  unsigned openHandles = 0;
  // One of the system's own services (Eventlog, WinMgmt, RasMan), which every database holds:
  // the Service Control Manager starts and stops it itself, no process entry runs.
  bool systemService = false;
  unsigned failureCount = 0;  // failures since the count was last reset
  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG (Vista and later): a stop reported with a non-zero
  // dwWin32ExitCode is a failure too, and the failure actions apply to it.
  bool failureActionsOnNonCrashFailures = false;
};

// The named service (names compare without regard to case), if the database holds it.
std::optional<ServiceInfo> FindService(const std::string& name);
// Every service but the system's own, in name order.
std::vector<ServiceInfo> Services();

// How a stand-in for a running service's process answers a stop (or shutdown) control.
enum class StopBehaviour {
  kStops,        // reports stopped at once
  kStopPending,  // reports stop pending; CompleteServiceStop finishes the stop
  kFails,        // the control fails with the given error; the service keeps running
};

// Makes an installed service "running" behind a stand-in control target, accepting stop and
// shutdown, so that the console paths that stop a running service can be exercised before the
// real service side runs it. False when there is no such service.
bool RunServiceStandIn(const std::string& name, StopBehaviour onStop = StopBehaviour::kStops,
                       DWORD failError = ERROR_SERVICE_REQUEST_TIMEOUT);
// Reports stopped for the service, as its process does when a pending stop completes.
bool CompleteServiceStop(const std::string& name);

// Another party holds the database lock (LockServiceDatabase then fails with 1055, the lock
// status names the owner), as if it had taken it heldSeconds ago. Released when the object goes
// out of scope. Without one LockServiceDatabase has no effect: it succeeds, also twice.
class ScopedScmLock {
 public:
  explicit ScopedScmLock(const std::string& owner, DWORD heldSeconds = 0);
  ~ScopedScmLock();
  ScopedScmLock(const ScopedScmLock&) = delete;
  ScopedScmLock& operator=(const ScopedScmLock&) = delete;
};

struct ScmLockStatus {
  bool locked = false;
  std::string owner;
  DWORD seconds = 0;
};
ScmLockStatus ScmLock();

// A database with the system's own services only (Eventlog and WinMgmt running, RasMan
// running too), each in a process of its own, and no lock.
void ResetScm();

// Keeps the service database and the registry in a file: both are loaded from it now (an
// absent file loads as empty) and saved after each change. $KSIM_STATE does the same at the
// first use of either. An empty path stops the saving. A service's run state does not outlive
// the process: a service loads stopped, and one marked for deletion is gone.
void UseStateFile(const std::string& path);

}  // namespace ksim
