// The WMI service object: creation, the start-up registrations, the query operations and the
// stop, with its rundown of calls still running.
#include "wmi/WMIService.h"

#include "service/ServiceUtil.h"

#include "WmiFixture.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using ktest::Registrations;
using ktest::Settle;
using ktest::WmiFixture;

// The object is made in the test's own apartment: Initialize's COM start then finds the thread
// initialised already, so the tests start COM after creating it.
class WMIService : public testing::Test {
 protected:
  void SetUp() override {
    ksim::machine::AddScsiController(ktest::kPathA, L"velk4");
    CAdapterInfo::CreateSupportedDriverInfo("velk4");
  }
  void TearDown() override {
    if (m_pService) {
      m_pService->ServiceShutdown();
      m_pService->Release();
    }
    Settle();
    CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
    while (ksim::com::MtaThreads() > 0) CoUninitialize();
  }
  void Create() {
    ASSERT_EQ(ecNoError, CWMIService::Create(&m_pService));
    ASSERT_EQ(m_pService, CWMIServiceUtil::GetWMIService());
  }

  CWMIService* m_pService = nullptr;
};

TEST_F(WMIService, CreateWithoutAPlaceAllocatesNothing) {
  ksim::ClearCalls();
  EXPECT_EQ(ecBadParameter, CWMIService::Create(nullptr));
  EXPECT_EQ(0u, ksim::CountCalls("operator new"));
}

TEST_F(WMIService, LogMainWithTheDriverLoaded) {
  ksim::machine::LoadRaidDriver(L"velk4");
  Create();
  ksim::ClearCalls();
  EXPECT_EQ(ecNoError, m_pService->LogMain());
  // The creation queries of both classes are registered even though the classes exist: they
  // stay for the whole run, so that no reload of the driver goes unseen.
  EXPECT_EQ((std::vector<std::string>{"Talvenix_AdapterPrintfNotification", "__ClassDeletionEvent:Talvenix_AdapterPrintf",
                                      "Talvenix_HostTimeRequest", "__ClassDeletionEvent:Talvenix_SetHostTime",
                                      "__ClassCreationEvent:Talvenix_AdapterPrintf",
                                      "__ClassCreationEvent:Talvenix_SetHostTime",
                                      "__InstanceCreationEvent:Win32_SCSIController",
                                      "__InstanceDeletionEvent:Win32_SCSIController"}),
            Registrations());
  EXPECT_EQ(qsActive, m_pService->GetQueryStatus(nsWMI, qCCreateAdapterPrintf));
  EXPECT_EQ(qsActive, m_pService->GetQueryStatus(nsCIMV2, qIDeleteWin32ScsiController));
}

TEST_F(WMIService, LogMainWithoutTheDriver) {
  Create();
  ksim::ClearCalls();
  EXPECT_EQ(ecNoError, m_pService->LogMain());
  EXPECT_EQ((std::vector<std::string>{"Talvenix_AdapterPrintfNotification", "__ClassCreationEvent:Talvenix_AdapterPrintf",
                                      "__ClassCreationEvent:Talvenix_SetHostTime",
                                      "__InstanceCreationEvent:Win32_SCSIController",
                                      "__InstanceDeletionEvent:Win32_SCSIController"}),
            Registrations());
  EXPECT_EQ(qsFailed, m_pService->GetQueryStatus(nsWMI, qEAdapterPrintfNotification));
}

TEST_F(WMIService, LogMainWithoutControllersSaysSoAndFollowsThemAll) {
  ksim::machine::RemoveScsiController(ktest::kPathA);
  ksim::machine::LoadRaidDriver(L"velk4");
  Create();
  ksim::ClearCalls();
  ksim::ClearEventLog();
  EXPECT_EQ(ecNoError, m_pService->LogMain());
  EXPECT_EQ(8u, Registrations().size()) << "the same start-up registrations as with a controller";
  EXPECT_EQ(qsActive, m_pService->GetQueryStatus(nsCIMV2, qICreateWin32ScsiController));
  std::vector<ksim::EventRecord> records = ksim::EventLogRecords();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, records[0].type);
  EXPECT_EQ(0x40002015u, records[0].eventId);
  EXPECT_EQ("No SCSI controller was found at start; controllers are served as they arrive.\r\n",
            records[0].strings.at(0));
}

