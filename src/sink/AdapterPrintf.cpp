// Controller messages: each firmware message event becomes one controller record.
#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "sink/EventAdapter.h"


namespace {

const char c_szAdapterPrintfNotification[] = "Talvenix_AdapterPrintfNotification";
// Only this many characters of a message reach the record.
const LONG c_lMaxMessage = 256;

// Reads an integer property. An integer variant of 32 bits or fewer is taken (an unsigned 32-bit
// value bit for bit); any other type, VT_NULL included, reads as WBEM_E_TYPE_MISMATCH, so that
// no value is ever guessed.
HRESULT GetInteger(IWbemClassObject* pObject, LPCWSTR pwszName, LONG* plValue) {
  CVARIANT var;
  HRESULT hr = pObject->Get(pwszName, 0, var.Put(), nullptr, nullptr);
  if (FAILED(hr)) return hr;
  return SUCCEEDED(var.GetInt32(plValue)) ? WBEM_S_NO_ERROR : WBEM_E_TYPE_MISMATCH;
}

// Copies at most cbMax bytes of a one-dimensional array of one-byte elements into pszText and
// terminates it. Bytes the array does not hold are never read: the text ends where the array
// does. The copy also ends at a NUL. The bytes are read in place, under the array's lock.
HRESULT CopyMessage(const CVARIANT& var, LONG cbMax, char* pszText) {
  pszText[0] = '\0';
  SAFEARRAY* psa = nullptr;
  if (FAILED(var.GetByteArray(&psa)) || SafeArrayGetDim(psa) != 1 || SafeArrayGetElemsize(psa) != 1)
    return WBEM_E_TYPE_MISMATCH;
  LONG lLower = 0, lUpper = -1;
  if (FAILED(SafeArrayGetLBound(psa, 1, &lLower)) || FAILED(SafeArrayGetUBound(psa, 1, &lUpper)))
    return WBEM_E_TYPE_MISMATCH;
  // The number of elements, without overflow for any pair of bounds.
  const LONGLONG llElements = static_cast<LONGLONG>(lUpper) - lLower + 1;
  const LONG cbAvailable = llElements <= 0 ? 0 : (llElements < cbMax ? static_cast<LONG>(llElements) : cbMax);
  LONG cb = 0;
  if (cbAvailable > 0) {
    void* pvData = nullptr;
    const HRESULT hr = SafeArrayAccessData(psa, &pvData);
    if (FAILED(hr)) return hr;
    if (!pvData) {
      SafeArrayUnaccessData(psa);
      return WBEM_E_TYPE_MISMATCH;
    }
    const char* pchData = static_cast<const char*>(pvData);
    while (cb < cbAvailable && pchData[cb] != '\0') {
      pszText[cb] = pchData[cb];
      ++cb;
    }
    SafeArrayUnaccessData(psa);
  }
  pszText[cb] = '\0';
  return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT CWbemSink::IndEAdapterPrintfNotification(IWbemServices* pServices, IWbemClassObject* pEvent) {
  CVARIANT varOwn;
  const CVARIANT* pvarName = nullptr;
  HRESULT hr = GetEventName(pEvent, &varOwn, &pvarName);
  if (FAILED(hr)) {
    LogHResult("Receive AdapterPrintfNotification event, but failed to get InstanceName properties. Error: %s\r\n", hr);
    return WBEM_E_INVALID_PARAMETER;
  }

  // The adapter is found once: its index and its driver's name come from the same table.
  tEventAdapter adapter;
  hr = FindEventAdapter(*pvarName, c_szAdapterPrintfNotification, &adapter);
  if (hr != WBEM_S_NO_ERROR) return hr;

  // Messages of controllers whose driver is not supported are dropped without a trace.
  if (!CAdapterInfo::IsEvtSrcSupported(adapter.szDriver)) return WBEM_S_NO_ERROR;

  BSTR bstrName = nullptr;
  if (FAILED(pvarName->GetBSTR(&bstrName)) || !bstrName) return WBEM_E_FAILED;
  CComRef<IWbemClassObject> pInstance;
  switch (FetchEventInstance(pServices, L"Talvenix_AdapterPrintf", bstrName, &pInstance, &hr)) {
    case ifFetched: break;
    case ifNoMemory:
      CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Out of Memory at Indicate_AdapterPrintfNotification()\r\n");
      CEventLog::CountLost();
      return WBEM_E_FAILED;
    case ifNotFetched:
      LogEventLost("A firmware message", "is lost", adapter, "its Talvenix_AdapterPrintf instance could not be read",
                   bstrName, hr);
      return WBEM_E_INVALID_PARAMETER;
    default:
      LogEventLost("A firmware message", "is lost", adapter, "no object path could be made of its name", bstrName,
                   WBEM_E_FAILED);
      return WBEM_E_FAILED;
  }
  HRESULT hrCause = S_OK;
  hr = LogAdapterMessage(pInstance.Get(), adapter, &hrCause);
  if (FAILED(hr))
    LogEventLost("A firmware message", "is lost", adapter, "its Talvenix_AdapterPrintf instance could not be read",
                 bstrName, hrCause);
  return hr;
}

HRESULT CWbemSink::AdapterPrintfNotification(IWbemClassObject* pInstance, WORD wAdapterIndex) {
  tEventAdapter adapter;
  adapter.wIndex = wAdapterIndex;
  CAdapterInfo::GetDriverName(wAdapterIndex, adapter.szDriver);
  return LogAdapterMessage(pInstance, adapter);
}

HRESULT CWbemSink::LogAdapterMessage(IWbemClassObject* pInstance, const tEventAdapter& adapter, HRESULT* phrCause) {
  auto failed = [phrCause](HRESULT hr) {
    if (phrCause) *phrCause = hr;
    return static_cast<HRESULT>(WBEM_E_FAILED);
  };
  LONG lAdapterNumber = 0, lLevel = 0, lLength = 0;
  HRESULT hr = GetInteger(pInstance, L"AdapterNumber", &lAdapterNumber);
  if (FAILED(hr)) {
    LogHResult("Failed to get AdapterNumber. Error: %s\r\n", hr);
    return failed(hr);
  }
  hr = GetInteger(pInstance, L"Level", &lLevel);
  if (FAILED(hr)) {
    LogHResult("AdapterPrintfNotification(): \t\t\t\tFailed to get Message Level. Error: %s\r\n", hr);
    return failed(hr);
  }
  hr = GetInteger(pInstance, L"Length", &lLength);
  if (SUCCEEDED(hr) && lLength < 0) hr = WBEM_E_VALUE_OUT_OF_RANGE;
  if (FAILED(hr)) {
    LogHResult("Failed to get Message Length. Error: %s\r\n", hr);
    return failed(hr);
  }
  if (lLength == 0) return WBEM_S_NO_ERROR;

  CVARIANT varMessage;
  hr = pInstance->Get(L"PrintfString", 0, varMessage.Put(), nullptr, nullptr);
  if (FAILED(hr)) {
    LogHResult("Failed to get Message. Error: %s\r\n", hr);
    return failed(hr);
  }

  // The record shows at most the first 256 characters, so no more are fetched.
  const LONG cbText = lLength < c_lMaxMessage ? lLength : c_lMaxMessage;
  char szText[c_lMaxMessage + 1];
  hr = CopyMessage(varMessage, cbText, szText);
  if (FAILED(hr)) {
    LogHResult("Failed to get Message. Error: %s\r\n", hr);
    return failed(hr);
  }
  // The text is data: the record writer never interprets it.
  CEventLog::PrintRaidRecord(static_cast<DWORD>(lLevel), adapter.wIndex != c_wNoAdapter ? adapter.szDriver : nullptr,
                             static_cast<DWORD>(lAdapterNumber), szText);
  return WBEM_S_NO_ERROR;
}
