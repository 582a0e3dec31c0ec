// The link between a thread and the simulated service process it belongs to.
#pragma once

namespace ksim::detail {

struct ServiceProcess;

// The service process the calling thread runs in, or null for a process that the Service
// Control Manager did not start (a console run).
ServiceProcess* CurrentServiceProcess();

}  // namespace ksim::detail
