// What the simulated WMI takes from the rest of the simulated host, for its Windows build: the
// selector text of a call, whether COM is usable, the end of a service process, and the state of
// the WMI service in the Service Control Manager.
#include "internal/Com.h"
#include "internal/ServiceProcess.h"
#include "internal/SystemServices.h"

#include <objbase.h>

namespace ksim::detail {

bool ComUsable() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier));
}

// Windows itself cuts the threads of a process that has ended.
void ParkIfProcessEnded(const char*) {}

// The platform's WMI service is not the stand-in's: its Service Control Manager entry stays as
// it is.
void SetSystemServiceRunning(const char*, bool) {}

}  // namespace ksim::detail
