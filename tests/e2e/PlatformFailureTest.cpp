// The platform failing in the ordinary ways: WMI restarting under the service, an event log that
// refuses writes, a provider that is busy for a moment, an enumeration that times out, a
// controller that WMI has not announced yet, a registration refused at start, a reload quicker
// than WMI's poll, a WMI call that hangs through the stop, a system shutdown. In each the service
// goes on serving, or says what it could not serve.
#include "support/Gate.h"
#include "support/ServiceHost.h"

#include "adapters/AdapterInfo.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace ktest {
namespace {

using ksim::machine::AddScsiController;
using ksim::machine::LoadRaidDriver;
using ksim::machine::Message;
using ksim::machine::RaiseFirmwareMessage;
using ksim::machine::RaiseHostTimeRequest;
using ksim::machine::UnloadRaidDriver;

const DWORD kQueryLost = 0x80002010;
const DWORD kQueryRestored = 0x40002011;
const DWORD kWmiLost = 0x80002012;
const DWORD kWmiRestored = 0x40002013;
const DWORD kRecordsLost = 0x80002014;
const DWORD kStopIncomplete = 0x80002016;
const DWORD kEventLost = 0xC0002018;

class PlatformFails : public ServiceHost {
 protected:
  static size_t CountIds(DWORD dwEventId) {
    size_t n = 0;
    for (const Record& r : Records()) n += r.eventId == dwEventId;
    return n;
  }

  // A message of controller A and a host-time request: each served exactly once.
  void ExpectServedOnce(const std::string& text, const wchar_t* pwszPath = kPathA) {
    const size_t before = ksim::machine::SetAdapterTimeCalls().size();
    ASSERT_TRUE(RaiseFirmwareMessage(Message(pwszPath, 20, 7, text)));
    ASSERT_TRUE(RaiseHostTimeRequest(pwszPath));
    Settle();
    EXPECT_EQ(1u, CountTextsWith("7: " + text)) << text;
    EXPECT_EQ(before + 1, ksim::machine::SetAdapterTimeCalls().size()) << "host-time requests answered";
  }

  void ExpectOneLiveRegistrationEach() {
    EXPECT_EQ(1u, CountSubscribed(kQueryMessages));
    EXPECT_EQ(1u, CountSubscribed(kQueryHostTime));
    EXPECT_EQ(1u, CountSubscribed(kQueryControllerAdded));
    EXPECT_EQ(1u, CountSubscribed(kQueryControllerRemoved));
  }
};

// WMI restarts under the running service, crashing or in order, with or without an outage: one
// warning, one record when the connection is made anew, every query registered once again, and
// messages served as before.
struct RestartCase {
  const char* name;
  ksim::wmi::RestartOptions options;
  bool bEndOutageByHand;
};

void PrintTo(const RestartCase& c, std::ostream* os) { *os << c.name; }

class WmiRestarts : public PlatformFails, public testing::WithParamInterface<RestartCase> {};

TEST_P(WmiRestarts, TheServiceConnectsAgainAndGoesOnServing) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ExpectServedOnce("before");

  ksim::wmi::Restart(GetParam().options);
  ASSERT_TRUE(WaitFor([] { return CountIds(kWmiLost) == 1; })) << "the loss was not noticed";
  if (GetParam().bEndOutageByHand) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(0u, CountIds(kWmiRestored)) << "connected while WMI was away";
    ksim::wmi::EndOutage();
  }
  ASSERT_TRUE(WaitFor([] { return CountIds(kWmiRestored) == 1; })) << "never connected again";
  Settle();
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce("after");

  EXPECT_EQ(1u, CountIds(kWmiLost));
  EXPECT_EQ(0u, CountIds(kQueryLost)) << "the loss of WMI is one record, not one per query";
  EXPECT_EQ(0u, CountTextsWith("UNKNOWN")) << "every code has its name";
  Stop();
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
}

ksim::wmi::RestartOptions Restart(ksim::wmi::RestartKind kind, HRESULT hrDead, DWORD dwOutageMs,
                                  bool bLocatorFails = false) {
  ksim::wmi::RestartOptions o;
  o.kind = kind;
  o.hrDead = hrDead;
  o.outageMilliseconds = dwOutageMs;
  o.locatorFails = bLocatorFails;
  return o;
}

