// What the running service counts as registered stays what WMI holds, under the orders and the
// final statuses WMI may choose: a late status of its own cancellation, a call WMI accepts and
// ends at once, a query WMI ends with any code or silently, a reload quicker than its events,
// and controllers that come and go at the same moment. Each case ends with every message logged
// and every host-time request answered exactly once.
#include "support/Gate.h"
#include "support/ServiceHost.h"

#include <atomic>
#include <memory>
#include <chrono>
#include <thread>

namespace ktest {
namespace {

using ksim::machine::AddScsiController;
using ksim::machine::LoadRaidDriver;
using ksim::machine::Message;
using ksim::machine::RaiseFirmwareMessage;
using ksim::machine::RaiseHostTimeRequest;
using ksim::machine::RemoveScsiController;
using ksim::machine::UnloadRaidDriver;

const char kMessagesQueryText[] = "SELECT * FROM Talvenix_AdapterPrintfNotification";
const char kHostTimeQueryText[] = "SELECT * FROM Talvenix_HostTimeRequest";

class RegistrationsFollowWmi : public ServiceHost {
 protected:
  // Polls now where the test polls by hand; WMI then delivers what it found.
  static void Poll() {
    if (s_bManualPolling) ksim::wmi::PollNow();
  }
  static void UsePolling(ksim::wmi::Polling mode) {
    s_bManualPolling = mode == ksim::wmi::Polling::Manual;
    ksim::wmi::SetPolling(mode);
  }

  // Controller A served under manual polling, then the driver unloaded and that seen by a poll.
  void StartThenUnloadSeen() {
    UsePolling(ksim::wmi::Polling::Manual);
    AddScsiController(kPathA, L"velk4");
    LoadRaidDriver(L"velk4");
    InstallAndStart();
    UnloadRaidDriver();
    Poll();
    Settle();
  }
  // The driver back with controller B, whose arrival is handled before any poll has seen the
  // class: the message query is registered again.
  static void ReloadWithAControllerNoPollSaw() {
    LoadRaidDriver(L"velk4");
    AddScsiController(kPathB, L"velk4");
    CWbemSink::IndICreateWin32ScsiController(nullptr, nullptr);
    ASSERT_EQ(1u, CountSubscribed(kQueryMessages));
  }

  static void ExpectOneLiveRegistrationEach() {
    EXPECT_EQ(1u, CountSubscribed(kQueryMessages));
    EXPECT_EQ(1u, CountSubscribed(kQueryHostTime));
    EXPECT_EQ(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));
    EXPECT_EQ(qsActive, StatusOf(nsWMI, qEHostTimeRequest));
  }

  // A message and a host-time request of the controller (adapter number 7, driver velk4): each
  // is served exactly once.
  void ExpectServedOnce(const wchar_t* pwszPath, const std::string& text) {
    const size_t before = ksim::machine::SetAdapterTimeCalls().size();
    ASSERT_TRUE(RaiseFirmwareMessage(Message(pwszPath, 20, 7, text)));
    ASSERT_TRUE(RaiseHostTimeRequest(pwszPath));
    Settle();
    size_t logged = 0;
    for (const ksim::EventRecord& r : ksim::EventLogRecords())
      if (r.strings == std::vector<std::string>{"\\Device\\Scsi\\velk47: " + text}) {
        ++logged;
        EXPECT_EQ("velk4", r.source);
      }
    EXPECT_EQ(1u, logged) << text;
    EXPECT_EQ(before + 1, ksim::machine::SetAdapterTimeCalls().size()) << "host-time requests answered";
  }

  void ExpectStopLeavesNothing() {
    Stop();
    EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
    ksim::wmi::ReleaseHeldStatus();  // the statuses of the stop's own cancellations, where held
    UnloadRaidDriver();
    Settle();
    EXPECT_EQ(0, ksim::LiveCount("com_objects")) << ksim::LiveCount("IWbemLocator") << " locators, "
                                                 << ksim::LiveCount("IWbemServices") << " services, "
                                                 << ksim::LiveCount("IWbemClassObject") << " objects";
  }

  static size_t CountTextsStartingWith(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& t : Texts()) n += t.compare(0, prefix.size(), prefix) == 0;
    return n;
  }
  // The operator's records about a query: how often it was lost, how often it came back.
  static size_t Lost(const char* pszQuery) {
    const std::string q = std::string("Query \"") + pszQuery + "\" ";
    return CountTextsStartingWith(q + "could not be registered") + CountTextsStartingWith(q + "was ended by WMI") +
           CountTextsStartingWith(q + "ended with the driver's class");
  }
  static size_t Recovered(const char* pszQuery) {
    return CountTexts(std::string("Query \"") + pszQuery + "\" is registered again.\r\n");
  }

