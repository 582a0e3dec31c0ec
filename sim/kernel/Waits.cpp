// Events, semaphores, processes, and the waits for them.
//
// One lock guards the state of every waitable object and the list of threads waiting for each;
// a waiting thread sleeps on its own condition variable and is woken by whatever may satisfy
// its wait. The waits of product threads are visible to the settling logic: a thread blocked in
// a wait that nothing satisfies has nothing to do.
#include <ksim/Host.h>

#include "internal/Handles.h"
#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>

namespace ksim::detail {

struct Waiter {
  std::condition_variable wake;
  std::vector<std::shared_ptr<Waitable>> objects;
  bool bWaitAll = false;
};

namespace {

struct Event : Waitable {
  bool bManualReset = false;
  bool bSignalled = false;
  bool SignalledLocked() const override { return bSignalled; }
  void AcquireLocked() override {
    if (!bManualReset) bSignalled = false;
  }
};

struct Semaphore : Waitable {
  LONG lCount = 0;
  LONG lMaximum = 0;
  bool SignalledLocked() const override { return lCount > 0; }
  void AcquireLocked() override { --lCount; }
};

struct Process : Waitable {
  bool bEnded = false;
  bool SignalledLocked() const override { return bEnded; }
};

struct ProcessTable {
  DWORD dwNext = 0x1000;
  std::map<DWORD, std::shared_ptr<Process>> running;
};

ProcessTable& Processes() {  // under WaitLock()
  static ProcessTable* s_pTable = new ProcessTable;
  return *s_pTable;
}

template <typename T>
std::shared_ptr<T> Lookup(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}

bool Satisfiable(const Waiter& w) {
  if (w.bWaitAll)
    return std::all_of(w.objects.begin(), w.objects.end(), [](const auto& o) { return o->SignalledLocked(); });
  return std::any_of(w.objects.begin(), w.objects.end(), [](const auto& o) { return o->SignalledLocked(); });
}

// Takes what a satisfied wait takes; the index of the object that satisfied it.
DWORD Acquire(Waiter& w) {
  if (w.bWaitAll) {
    for (auto& o : w.objects) o->AcquireLocked();
    return 0;
  }
  for (size_t i = 0; i < w.objects.size(); ++i) {
    if (w.objects[i]->SignalledLocked()) {
      w.objects[i]->AcquireLocked();
      return static_cast<DWORD>(i);
    }
  }
  return 0;
}

void Register(Waiter& w) {
  for (auto& o : w.objects) o->waiters.push_back(&w);
  if (Waiter** pp = CurrentThreadWaitSlot()) *pp = &w;
  NoteServiceMainWaitLocked(&w);
}

void Unregister(Waiter& w) {
  for (auto& o : w.objects) o->waiters.erase(std::find(o->waiters.begin(), o->waiters.end(), &w));
  if (Waiter** pp = CurrentThreadWaitSlot()) *pp = nullptr;
  NoteServiceMainWaitLocked(nullptr);
}

DWORD Wait(std::vector<std::shared_ptr<Waitable>> objects, bool bWaitAll, DWORD dwMilliseconds) {
  ParkIfProcessEnded();
  Waiter w;
  w.objects = std::move(objects);
  w.bWaitAll = bWaitAll;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
  std::unique_lock<std::mutex> guard(WaitLock());
  if (!Satisfiable(w)) {
    if (dwMilliseconds == 0) return WAIT_TIMEOUT;
    Register(w);
    guard.unlock();
    NotifyWaitChanged();
    guard.lock();
    bool bSatisfied;
    if (dwMilliseconds == INFINITE) {
      w.wake.wait(guard, [&] { return Satisfiable(w); });
      bSatisfied = true;
    } else {
      bSatisfied = w.wake.wait_until(guard, deadline, [&] { return Satisfiable(w); });
    }
    Unregister(w);
    guard.unlock();
    NotifyWaitChanged();
    // A thread whose process ended while it waited takes nothing.
    ParkIfProcessEnded();
    if (!bSatisfied) return WAIT_TIMEOUT;
    guard.lock();
    if (!Satisfiable(w)) {
      // Another waiter took it first: wait again for what is left of the time.
      guard.unlock();
      const auto now = std::chrono::steady_clock::now();
      if (dwMilliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
      const DWORD dwLeft =
          dwMilliseconds == INFINITE
              ? INFINITE
              : static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
      return Wait(std::move(w.objects), bWaitAll, dwLeft);
    }
  }
  return WAIT_OBJECT_0 + Acquire(w);
}

BOOL Fail(DWORD dwError) {
  SetLastError(dwError);
  return FALSE;
}

}  // namespace

std::mutex& WaitLock() {
  static std::mutex* s_pLock = new std::mutex;  // never destroyed: detached threads wait on it
  return *s_pLock;
}

void WakeWaitersLocked(Waitable& object) {
  for (Waiter* w : object.waiters) w->wake.notify_one();
}

bool WaiterQuietLocked(const Waiter* pWaiter) { return pWaiter && !Satisfiable(*pWaiter); }

DWORD StartSimProcess() {
  std::lock_guard<std::mutex> guard(WaitLock());
  ProcessTable& t = Processes();
  const DWORD dwId = t.dwNext;
  t.dwNext += 4;
  t.running.emplace(dwId, std::make_shared<Process>());
  return dwId;
}

void EndSimProcess(DWORD dwProcessId) {
  std::lock_guard<std::mutex> guard(WaitLock());
  ProcessTable& t = Processes();
  auto it = t.running.find(dwProcessId);
  if (it == t.running.end()) return;
  it->second->bEnded = true;
  WakeWaitersLocked(*it->second);
  t.running.erase(it);
}

}  // namespace ksim::detail

using ksim::detail::Lookup;
using ksim::detail::WaitLock;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  if (auto f = ksim::detail::Enter("CreateEventA", lpName ? lpName : "")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  auto event = std::make_shared<ksim::detail::Event>();
  event->bManualReset = bManualReset != FALSE;
  event->bSignalled = bInitialState != FALSE;
  SetLastError(ERROR_SUCCESS);
  return ksim::detail::InsertHandle(event);
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  if (auto f = ksim::detail::Enter("SetEvent")) return ksim::detail::Fail(f->lastError);
  auto event = Lookup<ksim::detail::Event>(hEvent);
  if (!event) return ksim::detail::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(WaitLock());
  event->bSignalled = true;
  ksim::detail::WakeWaitersLocked(*event);
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  auto event = Lookup<ksim::detail::Event>(hEvent);
  if (!event) return ksim::detail::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(WaitLock());
  event->bSignalled = false;
  return TRUE;
}

HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCSTR lpName) {
  if (auto f = ksim::detail::Enter("CreateSemaphoreA", lpName ? lpName : "")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto semaphore = std::make_shared<ksim::detail::Semaphore>();
  semaphore->lCount = lInitialCount;
  semaphore->lMaximum = lMaximumCount;
  SetLastError(ERROR_SUCCESS);
  return ksim::detail::InsertHandle(semaphore);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  if (auto f = ksim::detail::Enter("ReleaseSemaphore")) return ksim::detail::Fail(f->lastError);
  auto semaphore = Lookup<ksim::detail::Semaphore>(hSemaphore);
  if (!semaphore) return ksim::detail::Fail(ERROR_INVALID_HANDLE);
  if (lReleaseCount <= 0) return ksim::detail::Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> guard(WaitLock());
  if (lReleaseCount > semaphore->lMaximum - semaphore->lCount) return ksim::detail::Fail(ERROR_TOO_MANY_POSTS);
  if (lpPreviousCount) *lpPreviousCount = semaphore->lCount;
  semaphore->lCount += lReleaseCount;
  ksim::detail::WakeWaitersLocked(*semaphore);
  return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
  if (auto f = ksim::detail::Enter("OpenProcess", std::to_string(dwProcessId))) {
    SetLastError(f->lastError);
    return nullptr;
  }
  std::shared_ptr<ksim::detail::Process> process;
  {
    std::lock_guard<std::mutex> guard(WaitLock());
    auto& running = ksim::detail::Processes().running;
    auto it = running.find(dwProcessId);
    if (it != running.end()) process = it->second;
  }
  // As on Windows, a process id that names no running process is an invalid parameter.
  if (!process) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return ksim::detail::InsertHandle(process);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<ksim::detail::Waitable>> objects;
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = Lookup<ksim::detail::Waitable>(lpHandles[i]);
    if (!object) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
  }
  return ksim::detail::Wait(std::move(objects), bWaitAll != FALSE, dwMilliseconds);
}

DWORD WINAPI GetTickCount() {
  static const auto s_start = std::chrono::steady_clock::now();
  // Windows counts from its boot; the simulated machine has been up for a while.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - s_start);
  return static_cast<DWORD>(3600000ull + static_cast<ULONGLONG>(ms.count()));
}

namespace ksim {

DWORD StartProcess() { return detail::StartSimProcess(); }
void EndProcess(DWORD processId) { detail::EndSimProcess(processId); }

}  // namespace ksim
