// Namespaces, objects, paths, enumeration and methods of the simulated WMI.
#include "support/Com.h"

using ksim::machine::AddScsiController;
using ksim::wmi::Value;
using ktest::kPathA;
using ktest::Fault;
using ktest::GetString;

namespace {


class WmiObjects : public ktest::ComFixture {
 protected:
  HRESULT GetObject(IWbemServices* pServices, const std::wstring& path, IWbemClassObject** ppObject) {
    BSTR bstr = SysAllocString(path.c_str());
    HRESULT hr = pServices->GetObject(bstr, 0, nullptr, ppObject, nullptr);
    SysFreeString(bstr);
    return hr;
  }
};

struct NamespaceCase {
  const char* pszName;
  const wchar_t* pwszPath;
  HRESULT hrExpected;
};
void PrintTo(const NamespaceCase& c, std::ostream* os) { *os << c.pszName; }

class NamespaceTest : public WmiObjects, public ::testing::WithParamInterface<NamespaceCase> {};

TEST_P(NamespaceTest, ConnectsOnlyToKnownNamespaces) {
  IWbemLocator* pLocator = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<void**>(&pLocator)));
  IWbemServices* pServices = reinterpret_cast<IWbemServices*>(1);
  BSTR bstr = SysAllocString(GetParam().pwszPath);
  EXPECT_EQ(GetParam().hrExpected,
            pLocator->ConnectServer(bstr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices));
  SysFreeString(bstr);
  EXPECT_EQ(SUCCEEDED(GetParam().hrExpected), pServices != nullptr);
  if (pServices) pServices->Release();
  pLocator->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NamespaceTest,
    ::testing::Values(NamespaceCase{"wmi", L"\\\\.\\ROOT\\WMI", WBEM_S_NO_ERROR},
                      NamespaceCase{"cimv2_lower", L"\\\\.\\root\\cimv2", WBEM_S_NO_ERROR},
                      NamespaceCase{"relative", L"ROOT\\CIMV2", WBEM_S_NO_ERROR},
                      NamespaceCase{"localhost", L"\\\\localhost\\Root\\Wmi", WBEM_S_NO_ERROR},
                      NamespaceCase{"missing", L"\\\\.\\ROOT\\NOSUCH", static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE)},
                      NamespaceCase{"prefix_only", L"\\\\.\\ROOT\\WM", static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE)}));

TEST_F(WmiObjects, GetReportsMissingAndNullProperties) {
  AddScsiController(kPathA, L"velk4", {{L"Manufacturer", std::nullopt}});
  IWbemServices* pServices = Connect(ksim::wmi::kRootCimv2);
  ASSERT_NE(nullptr, pServices);
  IEnumWbemClassObject* pEnum = nullptr;
  BSTR bstrClass = SysAllocString(L"Win32_SCSIController");
  ASSERT_EQ(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstrClass, 0, nullptr, &pEnum));
  SysFreeString(bstrClass);
  IWbemClassObject* pObject = nullptr;
  ULONG uReturned = 0;
  ASSERT_EQ(WBEM_S_NO_ERROR, pEnum->Next(static_cast<LONG>(WBEM_INFINITE), 1, &pObject, &uReturned));
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 77;
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_NOT_FOUND), pObject->Get(L"NoSuchProperty", 0, &v, nullptr, nullptr));
  EXPECT_EQ(VT_I4, v.vt) << "a failed Get leaves the value alone";
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_NOT_FOUND), pObject->Get(L"Manufacturer", 0, &v, nullptr, nullptr));
  CIMTYPE type = 0;
  EXPECT_EQ(WBEM_S_NO_ERROR, pObject->Get(L"Status", 0, &v, &type, nullptr));
  EXPECT_EQ(VT_BSTR, v.vt);
  EXPECT_EQ(CIM_STRING, type);
  VariantClear(&v);
  EXPECT_EQ(WBEM_S_NO_ERROR, pObject->Get(L"PNPDEVICEID", 0, &v, nullptr, nullptr)) << "names are case-blind";
  VariantClear(&v);
  // The relative path doubles backslashes inside the quoted key.
  EXPECT_EQ(L"Win32_SCSIController.DeviceID=\"PCI\\\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\\\4&1A2B3C4D&0&00E0\"",
            GetString(pObject, L"__RELPATH"));
  EXPECT_EQ(L"Win32_SCSIController", GetString(pObject, L"__CLASS"));
  pObject->Release();
  EXPECT_EQ(WBEM_S_FALSE, pEnum->Next(0, 1, &pObject, &uReturned));
  EXPECT_EQ(0u, uReturned);
  EXPECT_EQ(WBEM_S_NO_ERROR, pEnum->Reset());
  EXPECT_EQ(WBEM_S_NO_ERROR, pEnum->Next(0, 1, &pObject, &uReturned));
  pObject->Release();
  pEnum->Release();
  pServices->Release();
}