  static inline bool s_bManualPolling = false;
};

// The last supported controller leaves, so both queries are cancelled; the final status of that
// cancellation comes late, after a controller arrived and the queries were registered again.

class LateCancelStatus : public RegistrationsFollowWmi, public testing::WithParamInterface<CancelOrderCase> {};

TEST_P(LateCancelStatus, NeverEndsTheRegistrationMadeAfterIt) {
  ksim::wmi::SetCancelOrder(GetParam().order);
  ksim::wmi::SetDeliveryThreads(1);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  // WMI's one delivery thread is held inside a delivery, so that every status and event waits.
  Gate gate;
  std::atomic<bool> bArmed{true};
  ksim::ScopedHook hold("IWbemClassObject::Clone", "Talvenix_HostTimeRequest", [&] {
    if (bArmed.exchange(false)) gate.Wait();
  });
  ASSERT_TRUE(RaiseHostTimeRequest(kPathA));
  ASSERT_TRUE(gate.WaitArrived(1));

  ASSERT_TRUE(RemoveScsiController(kPathA));
  CWbemSink::IndIDeleteWin32ScsiController(nullptr, nullptr);
  EXPECT_EQ(0u, CountSubscribed(kQueryMessages)) << "cancelled, its status still to come";
  AddScsiController(kPathA, L"velk4");
  CWbemSink::IndICreateWin32ScsiController(nullptr, nullptr);

  gate.Open();
  if (GetParam().order == ksim::wmi::CancelOrder::StatusHeld) {
    ASSERT_TRUE(ksim::wmi::WaitIdle(5000));
    ksim::wmi::ReleaseHeldStatus();
  }
  Settle();
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce(kPathA, "after the late status");
  ExpectStopLeavesNothing();
}

INSTANTIATE_TEST_SUITE_P(Orders, LateCancelStatus,
                         testing::Values(CancelOrderCase{"StatusAfterReturn", ksim::wmi::CancelOrder::StatusAfterReturn},
                                         CancelOrderCase{"StatusHeld", ksim::wmi::CancelOrder::StatusHeld}),
                         [](const testing::TestParamInfo<CancelOrderCase>& info) { return info.param.name; });

// WMI accepts the message query at start and ends it at once (the driver unloading at that
// moment), with its final status before or after the call returns.

class AcceptedAndEnded : public RegistrationsFollowWmi, public testing::WithParamInterface<int> {};

TEST_P(AcceptedAndEnded, LeavesTheQueryInactiveUntilTheNextEventBringsItBack) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  Install();
  {
    ksim::ScopedFault fault(Fault("IWbemServices::ExecNotificationQueryAsync").On("Talvenix_AdapterPrintfNotification")
                                .Nth(1).Returns(WBEM_E_INVALID_CLASS).Variant(GetParam()));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceIdle(kServiceName, 10000));
    Settle();
  }
  EXPECT_EQ(0u, CountSubscribed(kQueryMessages));
  EXPECT_NE(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));
  EXPECT_EQ(1u, CountTexts("Query \"SELECT * FROM Talvenix_AdapterPrintfNotification\" was ended by WMI; its events "
                           "are not received until it is registered again. Error: WBEM_E_INVALID_CLASS(0x80041010)\r\n"));

  // A controller arriving is an event that can bring it back.
  AddScsiController(kPathB, L"velk4");
  Settle();
  ExpectOneLiveRegistrationEach();
  EXPECT_EQ(1u, Recovered(kMessagesQueryText));
  ExpectServedOnce(kPathB, "back after the arrival");
  ExpectStopLeavesNothing();
}

INSTANTIATE_TEST_SUITE_P(StatusOrders, AcceptedAndEnded,
                         testing::Values(ksim::wmi::kAcceptThenFail, ksim::wmi::kAcceptThenFailBeforeReturn),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == ksim::wmi::kAcceptThenFail ? "StatusAfterReturn" : "StatusBeforeReturn";
                         });

// The driver unloads and loads again; WMI ends its subscriptions in any of the ways it may.

