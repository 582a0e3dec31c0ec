// Conformance of the COM and WMI behaviour the service relies on, written against the Win32 and
// COM API alone. The same source runs on the simulated host and, built with mingw-w64, under
// Wine; both runs must agree. Known Wine gaps are marked todo_wine: under Wine such a check is
// expected to fail (and reported as todo); passing there means the gap has closed.
#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#else
#include <simwin/windows.h>
#include <simwin/objbase.h>
#include <simwin/oleauto.h>
#include <simwin/wbemidl.h>
#endif

#include <stdio.h>
#include <wchar.h>

namespace {

int s_nChecks, s_nFailures, s_nTodo;
bool s_bWine;

void Check(int nLine, bool bOk, bool bTodoWine, const char* pszText, long lValue) {
  ++s_nChecks;
  if (bTodoWine && s_bWine) {
    if (bOk) {
      printf("line %d: todo_wine check passed, the Wine gap is gone: %s\n", nLine, pszText);
      ++s_nFailures;
    } else {
      ++s_nTodo;
    }
    return;
  }
  if (!bOk) {
    printf("line %d: failed: %s (value 0x%08lx)\n", nLine, pszText, static_cast<unsigned long>(lValue));
    ++s_nFailures;
  }
}

#define ok_hr(expected, call)                                                 \
  do {                                                                        \
    HRESULT hr_ = (call);                                                     \
    Check(__LINE__, hr_ == static_cast<HRESULT>(expected), false, #call, hr_); \
  } while (0)
#define todo_wine_ok_hr(expected, call)                                      \
  do {                                                                       \
    HRESULT hr_ = (call);                                                    \
    Check(__LINE__, hr_ == static_cast<HRESULT>(expected), true, #call, hr_); \
  } while (0)
#define ok(cond) Check(__LINE__, (cond), false, #cond, 0)

bool IsWine() {
#ifdef _WIN32
  HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
  return hNtdll && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

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
  s_bWine = IsWine();
  TestApartments();
  TestSecurity();
  TestSecurity();  // a fresh start of COM may set security again
  TestWmi();
  printf("%s: %d checks, %d failures, %d todo\n", s_bWine ? "wine" : "host", s_nChecks, s_nFailures, s_nTodo);
  return s_nFailures ? 1 : 0;
}
