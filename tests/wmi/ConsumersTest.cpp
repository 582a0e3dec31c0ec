// One namespace connection and its query table: states, conditional and forced calls, the
// release order, and every failure of the connection.
#include "wmi/Consumers.h"

#include "WmiFixture.h"

#include <algorithm>
#include <memory>

namespace {

using ktest::Fault;
using ktest::Settle;
using ktest::Texts;
using ktest::WmiFixture;

class Consumers : public WmiFixture {
 protected:
  void SetUp() override {
    WmiFixture::SetUp();
    ksim::machine::LoadRaidDriver(L"velk4");
  }

  std::unique_ptr<CConsumers> Make(ENameSpace ns) {
    CConsumers* p = nullptr;
    EXPECT_EQ(ecNoError, CConsumers::Create(&p, ns));
    return std::unique_ptr<CConsumers>(p);
  }
};

TEST_F(Consumers, CreateMakesInactiveRecordsAndRegistersNothing) {
  for (ENameSpace ns : {nsWMI, nsCIMV2}) {
    auto p = Make(ns);
    ASSERT_TRUE(p);
    for (DWORD q = 0; q < CConsumers::QueryCount(ns); ++q)
      EXPECT_EQ(qsInactive, p->GetQueryStatus(static_cast<EQueryEvent>(q))) << ns << "/" << q;
  }
  EXPECT_EQ(10u, CConsumers::QueryCount(nsWMI));
  EXPECT_EQ(2u, CConsumers::QueryCount(nsCIMV2));
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
}

TEST_F(Consumers, WithoutMemoryForItsSinkARegistrationFailsAndRegistersNothing) {
  auto p = Make(nsWMI);
  EQueryStatus status = qsUnknown;
  {
    ksim::ScopedFault fault(Fault("operator new").Nth(1));
    EXPECT_EQ(ecOutOfMemory, p->CallExecNotificationQueryAsync(qEHostTimeRequest, qoConditional, &status));
  }
  EXPECT_EQ(qsFailed, status);
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
  EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEHostTimeRequest, qoConditional, &status));
  EXPECT_EQ(qsActive, status);
}

TEST_F(Consumers, EveryRowRegistersItsOwnQueryWithItsOwnSink) {
  auto p = Make(nsWMI);
  for (DWORD q = 0; q < 10; ++q) {
    EQueryStatus status = qsUnknown;
    EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(static_cast<EQueryEvent>(q), qoConditional, &status)) << q;
    EXPECT_EQ(qsActive, status);
  }
  std::vector<ksim::wmi::Subscription> subs = ksim::wmi::Subscriptions();
  ASSERT_EQ(10u, subs.size());
  for (DWORD q = 0; q < 10; ++q) {
    EXPECT_EQ(std::wstring(CConsumers::Row(nsWMI, static_cast<EQueryEvent>(q)).pwszQuery), subs[q].query);
    for (DWORD r = 0; r < q; ++r) EXPECT_NE(subs[r].sink, subs[q].sink);
  }
}

TEST_F(Consumers, ConditionalAndForcedRegistration) {
  auto p = Make(nsWMI);
  EQueryStatus status = qsUnknown;
  ASSERT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status));
  ksim::ClearCalls();
  status = qsUnknown;
  EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status));
  EXPECT_EQ(qsActive, status);
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync")) << "an active query is not registered again";
  const DWORD dwFirst = static_cast<const CWbemSink*>(ksim::wmi::Subscriptions().at(0).sink)->Registration();
  EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoForce, &status));
  EXPECT_EQ(qsActive, status);
  EXPECT_EQ(1u, ksim::CountCalls("IWbemServices::CancelAsyncCall")) << "forced: the earlier call ends first";
  EXPECT_EQ(1u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
  std::vector<ksim::wmi::Subscription> subs = ksim::wmi::Subscriptions();
  ASSERT_EQ(1u, subs.size()) << "WMI never holds two registrations of one query";
  EXPECT_NE(dwFirst, static_cast<const CWbemSink*>(subs[0].sink)->Registration()) << "a registration of its own";
}

