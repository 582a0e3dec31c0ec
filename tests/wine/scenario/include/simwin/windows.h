// The Windows build of the simulated WMI: the names the simulated host declares in its own
// headers come from the platform's headers here.
#pragma once

#include <windows.h>
