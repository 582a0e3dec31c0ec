// The service's entry for the dispatcher and its control handler.
#pragma once

#include "common/Platform.h"

// argv[0] is the name the SCM started the service under; argv[1], if present, the first start
// parameter (a positive number of milliseconds delays the start).
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceHandler(DWORD dwControl);

// Makes what every thread of the service's run uses (its rundown, the service thread's wake
// event) while the process has one thread, before the dispatcher starts.
void PrepareServiceRun();
