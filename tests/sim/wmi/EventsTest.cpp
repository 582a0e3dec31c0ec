// Event queries of the simulated WMI: what is accepted, reference counts on the sink, delivery
// on WMI's threads, batches, cancellation orders and class removal.
#include "support/Com.h"

#include <thread>

using ksim::machine::AddScsiController;
using ksim::wmi::Value;
using ktest::kPathA;
using ktest::FakeSink;
using ktest::Fault;
using ktest::GetString;
using ktest::kQueryControllerAdded;
using ktest::kQueryControllerRemoved;
using ktest::kQueryMessages;
using ktest::kQueryPrintfCreated;
using ktest::kQueryPrintfDeleted;

namespace {

const wchar_t* const kPrintfCreation =
    L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_AdapterPrintf\"";

class WmiEvents : public ktest::ComFixture {
 protected:
  void SetUp() override {
    ComFixture::SetUp();
    m_pWmi = Connect(ksim::wmi::kRootWmi);
    m_pCimv2 = Connect(ksim::wmi::kRootCimv2);
    ASSERT_TRUE(m_pWmi && m_pCimv2);
  }
  void TearDown() override {
    ksim::wmi::WaitIdle();
    for (IWbemServices* p : {m_pWmi, m_pCimv2})
      if (p) p->Release();
    ksim::machine::Reset();  // ends what a test left registered
    EXPECT_EQ(1, m_sink.Refs()) << "WMI kept or dropped a sink reference";
    m_sink.ReleaseObjects();
    ComFixture::TearDown();
  }
  HRESULT Exec(IWbemServices* pServices, const wchar_t* pwszQuery, IWbemObjectSink* pSink = nullptr,
               const wchar_t* pwszLanguage = L"WQL") {
    BSTR bstrLanguage = SysAllocString(pwszLanguage);
    BSTR bstrQuery = SysAllocString(pwszQuery);
    HRESULT hr = pServices->ExecNotificationQueryAsync(bstrLanguage, bstrQuery, 0, nullptr, pSink ? pSink : &m_sink);
    SysFreeString(bstrLanguage);
    SysFreeString(bstrQuery);
    return hr;
  }
  IWbemServices* m_pWmi = nullptr;
  IWbemServices* m_pCimv2 = nullptr;
  FakeSink m_sink;
};

struct QueryCase {
  const char* pszName;
  bool bDriverLoaded;
  const wchar_t* pwszLanguage;
  const wchar_t* pwszQuery;
  HRESULT hrExpected;
};
void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.pszName; }

class QueryTest : public WmiEvents, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(QueryTest, AcceptsOrRefusesAtOnce) {
  const QueryCase& c = GetParam();
  if (c.bDriverLoaded) ksim::machine::LoadRaidDriver();
  EXPECT_EQ(c.hrExpected, Exec(m_pWmi, c.pwszQuery, nullptr, c.pwszLanguage));
  ksim::wmi::WaitIdle();
  // Accepted: one reference for the subscription; refused: none, and never a SetStatus.
  EXPECT_EQ(SUCCEEDED(c.hrExpected) ? 2 : 1, m_sink.Refs());
  EXPECT_TRUE(m_sink.Statuses().empty());
}

const HRESULT hrInvalidClass = static_cast<HRESULT>(WBEM_E_INVALID_CLASS);

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryTest,
    ::testing::Values(
        QueryCase{"extrinsic", true, L"WQL", kQueryMessages, WBEM_S_NO_ERROR},
        QueryCase{"extrinsic_missing_class", false, L"WQL", kQueryMessages, hrInvalidClass},
        QueryCase{"class_creation_of_missing_class", false, L"WQL", kQueryPrintfCreated, WBEM_S_NO_ERROR},
        QueryCase{"class_deletion", true, L"wql", kQueryPrintfDeleted, WBEM_S_NO_ERROR},
        QueryCase{"instance_isa_missing_class", false, L"WQL", kPrintfCreation, hrInvalidClass},
        QueryCase{"instance_isa", true, L"WQL", kPrintfCreation, WBEM_S_NO_ERROR},
        QueryCase{"not_an_event_class", true, L"WQL", L"SELECT * FROM Talvenix_AdapterPrintf",
                  static_cast<HRESULT>(WBEM_E_NOT_EVENT_CLASS)},
        QueryCase{"language", true, L"SQL", kQueryMessages, static_cast<HRESULT>(WBEM_E_INVALID_QUERY_TYPE)},
        QueryCase{"syntax", true, L"WQL", L"SELECT FROM", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
        QueryCase{"where_on_wrong_property", true, L"WQL",
                  L"SELECT * FROM __InstanceCreationEvent WITHIN 5 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"",
                  static_cast<HRESULT>(WBEM_E_INVALID_QUERY)}));