TEST_F(WMIService, AfterTheStopEveryOperationRefuses) {
  ksim::machine::LoadRaidDriver(L"velk4");
  Create();
  m_pService->LogMain();
  EXPECT_EQ(ecNoError, m_pService->ServiceShutdown());
  EXPECT_TRUE(m_pService->IsShuttingDown());
  EXPECT_EQ(nullptr, CWMIServiceUtil::GetWMIService());
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());

  EQueryStatus status = static_cast<EQueryStatus>(77);
  EXPECT_EQ(ecShuttingDown, m_pService->ExecQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &status));
  EXPECT_EQ(ecShuttingDown, m_pService->CancelQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &status));
  EXPECT_EQ(ecShuttingDown, m_pService->FollowControllers(true));
  EXPECT_EQ(77u, static_cast<DWORD>(status));
  EXPECT_EQ(qsUnknown, m_pService->GetQueryStatus(nsWMI, qEHostTimeRequest));
  EXPECT_EQ(ecShuttingDown, m_pService->ServiceShutdown());
  m_pService->WaitForShutdown();  // returns at once
  EXPECT_EQ(0u, CAdapterInfo::GetAdapterChannelCount()) << "the adapter table is gone";
}

TEST_F(WMIService, BadQueryNamesAreRefused) {
  Create();
  EQueryStatus status = qsUnknown;
  EXPECT_EQ(ecBadParameter, m_pService->ExecQueryAsync(nsCIMV2, qEHostTimeRequest, qoForce, &status));
  EXPECT_EQ(ecBadParameter, m_pService->ExecQueryAsync(static_cast<ENameSpace>(2), qEHostTimeRequest, qoForce, &status));
  EXPECT_EQ(qsUnknown, m_pService->GetQueryStatus(nsWMI, static_cast<EQueryEvent>(10)));
}

TEST_F(WMIService, WaitForShutdownReturnsOnlyAfterTheRelease) {
  ksim::machine::LoadRaidDriver(L"velk4");
  Create();
  m_pService->LogMain();
  std::atomic<bool> bReleased{false};
  std::thread waiter([&] {
    m_pService->WaitForShutdown();
    bReleased = ksim::wmi::Subscriptions().empty() && CAdapterInfo::GetAdapterChannelCount() == 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  m_pService->ServiceShutdown();
  waiter.join();
  EXPECT_TRUE(bReleased);
}

// A registration that WMI has not answered yet when the stop begins: the stop waits for it, a
// call that comes later is refused, and nothing it registered survives.
TEST_F(WMIService, StopWaitsForACallStillRunning) {
  ksim::machine::LoadRaidDriver(L"velk4");
  Create();
  std::mutex lock;
  std::condition_variable changed;
  bool bInside = false, bGo = false;
  ksim::ScopedHook hook("IWbemServices::ExecNotificationQueryAsync", "Talvenix_HostTimeRequest", [&] {
    std::unique_lock<std::mutex> guard(lock);
    bInside = true;
    changed.notify_all();
    changed.wait(guard, [&] { return bGo; });
  });
  std::thread caller([&] {
    EQueryStatus status = qsUnknown;
    m_pService->ExecQueryAsync(nsWMI, qEHostTimeRequest, qoForce, &status);
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return bInside; });
  }
  std::atomic<bool> bStopped{false};
  std::thread stopper([&] {
    m_pService->ServiceShutdown();
    bStopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(bStopped) << "the stop waits for the call";
  EQueryStatus status = qsUnknown;
  EXPECT_EQ(ecShuttingDown, m_pService->ExecQueryAsync(nsWMI, qEAdapterPrintfNotification, qoForce, &status));
  {
    std::lock_guard<std::mutex> guard(lock);
    bGo = true;
    changed.notify_all();
  }
  caller.join();
  stopper.join();
  EXPECT_TRUE(bStopped);
  Settle();
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
}

}  // namespace
