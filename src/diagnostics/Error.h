// The program-wide result code and its texts, and the names of COM and WMI result codes.
#pragma once

#include "common/Platform.h"

// The result of every internal operation. 0 is success, 1 to 15 are the program's own codes,
// and a system error code carries a Windows error number as 0xFFFF0000 | (number & 0xFFFF).
enum ErrorCode : DWORD {
  ecNoError = 0,
  ecOutOfMemory = 1,
  ecNotImplemented = 2,
  ecBadParameter = 3,
  ecNotEnoughBuffer = 4,
  ecTimeout = 5,
  ecUnexpectedData = 6,
  ecShuttingDown = 7,
  ecMinorError = 8,
  ecInternalError = 9,
  ecUnsupportedDriver = 10,
  ecWbemError = 11,
  ecComError = 12,
  ecSomeQueriesFailed = 13,
  ecAllQueriesFailed = 14,
  ecUninstallRequired = 15,
};

class CError {
 public:
  // True exactly for a system error code (upper 16 bits all ones).
  static bool IsSystemError(ErrorCode code);
  // The system error code of a Windows error number; the number's upper 16 bits are lost.
  static ErrorCode MapSystemError(DWORD dwError);
  // The console text of a code. A system error's text lives in a shared buffer that the next
  // call for a system error overwrites; only the main thread's console path uses it.
  static const char* MapErrorString(ErrorCode code);
  // The published name of a COM or WMI result code, or "UNKNOWN".
  static const char* ErrorString(HRESULT hr);
  // True for the results of a call whose server is gone: the connection to WMI is lost (WMI
  // crashed or was restarted) and only a new one helps.
  static bool IsDisconnection(HRESULT hr);
  // A disconnection, or WBEM_E_SHUTTING_DOWN (WMI ends every call as it stops): the connection to
  // WMI is lost as a whole.
  static bool IsConnectionLoss(HRESULT hr);

 private:
  static const char c_pszErrors[18][40];
  static char szBuffer[256];
};
