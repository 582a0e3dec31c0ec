// Object paths from key values, and the fetch of an event's instance by such a path: what the
// controller-message and host-time handlers share once they know the event's adapter.
#include "sink/WbemSink.h"

#include <cwchar>
#include <memory>
#include <new>

namespace {

// An escaped instance name up to this many characters is built on the stack; a longer one on the
// heap.
const DWORD c_cchStackName = 256;

}  // namespace

ErrorCode CWbemSink::GetConvertClassPathSize(const wchar_t* pwszValue, DWORD* pdwSize) {
  DWORD dwSize = 1;
  for (const wchar_t* p = pwszValue; p && *p; ++p) dwSize += (*p == L'\\') ? 2 : 1;
  *pdwSize = dwSize;
  return ecNoError;
}

ErrorCode CWbemSink::ConvertClassPathSized(const wchar_t* pwszValue, wchar_t* pwszDest, DWORD dwSize) {
  if (!pwszDest || dwSize == 0) return ecTimeout;
  DWORD dwUsed = 0;
  const wchar_t* p = pwszValue;
  for (; p && *p; ++p) {
    const DWORD dwNeeded = (*p == L'\\') ? 2 : 1;
    if (dwUsed + dwNeeded + 1 > dwSize) break;
    pwszDest[dwUsed++] = *p;
    if (*p == L'\\') pwszDest[dwUsed++] = L'\\';
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
                                                        BSTR bstrName, CComRef<IWbemClassObject>* pInstance) {
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
  HRESULT hr = pServices->GetObject(bstrPath, 0, nullptr, pInstance->Put(), nullptr);
  return (SUCCEEDED(hr) && *pInstance) ? ifFetched : ifNotFetched;
}