TEST_F(WmiObjects, RelPathEscapesQuotesAndBackslashes) {
  ksim::wmi::DefineClass(ksim::wmi::kRootWmi, {L"K", L"", {{L"Name", CIM_STRING, true}}, {}});
  ksim::wmi::PutInstance(ksim::wmi::kRootWmi, L"K", {{L"Name", Value::Str(L"a\\b\"c")}});
  IWbemServices* pServices = Connect(ksim::wmi::kRootWmi);
  IWbemClassObject* pObject = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, GetObject(pServices, L"K.Name=\"A\\\\B\\\"C\"", &pObject));
  EXPECT_EQ(L"K.Name=\"a\\\\b\\\"c\"", GetString(pObject, L"__RELPATH"));
  pObject->Release();
  pServices->Release();
}

// The observer sees every GetObject on the caller's thread, once the repository was read, with
// the path as passed and the result; without one nothing is seen.
TEST_F(WmiObjects, TheGetObjectObserverSeesEachCallWithItsPathAndResult) {
  ksim::wmi::DefineClass(ksim::wmi::kRootWmi, {L"K", L"", {{L"Name", CIM_STRING, true}}, {}});
  ksim::wmi::PutInstance(ksim::wmi::kRootWmi, L"K", {{L"Name", Value::Str(L"a")}});
  IWbemServices* pServices = Connect(ksim::wmi::kRootWmi);
  ASSERT_NE(nullptr, pServices);
  std::vector<std::pair<std::wstring, HRESULT>> seen;
  const DWORD dwCaller = GetCurrentThreadId();
  struct Unset {
    ~Unset() { ksim::wmi::SetGetObjectObserver({}); }
  } unset;  // a failed assertion must not leave an observer of this frame behind
  ksim::wmi::SetGetObjectObserver([&](const wchar_t* path, HRESULT hr) {
    EXPECT_EQ(dwCaller, GetCurrentThreadId());
    seen.emplace_back(path, hr);
  });
  IWbemClassObject* pObject = nullptr;
  EXPECT_EQ(WBEM_S_NO_ERROR, GetObject(pServices, L"K.Name=\"a\"", &pObject));
  if (pObject) pObject->Release();
  pObject = nullptr;
  EXPECT_EQ(WBEM_E_NOT_FOUND, GetObject(pServices, L"K.Name=\"b\"", &pObject));
  ksim::wmi::SetGetObjectObserver({});
  EXPECT_EQ(WBEM_S_NO_ERROR, GetObject(pServices, L"K.Name=\"a\"", &pObject));
  if (pObject) pObject->Release();
  const std::vector<std::pair<std::wstring, HRESULT>> expected = {
      {L"K.Name=\"a\"", WBEM_S_NO_ERROR}, {L"K.Name=\"b\"", static_cast<HRESULT>(WBEM_E_NOT_FOUND)}};
  EXPECT_EQ(expected, seen);
  pServices->Release();
}

struct PathCase {
  const char* pszName;
  std::wstring path;
  HRESULT hrExpected;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.pszName; }

