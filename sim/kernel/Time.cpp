// System and local time, Sleep, and the settable clock.
#include <ksim/Host.h>

#include "internal/Sim.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr ULONGLONG kTicksPerMs = 10000;
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr LONGLONG kDays1601To1970 = 134774;

struct Clock {
  std::mutex lock;
  bool bSet = false;
  ULONGLONG ullNow = 0;  // 100 ns ticks since 1601-01-01 UTC, while set
  LONG lBias = 0;        // minutes; local = UTC - bias
  bool bVirtualSleep = false;
  ULONGLONG ullSlept = 0;
};

Clock& GetClock() {
  static Clock* s_pClock = new Clock;
  return *s_pClock;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
  y -= m <= 2;
  const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

void CivilFromDays(LONGLONG z, LONGLONG* py, unsigned* pm, unsigned* pd) {
  z += 719468;
  const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *pd = doy - (153 * mp + 2) / 5 + 1;
  *pm = mp < 10 ? mp + 3 : mp - 9;
  *py = static_cast<LONGLONG>(yoe) + era * 400 + (*pm <= 2);
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool TicksFromSystemTime(const SYSTEMTIME& st, ULONGLONG* pTicks) {
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 || st.wSecond > 59 ||
      st.wMilliseconds > 999)
    return false;
  LONGLONG days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
  ULONGLONG seconds = static_cast<ULONGLONG>(days) * 86400 + st.wHour * 3600u + st.wMinute * 60u + st.wSecond;
  *pTicks = seconds * kTicksPerSecond + st.wMilliseconds * kTicksPerMs;
  return true;
}

SYSTEMTIME SystemTimeFromTicks(ULONGLONG ticks) {
  SYSTEMTIME st{};
  ULONGLONG seconds = ticks / kTicksPerSecond;
  LONGLONG days = static_cast<LONGLONG>(seconds / 86400);
  ULONGLONG rest = seconds % 86400;
  LONGLONG y;
  unsigned m, d;
  CivilFromDays(days - kDays1601To1970, &y, &m, &d);
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(m);
  st.wDay = static_cast<WORD>(d);
  st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st.wHour = static_cast<WORD>(rest / 3600);
  st.wMinute = static_cast<WORD>(rest % 3600 / 60);
  st.wSecond = static_cast<WORD>(rest % 60);
  st.wMilliseconds = static_cast<WORD>(ticks % kTicksPerSecond / kTicksPerMs);
  return st;
}

ULONGLONG NowTicks(LONG* pBias) {
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  if (pBias) *pBias = c.lBias;
  if (c.bSet) return c.ullNow;
  auto since1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return static_cast<ULONGLONG>(since1970) * 10 +
         static_cast<ULONGLONG>(kDays1601To1970) * 86400 * kTicksPerSecond;
}

}  // namespace

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  ksim::detail::Enter("GetSystemTime");
  *lpSystemTime = SystemTimeFromTicks(NowTicks(nullptr));
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  ksim::detail::Enter("GetLocalTime");
  LONG bias = 0;
  ULONGLONG ticks = NowTicks(&bias);
  LONGLONG shift = -static_cast<LONGLONG>(bias) * 60 * static_cast<LONGLONG>(kTicksPerSecond);
  *lpSystemTime = SystemTimeFromTicks(static_cast<ULONGLONG>(static_cast<LONGLONG>(ticks) + shift));
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
  ULONGLONG ticks = NowTicks(nullptr);
  lpSystemTimeAsFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  lpSystemTimeAsFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
  if (auto f = ksim::detail::Enter("SystemTimeToFileTime")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  ULONGLONG ticks;
  if (!lpSystemTime || !lpFileTime || !TicksFromSystemTime(*lpSystemTime, &ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lpFileTime->dwLowDateTime = static_cast<DWORD>(ticks);
  lpFileTime->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return TRUE;
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
  if (!lpFileTime || !lpSystemTime || (lpFileTime->dwHighDateTime & 0x80000000u)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG ticks = (static_cast<ULONGLONG>(lpFileTime->dwHighDateTime) << 32) | lpFileTime->dwLowDateTime;
  *lpSystemTime = SystemTimeFromTicks(ticks);
  return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  ksim::detail::Enter("Sleep", std::to_string(dwMilliseconds));
  Clock& c = GetClock();
  {
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.bVirtualSleep) {
      c.ullSlept += dwMilliseconds;
      if (c.bSet) c.ullNow += dwMilliseconds * kTicksPerMs;
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

namespace ksim {

void SetClock(const SYSTEMTIME& utc, LONG biasMinutes) {
  ULONGLONG ticks = 0;
  TicksFromSystemTime(utc, &ticks);
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  c.bSet = true;
  c.ullNow = ticks;
  c.lBias = biasMinutes;
}

void UseRealClock() {
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  c.bSet = false;
  c.lBias = 0;
}

void AdvanceClock(DWORD milliseconds) {
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.bSet) c.ullNow += milliseconds * kTicksPerMs;
}

void SetVirtualSleep(bool enabled) {
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  c.bVirtualSleep = enabled;
}

ULONGLONG VirtualSleptMilliseconds() {
  Clock& c = GetClock();
  std::lock_guard<std::mutex> guard(c.lock);
  return c.ullSlept;
}

}  // namespace ksim
