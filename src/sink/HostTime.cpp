// Host-time requests: a controller asks for the host's clock and gets it through the driver's
// SetAdapterTime method.
#include "sink/WbemSink.h"

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Text.h"
#include "diagnostics/EventLog.h"
#include "service/ServiceUtil.h"
#include "sink/EventAdapter.h"

namespace {

const char c_szHostTimeRequest[] = "Talvenix_HostTimeRequest";
const char c_szSetHostTime[] = "Talvenix_SetHostTime";
const char c_szSetAdapterTime[] = "SetAdapterTime";
const char c_szRequest[] = "A host-time request";
const char c_szNotAnswered[] = "is not answered";

// Seconds from 1601-01-01 to 1970-01-01, modulo 2^32, subtracted by adding its complement.
const DWORD c_dwEpochShift = 0x49EF6F00;
const ULONGLONG c_ullTicksPerSecond = 10000000;

void LogFailure(const char* pszFormat, const char* pszName, HRESULT hr) {
  CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, pszFormat, pszName, CError::ErrorString(hr));
}

// A refusal that another try would meet again: the call itself is wrong for the driver.
bool IsRefusal(HRESULT hr) {
  return hr == static_cast<HRESULT>(WBEM_E_ACCESS_DENIED) || hr == static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER) ||
         hr == static_cast<HRESULT>(WBEM_E_INVALID_METHOD) ||
         hr == static_cast<HRESULT>(WBEM_E_INVALID_METHOD_PARAMETERS) ||
         hr == static_cast<HRESULT>(WBEM_E_NOT_SUPPORTED) || hr == static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH);
}

}  // namespace

HRESULT CWbemSink::IndEHostTimeRequest(IWbemServices* pServices, IWbemClassObject* pEvent) {
  CVARIANT varOwn;
  const CVARIANT* pvarName = nullptr;
  HRESULT hr = GetEventName(pEvent, &varOwn, &pvarName);
  if (FAILED(hr)) {
    LogHResult("Receive HostTimeRequest events, but failed to get InstanceName properties. Error: %s\r\n", hr);
    return WBEM_E_INVALID_PARAMETER;
  }

  // The adapter is found once: its index and its driver's name come from the same table.
  tEventAdapter adapter;
  hr = FindEventAdapter(*pvarName, c_szHostTimeRequest, &adapter);
  if (hr != WBEM_S_NO_ERROR) return hr;

  BSTR bstrName = nullptr;
  if (FAILED(pvarName->GetBSTR(&bstrName)) || !bstrName) return WBEM_E_FAILED;
  CComRef<IWbemClassObject> pInstance;
  switch (FetchEventInstance(pServices, L"Talvenix_SetHostTime", bstrName, &pInstance, &hr)) {
    case ifFetched: return AnswerHostTime(pServices, pInstance.Get(), adapter, bstrName);
    case ifNotFetched:
      LogEventLost(c_szRequest, c_szNotAnswered, adapter, "its Talvenix_SetHostTime instance could not be read",
                   bstrName, hr);
      return WBEM_E_FAILED;
    default:
      LogEventLost(c_szRequest, c_szNotAnswered, adapter, "no object path could be made of its name", bstrName,
                   WBEM_E_FAILED);
      return WBEM_E_FAILED;
  }
}

HRESULT CWbemSink::HostTimeRequest(IWbemServices* pServices, IWbemClassObject* pInstance, WORD wAdapterIndex) {
  tEventAdapter adapter;
  adapter.wIndex = wAdapterIndex;
  CAdapterInfo::GetDriverName(wAdapterIndex, adapter.szDriver);
  return AnswerHostTime(pServices, pInstance, adapter, nullptr);
}

HRESULT CWbemSink::AnswerHostTime(IWbemServices* pServices, IWbemClassObject* pInstance, const tEventAdapter& adapter,
                                  BSTR bstrName) {
  SYSTEMTIME stLocal = {};
  for (size_t nAttempt = 0;; ++nAttempt) {
    const char* pszFormat = nullptr;
    const char* pszSubject = nullptr;
    HRESULT hrStep = S_OK;
    const HRESULT hr = CallSetAdapterTime(pServices, pInstance, &stLocal, &pszFormat, &pszSubject, &hrStep);
    if (SUCCEEDED(hr)) break;
    if (pszFormat) CWMIServiceUtil::NoteWmiFailure(hr, pServices);
    if (!pszFormat || IsRefusal(hr) || !PauseBeforeRetry(nAttempt)) {
      if (pszFormat) LogFailure(pszFormat, pszSubject, hrStep);
      LogEventLost(c_szRequest, c_szNotAnswered, adapter,
                   pszFormat ? "SetAdapterTime could not be called" : "the host's time could not be read", bstrName,
                   hr);
      return WBEM_E_FAILED;
    }
  }
  CEventLog::CountHostTimeAnswered();

  // A record the log refuses is kept and written as soon as the log takes records again.
  CEventLog::PrintfKept(CEventLog::kHostTime, EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceInfo,
                        "Sent host time of %d:%d:%d of %d/%d/%d to \\Device\\SCSI\\%s\r\n", stLocal.wHour,
                        stLocal.wMinute, stLocal.wSecond, stLocal.wMonth, stLocal.wDay, stLocal.wYear,
                        adapter.szDriver);
  return WBEM_S_NO_ERROR;
}