INSTANTIATE_TEST_SUITE_P(
    Restarts, WmiRestarts,
    testing::Values(
        RestartCase{"Crash", Restart(ksim::wmi::RestartKind::Crash, RPC_E_DISCONNECTED, 0), false},
        RestartCase{"CrashWithOutage",
                    Restart(ksim::wmi::RestartKind::Crash, HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), INFINITE),
                    true},
        RestartCase{"Orderly", Restart(ksim::wmi::RestartKind::Orderly, RPC_E_DISCONNECTED, 0), false},
        RestartCase{"OrderlyWithOutageAndNoLocator",
                    Restart(ksim::wmi::RestartKind::Orderly, RPC_E_DISCONNECTED, INFINITE, true), true}),
    [](const testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// The WMI process the service watches ends while the service's connection still works (as when
// the service connected again during a restart, before the old process was gone): no loss, and
// the process that now runs is watched instead.
TEST_F(PlatformFails, AnEndedWmiProcessWhoseConnectionWorksIsNoLoss) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ASSERT_EQ(0u, ksim::ControlServiceByName("WinMgmt", SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceState("WinMgmt", SERVICE_STOPPED, 5000));
  ASSERT_EQ(0u, ksim::StartServiceByName("WinMgmt", {}));
  ASSERT_TRUE(ksim::WaitForServiceState("WinMgmt", SERVICE_RUNNING, 5000));
  ASSERT_TRUE(WaitFor([] { return ksim::CountCalls("OpenProcess") >= 2; })) << "the new process is not watched";
  Settle();
  EXPECT_EQ(0u, CountIds(kWmiLost));
  ExpectOneLiveRegistrationEach();
  ExpectServedOnce("the connection works");
  Stop();
}

// WMI's process cannot be watched when the service connects (WinMgmt has not reported running
// yet): it is watched a moment later, so that a crash after that is seen at once, not at the
// next liveness check a minute on.
TEST_F(PlatformFails, AWmiProcessNotYetRunningIsWatchedSoon) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  Install();
  {
    ksim::ScopedFault notYet(Fault("QueryServiceStatusEx").On("WinMgmt").Nth(1).LastError(ERROR_ACCESS_DENIED));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(WaitFor([] { return ksim::CountCalls("QueryServiceStatusEx", "WinMgmt") >= 2; }, 5000))
        << "the process was not tried again";
  }
  ASSERT_TRUE(WaitFor([] { return ksim::CountCalls("OpenProcess") >= 1; }, 5000));
  Settle();
  ksim::wmi::RestartOptions crash;
  crash.kind = ksim::wmi::RestartKind::Crash;
  crash.hrDead = RPC_E_DISCONNECTED;
  ksim::wmi::Restart(crash);
  EXPECT_TRUE(WaitFor([] { return CountIds(kWmiLost) == 1; }, 5000)) << "the crash was not seen at once";
  ASSERT_TRUE(WaitFor([] { return CountIds(kWmiRestored) == 1; }));
}

TEST_F(PlatformFails, AStopWhileWmiIsAwayIsPrompt) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ksim::wmi::Restart(Restart(ksim::wmi::RestartKind::Crash, RPC_E_DISCONNECTED, INFINITE));
  ASSERT_TRUE(WaitFor([] { return CountIds(kWmiLost) == 1; }));
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 5000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2000));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  EXPECT_EQ(0u, CountIds(kStopIncomplete));
  ksim::wmi::EndOutage();
}

// The event log refuses writes, full or with the Eventlog service stopped: the controller's
// records wait, in order, and are written as soon as it takes records again; nothing is said
// then, as nothing was lost.
class LogRefuses : public PlatformFails, public testing::WithParamInterface<ksim::EventLogRefusal> {};

