// The Windows build of the simulated WMI: the platform's WMI interfaces, so that korvlog.exe
// calls the stand-in's objects through the vtables it was compiled against.
#pragma once

#include <windows.h>
#include <wbemidl.h>