TEST_F(WmiEvents, DeliversOnWmiThreadsAndReleasesItsObjectsAfterIndicate) {
  ksim::machine::LoadRaidDriver();
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  const int64_t lObjects = ksim::LiveCount("IWbemClassObject");
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 0, "m")));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_EQ(std::vector<size_t>{1}, m_sink.Batches());
  EXPECT_NE(GetCurrentThreadId(), m_sink.IndicateThreads()[0]);
  // Only the sink's own clone is still alive.
  EXPECT_EQ(lObjects + 1, ksim::LiveCount("IWbemClassObject"));
  EXPECT_EQ(std::wstring(kPathA) + L"_0", GetString(m_sink.Objects()[0], L"InstanceName"));
  EXPECT_EQ(2, m_sink.Refs());
}

TEST_F(WmiEvents, TargetInstanceIsAnEmbeddedObject) {
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pCimv2, kQueryControllerAdded));
  AddScsiController(kPathA, L"velk4");
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_EQ(1u, m_sink.Objects().size());
  IWbemClassObject* pEvent = m_sink.Objects()[0];
  EXPECT_EQ(L"__InstanceCreationEvent", GetString(pEvent, L"__CLASS"));
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(WBEM_S_NO_ERROR, pEvent->Get(L"TargetInstance", 0, &v, nullptr, nullptr));
  ASSERT_EQ(VT_UNKNOWN, v.vt);
  IWbemClassObject* pTarget = nullptr;
  ASSERT_EQ(S_OK, v.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&pTarget)));
  EXPECT_EQ(L"velk4", GetString(pTarget, L"DriverName"));
  pTarget->Release();
  VariantClear(&v);
}

TEST_F(WmiEvents, ABatchCarriesSeveralObjects) {
  ksim::machine::LoadRaidDriver();
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  {
    ksim::wmi::ScopedBatch batch;
    for (int i = 0; i < 3; ++i) ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, i, "m"));
  }
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(std::vector<size_t>{3}, m_sink.Batches());
}

TEST_F(WmiEvents, CancelEndsEveryCallOfTheSinkWithOneStatusEach) {
  ksim::machine::LoadRaidDriver();
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));  // the same sink again
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryPrintfDeleted));
  EXPECT_EQ(4, m_sink.Refs());
  ASSERT_EQ(WBEM_S_NO_ERROR, m_pWmi->CancelAsyncCall(&m_sink));
  // StatusBeforeReturn (the default): all three arrived before CancelAsyncCall returned.
  auto statuses = m_sink.Statuses();
  ASSERT_EQ(3u, statuses.size());
  for (const auto& s : statuses) {
    EXPECT_EQ(static_cast<HRESULT>(WBEM_E_CALL_CANCELLED), s.hr);
    EXPECT_EQ(0, s.lFlags);
    EXPECT_NE(GetCurrentThreadId(), s.threadId);
  }
  EXPECT_EQ(1, m_sink.Refs());
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER), m_pWmi->CancelAsyncCall(&m_sink)) << "nothing left to cancel";
  ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 0, "m"));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_TRUE(m_sink.Batches().empty());
}

TEST_F(WmiEvents, CancelAfterReturnDoesNotWaitForTheSink) {
  ksim::machine::LoadRaidDriver();
  ksim::wmi::SetCancelOrder(ksim::wmi::CancelOrder::StatusAfterReturn);
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_sink.m_onStatus = [hGo] { WaitForSingleObject(hGo, 10000); };
  ASSERT_EQ(WBEM_S_NO_ERROR, m_pWmi->CancelAsyncCall(&m_sink));  // would hang if it waited
  EXPECT_TRUE(m_sink.Statuses().empty());
  SetEvent(hGo);
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(1u, m_sink.Statuses().size());
  CloseHandle(hGo);
}

TEST_F(WmiEvents, HeldStatusArrivesWhenReleased) {
  ksim::machine::LoadRaidDriver();
  ksim::wmi::SetCancelOrder(ksim::wmi::CancelOrder::StatusHeld);
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  ASSERT_EQ(WBEM_S_NO_ERROR, m_pWmi->CancelAsyncCall(&m_sink));
  ksim::wmi::WaitIdle();
  EXPECT_TRUE(m_sink.Statuses().empty());
  EXPECT_EQ(2, m_sink.Refs()) << "the reference is dropped only after the final SetStatus";
  ksim::wmi::ReleaseHeldStatus();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(1u, m_sink.Statuses().size());
  EXPECT_EQ(1, m_sink.Refs());
}