TEST_P(LogRefuses, TheRecordsWaitAndComeInOrder) {
  SYSTEMTIME utc = Time(2002, 1, 2, 9, 5, 3);
  ksim::SetClock(utc, 0);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ksim::SetEventLogRefusal(GetParam());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 1, "held " + std::to_string(i))));
    Settle();
  }
  ASSERT_TRUE(RaiseHostTimeRequest(kPathA));
  Settle();
  EXPECT_TRUE(Records().empty());
  ksim::SetEventLogRefusal(ksim::EventLogRefusal::None);
  ASSERT_TRUE(WaitFor([] { return Records().size() == 4; }, 5000)) << "the backlog was not written";
  EXPECT_EQ((std::vector<std::string>{"\\Device\\Scsi\\velk41: held 0", "\\Device\\Scsi\\velk41: held 1",
                                      "\\Device\\Scsi\\velk41: held 2",
                                      "Sent host time of 9:5:3 of 1/2/2002 to \\Device\\SCSI\\velk4\r\n"}),
            Texts());
  ExpectServedOnce("after");
  EXPECT_EQ(0u, CountIds(kRecordsLost));
}

INSTANTIATE_TEST_SUITE_P(Refusals, LogRefuses,
                         testing::Values(ksim::EventLogRefusal::Full, ksim::EventLogRefusal::Stopped),
                         [](const testing::TestParamInfo<ksim::EventLogRefusal>& info) {
                           return info.param == ksim::EventLogRefusal::Full ? "Full" : "Stopped";
                         });

// More refused records than the backlog holds: what does not fit is counted, and one warning says
// so, and since when, as soon as the log takes records again; the rest comes in order.
TEST_F(PlatformFails, WhatDoesNotFitIsCountedAndSaidOnce) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ksim::SetEventLogRefusal(ksim::EventLogRefusal::Full);
  const int kMessages = 1024 + 30;
  for (int i = 0; i < kMessages; ++i) {
    ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 1, "m" + std::to_string(i))));
    if (i % 64 == 0) Settle();
  }
  Settle();
  ksim::SetEventLogRefusal(ksim::EventLogRefusal::None);
  ASSERT_TRUE(WaitFor([] { return Records().size() == 1024 + 1; }, 10000));
  EXPECT_EQ(1u, CountIds(kRecordsLost));
  EXPECT_EQ(1u, CountTextsWith("30 controller message(s) and 0 host-time record(s) did not fit"));
  EXPECT_EQ(1u, CountTextsWith("the event log refused records (error 1502)"));
  ExpectServedOnce("after");
  EXPECT_EQ(1u, CountIds(kRecordsLost));
}

// A provider busy for a moment: GetObject of the message's instance fails once, and the message
// is logged all the same; one that keeps failing is reported, not dropped in silence.
TEST_F(PlatformFails, AnInstanceThatCannotBeReadAtOnceIsReadAgain) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  {
    ksim::ScopedFault busy(Fault("IWbemServices::GetObject").Nth(1).Returns(WBEM_E_PROVIDER_FAILURE));
    ExpectServedOnce("busy for a moment");
  }
  EXPECT_EQ(0u, CountIds(kEventLost));
  ksim::ScopedFault gone(Fault("IWbemServices::GetObject").Returns(WBEM_E_PROVIDER_FAILURE));
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 7, "never read")));
  Settle();
  EXPECT_EQ(1u, CountIds(kEventLost));
  EXPECT_EQ(1u, CountTextsWith("A firmware message of velk4 is lost"));
}

// A controller's first messages come before WMI's poll has announced it: the table is built
// anew and the messages are logged under its driver. A second one that appears right after that
// rebuild waits for the next one, a second later at most, and is served too.
TEST_F(PlatformFails, AControllerNotYetAnnouncedIsServedFromItsFirstMessage) {
  ksim::wmi::SetPolling(ksim::wmi::Polling::Manual);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  AddScsiController(kPathB, L"velk4");  // no poll: WMI has not announced it
  ExpectServedOnce("first words", kPathB);
  AddScsiController(kPathC, L"velk4");
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathC, 20, 7, "next words")));
  EXPECT_TRUE(WaitFor([] { return CountTextsWith("7: next words") + CountTextsWith("from unknown adapter") > 0; }));
  Settle();
  EXPECT_EQ(1u, CountTextsWith("7: next words"));
  EXPECT_EQ(0u, CountTextsWith("from unknown adapter"));
}

