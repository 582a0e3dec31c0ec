// The system's own services (Eventlog, WinMgmt, RasMan) as the components they stand for go
// down and come back: the simulated WMI tells the Service Control Manager about WinMgmt through
// this, and the event log about Eventlog.
#pragma once

namespace ksim::detail {

// Runs the named system service in a new process, or stops it: its process ends, and every
// handle that OpenProcess gave for it is signalled. Nothing when the service already is in that
// state or is not one of the system's own.
void SetSystemServiceRunning(const char* pszName, bool bRunning);

}  // namespace ksim::detail