class ObjectPathTest : public WmiObjects, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ObjectPathTest, FindsObjectsByPath) {
  ksim::machine::LoadRaidDriver(L"velk4");
  AddScsiController(kPathA, L"velk4");
  IWbemServices* pServices = Connect(ksim::wmi::kRootWmi);
  IWbemClassObject* pObject = reinterpret_cast<IWbemClassObject*>(1);
  EXPECT_EQ(GetParam().hrExpected, GetObject(pServices, GetParam().path, &pObject));
  EXPECT_EQ(SUCCEEDED(GetParam().hrExpected), pObject != nullptr);
  if (pObject) pObject->Release();
  pServices->Release();
}

const std::wstring kEscaped = L"PCI\\\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\\\4&1a2b3c4d&0&00e0_0";

INSTANTIATE_TEST_SUITE_P(
    Cases, ObjectPathTest,
    ::testing::Values(
        PathCase{"instance", L"Talvenix_SetHostTime.InstanceName=\"" + kEscaped + L"\"", WBEM_S_NO_ERROR},
        PathCase{"key_case", L"talvenix_sethosttime.instancename=\"" + kEscaped + L"\"", WBEM_S_NO_ERROR},
        PathCase{"value_case", L"Talvenix_SetHostTime.InstanceName=\"PCI\\\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\\\4&1A2B3C4D&0&00E0_0\"",
                 WBEM_S_NO_ERROR},
        PathCase{"unnamed_key", L"Talvenix_AdapterPrintf=\"" + kEscaped + L"\"", WBEM_S_NO_ERROR},
        PathCase{"class", L"Talvenix_SetHostTime", WBEM_S_NO_ERROR},
        PathCase{"missing_instance", L"Talvenix_SetHostTime.InstanceName=\"nope_0\"", static_cast<HRESULT>(WBEM_E_NOT_FOUND)},
        PathCase{"single_backslashes", L"Talvenix_SetHostTime.InstanceName=\"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&1a2b3c4d&0&00e0_0\"",
                 static_cast<HRESULT>(WBEM_E_NOT_FOUND)},
        PathCase{"missing_class", L"NoSuchClass", static_cast<HRESULT>(WBEM_E_NOT_FOUND)},
        PathCase{"missing_class_key", L"NoSuchClass.Key=\"x\"", static_cast<HRESULT>(WBEM_E_INVALID_CLASS)},
        PathCase{"unclosed_quote", L"Talvenix_SetHostTime.InstanceName=\"abc", static_cast<HRESULT>(WBEM_E_INVALID_OBJECT_PATH)},
        PathCase{"garbage", L".=", static_cast<HRESULT>(WBEM_E_INVALID_OBJECT_PATH)}));

TEST_F(WmiObjects, PutChecksTypesAndMethodsWork) {
  ksim::machine::LoadRaidDriver(L"velk4");
  AddScsiController(kPathA, L"velk4");
  IWbemServices* pServices = Connect(ksim::wmi::kRootWmi);
  IWbemClassObject* pClass = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, GetObject(pServices, ksim::machine::kSetHostTime, &pClass));
  IWbemClassObject* pIn = nullptr;
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_NOT_FOUND), pClass->GetMethod(L"NoSuchMethod", 0, &pIn, nullptr));
  ASSERT_EQ(WBEM_S_NO_ERROR, pClass->GetMethod(L"SetAdapterTime", 0, &pIn, nullptr));
  IWbemClassObject* pParams = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, pIn->SpawnInstance(0, &pParams));
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(L"12");
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_TYPE_MISMATCH), pParams->Put(L"HostTime", 0, &v, 0));
  VariantClear(&v);
  v.vt = VT_I4;
  v.lVal = 1009843200;
  ASSERT_EQ(WBEM_S_NO_ERROR, pParams->Put(L"HostTime", 0, &v, 0));
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_NOT_FOUND), pParams->Put(L"Other", 0, &v, 0)) << "instances gain no properties";

  BSTR bstrPath = SysAllocString((std::wstring(ksim::machine::kSetHostTime) + L".InstanceName=\"" + kEscaped + L"\"").c_str());
  BSTR bstrMethod = SysAllocString(L"SetAdapterTime");
  BSTR bstrWrong = SysAllocString(L"SetAdapterTim");
  IWbemClassObject* pOut = nullptr;
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_INVALID_METHOD), pServices->ExecMethod(bstrPath, bstrWrong, 0, nullptr, pParams, &pOut, nullptr));
  ASSERT_EQ(WBEM_S_NO_ERROR, pServices->ExecMethod(bstrPath, bstrMethod, 0, nullptr, pParams, &pOut, nullptr));
  EXPECT_EQ(nullptr, pOut) << "the method has no output parameters";
  auto calls = ksim::machine::SetAdapterTimeCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(std::wstring(kPathA) + L"_0", calls[0].instanceName);
  EXPECT_EQ(1009843200, calls[0].hostTime.value_or(0));
  ksim::machine::SetSetAdapterTimeResult(static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE));
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_PROVIDER_FAILURE),
            pServices->ExecMethod(bstrPath, bstrMethod, 0, nullptr, pParams, nullptr, nullptr));
  SysFreeString(bstrPath);
  SysFreeString(bstrMethod);
  SysFreeString(bstrWrong);
  pParams->Release();
  pIn->Release();
  pClass->Release();
  pServices->Release();
}

