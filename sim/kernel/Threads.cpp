// _beginthread and _endthread on POSIX threads, with the count of running threads.
//
// A thread started from a service process belongs to that process. Once the process has ended
// its threads no longer count as running, whether or not the POSIX thread behind one has
// reached its next simulated call (where it parks) yet.
#include <ksim/Host.h>
#include <simwin/process.h>

#include "internal/Handles.h"
#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace {

using ksim::detail::ServiceProcess;

struct ThreadRecord {
  const ServiceProcess* pProcess;
  bool bCounted = true;  // counted as running; false once its process has ended
  ksim::detail::Waiter* pWaiter = nullptr;  // the wait it is blocked in, under the kernel's wait lock
};

thread_local ThreadRecord* t_pRecord = nullptr;

struct ThreadCount {
  std::mutex lock;
  std::condition_variable changed;
  long lRunning = 0;
  std::list<ThreadRecord> threads;
};

ThreadCount& Count() {
  static ThreadCount* s_pCount = new ThreadCount;
  return *s_pCount;
}

void Uncount(ThreadCount& c, ThreadRecord& record) {
  if (!record.bCounted) return;
  record.bCounted = false;
  --c.lRunning;
  ksim::detail::AddLive("threads", -1);
  c.changed.notify_all();
}

struct StartInfo {
  void(__cdecl* pfn)(void*);
  void* pArg;
  ServiceProcess* pProcess;
  std::list<ThreadRecord>::iterator record;
};

// Counts the thread out however it ends: by returning, or by _endthread's unwinding.
struct RunningGuard {
  std::list<ThreadRecord>::iterator record;
  ~RunningGuard() {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    Uncount(c, *record);
    c.threads.erase(record);
  }
};

void* ThreadStart(void* p) {
  std::unique_ptr<StartInfo> info(static_cast<StartInfo*>(p));
  RunningGuard guard{info->record};
  t_pRecord = &*info->record;
  ksim::detail::JoinServiceProcess(info->pProcess);
  auto pfn = info->pfn;
  void* pArg = info->pArg;
  info.reset();
  pfn(pArg);
  return nullptr;
}

}  // namespace

uintptr_t _beginthread(void(__cdecl* start_address)(void*), unsigned stack_size, void* arglist) {
  if (auto f = ksim::detail::Enter("_beginthread")) {
    errno = f->lastError ? static_cast<int>(f->lastError) : EAGAIN;
    return static_cast<uintptr_t>(-1);
  }
  if (!start_address) {
    errno = EINVAL;
    return static_cast<uintptr_t>(-1);
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_size) pthread_attr_setstacksize(&attr, stack_size < 65536 ? 65536 : stack_size);
  ServiceProcess* pProcess = ksim::detail::CurrentServiceProcess();
  std::list<ThreadRecord>::iterator record;
  {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    record = c.threads.insert(c.threads.end(), ThreadRecord{pProcess});
    ++c.lRunning;
    ksim::detail::AddLive("threads", 1);
  }
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadStart, new StartInfo{start_address, arglist, pProcess, record});
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    Uncount(c, *record);
    c.threads.erase(record);
    errno = EAGAIN;
    return static_cast<uintptr_t>(-1);
  }
  return static_cast<uintptr_t>(thread);
}

void _endthread() { pthread_exit(nullptr); }

namespace ksim::detail {

Waiter** CurrentThreadWaitSlot() { return t_pRecord ? &t_pRecord->pWaiter : nullptr; }

bool ProductThreadsQuiet() {
  ThreadCount& c = Count();
  std::lock_guard<std::mutex> guard(c.lock);
  std::lock_guard<std::mutex> waits(WaitLock());
  for (const ThreadRecord& record : c.threads)
    if (record.bCounted && !WaiterQuietLocked(record.pWaiter)) return false;
  return true;
}

void EndProcessThreads(const ServiceProcess* pProcess) {
  ThreadCount& c = Count();
  std::lock_guard<std::mutex> guard(c.lock);
  for (ThreadRecord& record : c.threads)
    if (record.pProcess == pProcess) Uncount(c, record);
}

}  // namespace ksim::detail

namespace ksim {

long RunningThreads() {
  ThreadCount& c = Count();
  std::lock_guard<std::mutex> guard(c.lock);
  return c.lRunning;
}

bool WaitForThreads(DWORD timeoutMilliseconds) {
  ThreadCount& c = Count();
  std::unique_lock<std::mutex> guard(c.lock);
  return c.changed.wait_for(guard, std::chrono::milliseconds(timeoutMilliseconds),
                            [&] { return c.lRunning == 0; });
}

}  // namespace ksim
