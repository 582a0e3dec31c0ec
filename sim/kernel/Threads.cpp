// _beginthread and _endthread on POSIX threads, with the count of running threads.
#include <ksim/Host.h>
#include <simwin/process.h>

#include "internal/Sim.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace {

struct ThreadCount {
  std::mutex lock;
  std::condition_variable changed;
  long lRunning = 0;
};

ThreadCount& Count() {
  static ThreadCount* s_pCount = new ThreadCount;
  return *s_pCount;
}

struct StartInfo {
  void(__cdecl* pfn)(void*);
  void* pArg;
};

// Counts the thread out however it ends: by returning, or by _endthread's unwinding.
struct RunningGuard {
  ~RunningGuard() {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    --c.lRunning;
    ksim::detail::AddLive("threads", -1);
    c.changed.notify_all();
  }
};

void* ThreadStart(void* p) {
  std::unique_ptr<StartInfo> info(static_cast<StartInfo*>(p));
  RunningGuard guard;
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
  {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    ++c.lRunning;
    ksim::detail::AddLive("threads", 1);
  }
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadStart, new StartInfo{start_address, arglist});
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    ThreadCount& c = Count();
    std::lock_guard<std::mutex> guard(c.lock);
    --c.lRunning;
    ksim::detail::AddLive("threads", -1);
    c.changed.notify_all();
    errno = EAGAIN;
    return static_cast<uintptr_t>(-1);
  }
  return static_cast<uintptr_t>(thread);
}

void _endthread() { pthread_exit(nullptr); }

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
