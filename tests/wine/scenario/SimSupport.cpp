// What the simulated WMI takes from the rest of the simulated host, for its Windows build: the
// selector text of a call, whether COM is usable, and the end of a service process.
#include "internal/Com.h"
#include "internal/ServiceProcess.h"

#include <objbase.h>

namespace ksim::detail {

bool ComUsable() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier));
}

// Windows itself cuts the threads of a process that has ended.
void ParkIfProcessEnded() {}

}  // namespace ksim::detail
