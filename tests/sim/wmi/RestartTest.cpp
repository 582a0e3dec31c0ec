// A restart of the WMI service under running consumers: dead objects, ended subscriptions,
// dropped deliveries, the outage, and WinMgmt's process in the Service Control Manager.
#include "support/Com.h"

#include <ksim/Services.h>

#include <atomic>
#include <thread>

using ksim::machine::AddScsiController;
using ksim::wmi::RestartKind;
using ktest::FakeSink;
using ktest::GetString;
using ktest::kPathA;
using ktest::kPathB;
using ktest::kQueryControllerAdded;
using ktest::kQueryMessages;

namespace {

const HRESULT hrUnavailable = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
const HRESULT hrShuttingDown = static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN);
const DWORD kTimedOutage = 1000;  // long enough to look at the outage, short enough to wait for

// A sink whose deliveries wait at a gate while it is closed, so that later deliveries stay queued.
class GatedSink : public FakeSink {
 public:
  GatedSink() : m_hOpen(CreateEventA(nullptr, TRUE, TRUE, nullptr)), m_hInside(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~GatedSink() {
    CloseHandle(m_hOpen);
    CloseHandle(m_hInside);
  }
  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override {
    SetEvent(m_hInside);
    WaitForSingleObject(m_hOpen, 10000);
    return FakeSink::Indicate(lObjectCount, apObjArray);
  }
  void Close() { ResetEvent(m_hOpen); }
  void Open() { SetEvent(m_hOpen); }
  bool WaitInside() { return WaitForSingleObject(m_hInside, 10000) == WAIT_OBJECT_0; }

 private:
  HANDLE m_hOpen;
  HANDLE m_hInside;
};

class WmiRestart : public ktest::ComFixture {
 protected:
  void SetUp() override {
    ComFixture::SetUp();
    ksim::ResetScm();
    ksim::machine::LoadRaidDriver();
    AddScsiController(kPathA, L"velk4");
  }
  void TearDown() override {
    ksim::wmi::WaitIdle();
    for (IUnknown* p : m_held) p->Release();
    ksim::machine::Reset();
    ComFixture::TearDown();
  }

  // A new locator (kept until the end of the test), or null with the result.
  IWbemLocator* NewLocator(HRESULT* phr = nullptr) {
    IWbemLocator* pLocator = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                  reinterpret_cast<void**>(&pLocator));
    if (phr) *phr = hr;
    if (pLocator) m_held.push_back(pLocator);
    return pLocator;
  }
  // A connection of the locator (kept until the end of the test), or null with the result.
  IWbemServices* ConnectWith(IWbemLocator* pLocator, const wchar_t* pwszNamespace, HRESULT* phr) {
    IWbemServices* pServices = nullptr;
    BSTR bstr = SysAllocString(pwszNamespace);
    *phr = pLocator->ConnectServer(bstr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices);
    SysFreeString(bstr);
    if (pServices) m_held.push_back(pServices);
    return pServices;
  }
  static HRESULT Exec(IWbemServices* pServices, const wchar_t* pwszQuery, IWbemObjectSink* pSink) {
    BSTR bstrLanguage = SysAllocString(L"WQL");
    BSTR bstrQuery = SysAllocString(pwszQuery);
    HRESULT hr = pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, pSink);
    SysFreeString(bstrLanguage);
    SysFreeString(bstrQuery);
    return hr;
  }
  static HRESULT GetObject(IWbemServices* pServices, const wchar_t* pwszPath, IWbemClassObject** ppObject) {
    BSTR bstr = SysAllocString(pwszPath);
    HRESULT hr = pServices->GetObject(bstr, 0, nullptr, ppObject, nullptr);
    SysFreeString(bstr);
    return hr;
  }
  static HRESULT Enumerate(IWbemServices* pServices, const wchar_t* pwszClass, IEnumWbemClassObject** ppEnum) {
    BSTR bstr = SysAllocString(pwszClass);
    HRESULT hr = pServices->CreateInstanceEnum(bstr, 0, nullptr, ppEnum);
    SysFreeString(bstr);
    return hr;
  }
  static HRESULT CallSetAdapterTime(IWbemServices* pServices) {
    BSTR bstrPath = SysAllocString((std::wstring(ksim::machine::kSetHostTime) + L".InstanceName=\"x\"").c_str());
    BSTR bstrMethod = SysAllocString(L"SetAdapterTime");
    HRESULT hr = pServices->ExecMethod(bstrPath, bstrMethod, 0, nullptr, nullptr, nullptr, nullptr);
    SysFreeString(bstrPath);
    SysFreeString(bstrMethod);
    return hr;
  }
  static void RaiseMessage(int n) {
    ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, n, "m")));
  }
  static ksim::ServiceInfo WinMgmt() { return *ksim::FindService("WinMgmt"); }

  std::vector<IUnknown*> m_held;
};