TEST_F(WmiEvents, ASinkThatNeverReturnsCannotHangCancel) {
  ksim::machine::LoadRaidDriver();
  ksim::wmi::SetCancelWaitLimit(50);
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  HANDLE hGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  m_sink.m_onStatus = [hGo] { WaitForSingleObject(hGo, 10000); };
  EXPECT_EQ(WBEM_S_NO_ERROR, m_pWmi->CancelAsyncCall(&m_sink));
  m_leaks.Expect("wmi_cancel_wait_timeouts", 1);
  m_expectedCancelTimeouts = 1;
  SetEvent(hGo);
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  CloseHandle(hGo);
}

struct RemovalCase {
  const char* pszName;
  ksim::wmi::ClassRemoval behaviour;
  size_t cStatuses;
  bool bStillRegistered;
};
void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.pszName; }

class ClassRemovalTest : public WmiEvents, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(ClassRemovalTest, EndsOrSilencesDependentQueries) {
  const RemovalCase& c = GetParam();
  ksim::wmi::SetClassRemoval(c.behaviour, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED));
  ksim::machine::LoadRaidDriver();
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
  FakeSink classSink;
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryPrintfDeleted, &classSink));
  ksim::machine::UnloadRaidDriver();
  ksim::machine::LoadRaidDriver();
  ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, 0, "m"));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_TRUE(m_sink.Batches().empty()) << "no event after the class went away";
  EXPECT_EQ(c.cStatuses, m_sink.Statuses().size());
  EXPECT_EQ(c.bStillRegistered ? 1u : 0u, ksim::wmi::CountSubscriptions(&m_sink));
  EXPECT_EQ(1u, classSink.Batches().size()) << "the class deletion itself is an event";
  EXPECT_EQ(L"__ClassDeletionEvent", GetString(classSink.Objects()[0], L"__CLASS"));
  ksim::machine::Reset();
  EXPECT_EQ(1, classSink.Refs());
}

INSTANTIATE_TEST_SUITE_P(Cases, ClassRemovalTest,
                         ::testing::Values(RemovalCase{"silent", ksim::wmi::ClassRemoval::Silent, 0, true},
                                           RemovalCase{"status", ksim::wmi::ClassRemoval::StatusError, 1, false}));

TEST_F(WmiEvents, ManualPollingDeliversTheDifferenceInOneBatch) {
  ksim::wmi::SetPolling(ksim::wmi::Polling::Manual);
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pCimv2, kQueryControllerAdded));
  FakeSink deletions;
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pCimv2, kQueryControllerRemoved, &deletions));
  AddScsiController(kPathA, L"velk4");
  AddScsiController(L"PCI\\VEN_1111&DEV_2222\\1", L"qtr");
  AddScsiController(L"PCI\\VEN_3333&DEV_4444\\2", L"qtr");
  ksim::machine::RemoveScsiController(L"PCI\\VEN_3333&DEV_4444\\2");  // came and went between polls
  ksim::wmi::WaitIdle();
  EXPECT_TRUE(m_sink.Batches().empty());
  ksim::wmi::PollNow();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(std::vector<size_t>{2}, m_sink.Batches());
  EXPECT_TRUE(deletions.Batches().empty());
  ksim::machine::RemoveScsiController(kPathA);
  ksim::wmi::PollNow();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(std::vector<size_t>{1}, deletions.Batches());
  ksim::machine::Reset();
  EXPECT_EQ(1, deletions.Refs());
}

TEST_F(WmiEvents, AcceptThenFailEndsTheCallOnAWmiThread) {
  ksim::ScopedFault fault(Fault("IWbemServices::ExecNotificationQueryAsync")
                              .On("__InstanceCreationEvent:Win32_SCSIController")
                              .Returns(static_cast<HRESULT>(WBEM_E_INVALID_QUERY)).Variant(ksim::wmi::kAcceptThenFail));
  ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pCimv2, kQueryControllerAdded));
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  ASSERT_EQ(1u, m_sink.Statuses().size());
  EXPECT_EQ(static_cast<HRESULT>(WBEM_E_INVALID_QUERY), m_sink.Statuses()[0].hr);
  EXPECT_EQ(0u, ksim::wmi::CountSubscriptions(&m_sink));
}

TEST_F(WmiEvents, ConcurrentCancelsAndDeliveriesKeepCountsHonest) {
  ksim::SetCallRecording(false);
  ksim::machine::LoadRaidDriver();
  AddScsiController(kPathA, L"velk4");
  std::thread raiser([] {
    for (int i = 0; i < 200; ++i) ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 20, i, "x"));
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(WBEM_S_NO_ERROR, Exec(m_pWmi, kQueryMessages));
    ASSERT_EQ(WBEM_S_NO_ERROR, m_pWmi->CancelAsyncCall(&m_sink));
  }
  raiser.join();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(100u, m_sink.Statuses().size());
  ksim::SetCallRecording(true);
}

}  // namespace
