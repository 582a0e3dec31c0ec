// The third layer of the test support: a fixture that runs korvlog as an installed service on the
// simulated host. It installs it through its own command line, starts and controls it through the
// Service Control Manager, scripts the machine, and reads what the service did.
#pragma once

#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"
#include "support/Console.h"
#include "support/Com.h"
#include "wmi/WMIService.h"

#include <MessageTableResource.h>
#include <ksim/Com.h>
#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Scm.h>
#include <ksim/Services.h>
#include <ksim/Wmi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ktest {

// Where the installed service's executable lies.
const char kServiceModulePath[] = "C:\\korvlog\\korvlog.exe";

// A cancellation order of WMI's, named for parameterised tests.
struct CancelOrderCase {
  const char* name;
  ksim::wmi::CancelOrder order;
};

inline void PrintTo(const CancelOrderCase& c, std::ostream* os) { *os << c.name; }

class ServiceHost : public testing::Test {
 protected:
  void SetUp() override {
    ksim::SetModulePath(kServiceModulePath);
    ksim::SetProcessEntry(KorvlogMain);
    ksim::SetVirtualSleep(true);
    ksim::SetModuleMessageTable(kServiceModulePath, std::vector<BYTE>(std::begin(c_rgbMessageTableResource),
                                                               std::end(c_rgbMessageTableResource)));
  }

  void TearDown() override {
    if (IsRunning()) Control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(ksim::WaitForServiceProcesses(30000)) << "a service process did not end";
    Settle();
    EXPECT_EQ(0, ksim::RunningThreads()) << "an event worker did not end";
  }

  void Install(const std::string& drivers = "velk4,qtr") {
    ConsoleRun run = RunKorvlog({"-i", kServiceName, "-d", drivers}, kServiceModulePath);
    ASSERT_EQ(0, run.exitCode) << run.out;
  }

  // Starts the installed service; the error of StartServiceA, or 0.
  DWORD Start(const std::vector<std::string>& args = {}) { return ksim::StartServiceByName(kServiceName, args); }

  // Installs and starts, and waits until the start-up registrations are made.
  void InstallAndStart(const std::string& drivers = "velk4,qtr") {
    Install(drivers);
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceIdle(kServiceName, 10000));
    Settle();
  }

  // Sends a control; the error of ControlService, or 0.
  DWORD Control(DWORD dwControl) { return ksim::ControlServiceByName(kServiceName, dwControl); }

  // Waits, in real time, until done() holds; false when it still does not after the time-out.
  static bool WaitFor(const std::function<bool()>& done, int timeoutMilliseconds = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  bool IsRunning() {
    auto info = ksim::FindService(kServiceName);
    return info && info->status.dwCurrentState != SERVICE_STOPPED;
  }

  void Stop() {
    ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
    Settle();
  }

  // The product's own view of a query's state while it runs.
  static EQueryStatus StatusOf(ENameSpace ns, EQueryEvent query) {
    CWMIService* pService = CWMIServiceUtil::AcquireWMIService();
    if (!pService) return qsUnknown;
    EQueryStatus status = pService->GetQueryStatus(ns, query);
    pService->Release();
    return status;
  }

  // The registration WMI holds for a query (the number of its sink), or 0.
  static DWORD RegistrationOf(const std::wstring& query) {
    for (const auto& sub : ksim::wmi::Subscriptions())
      if (sub.query == query && !sub.silentlyEnded) return static_cast<const CWbemSink*>(sub.sink)->Registration();
    return 0;
  }

  static size_t CountTexts(const std::string& text) {
    std::vector<std::string> texts = Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
  }

  // How many records' texts hold part.
  static size_t CountTextsWith(const std::string& part) {
    size_t n = 0;
    for (const std::string& t : Texts()) n += t.find(part) != std::string::npos;
    return n;
  }

  static bool Subscribed(const std::wstring& query) { return CountSubscribed(query) > 0; }

  static size_t CountSubscribed(const std::wstring& query) {
    size_t n = 0;
    for (const auto& s : ksim::wmi::Subscriptions())
      if (s.query == query && !s.silentlyEnded) ++n;
    return n;
  }

  // The values the simulated repository itself holds count as live BSTRs and safe arrays too,
  // so a test compares with what lived before the service started.
  static LeakCheck LiveBstrs() { return LeakCheck({"bstrs", "safearrays"}); }
  static void ExpectNothingLeft(const LeakCheck& before) {
    EXPECT_EQ(0, ksim::LiveCount("com_objects"));
    before.ExpectNone();
  }

  static std::vector<DWORD> ReportedStates() {
    std::vector<DWORD> states;
    for (const ksim::StatusReport& r : ksim::StatusReports(kServiceName)) states.push_back(r.status.dwCurrentState);
    return states;
  }
};

}  // namespace ktest