// A flood of events from a device no table knows costs at most one rebuild of the table a second.
TEST_F(PlatformFails, AFloodFromAnUnknownDeviceCostsAtMostOneRebuildASecond) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ksim::ClearCalls();
  const auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 200; ++i) {
    ksim::machine::FirmwareMessage m = Message(kPathA, 20, 0, "stray");
    m.instanceName = ksim::machine::InstanceNameOf(kPathUnknown);
    ASSERT_TRUE(RaiseFirmwareMessage(m));
  }
  // Events that came after a rebuild began wait for the next one, which settling does not see.
  EXPECT_TRUE(WaitFor([] { return CountTextsWith("from unknown adapter") == 200; }));
  Settle();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
  EXPECT_LE(ksim::CountCalls("IWbemServices::CreateInstanceEnum"), static_cast<size_t>(seconds.count()) + 1);
  EXPECT_EQ(200u, CountTextsWith("from unknown adapter"));
}

// An enumeration of the controllers whose Next times out: it is asked again, and only a table
// from an enumeration that completed is published.
TEST_F(PlatformFails, AnEnumerationThatTimesOutIsWaitedForAndNeverTakenForComplete) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  Install();
  {
    // Late once: waited for.
    ksim::ScopedFault late(
        Fault("IEnumWbemClassObject::Next").Nth(1).Returns(WBEM_S_TIMEDOUT).Variant(ksim::wmi::kNextTimedOut));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_RUNNING, 10000));
    ASSERT_TRUE(ksim::WaitForServiceIdle(kServiceName, 10000));
    Settle();
  }
  ExpectServedOnce("counted");
  EXPECT_EQ(0u, CountTextsWith("did not complete"));
  Stop();
  ksim::ClearEventLog();

  // Never finished while the fault lasts: nothing is published, and nothing says that there is no
  // controller; the table is built again once WMI finishes.
  {
    ksim::ScopedFault never(
        Fault("IEnumWbemClassObject::Next").Returns(WBEM_S_TIMEDOUT).Variant(ksim::wmi::kNextTimedOut));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_RUNNING, 10000));
    ASSERT_TRUE(WaitFor([] { return CountTextsWith("did not complete") >= 1; }));
    EXPECT_EQ(0u, CountTextsWith("No SCSI controller was found"));
    EXPECT_EQ(0u, CAdapterInfo::GetAdapterChannelCount());
  }
  ASSERT_TRUE(WaitFor([] { return CAdapterInfo::GetAdapterChannelCount() == 1; }));
  Settle();
  ExpectServedOnce("rebuilt");
}

// The query of arriving controllers is refused at start: the log says so, it is registered
// again soon, and a controller that arrives later is served.
TEST_F(PlatformFails, ARefusedControllerQueryIsReportedAndRegisteredAgain) {
  LoadRaidDriver(L"velk4");
  Install();
  {
    ksim::ScopedFault refused(Fault("IWbemServices::ExecNotificationQueryAsync")
                                  .On("__InstanceCreationEvent:Win32_SCSIController")
                                  .Nth(1)
                                  .Returns(WBEM_E_FAILED));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(WaitFor([] { return CountIds(kQueryLost) == 1; }));
  }
  ASSERT_TRUE(WaitFor([] { return CountIds(kQueryRestored) == 1; }, 5000)) << "not registered again";
  AddScsiController(kPathA, L"velk4");
  Settle();
  ASSERT_TRUE(WaitFor([] { return CountSubscribed(kQueryMessages) == 1; }));
  ExpectServedOnce("arrived later");
}

// The message query is refused at start: for want of the driver's classes (the driver loads after
// the start, or just after the refusal and before the query of the class's creation stands, when
// no creation event ever tells of it), or for a moment. Its companions, the host-time query
// among them, are registered with it. A driver not yet loaded is no loss to report.
enum class LateKind { AfterTheStart, BetweenTheRefusalAndTheCreationQuery, RefusedOnce };

struct DriverLateCase {
  const char* name;
  LateKind kind;
};

void PrintTo(const DriverLateCase& c, std::ostream* os) { *os << c.name; }

class MessageQueryRefusedAtStart : public PlatformFails, public testing::WithParamInterface<DriverLateCase> {};

