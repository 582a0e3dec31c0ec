// Writing records to the Application event log. Every call registers the event source, writes
// one record with exactly one insertion string, and deregisters; nothing is cached or shared.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

#include <cstdarg>

// The message identifiers of the executable's message table (c_dwMsgServiceError for the
// service's own diagnostics, c_dwMsgServiceInfo for its informational records, c_dwMsgRaid* for
// controller records), generated from its definition; every message is "%1\r\n".
#include "MessageIds.h"

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
  // PrintRaid for a caller that knows the narrow name of the adapter's driver already (null:
  // no adapter), so that the table is not read again.
  static ErrorCode PrintRaidRecord(DWORD dwLevel, const char* pszDriver, DWORD dwAdapterNumber, const char* pszMessage);

  // Counts since the service started: controller messages logged, host-time requests answered,
  // and what was lost (an event that could not be read, a record that the event log refused and
  // that did not fit in the backlog).
  struct tCounts {
    LONG lMessages;
    LONG lHostTimes;
    LONG lLost;
  };
  static tCounts Counts();
  static void ResetCounts();
  static void CountHostTimeAnswered();
  static void CountLost();

  // A record that must not be lost (a controller's message, a host-time record): written now,
  // or, when the event log refuses it, kept in the backlog and written as soon as the log takes
  // records again, before any later one (Backlog.cpp).
  // Returns the Windows error of the log's refusal (the record is then kept), or 0.
  enum EKept { kMessage, kHostTime };
  static DWORD WriteKept(EKept kind, const char* pszSource, WORD wType, DWORD dwEventID, const char* pszText);
  // The same for a record of the service's own source, formatted as Printf formats.
  static void PrintfKept(EKept kind, WORD wType, DWORD dwEventID, const char* pszFormat, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 4, 5)))
#endif
      ;
  // The service thread's retry of the backlog: writes it when due; how long until the next retry
  // is due, or INFINITE while the backlog is empty.
  static DWORD RetryBacklog();
  // The last try, at the stop: true when nothing is left.
  static bool FlushBacklog();
  static LONG BacklogSize();
  static void ResetBacklog();
  // The service's own records are not kept when refused, only counted for the warning.
  static void OwnRecordRefused(DWORD dwError);
  static void OwnRecordWritten();

 private:
  // The formatting under Printf and PrintfRaid: like vsnprintf into at most c_cchRecord
  // characters, and always terminated, also where a runtime leaves a cut text unterminated.
  static const size_t c_cchRecord = 256;
  static void FormatRecord(char (&szText)[c_cchRecord + 1], const char* pszFormat, va_list args);
};

// Counts a controller record that the event log took (CEventLog::Counts).
void CountMessageLogged();

// An error record (c_dwMsgServiceError) of pszFormat, given the HRESULT's name (CError::
// ErrorString) for its first conversion and its value (as unsigned) for the next, if any.
void LogHResult(const char* pszFormat, HRESULT hr);