struct RestartCase {
  RestartKind kind;
  DWORD outage;  // 0, kTimedOutage or INFINITE
  HRESULT hrDead;
};
using RestartParam = std::tuple<RestartKind, DWORD, HRESULT>;

std::string CaseName(const testing::TestParamInfo<RestartParam>& info) {
  const auto& [kind, outage, hrDead] = info.param;
  return std::string(kind == RestartKind::Crash ? "Crash" : "Orderly") +
         (outage == 0 ? "_BackAtOnce" : outage == INFINITE ? "_UntilEndOutage" : "_Timed") +
         (hrDead == RPC_E_DISCONNECTED ? "_Disconnected" : "_Unavailable");
}

class RestartTable : public WmiRestart, public testing::WithParamInterface<RestartParam> {
 protected:
  static RestartCase Case() {
    const auto& [kind, outage, hrDead] = GetParam();
    return RestartCase{kind, outage, hrDead};
  }
};

// Everything a consumer holds from before the restart is dead; subscriptions end as the kind says,
// queued deliveries are dropped; after the outage a new locator and connection work, and WinMgmt
// runs in a new process while the old one's handle is signalled.
TEST_P(RestartTable, EndsTheOldConnectionAndComesBackAfterTheOutage) {
  const RestartCase c = Case();
  ksim::wmi::SetDeliveryThreads(1);
  IWbemLocator* pLocator = NewLocator();
  ASSERT_TRUE(pLocator);
  HRESULT hr;
  IWbemServices* pWmi = ConnectWith(pLocator, ksim::wmi::kRootWmi, &hr);
  IWbemServices* pCimv2 = ConnectWith(pLocator, ksim::wmi::kRootCimv2, &hr);
  ASSERT_TRUE(pWmi && pCimv2);
  IEnumWbemClassObject* pEnum = nullptr;
  ASSERT_EQ(WBEM_S_NO_ERROR, Enumerate(pCimv2, L"Win32_SCSIController", &pEnum));
  m_held.push_back(pEnum);
  IWbemClassObject* pController = nullptr;
  ULONG uReturned = 0;
  ASSERT_EQ(WBEM_S_NO_ERROR, pEnum->Next(WBEM_INFINITE, 1, &pController, &uReturned));
  m_held.push_back(pController);

  GatedSink messages;
  FakeSink controllers;
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(pWmi, kQueryMessages, &messages));
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(pCimv2, kQueryControllerAdded, &controllers));
  // One delivery inside the sink, two queued behind it on WMI's only thread.
  messages.Close();
  RaiseMessage(1);
  ASSERT_TRUE(messages.WaitInside());
  RaiseMessage(2);
  RaiseMessage(3);
  ASSERT_EQ(2u, ksim::wmi::QueuedDeliveries());

  const DWORD dwOldPid = WinMgmt().processId;
  ASSERT_NE(0u, dwOldPid);
  HANDLE hOldProcess = OpenProcess(SYNCHRONIZE, FALSE, dwOldPid);
  ASSERT_TRUE(hOldProcess);

  ksim::wmi::RestartOptions options;
  options.kind = c.kind;
  options.hrDead = c.hrDead;
  options.outageMilliseconds = c.outage;
  ksim::wmi::Restart(options);
  const bool bOutage = c.outage != 0;

  EXPECT_EQ(1u, ksim::wmi::RestartCount());
  EXPECT_EQ(bOutage, ksim::wmi::InOutage());
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hOldProcess, 0)) << "WinMgmt's process ended";
  CloseHandle(hOldProcess);
  EXPECT_EQ(static_cast<DWORD>(bOutage ? SERVICE_STOPPED : SERVICE_RUNNING), WinMgmt().status.dwCurrentState);
  EXPECT_EQ(bOutage, WinMgmt().processId == 0);
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  // The queued messages are gone; an orderly stop queues one final status per subscription.
  EXPECT_EQ(c.kind == RestartKind::Orderly ? 2u : 0u, ksim::wmi::QueuedDeliveries());

  // The delivery already inside the sink finishes; nothing queued follows it.
  messages.Open();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(std::vector<size_t>{1}, messages.Batches());
  const size_t cStatuses = c.kind == RestartKind::Orderly ? 1 : 0;
  for (FakeSink* pSink : {static_cast<FakeSink*>(&messages), &controllers}) {
    auto statuses = pSink->Statuses();
    ASSERT_EQ(cStatuses, statuses.size());
    for (const auto& s : statuses) {
      EXPECT_EQ(hrShuttingDown, s.hr);
      EXPECT_EQ(static_cast<LONG>(WBEM_STATUS_COMPLETE), s.lFlags);
      EXPECT_NE(GetCurrentThreadId(), s.threadId);
    }
    EXPECT_EQ(1, pSink->Refs()) << "every subscription let its sink go";
  }

  // Every object handed out before the restart answers hrDead, whatever the call.
  IWbemServices* pDead = reinterpret_cast<IWbemServices*>(1);
  EXPECT_EQ(c.hrDead, ConnectWith(pLocator, ksim::wmi::kRootWmi, &hr) ? S_OK : hr);
  EXPECT_EQ(c.hrDead, pLocator->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pDead));
  EXPECT_EQ(nullptr, pDead);
  IWbemClassObject* pObject = reinterpret_cast<IWbemClassObject*>(1);
  EXPECT_EQ(c.hrDead, GetObject(pWmi, ksim::machine::kAdapterPrintf, &pObject));
  EXPECT_EQ(nullptr, pObject);
  IEnumWbemClassObject* pDeadEnum = reinterpret_cast<IEnumWbemClassObject*>(1);
  EXPECT_EQ(c.hrDead, Enumerate(pCimv2, L"Win32_SCSIController", &pDeadEnum));
  EXPECT_EQ(nullptr, pDeadEnum);
  FakeSink late;
  EXPECT_EQ(c.hrDead, Exec(pWmi, kQueryMessages, &late));
  EXPECT_EQ(c.hrDead, pWmi->CancelAsyncCall(&messages));
  EXPECT_EQ(c.hrDead, CallSetAdapterTime(pWmi));
  EXPECT_EQ(c.hrDead, pEnum->Reset());
  EXPECT_EQ(c.hrDead, pEnum->Next(WBEM_INFINITE, 1, &pObject, &uReturned));
  EXPECT_EQ(0u, uReturned);
  EXPECT_EQ(c.hrDead, pEnum->Skip(WBEM_INFINITE, 1));
  EXPECT_EQ(c.hrDead, pEnum->Clone(&pDeadEnum));
  EXPECT_EQ(1, late.Refs()) << "a dead connection registers nothing";
  // An object is local data and keeps working.
  EXPECT_EQ(std::wstring(L"velk4"), GetString(pController, L"DriverName"));

  if (bOutage) {
    HRESULT hrLocator;
    IWbemLocator* pNew = NewLocator(&hrLocator);
    ASSERT_EQ(S_OK, hrLocator) << "the locator itself lives in the caller's process";
    EXPECT_EQ(nullptr, ConnectWith(pNew, ksim::wmi::kRootWmi, &hr));
    EXPECT_EQ(hrUnavailable, hr);
    if (c.outage == INFINITE) {
      Sleep(50);
      EXPECT_TRUE(ksim::wmi::InOutage());
      ksim::wmi::EndOutage();
      EXPECT_FALSE(ksim::wmi::InOutage());
      EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WinMgmt().status.dwCurrentState);
    } else {
      EXPECT_TRUE(ksim::WaitForServiceState("WinMgmt", SERVICE_RUNNING, kTimedOutage + 10000));
      EXPECT_FALSE(ksim::wmi::InOutage());
    }
    // A locator made during the outage connects once WMI is back.
    IWbemServices* pBack = ConnectWith(pNew, ksim::wmi::kRootWmi, &hr);
    EXPECT_EQ(WBEM_S_NO_ERROR, hr);
    EXPECT_TRUE(pBack);
  }
  const DWORD dwNewPid = WinMgmt().processId;
  EXPECT_NE(0u, dwNewPid);
  EXPECT_NE(dwOldPid, dwNewPid);
  HANDLE hNewProcess = OpenProcess(SYNCHRONIZE, FALSE, dwNewPid);
  ASSERT_TRUE(hNewProcess);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hNewProcess, 0));
  CloseHandle(hNewProcess);

  // A new connection registers again and gets what the driver raises; the repository held its
  // content through the restart.
  IWbemServices* pNewWmi = ConnectWith(NewLocator(), ksim::wmi::kRootWmi, &hr);
  ASSERT_TRUE(pNewWmi);
  IWbemClassObject* pClass = nullptr;
  EXPECT_EQ(WBEM_S_NO_ERROR, GetObject(pNewWmi, ksim::machine::kAdapterPrintf, &pClass));
  if (pClass) pClass->Release();
  FakeSink again;
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(pNewWmi, kQueryMessages, &again));
  RaiseMessage(4);
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(std::vector<size_t>{1}, again.Batches());
  EXPECT_EQ(std::vector<size_t>{1}, messages.Batches());
  ASSERT_EQ(WBEM_S_NO_ERROR, pNewWmi->CancelAsyncCall(&again));
  EXPECT_EQ(1, again.Refs());
}