TEST_P(MessageQueryRefusedAtStart, ItAndItsCompanionsAreRegistered) {
  const LateKind kind = GetParam().kind;
  AddScsiController(kPathA, L"velk4");
  if (kind == LateKind::RefusedOnce) LoadRaidDriver(L"velk4");
  Install();
  {
    std::atomic<bool> loaded{false};
    ksim::ScopedHook between("IWbemServices::ExecNotificationQueryAsync", "__ClassCreationEvent:Talvenix_AdapterPrintf",
                             [&] {
                               if (kind == LateKind::BetweenTheRefusalAndTheCreationQuery && !loaded.exchange(true))
                                 LoadRaidDriver(L"velk4");
                             });
    ksim::ScopedFault once(Fault("IWbemServices::ExecNotificationQueryAsync")
                               .On(kind == LateKind::RefusedOnce ? "Talvenix_AdapterPrintfNotification" : "none")
                               .Nth(1)
                               .Returns(WBEM_E_FAILED));
    ASSERT_EQ(0u, Start());
    if (kind == LateKind::AfterTheStart) LoadRaidDriver(L"velk4");
    ASSERT_TRUE(WaitFor([] { return CountSubscribed(kQueryMessages) == 1 && CountSubscribed(kQueryHostTime) == 1; },
                        5000))
        << "the message and host-time queries were never registered";
  }
  Settle();
  ExpectServedOnce("after the refusal");
  const size_t said = kind == LateKind::RefusedOnce ? 1 : 0;
  EXPECT_EQ(said, CountIds(kQueryLost));
  EXPECT_EQ(said, CountIds(kQueryRestored));
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, MessageQueryRefusedAtStart,
    testing::Values(DriverLateCase{"DriverAfterTheStart", LateKind::AfterTheStart},
                    DriverLateCase{"DriverBetweenTheRefusalAndTheCreationQuery",
                                   LateKind::BetweenTheRefusalAndTheCreationQuery},
                    DriverLateCase{"RefusedOnce", LateKind::RefusedOnce}),
    [](const testing::TestParamInfo<DriverLateCase>& info) { return info.param.name; });

// A query that WMI keeps refusing is reported once and tried again less and less often.
TEST_F(PlatformFails, ARefusalThatLastsIsRetriedWithBackOff) {
  LoadRaidDriver(L"velk4");
  Install();
  ksim::ScopedFault refused(Fault("IWbemServices::ExecNotificationQueryAsync")
                                .On("__InstanceCreationEvent:Win32_SCSIController")
                                .Returns(WBEM_E_FAILED));
  ASSERT_EQ(0u, Start());
  // Tries at the start and 1, 3 and 7 seconds later; one try a second would make seven.
  std::this_thread::sleep_for(std::chrono::milliseconds(6500));
  EXPECT_GE(refused.Hits(), 3u);
  EXPECT_LE(refused.Hits(), 4u);
  EXPECT_EQ(1u, CountIds(kQueryLost));
}

// The driver unloads and loads again between two of WMI's polls: no class event at all, only the
// final status WMI gave the queries at the unload. The service registers them again within
// seconds.
TEST_F(PlatformFails, AReloadNoPollSawIsHealedWithinSeconds) {
  ksim::wmi::SetPolling(ksim::wmi::Polling::Manual);
  ksim::wmi::SetClassRemoval(ksim::wmi::ClassRemoval::StatusError, WBEM_E_FAILED);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  UnloadRaidDriver();
  LoadRaidDriver(L"velk4");
  ASSERT_TRUE(WaitFor([] { return CountSubscribed(kQueryMessages) == 1 && CountSubscribed(kQueryHostTime) == 1; },
                      5000));
  Settle();
  ExpectServedOnce("after the unseen reload");
}

TEST_F(PlatformFails, ANameWithADoubleQuoteIsFetchedByItsEscapedPath) {
  const wchar_t kPathQuoted[] = L"PCI\\VEN_ABCD&DEV_1234\\4&\"quoted\"&0&00e0";
  AddScsiController(kPathQuoted, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ExpectServedOnce("quoted", kPathQuoted);
}

TEST_F(PlatformFails, ADriverListWithBlanksServesEveryDriver) {
  AddScsiController(kPathQ, L"qtr");
  LoadRaidDriver(L"qtr");
  InstallAndStart("velk4, qtr");
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathQ, 20, 2, "blank before")));
  Settle();
  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\qtr2: blank before"));
}

