// Last error, interlocked operations, the handle table and critical sections.
#include "internal/Handles.h"
#include "internal/ServiceProcess.h"
#include "internal/Sim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <unistd.h>
#include <sys/syscall.h>

namespace {

thread_local DWORD t_dwLastError = 0;

struct HandleTable {
  std::mutex lock;
  uintptr_t next = 0x100;
  std::map<uintptr_t, std::shared_ptr<ksim::detail::KernelObject>> objects;
};

HandleTable& Handles() {
  static HandleTable* s_pTable = new HandleTable;
  return *s_pTable;
}

}  // namespace

namespace ksim::detail {

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  uintptr_t value = t.next;
  t.next += 4;
  t.objects.emplace(value, std::move(object));
  AddLive("handles", 1);
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;  // released outside the table lock
  HandleTable& t = Handles();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == t.objects.end()) return false;
  object = std::move(it->second);
  t.objects.erase(it);
  AddLive("handles", -1);
  return true;
}

}  // namespace ksim::detail

DWORD WINAPI GetLastError() { return t_dwLastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }

DWORD WINAPI GetCurrentThreadId() {
  static thread_local DWORD t_dwId = static_cast<DWORD>(syscall(SYS_gettid));
  return t_dwId;
}

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

LONG InterlockedIncrement(LONG volatile* Addend) {
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile* Addend) {
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (auto f = ksim::detail::Enter("CloseHandle")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  if (!ksim::detail::RemoveHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  ksim::detail::Enter("InitializeCriticalSection");
  *cs = CRITICAL_SECTION{};
  cs->DebugInfo = new std::recursive_mutex;
  ksim::detail::AddLive("critical_sections", 1);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  auto* m = static_cast<std::recursive_mutex*>(cs->DebugInfo);
  m->lock();
  // Owner and depth are kept as Windows keeps them; only the owning thread touches them.
  cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  ++cs->RecursionCount;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  auto* m = static_cast<std::recursive_mutex*>(cs->DebugInfo);
  if (!m->try_lock()) return FALSE;
  cs->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(GetCurrentThreadId()));
  ++cs->RecursionCount;
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  auto* m = static_cast<std::recursive_mutex*>(cs->DebugInfo);
  if (--cs->RecursionCount == 0) cs->OwningThread = nullptr;
  m->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  ksim::detail::Enter("DeleteCriticalSection");
  delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
  cs->DebugInfo = nullptr;
  ksim::detail::AddLive("critical_sections", -1);
}