HRESULT CWbemSink::CallSetAdapterTime(IWbemServices* pServices, IWbemClassObject* pInstance, SYSTEMTIME* pLocalTime,
                                      const char** ppszFormat, const char** ppszSubject, HRESULT* phrStep) {
  CComRef<IWbemClassObject> pClass, pInSignature, pInParams, pOutParams;
  // A failed step names its record; the caller writes it once the last try has failed too.
  auto failed = [&](HRESULT hr, const char* pszFormat, const char* pszSubject) {
    *ppszFormat = pszFormat;
    *ppszSubject = pszSubject;
    *phrStep = hr;
    return FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_FAILED);
  };

  HRESULT hr = pServices->GetObject(CBSTR(L"Talvenix_SetHostTime").Get(), 0, nullptr, pClass.Put(), nullptr);
  if (FAILED(hr) || !pClass) return failed(hr, "Failed to get class definition of %s. Error: %s\r\n", c_szSetHostTime);
  hr = pClass->GetMethod(L"SetAdapterTime", 0, pInSignature.Put(), nullptr);
  if (FAILED(hr) || !pInSignature)
    return failed(hr, "Failed to get input parameters of %s function. Error: %s\r\n", c_szSetAdapterTime);
  hr = pInSignature->SpawnInstance(0, pInParams.Put());
  if (FAILED(hr) || !pInParams)
    return failed(hr, "Failed to spawn an instance of input parameters of %s function. Error: %s\r\n",
                  c_szSetAdapterTime);

  DWORD dwHostTime = 0;
  if (RaidGetSystemTime(&dwHostTime, pLocalTime) != ecNoError) return WBEM_E_FAILED;

  CVARIANT varTime;
  varTime.SetI4(static_cast<LONG>(dwHostTime));  // bit for bit: negative from 2038-01-19 03:14:08 UTC on
  hr = pInParams->Put(L"HostTime", 0, varTime.Ptr(), 0);
  if (FAILED(hr)) return failed(hr, "Failed to set HostTime parameter of %s function. Error: %s\r\n", c_szSetAdapterTime);

  CVARIANT varRelPath;
  hr = pInstance->Get(L"__RELPATH", 0, varRelPath.Put(), nullptr, nullptr);
  if (FAILED(hr)) return failed(hr, "Failed to get RELPATH of %s class. Error: %s\r\n", c_szSetHostTime);

  BSTR bstrRelPath = nullptr;
  varRelPath.GetBSTR(&bstrRelPath);  // no text when __RELPATH is not a string
  CBSTR bstrPath(bstrRelPath);
  hr = pServices->ExecMethod(bstrPath.Get(), CBSTR(L"SetAdapterTime").Get(), 0, nullptr, pInParams.Get(), pOutParams.Put(),
                             nullptr);
  if (FAILED(hr)) return failed(hr, "Failed to execute method: %s. Error: %s\r\n", c_szSetAdapterTime);
  return WBEM_S_NO_ERROR;
}

ErrorCode CWbemSink::RaidGetSystemTime(DWORD* pdwHostTime, SYSTEMTIME* pLocalTime) {
  GetLocalTime(pLocalTime);
  SYSTEMTIME stUtc = {};
  GetSystemTime(&stUtc);
  FILETIME ft = {};
  if (!SystemTimeToFileTime(&stUtc, &ft)) return CError::MapSystemError(GetLastError());
  ULARGE_INTEGER uli;
  uli.QuadPart = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return RaidGetSecondsSince1970(uli, pdwHostTime);
}

ErrorCode CWbemSink::RaidGetSecondsSince1970(ULARGE_INTEGER uliFileTime, DWORD* pdwSeconds) {
  if (uliFileTime.QuadPart == 0) {
    *pdwSeconds = 0;
    return ecNoError;
  }
  const DWORD dwSince1601 = static_cast<DWORD>(uliFileTime.QuadPart / c_ullTicksPerSecond);
  *pdwSeconds = dwSince1601 + c_dwEpochShift;
  return ecNoError;
}