TEST_F(Consumers, OptionOutsideTheTwoDoesNothing) {
  auto p = Make(nsWMI);
  EQueryStatus status = static_cast<EQueryStatus>(77);
  EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEHostTimeRequest, static_cast<EQueryOption>(2), &status));
  EXPECT_EQ(ecNoError, p->CallCancelAsyncCall(qEHostTimeRequest, static_cast<EQueryOption>(2), &status));
  EXPECT_EQ(77u, static_cast<DWORD>(status));
  EXPECT_EQ(qsInactive, p->GetQueryStatus(qEHostTimeRequest));
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::CancelAsyncCall"));
}

TEST_F(Consumers, RefusedRegistrationFailsAndIsTriedAgain) {
  auto p = Make(nsWMI);
  EQueryStatus status = qsUnknown;
  {
    ksim::ScopedFault fault(Fault("IWbemServices::ExecNotificationQueryAsync").On("Talvenix_HostTimeRequest")
                                .Returns(WBEM_E_ACCESS_DENIED));
    EXPECT_EQ(ecWbemError, p->CallExecNotificationQueryAsync(qEHostTimeRequest, qoConditional, &status));
    EXPECT_EQ(qsFailed, status);
    EXPECT_EQ(qsFailed, p->GetQueryStatus(qEHostTimeRequest));
  }
  EXPECT_EQ(ecNoError, p->CallExecNotificationQueryAsync(qEHostTimeRequest, qoConditional, &status));
  EXPECT_EQ(qsActive, status);
}

TEST_F(Consumers, Cancellation) {
  auto p = Make(nsWMI);
  EQueryStatus status = qsUnknown;
  // Conditional: only an active query is cancelled.
  EXPECT_EQ(ecNoError, p->CallCancelAsyncCall(qEAdapterPrintfNotification, qoConditional, &status));
  EXPECT_EQ(qsInactive, status);
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::CancelAsyncCall"));
  {
    ksim::ScopedFault fault(Fault("IWbemServices::ExecNotificationQueryAsync").Returns(WBEM_E_FAILED));
    p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
  }
  EXPECT_EQ(ecNoError, p->CallCancelAsyncCall(qEAdapterPrintfNotification, qoConditional, &status));
  EXPECT_EQ(qsFailed, status) << "a failed query is left as it is";
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::CancelAsyncCall"));

  p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
  ASSERT_EQ(qsActive, status);
  {
    // WMI refuses: the registration no longer stands for the query, but is kept to be
    // cancelled again.
    ksim::ScopedFault fault(Fault("IWbemServices::CancelAsyncCall").Returns(WBEM_E_FAILED));
    EXPECT_EQ(ecWbemError, p->CallCancelAsyncCall(qEAdapterPrintfNotification, qoConditional, &status));
    EXPECT_EQ(qsInactive, status);
    EXPECT_TRUE(p->HasLeftovers(qEAdapterPrintfNotification));
  }
  EXPECT_EQ(1u, ksim::wmi::Subscriptions().size());
  EXPECT_EQ(ecNoError, p->CallCancelAsyncCall(qEAdapterPrintfNotification, qoForce, &status));
  EXPECT_EQ(qsInactive, status);
  EXPECT_FALSE(p->HasLeftovers(qEAdapterPrintfNotification));
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
}

TEST_F(Consumers, DestructorCancelsActiveQueriesThenReleasesSinksServicesAndLocator) {
  {
    auto p = Make(nsWMI);
    EQueryStatus status = qsUnknown;
    p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
    p->CallExecNotificationQueryAsync(qEHostTimeRequest, qoConditional, &status);
    {
      ksim::ScopedFault fault(Fault("IWbemServices::ExecNotificationQueryAsync").Returns(WBEM_E_FAILED));
      p->CallExecNotificationQueryAsync(qCCreateSetHostTime, qoConditional, &status);
    }
    ksim::ClearCalls();
  }
  // Each sink holds the services too, so releases of the services follow the sinks'; the
  // locator goes last of all.
  std::vector<std::string> order;
  for (const ksim::Call& c : ksim::Calls())
    if (c.call == "IWbemServices::CancelAsyncCall" || c.call == "IWbemServices::Release" ||
        c.call == "IWbemLocator::Release")
      order.push_back(c.call);
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(2, std::count(order.begin(), order.end(), "IWbemServices::CancelAsyncCall")) << "only the active ones";
  EXPECT_EQ("IWbemLocator::Release", order.back());
  EXPECT_EQ(1, std::count(order.begin(), order.end(), "IWbemLocator::Release"));
  EXPECT_EQ("IWbemServices::Release", order[order.size() - 2]);
  Settle();
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  EXPECT_EQ(0, ksim::LiveCount("com_objects")) << "every sink released exactly once, and the connection";
}

