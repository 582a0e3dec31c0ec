// The simulated host's kernel layer and its fault mechanism behave as Windows and as tests
// rely on.
#include "common/Platform.h"
#include "support/Machine.h"

#include <ksim/Faults.h>
#include <ksim/Host.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using ktest::Fault;
using ktest::Time;

TEST(Faults, OccurrenceSelectorAndScope) {
  {
    ksim::ScopedFault fault(Fault("CreateEventA").On("Named").Nth(2).LastError(ERROR_ACCESS_DENIED));
    SetLastError(0xdeadbeef);
    HANDLE h1 = CreateEventA(nullptr, TRUE, FALSE, "NAMED");  // first match: passes
    ASSERT_NE(nullptr, h1);
    HANDLE hOther = CreateEventA(nullptr, TRUE, FALSE, "other");  // selector differs
    ASSERT_NE(nullptr, hOther);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "named"));  // second match fails
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE h3 = CreateEventA(nullptr, TRUE, FALSE, "named");  // only the second
    EXPECT_NE(nullptr, h3);
    EXPECT_EQ(1u, fault.Hits());
    for (HANDLE h : {h1, hOther, h3}) CloseHandle(h);
  }
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, "named");  // fault gone with its scope
  EXPECT_NE(nullptr, h);
  CloseHandle(h);
}

TEST(Faults, AndAfterAndEveryCall) {
  ksim::ScopedFault later(Fault("SetEvent").FromNth(2).LastError(ERROR_INVALID_HANDLE));
  HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(SetEvent(h));
  EXPECT_FALSE(SetEvent(h));
  EXPECT_FALSE(SetEvent(h));
  EXPECT_EQ(2u, later.Hits());
  CloseHandle(h);
}

TEST(Faults, CallsAreRecordedInOrderWithHooks) {
  ksim::ClearCalls();
  int hooked = 0;
  ksim::ScopedHook hook("Sleep", "7", [&] { ++hooked; });
  ksim::SetVirtualSleep(true);
  Sleep(7);
  Sleep(8);
  auto calls = ksim::Calls("Sleep");
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("7", calls[0].selector);
  EXPECT_LT(calls[0].sequence, calls[1].sequence);
  EXPECT_EQ(GetCurrentThreadId(), calls[0].threadId);
  EXPECT_EQ(1, hooked);
}

TEST(Kernel, LastErrorIsPerThread) {
  SetLastError(42);
  std::thread([] {
    EXPECT_EQ(0u, GetLastError());
    SetLastError(7);
  }).join();
  EXPECT_EQ(42u, GetLastError());
}

TEST(Kernel, Interlocked) {
  LONG volatile l = 5;
  EXPECT_EQ(6, InterlockedIncrement(&l));
  EXPECT_EQ(5, InterlockedDecrement(&l));
  EXPECT_EQ(5, InterlockedExchange(&l, 9));
  EXPECT_EQ(9, InterlockedCompareExchange(&l, 1, 3));
  EXPECT_EQ(9, l);
  EXPECT_EQ(9, InterlockedCompareExchange(&l, 1, 9));
  EXPECT_EQ(1, l);
  int a = 0, b = 0;
  PVOID volatile p = &a;
  EXPECT_EQ(&a, InterlockedExchangePointer(&p, &b));
  EXPECT_EQ(&b, InterlockedCompareExchangePointer(&p, nullptr, nullptr));
  EXPECT_EQ(&b, p);
}

TEST(Kernel, EventsAndWaits) {
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE autoReset = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoReset, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoReset, 0)) << "an auto-reset event resets on a wait";
  std::thread setter([&] { SetEvent(manual); });
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, INFINITE));
  setter.join();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0)) << "a manual-reset event stays signalled";
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(manual, 10));
  EXPECT_EQ(2, ksim::LiveCount("handles"));
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_TRUE(CloseHandle(autoReset));
  EXPECT_EQ(0, ksim::LiveCount("handles"));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseHandle(manual));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(manual, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(Kernel, SemaphoresCountAndRefuseTooManyPosts) {
  HANDLE sem = CreateSemaphoreA(nullptr, 1, 2, nullptr);
  ASSERT_NE(nullptr, sem);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(sem, 0)) << "each satisfied wait takes one";
  LONG lPrevious = -1;
  EXPECT_TRUE(ReleaseSemaphore(sem, 2, &lPrevious));
  EXPECT_EQ(0, lPrevious);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(ReleaseSemaphore(sem, 1, nullptr)) << "past the maximum";
  EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sem, 0));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, CreateSemaphoreA(nullptr, 3, 2, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_TRUE(CloseHandle(sem));
}