TEST_F(WmiObjects, CloneIsIndependent) {
  ksim::machine::LoadRaidDriver(L"velk4");
  AddScsiController(kPathA, L"velk4");
  ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 30, 2, "hello"));
  IWbemServices* pServices = Connect(ksim::wmi::kRootWmi);
  IWbemClassObject* pObject = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR,
            GetObject(pServices, std::wstring(ksim::machine::kAdapterPrintf) + L".InstanceName=\"" + kEscaped + L"\"", &pObject));
  IWbemClassObject* pCopy = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, pObject->Clone(&pCopy));
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 99;
  ASSERT_EQ(WBEM_S_NO_ERROR, pCopy->Put(L"Level", 0, &v, 0));
  ASSERT_EQ(WBEM_S_NO_ERROR, pObject->Get(L"Level", 0, &v, nullptr, nullptr));
  EXPECT_EQ(30, v.lVal);
  ASSERT_EQ(WBEM_S_NO_ERROR, pObject->Get(L"PrintfString", 0, &v, nullptr, nullptr));
  EXPECT_EQ(VT_ARRAY | VT_UI1, v.vt);
  EXPECT_EQ(5u, v.parray->rgsabound[0].cElements);
  VariantClear(&v);
  pCopy->Release();
  pObject->Release();
  pServices->Release();
}

TEST_F(WmiObjects, EnumerationFaultVariants) {
  AddScsiController(kPathA, L"velk4");
  IWbemServices* pServices = Connect(ksim::wmi::kRootCimv2);
  BSTR bstrClass = SysAllocString(L"Win32_SCSIController");
  IEnumWbemClassObject* pEnum = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstrClass, 0, nullptr, &pEnum));
  IWbemClassObject* pObject = nullptr;
  ULONG uReturned = 9;
  {
    ksim::ScopedFault fault(Fault("IEnumWbemClassObject::Next").Variant(ksim::wmi::kNextTimedOut));
    EXPECT_EQ(WBEM_S_TIMEDOUT, pEnum->Next(2000, 1, &pObject, &uReturned));
    EXPECT_EQ(0u, uReturned);
  }
  EXPECT_EQ(WBEM_S_NO_ERROR, pEnum->Next(2000, 1, &pObject, &uReturned)) << "a time-out lost nothing";
  pObject->Release();
  pEnum->Release();
  // Forward-only enumerators cannot rewind; a missing class is refused.
  ASSERT_EQ(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstrClass, WBEM_FLAG_FORWARD_ONLY, nullptr, &pEnum));
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_INVALID_OPERATION), pEnum->Reset());
  pEnum->Release();
  SysFreeString(bstrClass);
  bstrClass = SysAllocString(L"Win32_NoSuchClass");
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_INVALID_CLASS), pServices->CreateInstanceEnum(bstrClass, 0, nullptr, &pEnum));
  EXPECT_EQ(nullptr, pEnum);
  SysFreeString(bstrClass);
  pServices->Release();
}

}  // namespace
