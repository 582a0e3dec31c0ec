#include "sink/EventAdapter.h"

#include "adapters/AdapterInfo.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"
#include "wmi/WMIService.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// A device ID up to this many characters is cut on the stack; a longer one on the heap.
const size_t c_cchStackDeviceID = 256;

// A table built after the event was delivered, when the running service can give one.
void RescanForEvent() {
  const tIndicateThreadInfo* pJob = CurrentIndicateJob();
  CComRef<CWMIService> pService(CWMIServiceUtil::AcquireWMIService());
  if (pService) pService->FollowUnknownAdapter(pJob ? pJob->lScansBefore : CAdapterInfo::ScansBegun());
}

}  // namespace

HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, tEventAdapter* pAdapter) {
  *pAdapter = tEventAdapter();
  BSTR bstrName = nullptr;
  const size_t cchName = (SUCCEEDED(varName.GetBSTR(&bstrName)) && bstrName) ? wcslen(bstrName) : 0;
  if (cchName >= 2) {
    const size_t cchDeviceID = cchName - 2;
    wchar_t wszStack[c_cchStackDeviceID + 1];
    std::unique_ptr<wchar_t[]> pwszHeap;
    wchar_t* pwszDeviceID = wszStack;
    if (cchDeviceID > c_cchStackDeviceID) {
      pwszHeap.reset(new (std::nothrow) wchar_t[cchDeviceID + 1]);
      if (!pwszHeap) return WBEM_E_FAILED;
      pwszDeviceID = pwszHeap.get();
    }
    wmemcpy(pwszDeviceID, bstrName, cchDeviceID);
    pwszDeviceID[cchDeviceID] = L'\0';
    if (CAdapterInfo::FindAdapter(pwszDeviceID, pAdapter)) return WBEM_S_NO_ERROR;
    RescanForEvent();
    if (CAdapterInfo::FindAdapter(pwszDeviceID, pAdapter)) return WBEM_S_NO_ERROR;
  }
  CEventLog::CountLost();
  char szName[256];
  NarrowWideName(bstrName, szName, sizeof(szName));
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                    "Received %s event from unknown adapter\r\nInstanceName: %s\r\n", pszEventClass, szName);
  return WBEM_E_FAILED;
}

void LogEventLost(const char* pszWhat, const char* pszFate, const tEventAdapter& adapter, const char* pszWhy,
                  BSTR bstrName, HRESULT hr) {
  CEventLog::CountLost();
  char szName[256] = "";
  if (bstrName) NarrowWideName(bstrName, szName, sizeof(szName));
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgEventLost, "%s of %s %s: %s.\r\nInstanceName: %s\r\nError: %s(0x%08x)\r\n",
                    pszWhat, adapter.szDriver, pszFate, pszWhy, szName, CError::ErrorString(hr),
                    static_cast<unsigned>(hr));
}