// A multiple wait gives the lowest index that is signalled; with bWaitAll it takes every object
// or none. A process handle is signalled once the process ends, and stays so.
TEST(Kernel, WaitForMultipleObjectsAndProcesses) {
  HANDLE rgh[3] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateSemaphoreA(nullptr, 0, 10, nullptr),
                   nullptr};
  const DWORD dwPid = ksim::StartProcess();
  rgh[2] = OpenProcess(SYNCHRONIZE, FALSE, dwPid);
  ASSERT_NE(nullptr, rgh[2]);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, rgh, FALSE, 0));
  ReleaseSemaphore(rgh[1], 1, nullptr);
  SetEvent(rgh[0]);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, rgh, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, rgh, FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, rgh, FALSE, 10));
  std::thread ender([&] { ksim::EndProcess(dwPid); });
  EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, rgh, FALSE, INFINITE));
  ender.join();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(rgh[2], 0)) << "an ended process stays signalled";
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, rgh, TRUE, 0)) << "not all are signalled";
  SetEvent(rgh[0]);
  ReleaseSemaphore(rgh[1], 1, nullptr);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, rgh, TRUE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(rgh[0], 0)) << "the wait for all took the auto-reset event";
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, OpenProcess(SYNCHRONIZE, FALSE, dwPid)) << "no such process any more";
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  for (HANDLE h : rgh) CloseHandle(h);
}

HANDLE g_hQuietEvent;

void __cdecl WaitsForTheEvent(void*) { WaitForSingleObject(g_hQuietEvent, INFINITE); }

// A product thread blocked in a wait that nothing satisfies lets the machine settle; one whose
// wait can be satisfied does not, until it has gone on.
TEST(Kernel, SettleTakesBlockedThreadsForQuiet) {
  g_hQuietEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(static_cast<uintptr_t>(-1), _beginthread(WaitsForTheEvent, 0, nullptr));
  EXPECT_TRUE(ksim::Settle(5000));
  EXPECT_EQ(1, ksim::RunningThreads());
  SetEvent(g_hQuietEvent);
  EXPECT_TRUE(ksim::WaitForThreads(5000));
  CloseHandle(g_hQuietEvent);
}

TEST(Kernel, TickCountMovesWithRealTime) {
  const DWORD dwStart = GetTickCount();
  Sleep(20);
  const DWORD dwElapsed = GetTickCount() - dwStart;
  EXPECT_GE(dwElapsed, 19u);
  EXPECT_LT(dwElapsed, 5000u);
}

TEST(Kernel, CriticalSectionIsRecursiveAndExclusive) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    EXPECT_FALSE(TryEnterCriticalSection(&cs));
    EnterCriticalSection(&cs);
    entered = true;
    LeaveCriticalSection(&cs);
  });
  LeaveCriticalSection(&cs);
  Sleep(20);
  EXPECT_FALSE(entered) << "still held once";
  LeaveCriticalSection(&cs);
  other.join();
  EXPECT_TRUE(entered);
  DeleteCriticalSection(&cs);
  EXPECT_EQ(0, ksim::LiveCount("critical_sections"));
}

std::atomic<int> g_threadRuns{0};

void __cdecl EndsItself(void* p) {
  ++*static_cast<std::atomic<int>*>(p);
  _endthread();
  ADD_FAILURE() << "_endthread returned";
}

void __cdecl Returns(void* p) { ++*static_cast<std::atomic<int>*>(p); }

TEST(Kernel, ThreadsEndEitherWayAndAreCounted) {
  std::atomic<int> runs{0};
  for (int i = 0; i < 8; ++i) {
    ASSERT_NE(static_cast<uintptr_t>(-1), _beginthread(i % 2 ? EndsItself : Returns, 0, &runs));
  }
  ASSERT_TRUE(ksim::WaitForThreads(5000));
  EXPECT_EQ(8, runs.load());
  EXPECT_EQ(0, ksim::RunningThreads());
  EXPECT_EQ(0, ksim::LiveCount("threads"));
}

TEST(Kernel, ThreadStartCanFail) {
  ksim::ScopedFault fault(Fault("_beginthread"));
  std::atomic<int> runs{0};
  EXPECT_EQ(static_cast<uintptr_t>(-1), _beginthread(Returns, 0, &runs));
  EXPECT_EQ(0, ksim::RunningThreads());
}

