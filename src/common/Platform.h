// The one seam between korvlog and the platform. On Windows it includes the real Win32, COM
// and WMI headers; elsewhere the simulated host's headers, which declare the same names.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <process.h>
#include <mbctype.h>
#include <mbstring.h>
#include <io.h>
#include <fcntl.h>
#else
#include <simwin/windows.h>
#include <simwin/objbase.h>
#include <simwin/oleauto.h>
#include <simwin/wbemidl.h>
#include <simwin/process.h>
#include <simwin/mbstring.h>
#include <simwin/crt.h>
#endif
