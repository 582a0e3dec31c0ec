#include "diagnostics/EventLog.h"

#include "service/ServiceUtil.h"

#include <cstdarg>
#include <cstdio>

namespace {

const size_t c_cchRecord = 256;

}  // namespace

ErrorCode CEventLog::Print(WORD wType, DWORD dwEventID, const char* pszMessage) {
  HANDLE hSource = RegisterEventSourceA(nullptr, CWMIServiceUtil::GetServiceName());
  if (!hSource) return CError::MapSystemError(GetLastError());
  LPCSTR rgpszStrings[] = {pszMessage};
  // A record that cannot be written is lost; there is nowhere else to report it.
  ReportEventA(hSource, wType, 0, dwEventID, nullptr, 1, 0, rgpszStrings, nullptr);
  DeregisterEventSource(hSource);
  return ecNoError;
}

ErrorCode CEventLog::Printf(WORD wType, DWORD dwEventID, const char* pszFormat, ...) {
  char szText[c_cchRecord + 1] = {};
  va_list args;
  va_start(args, pszFormat);
  vsnprintf(szText, sizeof(szText), pszFormat, args);
  va_end(args);
  // A runtime whose vsnprintf fills the whole buffer of a cut text leaves no terminator there.
  szText[c_cchRecord] = '\0';
  return Print(wType, dwEventID, szText);
}
