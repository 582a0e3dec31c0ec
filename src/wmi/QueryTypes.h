// The names of the event queries and their registration states.
#pragma once

#include "common/Platform.h"

enum ENameSpace : DWORD {
  nsWMI = 0,    // \\.\ROOT\WMI: the RAID driver's classes
  nsCIMV2 = 1,  // \\.\ROOT\CIMV2: Win32_SCSIController
  nsCount = 2,
};

// A query's row in its namespace's table; the values of the two namespaces overlap.
enum EQueryEvent : DWORD {
  qEAdapterPrintfNotification = 0,
  qCCreateAdapterPrintf = 1,
  qCDeleteAdapterPrintf = 2,
  qICreateAdapterPrintf = 3,
  qIDeleteAdapterPrintf = 4,
  qEHostTimeRequest = 5,
  qCCreateSetHostTime = 6,
  qCDeleteSetHostTime = 7,
  qICreateSetHostTime = 8,
  qIDeleteSetHostTime = 9,

  qICreateWin32ScsiController = 0,
  qIDeleteWin32ScsiController = 1,
};

enum EQueryOption : DWORD {
  qoConditional = 0,  // register unless active; cancel only if active
  qoForce = 1,        // act whatever the state
};

enum EQueryStatus : DWORD {
  qsUnknown = 0,
  qsInactive = 1,
  qsActive = 2,
  qsFailed = 3,
};
