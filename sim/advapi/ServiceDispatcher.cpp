// The service side of the Service Control Manager: the dispatcher.
#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

namespace ksim::detail {

ServiceProcess* CurrentServiceProcess() { return nullptr; }

}  // namespace ksim::detail

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* lpServiceStartTable) {
  if (auto f = ksim::detail::Enter("StartServiceCtrlDispatcherA")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  if (!lpServiceStartTable || !lpServiceStartTable->lpServiceName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A process that the SCM did not start has no controller to connect to.
  if (!ksim::detail::CurrentServiceProcess()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