struct RemovalCase {
  const char* name;
  ksim::wmi::ClassRemoval removal;
  DWORD hr;
  ksim::wmi::Polling polling;
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class DriverReload : public RegistrationsFollowWmi, public testing::WithParamInterface<RemovalCase> {};

TEST_P(DriverReload, BringsBothQueriesBackOnceAndTheLogSaysSoOncePerChange) {
  ksim::wmi::SetClassRemoval(GetParam().removal, static_cast<HRESULT>(GetParam().hr));
  UsePolling(GetParam().polling);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  for (int round = 1; round <= 2; ++round) {
    UnloadRaidDriver();
    Poll();
    Settle();
    EXPECT_EQ(0u, CountSubscribed(kQueryMessages));
    EXPECT_NE(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));
    EXPECT_NE(qsActive, StatusOf(nsWMI, qEHostTimeRequest));
    EXPECT_EQ(1u, CountSubscribed(kQueryPrintfCreated)) << "the class's creation is awaited";
    EXPECT_EQ(static_cast<size_t>(round), Lost(kMessagesQueryText));
    EXPECT_EQ(static_cast<size_t>(round), Lost(kHostTimeQueryText));

    LoadRaidDriver(L"velk4");
    Poll();
    Settle();
    ExpectOneLiveRegistrationEach();
    EXPECT_EQ(static_cast<size_t>(round), Recovered(kMessagesQueryText));
    EXPECT_EQ(static_cast<size_t>(round), Recovered(kHostTimeQueryText));
    ExpectServedOnce(kPathA, "after reload " + std::to_string(round));
  }
  ExpectStopLeavesNothing();
}

const RemovalCase kRemovals[] = {
    {"Silent", ksim::wmi::ClassRemoval::Silent, S_OK, ksim::wmi::Polling::Immediate},
    {"Cancelled", ksim::wmi::ClassRemoval::StatusError, WBEM_E_CALL_CANCELLED, ksim::wmi::Polling::Immediate},
    {"Failed", ksim::wmi::ClassRemoval::StatusError, WBEM_E_FAILED, ksim::wmi::Polling::Immediate},
    {"InvalidClass", ksim::wmi::ClassRemoval::StatusError, WBEM_E_INVALID_CLASS, ksim::wmi::Polling::Immediate},
    {"ProviderFailure", ksim::wmi::ClassRemoval::StatusError, WBEM_E_PROVIDER_FAILURE, ksim::wmi::Polling::Immediate},
    {"ShuttingDown", ksim::wmi::ClassRemoval::StatusError, WBEM_E_SHUTTING_DOWN, ksim::wmi::Polling::Immediate},
    {"SilentPolled", ksim::wmi::ClassRemoval::Silent, S_OK, ksim::wmi::Polling::Manual},
    {"FailedPolled", ksim::wmi::ClassRemoval::StatusError, WBEM_E_FAILED, ksim::wmi::Polling::Manual},
};

INSTANTIATE_TEST_SUITE_P(Removals, DriverReload, testing::ValuesIn(kRemovals),
                         [](const testing::TestParamInfo<RemovalCase>& info) { return info.param.name; });

// The driver unloads and loads again while the handler of its class deletion is still at work:
// WMI polled between the two and delivered the deletions, then the creations. The class and
// instance changes are handled one after another in the order WMI delivered them, so the
// creations wait behind the late deletion, which ends nothing that they then register.

class QuickReload : public RegistrationsFollowWmi, public testing::WithParamInterface<RemovalCase> {};

TEST_P(QuickReload, IsServedAtOnceAndTheLateDeletionEndsNothingNewer) {
  ksim::wmi::SetClassRemoval(GetParam().removal, static_cast<HRESULT>(GetParam().hr));
  UsePolling(ksim::wmi::Polling::Manual);
  ksim::wmi::SetDeliveryThreads(4);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  // The first deletion's handler is held where it looks whether its class is back.
  Gate gate;
  std::atomic<int> nToHold{1};
  ksim::ScopedHook hold("IWbemServices::GetObject", "Talvenix_AdapterPrintf", [&] {
    if (nToHold.fetch_sub(1) > 0) gate.Wait();
  });
  UnloadRaidDriver();
  Poll();
  ASSERT_TRUE(gate.WaitArrived(1));

  LoadRaidDriver(L"velk4");
  Poll();
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  EXPECT_EQ(0u, CountSubscribed(kQueryMessages)) << "a creation was handled before the deletion that came first";

  gate.Open();
  Settle();
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce(kPathA, "after the late deletions");
  ExpectStopLeavesNothing();
}

