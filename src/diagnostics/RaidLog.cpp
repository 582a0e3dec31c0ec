// Controller records: a controller's firmware message under its driver's event source.
#include "diagnostics/EventLog.h"

#include "adapters/AdapterInfo.h"
#include "common/Handle.h"
#include "service/ServiceUtil.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

const char c_szDevicePrefix[] = "\\Device\\Scsi\\";
const char c_szUnknownAdapter[] = "Unknown RAID Adapter";
const DWORD c_dwNoNumber = 0xFFFF;

}  // namespace

ErrorCode CEventLog::PrintRaid(DWORD dwLevel, WORD wAdapterIndex, DWORD dwAdapterNumber, const char* pszMessage) {
  char szDriver[256] = {};
  if (wAdapterIndex != c_wNoAdapter) CAdapterInfo::GetDriverName(wAdapterIndex, szDriver);
  return PrintRaidRecord(dwLevel, wAdapterIndex != c_wNoAdapter ? szDriver : nullptr, dwAdapterNumber, pszMessage);
}

ErrorCode CEventLog::PrintRaidRecord(DWORD dwLevel, const char* pszDriver, DWORD dwAdapterNumber,
                                     const char* pszMessage) {
  const char* pszAdapterName = c_szUnknownAdapter;
  const char* pszSource = CWMIServiceUtil::GetServiceName();
  if (pszDriver) pszAdapterName = pszSource = pszDriver;
  if (!pszMessage) pszMessage = "";

  char szNumber[16] = " ";
  if (dwAdapterNumber != c_dwNoNumber) snprintf(szNumber, sizeof(szNumber), "%u", static_cast<unsigned>(dwAdapterNumber));

  WORD wType = EVENTLOG_ERROR_TYPE;
  DWORD dwEventID = c_dwMsgRaidError;
  if (dwLevel == 20) {
    wType = EVENTLOG_INFORMATION_TYPE;
    dwEventID = c_dwMsgRaidInfo;
  } else if (dwLevel == 30) {
    wType = EVENTLOG_WARNING_TYPE;
    dwEventID = c_dwMsgRaidWarning;
  }

  const size_t cbText =
      strlen(c_szDevicePrefix) + strlen(pszAdapterName) + strlen(szNumber) + strlen(pszMessage) + 2 + 1;
  std::unique_ptr<char[]> pszText(new (std::nothrow) char[cbText]());
  if (!pszText) return ecOutOfMemory;
  snprintf(pszText.get(), cbText, "%s%s%s: %s", c_szDevicePrefix, pszAdapterName, szNumber, pszMessage);
  // A record the log refuses is kept and written as soon as the log takes records again.
  const DWORD dwError = WriteKept(kMessage, pszSource, wType, dwEventID, pszText.get());
  return dwError ? CError::MapSystemError(dwError) : ecNoError;
}

ErrorCode CEventLog::PrintfRaid(DWORD dwLevel, WORD wAdapterIndex, DWORD dwAdapterNumber, const char* pszFormat, ...) {
  char szText[c_cchRecord + 1];
  va_list args;
  va_start(args, pszFormat);
  FormatRecord(szText, pszFormat, args);
  va_end(args);
  return PrintRaid(dwLevel, wAdapterIndex, dwAdapterNumber, szText);
}