ULONGLONG Ticks(const FILETIME& ft) { return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

TEST(Kernel, SystemTimeToFileTime) {
  const struct {
    SYSTEMTIME st;
    ULONGLONG ticks;
  } cases[] = {
      {Time(1601, 1, 1, 0, 0, 0), 0},
      {Time(1970, 1, 1, 0, 0, 0), 116444736000000000ull},
      {Time(2002, 1, 1, 0, 0, 0), 126543168000000000ull},
      {Time(2038, 1, 19, 3, 14, 8), 137919572480000000ull},
      {Time(2000, 2, 29, 23, 59, 59, 999), 125963423999990000ull},
  };
  for (const auto& c : cases) {
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(c.ticks, Ticks(ft)) << c.st.wYear;
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(c.st.wYear, back.wYear);
    EXPECT_EQ(c.st.wDay, back.wDay);
    EXPECT_EQ(c.st.wMilliseconds, back.wMilliseconds);
  }
  for (SYSTEMTIME bad : {Time(1600, 12, 31, 0, 0, 0), Time(2001, 2, 29, 0, 0, 0), Time(2001, 13, 1, 0, 0, 0),
                         Time(2001, 1, 1, 24, 0, 0), Time(2001, 1, 0, 0, 0, 0)}) {
    FILETIME ft{};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

TEST(Kernel, SettableClockWithBiasAndVirtualSleep) {
  ksim::SetClock(Time(2002, 1, 2, 9, 5, 3), -60);  // one hour east of UTC
  ksim::SetVirtualSleep(true);
  SYSTEMTIME utc{}, local{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  EXPECT_EQ(9, utc.wHour);
  EXPECT_EQ(10, local.wHour);
  EXPECT_EQ(3, utc.wDayOfWeek);  // a Wednesday
  Sleep(5000);
  GetSystemTime(&utc);
  EXPECT_EQ(8, utc.wSecond);
  EXPECT_EQ(5000u, ksim::VirtualSleptMilliseconds());
  ksim::UseRealClock();
  GetSystemTime(&utc);
  EXPECT_GE(utc.wYear, 2024);
}

TEST(Kernel, ModuleFileName) {
  ksim::SetModulePath("D:\\svc\\evtsvc.exe");
  char sz[MAX_PATH];
  EXPECT_EQ(17u, GetModuleFileNameA(nullptr, sz, MAX_PATH));
  EXPECT_STREQ("D:\\svc\\evtsvc.exe", sz);
  EXPECT_EQ(17u, GetModuleFileNameA(GetModuleHandleA(nullptr), sz, MAX_PATH));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(5u, GetModuleFileNameA(nullptr, sz, 5));
  EXPECT_STREQ("D:\\s", sz);
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(Kernel, CodePage1252) {
  EXPECT_EQ(1252u, GetACP());
  const char text[] = "\x80\xe9z";
  WCHAR wide[4];
  EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0));
  ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 4));
  EXPECT_EQ(0x20AC, static_cast<int>(wide[0]));
  EXPECT_EQ(0xE9, static_cast<int>(wide[1]));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(Kernel, CaseMappingOfTheSystemTable) {
  const WCHAR lower[] = {0xE9, 't', 0xFF, 0x161, 0xB5, 0xF7, 0};
  const WCHAR upper[] = {0xC9, 'T', 0x178, 0x160, 0x39C, 0xF7, 0};
  WCHAR out[7] = {};
  EXPECT_EQ(7, LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, lower, -1, nullptr, 0));
  ASSERT_EQ(7, LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, lower, -1, out, 7));
  EXPECT_EQ(0, memcmp(out, upper, sizeof(out)));
  // In place, and with a counted source that carries no terminator.
  ASSERT_EQ(2, LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, out, 2, out, 2));
  EXPECT_EQ(0, memcmp(out, lower, 2 * sizeof(WCHAR)));
  EXPECT_EQ(static_cast<WCHAR>(0x178), out[2]);

  struct {
    LCID lcid;
    DWORD dwFlags;
    int cchSrc, cchDest;
    DWORD dwError;
  } const failures[] = {
      {LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, -1, 6, ERROR_INSUFFICIENT_BUFFER},
      {LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE | LCMAP_LOWERCASE, -1, 7, ERROR_INVALID_FLAGS},
      {LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, 0, 7, ERROR_INVALID_PARAMETER},
      {LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, -1, -1, ERROR_INVALID_PARAMETER},
      {0x12345, LCMAP_UPPERCASE, -1, 7, ERROR_INVALID_PARAMETER},
  };
  for (const auto& f : failures) {
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0, LCMapStringW(f.lcid, f.dwFlags, lower, f.cchSrc, out, f.cchDest));
    EXPECT_EQ(f.dwError, GetLastError()) << f.dwFlags << " " << f.cchSrc << " " << f.cchDest;
  }
}

TEST(Kernel, MultibyteCaseBlindComparison) {
  auto cmp = [](const char* a, const char* b) {
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b));
  };
  EXPECT_EQ(0, cmp("-I", "-i"));
  EXPECT_EQ(0, cmp("\xc9T\xc9", "\xe9t\xe9"));
  EXPECT_EQ(0, cmp("\x8a", "\x9a"));
  EXPECT_NE(0, cmp("-i", "-ix"));
  EXPECT_NE(0, cmp("\xd7", "\xf7"));
}

TEST(Kernel, DispatcherFailsOutsideAServiceProcess) {
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("svc"), [](DWORD, LPSTR*) {}}, {nullptr, nullptr}};
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), GetLastError());
}

}  // namespace