INSTANTIATE_TEST_SUITE_P(Table, RestartTable,
                         testing::Combine(testing::Values(RestartKind::Crash, RestartKind::Orderly),
                                          testing::Values(DWORD{0}, kTimedOutage, DWORD{INFINITE}),
                                          testing::Values(RPC_E_DISCONNECTED, hrUnavailable)),
                         CaseName);

// Tests hook and fault the calls of dead objects as of live ones: the call is made, it only fails.
TEST_F(WmiRestart, DeadCallsAreRecordedAndFaultable) {
  HRESULT hr;
  IWbemServices* pWmi = ConnectWith(NewLocator(), ksim::wmi::kRootWmi, &hr);
  ASSERT_TRUE(pWmi);
  ksim::wmi::Restart();
  ksim::ClearCalls();
  IWbemClassObject* pObject = nullptr;
  EXPECT_EQ(RPC_E_DISCONNECTED, GetObject(pWmi, ksim::machine::kAdapterPrintf, &pObject));
  EXPECT_EQ(1u, ksim::CountCalls("IWbemServices::GetObject", "Talvenix_AdapterPrintf"));
  int nHooked = 0;
  ksim::ScopedHook hook("IWbemServices::GetObject", "", [&] { ++nHooked; });
  ksim::ScopedFault fault(ktest::Fault("IWbemServices::GetObject").Returns(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)));
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED), GetObject(pWmi, ksim::machine::kAdapterPrintf, &pObject));
  EXPECT_EQ(1, nHooked);
  EXPECT_EQ(1u, fault.Hits());
}

