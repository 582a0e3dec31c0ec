// The kernel handle table of the simulated host, and the objects a thread can wait for.
#pragma once

#include <simwin/windows.h>

#include <memory>
#include <mutex>
#include <vector>

namespace ksim::detail {

struct KernelObject {
  virtual ~KernelObject() = default;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

struct Waiter;

// An object that a wait can be satisfied by: an event, a semaphore, a process. Its state and
// the threads waiting for it are guarded by WaitLock(), one lock for every such object.
struct Waitable : KernelObject {
  // Under WaitLock(): whether a wait for the object would be satisfied now, and what a
  // satisfied wait takes (an auto-reset event resets, a semaphore counts down).
  virtual bool SignalledLocked() const = 0;
  virtual void AcquireLocked() {}

  std::vector<Waiter*> waiters;  // under WaitLock()
};

std::mutex& WaitLock();
// Under WaitLock(): the object may satisfy waits now; its waiters look again.
void WakeWaitersLocked(Waitable& object);

// Under WaitLock(): whether the thread blocked in this wait stays blocked, as nothing it waits
// for is signalled.
bool WaiterQuietLocked(const Waiter* pWaiter);
// Where the kernel notes the wait of the calling thread while it lasts (under WaitLock()), for a
// thread started with _beginthread; null for any other thread.
Waiter** CurrentThreadWaitSlot();

// Processes of the simulated machine other than korvlog's own (the system services' processes):
// a process id, and a process object that OpenProcess hands out and that is signalled when the
// process ends.
DWORD StartSimProcess();
void EndSimProcess(DWORD dwProcessId);

// Whether every thread started with _beginthread that still counts as running is blocked in a
// wait that nothing can satisfy at the moment: the product has nothing left to do until
// something outside it happens.
bool ProductThreadsQuiet();

}  // namespace ksim::detail
