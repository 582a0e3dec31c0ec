// The link between a thread and the simulated service process it belongs to.
//
// A service process ends when its entry returns (ExitProcess) or when it is terminated. From
// then on its threads are gone as far as anyone can see: a thread of an ended process that is
// still running parks forever at its next simulated call, so that it changes nothing more.
#pragma once

namespace ksim::detail {

struct ServiceProcess;

// The service process the calling thread runs in, or null for a process that the Service
// Control Manager did not start (a console run) and for the simulated host's own threads.
ServiceProcess* CurrentServiceProcess();
// Makes the calling thread one of the process's threads (a thread that it started).
void JoinServiceProcess(ServiceProcess* pProcess);
bool ServiceProcessEnded(const ServiceProcess* pProcess);

// Never returns when the calling thread belongs to an ended process; the thread is counted as
// cut. Every simulated call with an effect begins with it, naming itself (pszWhere): with
// KSIM_TRACE_CUT set in the environment, a cut says on standard error where it happened.
void ParkIfProcessEnded(const char* pszWhere = "a wait");

struct Waiter;
// Told by the kernel, under its wait lock, when the calling thread starts a wait (pWaiter) and
// ends it (null), so that a service main thread blocked in a wait that nothing satisfies counts
// as idle. NotifyWaitChanged() is called afterwards, without the lock.
void NoteServiceMainWaitLocked(Waiter* pWaiter);
void NotifyWaitChanged();

// What the other components drop when a process ends: its running threads no longer count,
// and its threads leave their COM apartments.
void EndProcessThreads(const ServiceProcess* pProcess);
void EndProcessApartments(const ServiceProcess* pProcess);

}  // namespace ksim::detail
