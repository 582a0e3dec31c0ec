// Many events at once: every message of a burst across several controllers reaches the log
// exactly once, and the services, the sinks and the adapter table can be let go in the middle of
// a burst without a worker touching freed memory or a stop hanging.
#include "SinkTestSupport.h"
#include "support/Gate.h"

#include "wmi/Consumers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace ktest {
namespace {

using namespace std::chrono_literals;

// Controller i has the supported driver kDrivers[i], so that its records have a source of their own.
const wchar_t* const kDrivers[] = {L"velk4", L"velk5", L"velk6", L"velk7"};
const size_t kControllers = sizeof(kDrivers) / sizeof(kDrivers[0]);

std::wstring PathOf(size_t i) {
  return L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&" + std::to_wstring(1000 + i) + L"&0&00e" +
         std::to_wstring(i);
}

std::string TextOf(size_t controller, size_t message) {
  return "controller " + std::to_string(controller) + " message " + std::to_string(message) + " 100%";
}

class Burst : public SinkFixture {
 protected:
  void SetUp() override {
    SinkFixture::SetUp();
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo("velk4,velk5,velk6,velk7"));
    for (size_t i = 0; i < kControllers; ++i) ksim::machine::AddScsiController(PathOf(i), kDrivers[i]);
    ksim::machine::LoadRaidDriver(L"velk4");
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
    m_services = CComRef<IWbemServices>(Connect(ksim::wmi::kRootWmi));
    ASSERT_TRUE(m_services);
    ksim::wmi::SetDeliveryThreads(4);
    // Thousands of events would make a long call record; nothing here reads it.
    ksim::SetCallRecording(false);
    ksim::ClearCalls();
    ksim::ClearEventLog();
  }
  void TearDown() override {
    ksim::SetCallRecording(true);
    SinkFixture::TearDown();
  }

  // Raises messages and host-time requests of every controller on threads of their own until
  // `stop` returns true.
  static std::vector<std::thread> RaiseUntil(const std::function<bool()>& stop) {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kControllers; ++i)
      threads.emplace_back([i, stop] {
        for (size_t k = 0; !stop(); ++k) {
          ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(PathOf(i), 20, static_cast<LONG>(i), TextOf(i, k)));
          ksim::machine::RaiseHostTimeRequest(PathOf(i));
          // A busy controller, not a flood that WMI's queue could never drain.
          std::this_thread::sleep_for(200us);
        }
      });
    return threads;
  }
};

TEST_F(Burst, EveryMessageOfEveryControllerIsLoggedExactlyOnce) {
  const size_t kMessages = 500;
  CWbemSink* pSink = Subscribe(kQueryMessages, CWbemSink::IndEAdapterPrintfNotification);

  // The driver keeps one message instance per controller: a controller's next message waits
  // until the previous one was read and is being written.
  std::mutex lock;
  std::condition_variable written;
  size_t counts[kControllers] = {};
  std::vector<std::unique_ptr<ksim::ScopedHook>> hooks;
  for (size_t i = 0; i < kControllers; ++i)
    hooks.push_back(std::make_unique<ksim::ScopedHook>("ReportEventA", Narrow(kDrivers[i]), [&, i] {
      std::lock_guard<std::mutex> guard(lock);
      ++counts[i];
      written.notify_all();
    }));

  std::atomic<bool> bTimedOut{false};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kControllers; ++i)
    threads.emplace_back([&, i] {
      for (size_t k = 0; k < kMessages && !bTimedOut; ++k) {
        if (!ksim::machine::RaiseFirmwareMessage(
                ksim::machine::Message(PathOf(i), 20, static_cast<LONG>(i), TextOf(i, k)))) {
          bTimedOut = true;
          break;
        }
        std::unique_lock<std::mutex> guard(lock);
        if (!written.wait_for(guard, 20s, [&] { return counts[i] > k; })) bTimedOut = true;
      }
    });
  for (std::thread& t : threads) t.join();
  ASSERT_FALSE(bTimedOut) << "a message was never written";
  Settle();
  hooks.clear();

  std::map<std::string, size_t> seen;
  std::vector<size_t> next(kControllers, 0);
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) {
    ASSERT_EQ(1u, r.strings.size());
    ++seen[r.source + "|" + r.strings[0]];
  }
  size_t nTotal = 0;
  for (size_t i = 0; i < kControllers; ++i)
    for (size_t k = 0; k < kMessages; ++k) {
      const std::string key = Narrow(kDrivers[i]) + "|\\Device\\Scsi\\" + Narrow(kDrivers[i]) + std::to_string(i) +
                              ": " + TextOf(i, k);
      EXPECT_EQ(1u, seen[key]) << key;
      nTotal += seen[key];
    }
  EXPECT_EQ(kControllers * kMessages, nTotal);
  EXPECT_EQ(kControllers * kMessages, ksim::EventLogRecords().size()) << "records that belong to no message";

  EXPECT_EQ(WBEM_S_NO_ERROR, m_services->CancelAsyncCall(pSink));
  pSink->Release();
}

