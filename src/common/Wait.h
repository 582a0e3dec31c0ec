// A bounded wait that reports progress: for the stop, which must show the Service Control
// Manager that it is still moving while it waits.
#pragma once

#include "common/Platform.h"

// How often a waiting stop reports its progress.
const DWORD c_dwProgressMs = 500;

// Calls wait(milliseconds) in slices of c_dwProgressMs until it returns true or dwTotalMs have
// passed, calling pfnProgress (if given) after each slice that did not finish. True when done.
template <typename F>
bool WaitWithProgress(F wait, DWORD dwTotalMs, void (*pfnProgress)()) {
  for (DWORD dwWaited = 0;; dwWaited += c_dwProgressMs) {
    const DWORD dwSlice = dwTotalMs - dwWaited < c_dwProgressMs ? dwTotalMs - dwWaited : c_dwProgressMs;
    if (wait(dwSlice)) return true;
    if (dwWaited + dwSlice >= dwTotalMs) return false;
    if (pfnProgress) pfnProgress();
  }
}