// What a consumer meets while WMI is down: the connection's own error, or no locator at all; and
// the way back.
TEST_F(WmiRestart, OutageRefusesConnectionsOrLocatorsAsAsked) {
  ksim::wmi::RestartOptions options;
  options.outageMilliseconds = INFINITE;
  options.hrConnect = static_cast<HRESULT>(WBEM_E_FAILED);
  ksim::wmi::Restart(options);
  HRESULT hr;
  IWbemLocator* pLocator = NewLocator(&hr);
  ASSERT_EQ(S_OK, hr);
  EXPECT_EQ(nullptr, ConnectWith(pLocator, ksim::wmi::kRootCimv2, &hr));
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_FAILED), hr);

  options.locatorFails = true;
  ksim::wmi::Restart(options);
  EXPECT_EQ(2u, ksim::wmi::RestartCount());
  EXPECT_EQ(nullptr, NewLocator(&hr));
  EXPECT_EQ(CO_E_SERVER_EXEC_FAILURE, hr);
  // The locator made during the first outage belongs to the generation the second restart ended.
  EXPECT_EQ(nullptr, ConnectWith(pLocator, ksim::wmi::kRootCimv2, &hr));
  EXPECT_EQ(RPC_E_DISCONNECTED, hr);

  ksim::wmi::EndOutage();
  ASSERT_TRUE(NewLocator(&hr));
  EXPECT_TRUE(ConnectWith(NewLocator(), ksim::wmi::kRootCimv2, &hr));
  EXPECT_EQ(WBEM_S_NO_ERROR, hr);
}

