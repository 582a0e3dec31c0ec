// The simulated machine's kernel-level settings for tests and tools: module path, clock,
// virtual sleep and the threads started with _beginthread.
#pragma once

#include <simwin/windows.h>

#include <string>

namespace ksim {

// GetModuleFileNameA's answer. Starts as $KSIM_MODULE_PATH, or C:\korvlog\korvlog.exe.
void SetModulePath(const std::string& path);
std::string ModulePath();

// A settable clock. Once set, time stands still except through AdvanceClock and virtual Sleep.
// Local time is UTC minus biasMinutes, as Windows defines the time-zone bias.
void SetClock(const SYSTEMTIME& utc, LONG biasMinutes = 0);
void UseRealClock();
void AdvanceClock(DWORD milliseconds);

// With virtual sleep, Sleep returns at once, advances a set clock and adds to the total.
void SetVirtualSleep(bool enabled);
ULONGLONG VirtualSleptMilliseconds();

// Processes of the machine besides the service processes (a system service's process, say): a
// new process id, and the end of the process, which signals every handle that OpenProcess gave
// for it.
DWORD StartProcess();
void EndProcess(DWORD processId);

// Threads started with _beginthread that have not ended yet, and a wait for them all to end.
long RunningThreads();
bool WaitForThreads(DWORD timeoutMilliseconds);

// Waits until the simulated WMI has delivered everything and every _beginthread thread has
// ended or is blocked in a wait that nothing satisfies, both at the same moment (a worker may
// make WMI calls, WMI may hand workers more work). False when it never settled.
bool Settle(DWORD timeoutMilliseconds = 10000);

}  // namespace ksim