// WMI hangs in a call the stop makes: the stop ends all the same, reporting its progress, and the
// control returns at once.
struct HangCase {
  const char* name;
  const char* call;
};

void PrintTo(const HangCase& c, std::ostream* os) { *os << c.name; }

class StopThroughAHang : public PlatformFails, public testing::WithParamInterface<HangCase> {};

TEST_P(StopThroughAHang, StopsWithin15Seconds) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  // The hung thread may still be inside the hook when the test ends: what it waits on is its own
  // to keep, and the gate opens at the end of the test whatever happened before.
  struct tHang {
    Gate gate;
    std::atomic<bool> bStopping{false};
  };
  auto pHang = std::make_shared<tHang>();
  struct OpenAtEnd {
    std::shared_ptr<tHang> p;
    ~OpenAtEnd() { p->gate.Open(); }
  } openAtEnd{pHang};
  ksim::ScopedHook hook(GetParam().call, "", [pHang] {
    if (pHang->bStopping) pHang->gate.Wait();
  });
  pHang->bStopping = true;
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000)) << "the control waited";
  ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 15000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(15000));
  // Stop pending again and again, with a rising check point, each within its wait hint.
  DWORD dwLastCheckPoint = 0;
  size_t nPending = 0;
  for (const ksim::StatusReport& r : ksim::StatusReports(kServiceName)) {
    if (r.status.dwCurrentState != SERVICE_STOP_PENDING) continue;
    ++nPending;
    EXPECT_GT(r.status.dwCheckPoint, dwLastCheckPoint);
    dwLastCheckPoint = r.status.dwCheckPoint;
  }
  EXPECT_GT(nPending, 2u);
  EXPECT_EQ(1u, CountIds(kStopIncomplete));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
}

INSTANTIATE_TEST_SUITE_P(Hangs, StopThroughAHang,
                         testing::Values(HangCase{"Cancel", "IWbemServices::CancelAsyncCall"},
                                         HangCase{"Release", "IWbemServices::Release"}),
                         [](const testing::TestParamInfo<HangCase>& info) { return info.param.name; });

// At system shutdown the service stops as at a stop control, and the messages it has in hand
// reach the log before the system ends it.
// A handler hangs in WMI through the stop: the stop waits for the event in hand, then for the
// worker, each for its time, says which it left behind, and ends.
TEST_F(PlatformFails, AStopThroughAHungHandlerSaysWhatItLeft) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  auto pHang = std::make_shared<Gate>();
  struct OpenAtEnd {
    std::shared_ptr<Gate> p;
    ~OpenAtEnd() { p->Open(); }
  } openAtEnd{pHang};
  ksim::ScopedHook hook("IWbemServices::GetObject", "", [pHang] { pHang->Wait(); });
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 1, "held")));
  ASSERT_TRUE(pHang->WaitArrived(1));
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 15000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(15000));
  EXPECT_EQ(1u, CountTextsWith("with 1 event(s) not handled in time"));
  EXPECT_EQ(1u, CountTextsWith("1 event worker(s) did not end in time; the service stopped without them."));
  EXPECT_EQ(2u, CountIds(kStopIncomplete));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
}

TEST_F(PlatformFails, AtShutdownTheMessagesInHandReachTheLog) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  // Slow record writes, so that the messages are in hand when the shutdown comes.
  ksim::ClearCalls();
  ksim::ScopedHook slow("ReportEventA", "velk4", [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(RaiseFirmwareMessage(Message(i % 2 ? kPathA : kPathB, 20, 0, "in hand " + std::to_string(i))));
    // The driver's protocol: the next message of a controller is stored once this one is read.
    ASSERT_TRUE(WaitFor([&] { return ksim::CountCalls("IWbemServices::GetObject") >= static_cast<size_t>(i + 1); }));
  }
  ASSERT_TRUE(ksim::wmi::WaitIdle());
  const std::vector<std::string> cut = ksim::ShutdownSystem(5000);
  EXPECT_TRUE(cut.empty()) << "the service did not stop within the shutdown budget";
  for (int i = 0; i < 40; ++i) EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk40: in hand " + std::to_string(i))) << i;
  EXPECT_EQ(SERVICE_STOPPED, ksim::FindService(kServiceName)->status.dwCurrentState);
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
}

}  // namespace
}  // namespace ktest