INSTANTIATE_TEST_SUITE_P(Removals, QuickReload,
                         testing::Values(RemovalCase{"Silent", ksim::wmi::ClassRemoval::Silent, S_OK,
                                                     ksim::wmi::Polling::Manual},
                                         RemovalCase{"Failed", ksim::wmi::ClassRemoval::StatusError, WBEM_E_FAILED,
                                                     ksim::wmi::Polling::Manual}),
                         [](const testing::TestParamInfo<RemovalCase>& info) { return info.param.name; });

// A registration made while the driver was back for a moment that no poll saw: WMI ended it
// silently with that unseen unload, and only the next creation of the class can tell.
TEST_F(RegistrationsFollowWmi, ARegistrationLostInAnUnseenReloadIsRenewedAtTheNextCreation) {
  StartThenUnloadSeen();
  ASSERT_EQ(0u, CountSubscribed(kQueryMessages));

  // Between two polls the driver comes back, a controller arrives (its event handled at once),
  // and the driver goes again.
  ASSERT_NO_FATAL_FAILURE(ReloadWithAControllerNoPollSaw());
  UnloadRaidDriver();
  Poll();
  Settle();

  LoadRaidDriver(L"velk4");
  Poll();
  Settle();
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce(kPathB, "renewed");
  ExpectStopLeavesNothing();
}

// A registration made while the driver was back, before WMI's poll saw the class created: the
// creation renews it, registering anew before it cancels the old one. A message raised while both
// are live reaches the service twice, and is logged once; a cancellation WMI refuses in the
// middle leaves the old one to be cancelled again soon, each message still logged once.
class Renewal : public RegistrationsFollowWmi, public testing::WithParamInterface<bool> {};

TEST_P(Renewal, AMessageRaisedWhileTwoRegistrationsOverlapIsLoggedOnce) {
  const bool bCancelRefused = GetParam();
  StartThenUnloadSeen();
  ASSERT_NO_FATAL_FAILURE(ReloadWithAControllerNoPollSaw());

  // The renewal's cancellation of the old registration: a message is raised just before it, when
  // WMI holds both.
  std::atomic<bool> bRaised{false};
  ksim::ScopedHook overlap("IWbemServices::CancelAsyncCall", "", [&] {
    if (CountSubscribed(kQueryMessages) == 2 && !bRaised.exchange(true))
      RaiseFirmwareMessage(Message(kPathA, 20, 7, "while both listen"));
  });
  std::unique_ptr<ksim::ScopedFault> refuse;
  if (bCancelRefused)
    refuse.reset(new ksim::ScopedFault(Fault("IWbemServices::CancelAsyncCall").Nth(1).Returns(WBEM_E_FAILED)));
  Poll();
  Settle();
  ASSERT_TRUE(bRaised);
  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk47: while both listen"));
  if (bCancelRefused) {
    refuse.reset();
    EXPECT_TRUE(WaitFor([] { return CountSubscribed(kQueryMessages) == 1 && CountSubscribed(kQueryHostTime) == 1; }))
        << "the refused one stays";
    Settle();
  }
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce(kPathB, "after the renewal");
  ExpectStopLeavesNothing();
}

INSTANTIATE_TEST_SUITE_P(Cancellations, Renewal, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "CancelRefusedOnce" : "CancelAccepted";
                         });

// The last supported controller leaves while another arrives: the leaving controller's rescan
// has enumerated (without the new one) when the new one arrives.
TEST_F(RegistrationsFollowWmi, AControllerArrivingWhileTheLastOneLeavesIsServed) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathQ, L"other");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  std::atomic<int> nEnumerations{0};
  std::atomic<bool> bArmed{false};
  ksim::ScopedHook count("IWbemServices::CreateInstanceEnum", "Win32_SCSIController", [&] { ++nEnumerations; });
  ksim::ScopedHook arrive("IWbemLocator::Release", "", [&] {
    if (!bArmed.exchange(false)) return;
    const int nBefore = nEnumerations;
    AddScsiController(kPathB, L"velk4");
    // Give the arrival every chance to enumerate and publish before this rescan publishes.
    WaitFor([&] { return nEnumerations > nBefore; }, 300);
  });
  bArmed = true;
  ASSERT_TRUE(RemoveScsiController(kPathA));
  Settle();

  ExpectOneLiveRegistrationEach();
  ExpectServedOnce(kPathB, "the newcomer");
  ExpectStopLeavesNothing();
}

}  // namespace
}  // namespace ktest
