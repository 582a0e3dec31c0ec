// The whole service, installed and started through the Service Control Manager, stopped in the
// middle of a burst of controller messages and host-time requests: the work accepted before the
// stop is done before stopped is reported, as the process may end right after.
#include "support/ServiceHost.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace ktest {
namespace {

using namespace std::chrono_literals;

class StopDuringBurst : public ServiceHost {
 protected:
  // Counts the records written before each status report, so that a test can see what came
  // after the last one (stopped).
  void WatchReports() {
    m_reportHook = std::make_unique<ksim::ScopedHook>("SetServiceStatus", kServiceName, [this] {
      std::lock_guard<std::mutex> guard(m_lock);
      m_recordsAtReport.push_back(ksim::EventLogRecords().size());
    });
  }
  size_t RecordsBeforeLastReport() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_recordsAtReport.empty() ? 0 : m_recordsAtReport.back();
  }

  std::mutex m_lock;
  std::vector<size_t> m_recordsAtReport;
  std::unique_ptr<ksim::ScopedHook> m_reportHook;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const auto kQuickStop = 2000ms;  // the sanitizers slow every thread down
#else
const auto kQuickStop = 100ms;
#endif

TEST_F(StopDuringBurst, AcceptedWorkFinishesBeforeStoppedAndTheStopReportsItsProgress) {
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  WatchReports();
  // The handler of one message takes 1.5 s to fetch its text.
  std::atomic<bool> bArmed{true}, bInside{false};
  ksim::ScopedHook slow("IWbemServices::GetObject", "", [&] {
    if (!bArmed.exchange(false)) return;
    bInside = true;
    std::this_thread::sleep_for(1500ms);
  });
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kPathA, 30, 1, "slow to fetch")));
  for (int i = 0; i < 2000 && !bInside; ++i) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(bInside);

  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();

  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk41: slow to fetch")) << "the accepted message is logged";
  EXPECT_EQ(ksim::EventLogRecords().size(), RecordsBeforeLastReport()) << "no record after stopped";
  std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), reports.back().status.dwCurrentState);
  std::vector<DWORD> checkPoints;
  for (const ksim::StatusReport& r : reports)
    if (r.status.dwCurrentState == SERVICE_STOP_PENDING) {
      checkPoints.push_back(r.status.dwCheckPoint);
      EXPECT_EQ(6000u, r.status.dwWaitHint);
    }
  ASSERT_GE(checkPoints.size(), 3u) << "stop pending is reported again while the stop waits";
  for (size_t i = 0; i < checkPoints.size(); ++i) EXPECT_EQ(i + 1, checkPoints[i]) << "a rising check point";
}

// The stop drains the queue: every event the sink accepted is handled before stopped, also those
// that waited behind a slow one.
TEST_F(StopDuringBurst, EveryAcceptedEventIsHandledBeforeStopped) {
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  WatchReports();
  std::atomic<bool> bArmed{true};
  ksim::ScopedHook slow("IWbemServices::GetObject", "", [&] {
    if (bArmed.exchange(false)) std::this_thread::sleep_for(300ms);
  });
  const size_t kRequests = 50;
  for (size_t i = 0; i < kRequests; ++i) ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA));
  ASSERT_TRUE(ksim::wmi::WaitIdle()) << "WMI handed every request to the sink";
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();
  EXPECT_EQ(kRequests, ksim::machine::SetAdapterTimeCalls().size());
  EXPECT_EQ(kRequests, CountTextsWith("Sent host time of "));
  EXPECT_EQ(ksim::EventLogRecords().size(), RecordsBeforeLastReport()) << "no record after stopped";
}

TEST_F(StopDuringBurst, AThousandEventsInFlightStillStopAtOnce) {
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::AddScsiController(kPathB, L"velk4");
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  WatchReports();
  ksim::SetCallRecording(false);
  for (int i = 0; i < 1000; ++i)
    ksim::machine::RaiseFirmwareMessage(
        ksim::machine::Message(i % 2 ? kPathA : kPathB, 20, 0, "in flight " + std::to_string(i)));

  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  const auto took = std::chrono::steady_clock::now() - begin;
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();
  ksim::SetCallRecording(true);

  EXPECT_LT(took, kQuickStop) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_EQ(ksim::EventLogRecords().size(), RecordsBeforeLastReport()) << "no record after stopped";
  // The driver keeps one message per controller, so a handler that runs late reads a later
  // text: only the number of records can be checked here, not which texts they carry.
  size_t logged = 0;
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) logged += r.source == "velk4";
  EXPECT_GT(logged, 0u);
  EXPECT_LE(logged, 1000u);
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
}

TEST_F(StopDuringBurst, TheServiceStopsCleanlyWhileWorkersRun) {
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::AddScsiController(kPathB, L"velk4");
  ksim::machine::AddScsiController(kPathQ, L"qtr");
  const LeakCheck bstrsBefore = LiveBstrs();
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  ASSERT_TRUE(Subscribed(kQueryMessages));
  ASSERT_TRUE(Subscribed(kQueryHostTime));

  std::atomic<bool> bStop{false};
  std::vector<std::thread> threads;
  for (const wchar_t* pwszPath : {kPathA, kPathB, kPathQ})
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
  ksim::machine::UnloadRaidDriver();  // its instances hold the last messages
  Settle();
  ExpectNothingLeft(bstrsBefore);
}

}  // namespace
}  // namespace ktest
