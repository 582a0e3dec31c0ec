#include "sink/EventAdapter.h"

#include "adapters/AdapterInfo.h"
#include "diagnostics/EventLog.h"

#include <cwchar>
#include <new>

HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, WORD* pwAdapterIndex) {
  *pwAdapterIndex = c_wNoAdapter;
  const VARIANT& v = *varName.Get();
  const size_t cchName = (v.vt == VT_BSTR && v.bstrVal) ? wcslen(v.bstrVal) : 0;
  if (cchName >= 2) {
    wchar_t* pwszDeviceID = new (std::nothrow) wchar_t[cchName - 1];
    if (!pwszDeviceID) return WBEM_E_FAILED;
    wmemcpy(pwszDeviceID, v.bstrVal, cchName - 2);
    pwszDeviceID[cchName - 2] = L'\0';
    CAdapterInfo::SearchByDeviceID(pwszDeviceID, pwAdapterIndex);
    delete[] pwszDeviceID;
  }
  if (*pwAdapterIndex == c_wNoAdapter) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Received %s event from unknown adapter\r\n",
                      pszEventClass);
    return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}
