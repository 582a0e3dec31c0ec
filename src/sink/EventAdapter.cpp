#include "sink/EventAdapter.h"

#include "adapters/AdapterInfo.h"
#include "diagnostics/EventLog.h"

#include <cwchar>
#include <memory>
#include <new>

HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, WORD* pwAdapterIndex) {
  *pwAdapterIndex = c_wNoAdapter;
  BSTR bstrName = nullptr;
  const size_t cchName = (varName.GetBSTR(&bstrName) == S_OK && bstrName) ? wcslen(bstrName) : 0;
  if (cchName >= 2) {
    std::unique_ptr<wchar_t[]> pwszDeviceID(new (std::nothrow) wchar_t[cchName - 1]);
    if (!pwszDeviceID) return WBEM_E_FAILED;
    wmemcpy(pwszDeviceID.get(), bstrName, cchName - 2);
    pwszDeviceID[cchName - 2] = L'\0';
    CAdapterInfo::SearchByDeviceID(pwszDeviceID.get(), pwAdapterIndex);
  }
  if (*pwAdapterIndex == c_wNoAdapter) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Received %s event from unknown adapter\r\n",
                      pszEventClass);
    return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}
