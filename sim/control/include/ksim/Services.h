// The service side of the simulated Service Control Manager, as tests and tools drive it.
//
// StartServiceA runs the registered process entry as the service's process: on a thread of its
// own, with the service's image path split into argv the way the C runtime splits a command
// line. StartServiceCtrlDispatcherA from that thread runs the service's main on a new thread and
// then delivers the controls that ControlService sends to the registered handler, on the
// dispatcher thread, until the service reports stopped. Every status report is kept.
//
// When the entry returns the process has ended, as with ExitProcess: its threads that still run
// make no further visible effect (each parks for ever at its next simulated call; it is counted
// as cut). A process that ends, or is terminated, without its last report being stopped has
// failed: the service is stopped with ERROR_PROCESS_ABORTED and its failure actions apply (a
// restart starts it again after the action's delay). Each process has an id of the simulated
// kernel (QueryServiceStatusEx shows it); a handle that OpenProcess gave for it is signalled when
// the process ends. StartServiceA starts stopped dependencies
// first; one that is gone fails the start with 1075, one that cannot start with 1068.
#pragma once

#include <simwin/windows.h>

#include <string>
#include <vector>

namespace ksim {

using ProcessEntry = int (*)(int argc, char* argv[]);

// The executable that every started service runs (korvlog's process entry).
void SetProcessEntry(ProcessEntry entry);

// argv of a command line, as the Windows C runtime splits it: blanks and tabs separate, double
// quotes group, and backslashes are literal except before a double quote.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

struct StatusReport {
  SERVICE_STATUS status;
  DWORD threadId;  // the thread that called SetServiceStatus
};

// The reports the named service's processes made, in order, since the last clear.
std::vector<StatusReport> StatusReports(const std::string& service);
void ClearStatusReports();

// The console side, by name: StartServiceA with start parameters, and ControlService. Each gives
// the Windows error of the call, or 0.
DWORD StartServiceByName(const std::string& service, const std::vector<std::string>& args = {});
DWORD ControlServiceByName(const std::string& service, DWORD control);

// Waits until the service's current state is the given one; false on time-out.
bool WaitForServiceState(const std::string& service, DWORD state, DWORD timeoutMilliseconds);

// Waits until every service process has ended and no restart is pending. False on time-out.
bool WaitForServiceProcesses(DWORD timeoutMilliseconds);

// Waits until the service main thread of the named service's last process is blocked in a wait
// that nothing satisfies at the moment (with or without time-out: the service has nothing to do
// until something happens) or has returned.
bool WaitForServiceIdle(const std::string& service, DWORD timeoutMilliseconds);

// The exit code of the last process of the named service, or -1 while it runs or never ran.
int ServiceProcessExitCode(const std::string& service);

// Ends the last process of the named service at once, as TerminateProcess does. False when it
// has no running process.
bool TerminateServiceProcess(const std::string& service, int exitCode = 1);

// How many processes of the named service were started (by StartServiceA or by a restart).
unsigned ServiceProcessCount(const std::string& service);

// Threads of the named service's processes that were cut: they tried to act after their process
// had ended.
unsigned CutThreads(const std::string& service);

// The failure actions the Service Control Manager took for the named service, in order.
std::vector<SC_ACTION_TYPE> FailureActionsTaken(const std::string& service);

// The system shuts down: SERVICE_CONTROL_SHUTDOWN goes to every running service whose status
// accepts it (SERVICE_ACCEPT_SHUTDOWN), all at once; each has until budgetMilliseconds
// (WaitToKillServiceTimeout: 20000 on Windows 2000 to Server 2003, 5000 on recent Windows) to
// report stopped, then its process is ended. A running service that does not accept shutdown
// gets no control; its process is ended at that moment too, as every process is when the system
// goes down. The system's own services are left as they are. Failure actions do not apply at
// shutdown. Returns the services whose processes had to be ended, in name order.
std::vector<std::string> ShutdownSystem(DWORD budgetMilliseconds = 20000);

// The argv that the last process of the named service got, and the argv its service main got.
std::vector<std::string> ServiceProcessArgs(const std::string& service);
std::vector<std::string> ServiceMainArgs(const std::string& service);

}  // namespace ksim
