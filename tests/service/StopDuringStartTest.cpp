// A stop sent through the Service Control Manager while korvlog is still starting: while the WMI
// service object is made, successfully or not. Each gives exactly one stop-pending and one
// stopped report (with the start's error when it failed), and the process ends with nothing of
// it cut or left behind. (A stop during the start delay: tests/e2e.)
#include "support/ServiceHost.h"

#include <atomic>
#include <memory>

namespace ktest {
namespace {

struct StopCase {
  const char* name;
  const char* stopAt;  // the call on the service thread during which the stop arrives
  const char* selector;
  bool createFails;
  std::vector<std::string> args;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopDuringStart : public ServiceHost, public testing::WithParamInterface<StopCase> {};

TEST_P(StopDuringStart, StopsOnceAndLeavesNothing) {
  const StopCase& c = GetParam();
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::LoadRaidDriver(L"velk4");
  Install();
  const LeakCheck before = LiveBstrs();
  std::atomic<bool> bSent{false};
  std::atomic<DWORD> dwControlError{0xdeadbeef};
  ksim::ScopedHook stopThen(c.stopAt, c.selector, [&] {
    if (!bSent.exchange(true)) dwControlError = Control(SERVICE_CONTROL_STOP);
  });
  std::unique_ptr<ksim::ScopedFault> fault;
  if (c.createFails)
    fault.reset(new ksim::ScopedFault(Fault("CoInitializeSecurity").Returns(static_cast<int64_t>(E_FAIL))));

  ASSERT_EQ(0u, Start(c.args));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();
  EXPECT_TRUE(bSent);
  EXPECT_EQ(0u, dwControlError.load());
  EXPECT_EQ(ReportedStates(),
            (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  // Stopped as asked, also when the start failed meanwhile: no error, so no failure action starts
  // the service again.
  EXPECT_EQ(0u, ksim::StatusReports(kServiceName).back().status.dwWin32ExitCode);
  EXPECT_EQ(0u, ksim::FindService(kServiceName)->status.dwWin32ExitCode);
  EXPECT_EQ(1u, ksim::ServiceProcessCount(kServiceName));
  EXPECT_EQ(0, ksim::ServiceProcessExitCode(kServiceName));
  EXPECT_EQ(0u, ksim::CutThreads(kServiceName));
  EXPECT_EQ(0u, ksim::wmi::Subscriptions().size());
  EXPECT_EQ(0, ksim::com::MtaThreads());
  ExpectNothingLeft(before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StopDuringStart,
    testing::Values(StopCase{"Create", "CoInitializeSecurity", "", false, {}},
                    StopCase{"CreateThatFails", "CoInitializeSecurity", "", true, {}},
                    StopCase{"Connect", "IWbemLocator::ConnectServer", "\\\\.\\ROOT\\CIMV2", false, {}}),
    [](const testing::TestParamInfo<StopCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ktest
