// The whole service, installed and started through the Service Control Manager, stopped in the
// middle of a burst of controller messages and host-time requests.
#include "support/ServiceHost.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace e2e {
namespace {

using namespace std::chrono_literals;

class StopDuringBurst : public ServiceHost {};

TEST_F(StopDuringBurst, TheServiceStopsCleanlyWhileWorkersRun) {
  ksim::machine::AddScsiController(kVelk0, L"velk4");
  ksim::machine::AddScsiController(kVelk1, L"velk4");
  ksim::machine::AddScsiController(kOther, L"qtr");
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  ASSERT_TRUE(Subscribed(kQueryMessages));
  ASSERT_TRUE(Subscribed(kQueryHostTime));

  std::atomic<bool> bStop{false};
  std::vector<std::thread> threads;
  for (const wchar_t* pwszPath : {kVelk0, kVelk1, kOther})
    threads.emplace_back([&, pwszPath] {
      for (int k = 0; !bStop; ++k) {
        ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(pwszPath, 20 + 10 * (k % 3), k, "burst"));
        ksim::machine::RaiseHostTimeRequest(pwszPath);
        // A busy controller, not a flood that WMI's queue could never drain.
        std::this_thread::sleep_for(500us);
      }
    });
  for (int i = 0; i < 2000 && ksim::EventLogRecords().size() < 100; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_LE(100u, ksim::EventLogRecords().size());

  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  EXPECT_TRUE(ksim::WaitForServiceProcesses(30000)) << "the stop hung";
  bStop = true;
  for (std::thread& t : threads) t.join();
  Settle();

  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ReportedStates().back());
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  EXPECT_EQ(0, ksim::LiveCount("IWbemServices")) << "a services object outlived the service";
  EXPECT_EQ(0, ksim::LiveCount("IWbemLocator"));
}

}  // namespace
}  // namespace e2e
