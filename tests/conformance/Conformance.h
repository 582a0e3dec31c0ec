// What every conformance program shares: the platform headers, checks in the manner of Wine's
// own conformance tests, and the summary line. A program runs on the simulated host and, built
// with mingw-w64, under Wine; both runs must agree. A check marked todo_wine is a known Wine gap:
// under Wine it is expected to fail (and counted as todo), and passing there means the gap has
// closed. broken(cond) accepts an outcome that only Wine shows, where it is harmless.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <process.h>
#include <wbemidl.h>
#else
#include <simwin/windows.h>
#include <simwin/objbase.h>
#include <simwin/oleauto.h>
#include <simwin/process.h>
#include <simwin/wbemidl.h>
#endif

#include <stdio.h>

namespace conformance {

inline int s_nChecks, s_nFailures, s_nTodo;
inline bool s_bWine;

inline bool IsWine() {
#ifdef _WIN32
  HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
  return hNtdll && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

inline void Check(int nLine, bool bOk, bool bTodoWine, const char* pszText, unsigned long ulValue) {
  ++s_nChecks;
  if (bTodoWine && s_bWine) {
    if (bOk) {
      printf("line %d: todo_wine check passed, the Wine gap is gone: %s\n", nLine, pszText);
      ++s_nFailures;
    } else {
      ++s_nTodo;
    }
    return;
  }
  if (!bOk) {
    printf("line %d: failed: %s (value 0x%08lx = %lu)\n", nLine, pszText, ulValue, ulValue);
    ++s_nFailures;
  }
}

// Starts the checks of a program; the name appears in its summary line.
inline void Begin() { s_bWine = IsWine(); }

// Prints the summary and gives the exit status.
inline int End(const char* pszProgram) {
  printf("%s on %s: %d checks, %d failures, %d todo\n", pszProgram, s_bWine ? "wine" : "host", s_nChecks,
         s_nFailures, s_nTodo);
  return s_nFailures ? 1 : 0;
}

inline bool broken(bool bCondition) { return s_bWine && bCondition; }

}  // namespace conformance

#define conformance_hr(todo, expected, call)                                                         \
  do {                                                                                                \
    HRESULT hr_ = (call);                                                                             \
    conformance::Check(__LINE__, hr_ == static_cast<HRESULT>(expected), todo, #call,                  \
                       static_cast<unsigned long>(hr_));                                              \
  } while (0)
#define ok_hr(expected, call) conformance_hr(false, expected, call)
#define todo_wine_ok_hr(expected, call) conformance_hr(true, expected, call)
// A Win32 call that returns a result and sets the last error: it must fail with that error.
#define conformance_err(todo, expected_error, call)                                                  \
  do {                                                                                                \
    SetLastError(0xdeadbeef);                                                                         \
    const bool bResult_ = !!(call);                                                                   \
    const DWORD dwError_ = GetLastError();                                                            \
    conformance::Check(__LINE__, !bResult_ && dwError_ == static_cast<DWORD>(expected_error), todo,   \
                       #call, dwError_);                                                              \
  } while (0)
#define ok_err(expected_error, call) conformance_err(false, expected_error, call)
#define todo_wine_ok_err(expected_error, call) conformance_err(true, expected_error, call)
// A registry call: its LONG result is the error.
#define ok_ls(expected, call)                                                                         \
  do {                                                                                                \
    const LONG l_ = (call);                                                                           \
    conformance::Check(__LINE__, l_ == static_cast<LONG>(expected), false, #call,                     \
                       static_cast<unsigned long>(l_));                                               \
  } while (0)
// Two numbers that must be equal; the actual one is shown when they are not.
#define ok_eq(expected, actual)                                                                       \
  do {                                                                                                \
    const unsigned long ul_ = static_cast<unsigned long>(actual);                                     \
    conformance::Check(__LINE__, ul_ == static_cast<unsigned long>(expected), false, #actual, ul_);   \
  } while (0)
#define ok(cond) conformance::Check(__LINE__, (cond), false, #cond, 0)
#define todo_wine_ok(cond) conformance::Check(__LINE__, (cond), true, #cond, 0)
