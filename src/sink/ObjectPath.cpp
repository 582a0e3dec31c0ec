// Object paths from key values, and the fetch of an event's instance by such a path: what the
// controller-message and host-time handlers share once they know the event's adapter.
#include "sink/WbemSink.h"

#include "service/ServiceUtil.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// An escaped instance name up to this many characters is built on the stack; a longer one on the
// heap.
const DWORD c_cchStackName = 256;

// The waits before the second and third try of a WMI call of a handler: about 100 ms in all.
const DWORD c_rgdwRefetchMs[] = {30, 60};

// Inside a quoted key value a backslash and a double quote are written with a backslash before
// them, as WMI writes __RELPATH; every other character stands for itself.
bool IsEscaped(wchar_t ch) { return ch == L'\\' || ch == L'"'; }

}  // namespace

ErrorCode CWbemSink::GetConvertClassPathSize(const wchar_t* pwszValue, DWORD* pdwSize) {
  DWORD dwSize = 1;
  for (const wchar_t* p = pwszValue; p && *p; ++p) dwSize += IsEscaped(*p) ? 2 : 1;
  *pdwSize = dwSize;
  return ecNoError;
}

ErrorCode CWbemSink::ConvertClassPathSized(const wchar_t* pwszValue, wchar_t* pwszDest, DWORD dwSize) {
  if (!pwszDest || dwSize == 0) return ecTimeout;
  DWORD dwUsed = 0;
  const wchar_t* p = pwszValue;
  for (; p && *p; ++p) {
    const DWORD dwNeeded = IsEscaped(*p) ? 2 : 1;
    if (dwUsed + dwNeeded + 1 > dwSize) break;
    if (IsEscaped(*p)) pwszDest[dwUsed++] = L'\\';
    pwszDest[dwUsed++] = *p;
  }
  pwszDest[dwUsed] = L'\0';
  return (p && *p) ? ecTimeout : ecNoError;
}

ErrorCode CWbemSink::GetOPInst(CBSTR bstrClass, CBSTR bstrKey, CBSTR bstrValue, VARIANT* pvarPath) {
  if (bstrClass.IsNull() || bstrKey.IsNull() || bstrValue.IsNull()) return ecOutOfMemory;
  const size_t cchClass = wcslen(bstrClass.Get()), cchKey = wcslen(bstrKey.Get()), cchValue = wcslen(bstrValue.Get());
  std::unique_ptr<wchar_t[]> pwszBuffer(new (std::nothrow) wchar_t[cchClass + cchKey + cchValue + 4 + 1]);
  if (!pwszBuffer) return ecOutOfMemory;
  wchar_t* pwszPath = pwszBuffer.get();
  // Class.Key="Value", written piece by piece: wide formatting differs between runtimes.
  wchar_t* p = pwszPath;
  wmemcpy(p, bstrClass.Get(), cchClass);
  p += cchClass;
  *p++ = L'.';
  wmemcpy(p, bstrKey.Get(), cchKey);
  p += cchKey;
  *p++ = L'=';
  *p++ = L'"';
  wmemcpy(p, bstrValue.Get(), cchValue);
  p += cchValue;
  *p++ = L'"';
  *p = L'\0';

  BSTR bstrPath = SysAllocString(pwszPath);
  if (!bstrPath) return ecOutOfMemory;
  VariantClear(pvarPath);
  pvarPath->vt = VT_BSTR;
  pvarPath->bstrVal = bstrPath;
  return ecNoError;
}

CWbemSink::EInstanceFetch CWbemSink::FetchEventInstance(IWbemServices* pServices, const wchar_t* pwszClass,
                                                        BSTR bstrName, CComRef<IWbemClassObject>* pInstance,
                                                        HRESULT* phr) {
  *phr = WBEM_E_FAILED;
  // The path carries the whole InstanceName, its last two characters included.
  DWORD dwSize = 0;
  if (GetConvertClassPathSize(bstrName, &dwSize) != ecNoError || dwSize == 0) return ifNoPath;
  wchar_t wszStack[c_cchStackName + 1];
  std::unique_ptr<wchar_t[]> pwszHeap;
  wchar_t* pwszEscaped = wszStack;
  if (dwSize > c_cchStackName + 1) {
    pwszHeap.reset(new (std::nothrow) wchar_t[dwSize]);
    if (!pwszHeap) return ifNoMemory;
    pwszEscaped = pwszHeap.get();
  }
  if (ConvertClassPathSized(bstrName, pwszEscaped, dwSize) != ecNoError) return ifNoPath;

  CVARIANT varPath;
  if (GetOPInst(CBSTR(pwszClass), CBSTR(L"InstanceName"), CBSTR(pwszEscaped), varPath.Put()) != ecNoError)
    return ifNoPath;
  BSTR bstrPath = nullptr;
  if (FAILED(varPath.GetBSTR(&bstrPath))) return ifNoPath;
  for (size_t nAttempt = 0;; ++nAttempt) {
    HRESULT hr = pServices->GetObject(bstrPath, 0, nullptr, pInstance->Put(), nullptr);
    if (SUCCEEDED(hr) && *pInstance) return ifFetched;
    *phr = FAILED(hr) ? hr : static_cast<HRESULT>(WBEM_E_NOT_FOUND);
    CWMIServiceUtil::NoteWmiFailure(*phr, pServices);
    if (!PauseBeforeRetry(nAttempt)) return ifNotFetched;
  }
}

bool CWbemSink::PauseBeforeRetry(size_t nAttempt) {
  if (nAttempt >= sizeof(c_rgdwRefetchMs) / sizeof(c_rgdwRefetchMs[0])) return false;
  Sleep(c_rgdwRefetchMs[nAttempt]);
  return true;
}
