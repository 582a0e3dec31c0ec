#include "sink/EventAdapter.h"

#include "adapters/AdapterInfo.h"
#include "diagnostics/EventLog.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// A device ID up to this many characters is cut on the stack; a longer one on the heap.
const size_t c_cchStackDeviceID = 256;

}  // namespace

HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, WORD* pwAdapterIndex) {
  *pwAdapterIndex = c_wNoAdapter;
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
    CAdapterInfo::SearchByDeviceID(pwszDeviceID, pwAdapterIndex);
  }
  if (*pwAdapterIndex == c_wNoAdapter) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Received %s event from unknown adapter\r\n",
                      pszEventClass);
    return WBEM_E_FAILED;
  }
  return WBEM_S_NO_ERROR;
}
