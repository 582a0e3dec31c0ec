// Writing records to the Application event log. Every call registers the event source, writes
// one record with exactly one insertion string, and deregisters; nothing is cached or shared.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

// Message identifiers of the executable's message table; every message is "%1\r\n".
const DWORD c_dwMsgServiceError = 0xC0002004;  // the service's own diagnostics
const DWORD c_dwMsgServiceInfo = 0x40002002;   // the service's informational records

class CEventLog {
 public:
  // One record from the service's own event source (the current service name). The message
  // is passed whole; nothing in it is interpreted.
  static ErrorCode Print(WORD wType, DWORD dwEventID, const char* pszMessage);
  // Formats like printf into at most 256 characters, then calls Print.
  static ErrorCode Printf(WORD wType, DWORD dwEventID, const char* pszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 3, 4)))
#endif
      ;

  // One controller record under the adapter's driver name (the service's own name for no
  // adapter, index 0xFFFF); type and identifier follow the message level.
  static ErrorCode PrintRaid(DWORD dwLevel, WORD wAdapterIndex, DWORD dwAdapterNumber, const char* pszMessage);
  static ErrorCode PrintfRaid(DWORD dwLevel, WORD wAdapterIndex, DWORD dwAdapterNumber, const char* pszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 4, 5)))
#endif
      ;
};