TEST_F(WmiRestart, ResetEndsTheOutageAndForgetsTheRestarts) {
  ksim::wmi::RestartOptions options;
  options.outageMilliseconds = INFINITE;
  ksim::wmi::Restart(options);
  ASSERT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WinMgmt().status.dwCurrentState);
  ksim::machine::Reset();
  EXPECT_FALSE(ksim::wmi::InOutage());
  EXPECT_EQ(0u, ksim::wmi::RestartCount());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WinMgmt().status.dwCurrentState);
  EXPECT_NE(0u, WinMgmt().processId);
}

// Restarts under a consumer that registers, cancels and reconnects while the driver raises
// events: no subscription outlives its connection, and every sink reference comes back.
TEST_F(WmiRestart, RestartsRaceWithDeliveriesAndRegistrations) {
  ksim::SetCallRecording(false);
  std::atomic<bool> bDone{false};
  FakeSink sink;
  std::thread raiser([&] {
    for (int i = 0; !bDone; ++i) ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, i, "x"));
  });
  std::thread consumer([&] {
    IWbemServices* pServices = nullptr;
    while (!bDone) {
      if (!pServices) {
        HRESULT hr;
        IWbemLocator* pLocator = nullptr;
        if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                    reinterpret_cast<void**>(&pLocator))))
          continue;
        BSTR bstr = SysAllocString(ksim::wmi::kRootWmi);
        hr = pLocator->ConnectServer(bstr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &pServices);
        SysFreeString(bstr);
        pLocator->Release();
        if (FAILED(hr)) continue;
      }
      HRESULT hr = Exec(pServices, kQueryMessages, &sink);
      if (SUCCEEDED(hr)) hr = pServices->CancelAsyncCall(&sink);
      if (hr == RPC_E_DISCONNECTED) {
        pServices->Release();
        pServices = nullptr;
      }
    }
    if (pServices) pServices->Release();
  });
  for (int i = 0; i < 40; ++i) {
    ksim::wmi::RestartOptions options;
    options.kind = i % 2 ? RestartKind::Orderly : RestartKind::Crash;
    ksim::wmi::Restart(options);
    Sleep(2);
  }
  bDone = true;
  raiser.join();
  consumer.join();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  EXPECT_EQ(1, sink.Refs());
  EXPECT_EQ(40u, ksim::wmi::RestartCount());
  ksim::SetCallRecording(true);
}

}  // namespace
