// Controller messages: each firmware message event becomes one controller record.
#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "sink/EventAdapter.h"

#include <new>

namespace {

const char c_szAdapterPrintfNotification[] = "Talvenix_AdapterPrintfNotification";
const char c_szAdapterPrintf[] = "Talvenix_AdapterPrintf";
// Only this many characters of a message reach the record.
const LONG c_lMaxMessage = 256;

void LogRead(const char* pszFormat, HRESULT hr) {
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat, CError::ErrorString(hr));
}

// Reads an integer property. An integer variant of 32 bits or fewer is taken (an unsigned 32-bit
// value bit for bit); any other type, VT_NULL included, reads as WBEM_E_TYPE_MISMATCH, so that
// no value is ever guessed.
HRESULT GetInteger(IWbemClassObject* pObject, LPCWSTR pwszName, LONG* plValue) {
  CVARIANT var;
  HRESULT hr = pObject->Get(pwszName, 0, var.Put(), nullptr, nullptr);
  if (FAILED(hr)) return hr;
  const VARIANT& v = *var.Get();
  switch (v.vt) {
    case VT_I4: *plValue = v.lVal; return WBEM_S_NO_ERROR;
    case VT_UI4: *plValue = static_cast<LONG>(v.ulVal); return WBEM_S_NO_ERROR;
    case VT_INT: *plValue = static_cast<LONG>(v.intVal); return WBEM_S_NO_ERROR;
    case VT_UINT: *plValue = static_cast<LONG>(v.uintVal); return WBEM_S_NO_ERROR;
    case VT_I2: *plValue = v.iVal; return WBEM_S_NO_ERROR;
    case VT_UI2: *plValue = v.uiVal; return WBEM_S_NO_ERROR;
    case VT_I1: *plValue = v.cVal; return WBEM_S_NO_ERROR;
    case VT_UI1: *plValue = v.bVal; return WBEM_S_NO_ERROR;
    default: return WBEM_E_TYPE_MISMATCH;
  }
}

// Copies at most cbMax bytes of a one-dimensional array of one-byte elements into pszText and
// terminates it. Bytes the array does not hold are never read: the text ends where the array
// does. The copy also ends at a NUL.
HRESULT CopyMessage(const VARIANT& v, LONG cbMax, char* pszText) {
  pszText[0] = '\0';
  if (!(v.vt & VT_ARRAY) || (v.vt & VT_BYREF) || !v.parray) return WBEM_E_TYPE_MISMATCH;
  const VARTYPE vtElement = static_cast<VARTYPE>(v.vt & ~VT_ARRAY);
  if ((vtElement != VT_UI1 && vtElement != VT_I1) || SafeArrayGetDim(v.parray) != 1 ||
      SafeArrayGetElemsize(v.parray) != 1)
    return WBEM_E_TYPE_MISMATCH;
  LONG lLower = 0, lUpper = -1;
  if (FAILED(SafeArrayGetLBound(v.parray, 1, &lLower)) || FAILED(SafeArrayGetUBound(v.parray, 1, &lUpper)))
    return WBEM_E_TYPE_MISMATCH;
  LONG cb = 0;
  for (LONG i = lLower; cb < cbMax && i <= lUpper; ++i) {
    char ch = '\0';
    if (FAILED(SafeArrayGetElement(v.parray, &i, &ch)) || ch == '\0') break;
    pszText[cb++] = ch;
  }
  pszText[cb] = '\0';
  return WBEM_S_NO_ERROR;
}

}  // namespace

