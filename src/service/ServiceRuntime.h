// The service's entry for the dispatcher and its control handler.
#pragma once

#include "common/Platform.h"

// argv[0] is the name the SCM started the service under; argv[1], if present, the first start
// parameter (a positive number of milliseconds delays the start).
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceHandler(DWORD dwControl);
