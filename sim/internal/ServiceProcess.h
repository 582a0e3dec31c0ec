// The link between a thread and the simulated service process it belongs to.
#pragma once

namespace ksim::detail {

struct ServiceProcess;

// The service process the calling thread runs in, or null for a process that the Service
// Control Manager did not start (a console run).
ServiceProcess* CurrentServiceProcess();

// Told by the kernel when the calling thread starts and ends a wait without time-out, so that a
// service main thread blocked in such a wait counts as idle.
void NoteInfiniteWait(bool bWaiting);

}  // namespace ksim::detail
