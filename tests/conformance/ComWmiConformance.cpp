// Conformance of the COM, OLE automation, kernel and WMI behaviour the service relies on,
// written against the Win32 and COM API alone: apartments and security, BSTR, VARIANT and
// SAFEARRAY rules, _beginthread, time conversions, and the WMI calls of the service.
#include "Conformance.h"

#include <errno.h>
#include <string.h>
#include <wchar.h>

namespace {

bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
  for (;; ++a, ++b) {
    wchar_t ca = (*a >= L'a' && *a <= L'z') ? *a - 32 : *a;
    wchar_t cb = (*b >= L'a' && *b <= L'z') ? *b - 32 : *b;
    if (ca != cb) return false;
    if (!ca) return true;
  }
}

void TestApartments() {
  ok_hr(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  ok_hr(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  ok_hr(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  CoUninitialize();
  CoUninitialize();
}

void TestSecurity() {
  ok_hr(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  ok_hr(S_OK, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                                   nullptr, EOAC_NONE, nullptr));
  CoUninitialize();
}

void TestBstr() {
  ok(SysAllocString(nullptr) == nullptr);
  ok(SysStringLen(nullptr) == 0);
  BSTR bstr = SysAllocStringLen(L"ab\0cd", 5);  // a BSTR may hold zeros
  ok(bstr && SysStringLen(bstr) == 5 && SysStringByteLen(bstr) == 5 * sizeof(OLECHAR) && bstr[5] == 0);
  SysFreeString(bstr);
  SysFreeString(nullptr);
}

void TestVariant() {
  // Types a VARIANT cannot carry are refused, and the variant is left as it was.
  const VARTYPE rgBad[] = {15, VT_VOID, VT_HRESULT, VT_LPSTR, 0x7f, VT_VECTOR | VT_I4, VT_ARRAY | VT_EMPTY,
                           VT_BYREF | VT_NULL, VT_RESERVED | VT_I4};
  for (VARTYPE vt : rgBad) {
    VARIANT v, copy;
    VariantInit(&v);
    VariantInit(&copy);
    v.vt = vt;
    ok_hr(DISP_E_BADVARTYPE, VariantClear(&v));
    ok(v.vt == vt);
    ok_hr(DISP_E_BADVARTYPE, VariantCopy(&copy, &v));
    ok(copy.vt == VT_EMPTY);
  }
  const VARTYPE rgGood[] = {VT_EMPTY, VT_NULL, VT_I2, VT_I4, VT_R8, VT_BOOL, VT_I1, VT_UI1, VT_UI4, VT_I8,
                            VT_INT, VT_UINT, VT_BYREF | VT_I4};
  for (VARTYPE vt : rgGood) {
    VARIANT v, copy;
    VariantInit(&v);
    VariantInit(&copy);
    v.vt = vt;
    v.llVal = 0;
    ok_hr(S_OK, VariantCopy(&copy, &v));
    ok(copy.vt == vt);
    ok_hr(S_OK, VariantClear(&v));
    ok(v.vt == VT_EMPTY);
  }

  // A copied string is a string of its own; clearing frees it and empties the variant.
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = SysAllocString(L"text");
  ok_hr(S_OK, VariantCopy(&dst, &src));
  ok(dst.vt == VT_BSTR && dst.bstrVal != src.bstrVal && wcscmp(dst.bstrVal, L"text") == 0);
  ok_hr(S_OK, VariantClear(&src));
  ok(src.vt == VT_EMPTY);
  ok_hr(S_OK, VariantClear(&dst));
}

void TestSafeArray() {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
  ok(psa != nullptr);
  if (!psa) return;
  VARTYPE vt = VT_EMPTY;
  LONG lLower = -1, lUpper = -1;
  ok_hr(S_OK, SafeArrayGetVartype(psa, &vt));
  ok(vt == VT_UI1 && SafeArrayGetDim(psa) == 1 && SafeArrayGetElemsize(psa) == 1);
  ok_hr(S_OK, SafeArrayGetLBound(psa, 1, &lLower));
  ok_hr(S_OK, SafeArrayGetUBound(psa, 1, &lUpper));
  ok(lLower == 0 && lUpper == 3);
  ok_hr(DISP_E_BADINDEX, SafeArrayGetUBound(psa, 2, &lUpper));
  BYTE b = 0x5a;
  LONG lIndex = 4;
  ok_hr(DISP_E_BADINDEX, SafeArrayPutElement(psa, &lIndex, &b));
  lIndex = 3;
  ok_hr(S_OK, SafeArrayPutElement(psa, &lIndex, &b));
  void* pvData = nullptr;
  ok_hr(S_OK, SafeArrayAccessData(psa, &pvData));
  ok(pvData && static_cast<BYTE*>(pvData)[3] == 0x5a);
  ok_hr(S_OK, SafeArrayUnaccessData(psa));

  // A variant that holds an array copies and frees it with it.
  VARIANT v, copy;
  VariantInit(&v);
  VariantInit(&copy);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = psa;
  ok_hr(S_OK, VariantCopy(&copy, &v));
  ok(copy.parray && copy.parray != psa);
  ok_hr(S_OK, VariantClear(&copy));
  ok_hr(S_OK, VariantClear(&v));
}

HANDLE s_hThreadRan;

void __cdecl ThreadBody(void* pArg) {
  if (pArg == &s_hThreadRan) SetEvent(s_hThreadRan);
}

void TestThreadsAndTime() {
  s_hThreadRan = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ok(_beginthread(ThreadBody, 0, &s_hThreadRan) != static_cast<uintptr_t>(-1));
  ok(WaitForSingleObject(s_hThreadRan, 5000) == WAIT_OBJECT_0);
  CloseHandle(s_hThreadRan);
  errno = 0;
  ok(_beginthread(nullptr, 0, nullptr) == static_cast<uintptr_t>(-1) && errno == EINVAL);

  // FILETIME counts 100 ns from 1601; a day is 864000000000 of them.
  SYSTEMTIME st = {2024, 2, 0, 29, 23, 59, 59, 999};
  FILETIME ft = {}, ftNext = {};
  ok(SystemTimeToFileTime(&st, &ft));
  ULONGLONG ullTicks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  ok(ullTicks == 133537247999990000ULL);
  ullTicks += 10000;  // one millisecond on: the first of March
  ftNext.dwLowDateTime = static_cast<DWORD>(ullTicks);
  ftNext.dwHighDateTime = static_cast<DWORD>(ullTicks >> 32);
  SYSTEMTIME back = {};
  ok(FileTimeToSystemTime(&ftNext, &back));
  ok(back.wYear == 2024 && back.wMonth == 3 && back.wDay == 1 && back.wHour == 0 && back.wMilliseconds == 0 &&
     back.wDayOfWeek == 5);
  SYSTEMTIME bad = {2024, 13, 0, 1, 0, 0, 0, 0};
  ok_err(ERROR_INVALID_PARAMETER, SystemTimeToFileTime(&bad, &ft));
  // Wine refuses a day the month does not have without setting the last error.
  bad = {2023, 2, 0, 29, 0, 0, 0, 0};
  todo_wine_ok_err(ERROR_INVALID_PARAMETER, SystemTimeToFileTime(&bad, &ft));
}

IWbemServices* Connect(IWbemLocator* pLocator, const wchar_t* pwszNamespace, HRESULT hrExpected) {
  IWbemServices* pServices = nullptr;
  BSTR bstr = SysAllocString(pwszNamespace);
  ok_hr(hrExpected, pLocator->ConnectServer(bstr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices));
  SysFreeString(bstr);
  ok((pServices != nullptr) == SUCCEEDED(hrExpected));
  return pServices;
}

void TestWmi() {
  ok_hr(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  IWbemLocator* pLocator = nullptr;
  IUnknown* pUnknown = nullptr;
  ok_hr(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(&pLocator)));
  if (!pLocator) return;
  ok_hr(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_WbemLocator, pLocator, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                reinterpret_cast<void**>(&pUnknown)));

  // Namespaces: the two the service uses, in any letter case; an unknown one is refused.
  IWbemServices* pWmi = Connect(pLocator, L"\\\\.\\root\\wmi", WBEM_S_NO_ERROR);
  if (pWmi) pWmi->Release();
  Connect(pLocator, L"\\\\.\\ROOT\\NOSUCHNAMESPACE", WBEM_E_INVALID_NAMESPACE);
  IWbemServices* pServices = Connect(pLocator, L"\\\\.\\ROOT\\CIMV2", WBEM_S_NO_ERROR);
  if (!pServices) return;
  ok_hr(WBEM_E_INVALID_PARAMETER, pServices->CancelAsyncCall(nullptr));

  // An empty enumeration ends at once with WBEM_S_FALSE and nothing returned.
  BSTR bstrClass = SysAllocString(L"Win32_SCSIController");
  IEnumWbemClassObject* pEnum = nullptr;
  ok_hr(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstrClass, 0, nullptr, &pEnum));
  SysFreeString(bstrClass);
  if (pEnum) {
    IWbemClassObject* pObject = nullptr;
    ULONG uReturned = 7;
    ok_hr(WBEM_S_FALSE, pEnum->Next(2000, 1, &pObject, &uReturned));
    ok(uReturned == 0 && pObject == nullptr);
    pEnum->Release();
  }

  // A keyed instance: __RELPATH escapes the backslashes of its key, and the path finds it again.
  bstrClass = SysAllocString(L"Win32_DiskDrive");
  pEnum = nullptr;
  ok_hr(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstrClass, 0, nullptr, &pEnum));
  SysFreeString(bstrClass);
  IWbemClassObject* pDisk = nullptr;
  ULONG uReturned = 0;
  if (pEnum) {
    ok_hr(WBEM_S_NO_ERROR, pEnum->Next(2000, 1, &pDisk, &uReturned));
    pEnum->Release();
  }
  if (pDisk) {
    VARIANT v;
    VariantInit(&v);
    ok_hr(WBEM_S_NO_ERROR, pDisk->Get(L"__RELPATH", 0, &v, nullptr, nullptr));
    ok(v.vt == VT_BSTR && EqualNoCase(v.bstrVal, L"Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE0\""));
    if (v.vt == VT_BSTR) {
      IWbemClassObject* pAgain = nullptr;
      ok_hr(WBEM_S_NO_ERROR, pServices->GetObject(v.bstrVal, 0, nullptr, &pAgain, nullptr));
      if (pAgain) pAgain->Release();
    }
    VariantClear(&v);

    // A missing property: WBEM_E_NOT_FOUND, and the variant keeps what it held.
    v.vt = VT_I4;
    v.lVal = 1234;
    ok_hr(WBEM_E_NOT_FOUND, pDisk->Get(L"NoSuchProperty", 0, &v, nullptr, nullptr));
    ok(v.vt == VT_I4 && v.lVal == 1234);
    pDisk->Release();
  }

  // Paths that name nothing.
  IWbemClassObject* pObject = nullptr;
  BSTR bstrPath = SysAllocString(L"Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE9\"");
  ok_hr(WBEM_E_NOT_FOUND, pServices->GetObject(bstrPath, 0, nullptr, &pObject, nullptr));
  ok(pObject == nullptr);
  SysFreeString(bstrPath);
  bstrPath = SysAllocString(L"Win32_NoSuchClass");
  ok_hr(WBEM_E_NOT_FOUND, pServices->GetObject(bstrPath, 0, nullptr, &pObject, nullptr));
  SysFreeString(bstrPath);
  // Windows calls a keyed path of a missing class an invalid class; Wine says not found.
  bstrPath = SysAllocString(L"Win32_NoSuchClass.Name=\"x\"");
  todo_wine_ok_hr(WBEM_E_INVALID_CLASS, pServices->GetObject(bstrPath, 0, nullptr, &pObject, nullptr));
  SysFreeString(bstrPath);
  // Wine cannot hand out the definition of this class.
  bstrPath = SysAllocString(L"Win32_SCSIController");
  todo_wine_ok_hr(WBEM_S_NO_ERROR, pServices->GetObject(bstrPath, 0, nullptr, &pObject, nullptr));
  if (pObject) pObject->Release();
  SysFreeString(bstrPath);

  pServices->Release();
  pLocator->Release();
  CoUninitialize();
}

}  // namespace

int main() {
  conformance::Begin();
  TestApartments();
  TestSecurity();
  TestSecurity();  // a fresh start of COM may set security again
  TestBstr();
  TestVariant();
  TestSafeArray();
  TestThreadsAndTime();
  TestWmi();
  return conformance::End("COM and WMI");
}
