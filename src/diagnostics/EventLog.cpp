#include "diagnostics/EventLog.h"

#include "common/Handle.h"
#include "service/ServiceUtil.h"

#include <cstdio>

namespace {

LONG volatile s_lMessages;
LONG volatile s_lHostTimes;
LONG volatile s_lLost;

LONG Read(LONG volatile* pl) { return InterlockedCompareExchange(pl, 0, 0); }

}  // namespace

CEventLog::tCounts CEventLog::Counts() { return tCounts{Read(&s_lMessages), Read(&s_lHostTimes), Read(&s_lLost)}; }

void CEventLog::ResetCounts() {
  InterlockedExchange(&s_lMessages, 0);
  InterlockedExchange(&s_lHostTimes, 0);
  InterlockedExchange(&s_lLost, 0);
}

void CEventLog::CountHostTimeAnswered() { InterlockedIncrement(&s_lHostTimes); }
void CEventLog::CountLost() { InterlockedIncrement(&s_lLost); }
void CountMessageLogged() { InterlockedIncrement(&s_lMessages); }

ErrorCode CEventLog::Print(WORD wType, DWORD dwEventID, const char* pszMessage) {
  CEventSource hSource(RegisterEventSourceA(nullptr, CWMIServiceUtil::GetServiceName()));
  if (!hSource) {
    const DWORD dwError = GetLastError();
    OwnRecordRefused(dwError);
    return CError::MapSystemError(dwError);
  }
  LPCSTR rgpszStrings[] = {pszMessage};
  // A record that cannot be written is lost; it is counted, and said once the log takes records
  // again.
  if (ReportEventA(hSource.Get(), wType, 0, dwEventID, nullptr, 1, 0, rgpszStrings, nullptr))
    OwnRecordWritten();
  else
    OwnRecordRefused(GetLastError());
  return ecNoError;
}

void CEventLog::FormatRecord(char (&szText)[c_cchRecord + 1], const char* pszFormat, va_list args) {
  if (vsnprintf(szText, sizeof(szText), pszFormat, args) < 0) szText[0] = '\0';
  // A runtime whose vsnprintf fills the whole buffer of a cut text leaves no terminator there.
  szText[c_cchRecord] = '\0';
}

ErrorCode CEventLog::Printf(WORD wType, DWORD dwEventID, const char* pszFormat, ...) {
  char szText[c_cchRecord + 1];
  va_list args;
  va_start(args, pszFormat);
  FormatRecord(szText, pszFormat, args);
  va_end(args);
  return Print(wType, dwEventID, szText);
}

void LogHResult(const char* pszFormat, HRESULT hr) {
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat, CError::ErrorString(hr),
                    static_cast<unsigned>(hr));
}
