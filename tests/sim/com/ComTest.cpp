// Apartments, process security and activation of the simulated COM.
#include "support/Com.h"

#include <thread>

namespace {

TEST(ComApartments, FollowWindowsRules) {
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(S_FALSE, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(RPC_E_CHANGED_MODE, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(1, ksim::com::MtaThreads());
  CoUninitialize();
  EXPECT_EQ(1, ksim::com::MtaThreads()) << "one CoUninitialize per successful CoInitializeEx";
  CoUninitialize();
  EXPECT_EQ(0, ksim::com::MtaThreads());
  EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  EXPECT_EQ(1, ksim::com::StaThreads());
  CoUninitialize();
}

TEST(ComSecurity, CanBeSetOncePerProcessLifeOfCom) {
  EXPECT_EQ(CO_E_NOTINITIALIZED, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(S_OK, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  auto settings = ksim::com::Security();
  ASSERT_TRUE(settings);
  EXPECT_EQ(-1, settings->cAuthSvc);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_NONE), settings->dwAuthnLevel);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), settings->dwImpLevel);
  EXPECT_EQ(RPC_E_TOO_LATE, CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr));
  CoUninitialize();
  // COM went down with the last apartment; a new start may set security again.
  EXPECT_FALSE(ksim::com::Security());
}

TEST(ComActivation, NeedsAnApartmentOrTheProcessMta) {
  IWbemLocator* pLocator = reinterpret_cast<IWbemLocator*>(1);
  EXPECT_EQ(CO_E_NOTINITIALIZED, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                                  reinterpret_cast<void**>(&pLocator)));
  EXPECT_EQ(nullptr, pLocator);
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  // A thread that never joined COM runs in the process's multithreaded apartment.
  HRESULT hr = E_FAIL;
  std::thread([&] {
    IWbemLocator* p = nullptr;
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, reinterpret_cast<void**>(&p));
    if (p) p->Release();
  }).join();
  EXPECT_EQ(S_OK, hr);
  CoUninitialize();
}

struct ActivationCase {
  const CLSID* pClsid;
  bool bOuter;
  DWORD dwContext;
  const IID* pIid;
  HRESULT hrExpected;
};

class ActivationTest : public ktest::ComFixture, public ::testing::WithParamInterface<ActivationCase> {};

TEST_P(ActivationTest, GivesTheWindowsResult) {
  const ActivationCase& c = GetParam();
  void* pv = reinterpret_cast<void*>(1);
  IWbemLocator* pOuter = nullptr;
  if (c.bOuter) {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                     reinterpret_cast<void**>(&pOuter)));
  }
  EXPECT_EQ(c.hrExpected, CoCreateInstance(*c.pClsid, pOuter, c.dwContext, *c.pIid, &pv));
  EXPECT_EQ(SUCCEEDED(c.hrExpected), pv != nullptr);
  if (pv) static_cast<IUnknown*>(pv)->Release();
  if (pOuter) pOuter->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ActivationTest,
    ::testing::Values(ActivationCase{&CLSID_WbemLocator, false, CLSCTX_INPROC_SERVER, &IID_IWbemLocator, S_OK},
                      ActivationCase{&CLSID_WbemLocator, false, CLSCTX_ALL, &IID_IUnknown, S_OK},
                      ActivationCase{&CLSID_WbemLocator, false, CLSCTX_INPROC_SERVER, &IID_IWbemServices, E_NOINTERFACE},
                      ActivationCase{&CLSID_WbemLocator, true, CLSCTX_INPROC_SERVER, &IID_IWbemLocator, CLASS_E_NOAGGREGATION},
                      ActivationCase{&CLSID_WbemLocator, false, CLSCTX_LOCAL_SERVER, &IID_IWbemLocator, REGDB_E_CLASSNOTREG},
                      ActivationCase{&IID_IWbemServices, false, CLSCTX_INPROC_SERVER, &IID_IUnknown, REGDB_E_CLASSNOTREG}));

TEST(OleAutomation, CountsAndCopiesHonestly) {
  const int64_t bstrs = ksim::LiveCount("bstrs");
  BSTR b = SysAllocStringLen(L"abc\0def", 7);
  EXPECT_EQ(7u, SysStringLen(b));
  EXPECT_EQ(nullptr, SysAllocString(nullptr));
  VARIANT src, dst;
  VariantInit(&src);
  VariantInit(&dst);
  src.vt = VT_BSTR;
  src.bstrVal = b;
  ASSERT_EQ(S_OK, VariantCopy(&dst, &src));
  EXPECT_NE(src.bstrVal, dst.bstrVal);
  EXPECT_EQ(bstrs + 2, ksim::LiveCount("bstrs"));
  VariantClear(&src);
  VariantClear(&dst);
  EXPECT_EQ(bstrs, ksim::LiveCount("bstrs"));

  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 3);
  LONG l = 3;
  BYTE by = 0;
  EXPECT_EQ(DISP_E_BADINDEX, SafeArrayGetElement(psa, &l, &by));
  l = 2;
  by = 0x41;
  EXPECT_EQ(S_OK, SafeArrayPutElement(psa, &l, &by));
  by = 0;
  EXPECT_EQ(S_OK, SafeArrayGetElement(psa, &l, &by));
  EXPECT_EQ(0x41, by);
  LONG lUpper = 0;
  EXPECT_EQ(S_OK, SafeArrayGetUBound(psa, 1, &lUpper));
  EXPECT_EQ(2, lUpper);
  void* pData;
  SafeArrayAccessData(psa, &pData);
  EXPECT_EQ(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
  SafeArrayUnaccessData(psa);
  EXPECT_EQ(S_OK, SafeArrayDestroy(psa));
  EXPECT_EQ(0, ksim::LiveCount("safearrays"));
}

}  // namespace
