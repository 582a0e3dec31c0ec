// The simulated host's <windows.h>: the Win32 subset the product calls.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winsvc.h"
#include "winreg.h"
#include "winevt.h"