struct ConnectFailure {
  const char* name;
  ENameSpace ns;
  ksim::Fault fault;
  ErrorCode code;
  const char* record;  // null: none
};

void PrintTo(const ConnectFailure& c, std::ostream* os) { *os << c.name; }

class ConnectFails : public WmiFixture, public testing::WithParamInterface<ConnectFailure> {};

TEST_P(ConnectFails, LogsAndLeavesNothing) {
  const ConnectFailure& c = GetParam();
  CConsumers* p = reinterpret_cast<CConsumers*>(0x1);
  {
    ksim::ScopedFault fault(c.fault);
    EXPECT_EQ(c.code, CConsumers::Create(&p, c.ns));
  }
  EXPECT_EQ(nullptr, p);
  if (c.record)
    EXPECT_EQ(std::vector<std::string>{c.record}, Texts());
  else
    EXPECT_TRUE(Texts().empty());
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) {
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, r.type);
    EXPECT_EQ(0xC0002004u, r.eventId);
  }
  Settle();
  EXPECT_EQ(0, ksim::LiveCount("com_objects"));
}

const ConnectFailure kConnectFailures[] = {
    {"Locator", nsWMI, Fault("CoCreateInstance").Returns(E_NOINTERFACE), ecComError,
     "CoCreatInstance failed. Error = E_NOINTERFACE(0x80004002)\r\n"},
    {"NullLocator", nsCIMV2, Fault("CoCreateInstance").Returns(S_OK), ecComError,
     "CoCreatInstance succeed but Locator is NULL.\r\n"},
    {"Connect", nsCIMV2, Fault("IWbemLocator::ConnectServer").Returns(WBEM_E_FAILED), ecWbemError,
     "Could not connect CIMOM. Error: WBEM_E_FAILED(0x80041001)\r\n"},
    {"NullServices", nsWMI, Fault("IWbemLocator::ConnectServer").Returns(S_OK), ecWbemError,
     "Connected to CIMOM but IWbemServices is NULL"},
    // Allocations: the object, the records, one query text per row (sinks come with registrations).
    {"Object", nsWMI, Fault("operator new").Nth(1), ecOutOfMemory, nullptr},
    {"Records", nsWMI, Fault("operator new").Nth(2), ecOutOfMemory, nullptr},
    {"QueryText", nsWMI, Fault("SysAllocString").Nth(6), ecOutOfMemory, nullptr},
    {"LastQueryText", nsCIMV2, Fault("SysAllocString").Nth(3), ecOutOfMemory, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Table, ConnectFails, testing::ValuesIn(kConnectFailures),
                         [](const testing::TestParamInfo<ConnectFailure>& info) { return info.param.name; });

TEST_F(Consumers, LostAndRecoveredMessageQueryIsLoggedOncePerChange) {
  ksim::machine::UnloadRaidDriver();
  Settle();
  auto p = Make(nsWMI);
  EQueryStatus status = qsUnknown;
  p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
  p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
  p->CallExecNotificationQueryAsync(qCCreateAdapterPrintf, qoConditional, &status);
  std::vector<ksim::EventRecord> records = ksim::EventLogRecords();
  ASSERT_EQ(1u, records.size()) << "the second failure of the same query writes nothing";
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, records[0].type);
  ksim::machine::LoadRaidDriver(L"velk4");
  Settle();
  p->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoConditional, &status);
  ASSERT_EQ(qsActive, status);
  records = ksim::EventLogRecords();
  ASSERT_EQ(2u, records.size());
  EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, records[1].type);
  EXPECT_EQ(0x40002011u, records[1].eventId);
  EXPECT_EQ("Query \"SELECT * FROM Talvenix_AdapterPrintfNotification\" is registered again.\r\n",
            records[1].strings.at(0));
}

}  // namespace