TEST_F(Burst, LettingGoOfSinkServicesAndTableWhileWorkersWaitIsSafe) {
  CWbemSink* pSink = Subscribe(kQueryMessages, CWbemSink::IndEAdapterPrintfNotification);
  // Workers stop right before they fetch their message instance through the services.
  Gate gate;
  ksim::ScopedHook hook("IWbemServices::GetObject", "", [&] { gate.Wait(); });

  for (size_t i = 0; i < kControllers; ++i)
    ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(PathOf(i), 30, 7, TextOf(i, 0))));
  ASSERT_TRUE(gate.WaitArrived(static_cast<int>(kControllers), 20000));
  ASSERT_TRUE(ksim::wmi::WaitIdle());  // WMI has let go of its deliveries' sink references

  // Everyone but the workers lets go: the query, the sink, the services and the adapter table.
  EXPECT_EQ(WBEM_S_NO_ERROR, m_services->CancelAsyncCall(pSink));
  EXPECT_EQ(0u, pSink->Release());
  m_services.Reset();
  EXPECT_EQ(ecNoError, CAdapterInfo::DeleteAdapterInfo(nullptr));
  EXPECT_EQ(1, ksim::LiveCount("IWbemServices"));
  EXPECT_FALSE(CRundown::Service().WaitDrained(20));

  gate.Open();
  Settle();
  EXPECT_EQ(0, ksim::LiveCount("IWbemServices")) << "the workers' services references leaked";
  // Each worker finished with the table it started with.
  std::vector<Record> expected;
  for (size_t i = 0; i < kControllers; ++i) {
    const std::string driver = Narrow(kDrivers[i]);
    expected.push_back(Record{driver, EVENTLOG_WARNING_TYPE, 0x81011001, "\\Device\\Scsi\\" + driver + "7: " + TextOf(i, 0)});
  }
  std::vector<Record> records = Records();
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.source < b.source; });
  EXPECT_EQ(expected, records);
}

TEST_F(Burst, DestroyingTheConsumersInTheMiddleOfABurstIsSafe) {
  const int64_t nServices = ksim::LiveCount("IWbemServices");
  // However WMI orders the cancelled query's last SetStatus, the sink outlives the consumer
  // that made it and the services outlive the sink's workers.
  for (ksim::wmi::CancelOrder order : {ksim::wmi::CancelOrder::StatusBeforeReturn,
                                       ksim::wmi::CancelOrder::StatusAfterReturn, ksim::wmi::CancelOrder::StatusHeld}) {
    if (!CAdapterInfo::GetAdapterChannelCount()) {
      ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
    }
    ksim::wmi::SetCancelOrder(order);
    const size_t nCalls = ksim::machine::SetAdapterTimeCalls().size();
    CConsumers* pConsumers = nullptr;
    ASSERT_EQ(ecNoError, CConsumers::Create(&pConsumers, nsWMI));
    EQueryStatus status = qsUnknown;
    ASSERT_EQ(ecNoError, pConsumers->CallExecNotificationQueryAsync(qEAdapterPrintfNotification, qoForce, &status));
    ASSERT_EQ(ecNoError, pConsumers->CallExecNotificationQueryAsync(qEHostTimeRequest, qoForce, &status));

    std::atomic<bool> bStop{false};
    std::vector<std::thread> threads = RaiseUntil([&] { return bStop.load(); });
    // Let the burst run until there are workers at every stage, then pull everything away.
    for (int i = 0; i < 2000 && ksim::machine::SetAdapterTimeCalls().size() < nCalls + 20; ++i)
      std::this_thread::sleep_for(5ms);
    EXPECT_LE(nCalls + 20, ksim::machine::SetAdapterTimeCalls().size());
    delete pConsumers;
    EXPECT_EQ(ecNoError, CAdapterInfo::DeleteAdapterInfo(nullptr));
    std::this_thread::sleep_for(20ms);
    bStop = true;
    for (std::thread& t : threads) t.join();
    if (order == ksim::wmi::CancelOrder::StatusHeld) ksim::wmi::ReleaseHeldStatus();

    Settle();
    EXPECT_EQ(nServices, ksim::LiveCount("IWbemServices")) << "services outlived every worker";
    EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  }
}

}  // namespace
}  // namespace ktest