HRESULT CWbemSink::IndEAdapterPrintfNotification(IWbemServices* pServices, IWbemClassObject* pEvent) {
  // The search, the driver name and the record all read one and the same adapter table.
  CAdapterInfoReader reader;
  CVARIANT varName;
  HRESULT hr = pEvent->Get(L"InstanceName", 0, varName.Put(), nullptr, nullptr);
  if (FAILED(hr)) {
    LogRead("Receive AdapterPrintfNotification event, but failed to get InstanceName properties. Error: %s\r\n", hr);
    return WBEM_E_INVALID_PARAMETER;
  }

  WORD wAdapterIndex = c_wNoAdapter;
  hr = FindEventAdapter(varName, c_szAdapterPrintfNotification, &wAdapterIndex);
  if (hr != WBEM_S_NO_ERROR) return hr;

  // Messages of controllers whose driver is not supported are dropped without a trace.
  char szDriver[256] = {};
  NarrowWideName(CAdapterInfo::GetDriverNamebyIndex(wAdapterIndex), szDriver, sizeof(szDriver));
  if (!CAdapterInfo::IsEvtSrcSupported(szDriver)) return WBEM_S_NO_ERROR;

  hr = pEvent->Get(L"InstanceName", 0, varName.Put(), nullptr, nullptr);
  if (FAILED(hr)) {
    CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError,
                      "Indicate_AdapterPrintfNotification(): Failed to get Property: InstanceName of %s class. "
                      "Error: %s\r\n",
                      c_szAdapterPrintf, CError::ErrorString(hr));
    return WBEM_E_INVALID_PARAMETER;
  }
  const VARIANT& vName = *varName.Get();
  if (vName.vt != VT_BSTR || !vName.bstrVal) return WBEM_E_FAILED;

  // The path carries the whole InstanceName, its last two characters included.
  DWORD dwSize = 0;
  if (GetConvertClassPathSize(vName.bstrVal, &dwSize) != ecNoError || dwSize == 0) return WBEM_E_FAILED;
  wchar_t* pwszEscaped = new (std::nothrow) wchar_t[dwSize];
  if (!pwszEscaped) {
    CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "Out of Memory at Indicate_AdapterPrintfNotification()\r\n");
    return WBEM_E_FAILED;
  }
  if (ConvertClassPathSized(vName.bstrVal, pwszEscaped, dwSize) != ecNoError) {
    delete[] pwszEscaped;
    return WBEM_E_FAILED;
  }
  CVARIANT varPath;
  ErrorCode code = GetOPInst(CBSTR(L"Talvenix_AdapterPrintf"), CBSTR(L"InstanceName"), CBSTR(pwszEscaped), varPath.Put());
  delete[] pwszEscaped;
  if (code != ecNoError) return WBEM_E_FAILED;

  CComRef<IWbemClassObject> pInstance;
  hr = pServices->GetObject(varPath.Get()->bstrVal, 0, nullptr, pInstance.Put(), nullptr);
  if (FAILED(hr) || !pInstance) return WBEM_E_INVALID_PARAMETER;
  return AdapterPrintfNotification(pInstance.Get(), wAdapterIndex);
}

HRESULT CWbemSink::AdapterPrintfNotification(IWbemClassObject* pInstance, WORD wAdapterIndex) {
  LONG lAdapterNumber = 0, lLevel = 0, lLength = 0;
  HRESULT hr = GetInteger(pInstance, L"AdapterNumber", &lAdapterNumber);
  if (FAILED(hr)) {
    LogRead("Failed to get AdapterNumber. Error: %s\r\n", hr);
    return WBEM_E_FAILED;
  }
  hr = GetInteger(pInstance, L"Level", &lLevel);
  if (FAILED(hr)) {
    LogRead("AdapterPrintfNotification(): \t\t\t\tFailed to get Message Level. Error: %s\r\n", hr);
    return WBEM_E_FAILED;
  }
  hr = GetInteger(pInstance, L"Length", &lLength);
  if (SUCCEEDED(hr) && lLength < 0) hr = WBEM_E_VALUE_OUT_OF_RANGE;
  if (FAILED(hr)) {
    LogRead("Failed to get Message Length. Error: %s\r\n", hr);
    return WBEM_E_FAILED;
  }
  if (lLength == 0) return WBEM_S_NO_ERROR;

  CVARIANT varMessage;
  hr = pInstance->Get(L"PrintfString", 0, varMessage.Put(), nullptr, nullptr);
  if (FAILED(hr)) {
    LogRead("Failed to get Message. Error: %s\r\n", hr);
    return WBEM_E_FAILED;
  }

  // The record shows at most the first 256 characters, so no more are fetched.
  const LONG cbText = lLength < c_lMaxMessage ? lLength : c_lMaxMessage;
  char* pszText = new (std::nothrow) char[cbText + 1];
  if (!pszText) return WBEM_E_FAILED;
  hr = CopyMessage(*varMessage.Get(), cbText, pszText);
  if (FAILED(hr)) {
    delete[] pszText;
    LogRead("Failed to get Message. Error: %s\r\n", hr);
    return WBEM_E_FAILED;
  }
  // The text is data: PrintRaid never interprets it.
  CEventLog::PrintRaid(static_cast<DWORD>(lLevel), wAdapterIndex, static_cast<DWORD>(lAdapterNumber), pszText);
  delete[] pszText;
  return WBEM_S_NO_ERROR;
}
