// A system shutdown with several service processes of the test's own at once, and the controls
// that a console may send to a running service.
#include "service/InstallSupport.h"

#include <ksim/Services.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace ktest {
namespace {

// What each of the test's services does; the service's name says which.
enum class Plan {
  kStopsInTime,      // accepts stop and shutdown; stops at either
  kHangsAtShutdown,  // accepts stop and shutdown; at shutdown reports stop pending and never stops
  kIgnoresShutdown,  // accepts stop only
};

const char* const kNames[] = {"stopsintime", "hangs", "deaf"};

struct Probe {
  HANDLE hStop = nullptr;
  SERVICE_STATUS_HANDLE hStatus = nullptr;
  std::vector<DWORD> controls;  // every control the handler got, in order
};

std::mutex g_lock;
std::map<std::string, Probe> g_probes;

Probe& ProbeOf(Plan plan) { return g_probes[kNames[static_cast<int>(plan)]]; }

void Report(Plan plan, DWORD dwState, DWORD dwAccepted, DWORD dwCheckPoint = 0) {
  SERVICE_STATUS ss = {SERVICE_WIN32_OWN_PROCESS, dwState, dwAccepted, NO_ERROR, 0, dwCheckPoint, 5000};
  SERVICE_STATUS_HANDLE hStatus;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    hStatus = ProbeOf(plan).hStatus;
  }
  SetServiceStatus(hStatus, &ss);
}

DWORD Accepted(Plan plan) {
  return plan == Plan::kIgnoresShutdown ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
}

void OnControl(Plan plan, DWORD dwControl) {
  HANDLE hStop;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    ProbeOf(plan).controls.push_back(dwControl);
    hStop = ProbeOf(plan).hStop;
  }
  if (plan == Plan::kHangsAtShutdown && dwControl == SERVICE_CONTROL_SHUTDOWN) {
    Report(plan, SERVICE_STOP_PENDING, 0, 1);
  } else if (dwControl == SERVICE_CONTROL_STOP || dwControl == SERVICE_CONTROL_SHUTDOWN) {
    SetEvent(hStop);
  }
}

template <Plan plan>
void WINAPI Handler(DWORD dwControl) {
  OnControl(plan, dwControl);
}

void WINAPI ProbeMain(DWORD, LPSTR* argv) {
  const std::string name = argv[0];
  const Plan plan = static_cast<Plan>(std::find(std::begin(kNames), std::end(kNames), name) - std::begin(kNames));
  static const LPHANDLER_FUNCTION c_rgHandlers[] = {Handler<Plan::kStopsInTime>, Handler<Plan::kHangsAtShutdown>,
                                                    Handler<Plan::kIgnoresShutdown>};
  HANDLE hStop;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    ProbeOf(plan).hStatus = RegisterServiceCtrlHandlerA(name.c_str(), c_rgHandlers[static_cast<int>(plan)]);
    hStop = ProbeOf(plan).hStop;
  }
  Report(plan, SERVICE_RUNNING, Accepted(plan));
  WaitForSingleObject(hStop, INFINITE);
  Report(plan, SERVICE_STOPPED, 0);
}

int ProbeProgram(int, char*[]) {
  char szName[] = "probe";
  SERVICE_TABLE_ENTRYA table[] = {{szName, ProbeMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 2;
}

class ShutdownTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ksim::SetProcessEntry(ProbeProgram);
    std::lock_guard<std::mutex> guard(g_lock);
    g_probes.clear();
  }
  void TearDown() override {
    // A main still waiting in an ended process goes on and is cut at its next call.
    for (auto& entry : g_probes) SetEvent(entry.second.hStop);
    EXPECT_TRUE(ksim::WaitForServiceProcesses(10000));
    EXPECT_EQ(0, ksim::RunningThreads());
    for (auto& entry : g_probes) CloseHandle(entry.second.hStop);
    MachineTest::TearDown();
  }

  // Installs the plan's service, with a restart as its failure action, and starts it.
  static void Run(Plan plan) {
    const char* pszName = kNames[static_cast<int>(plan)];
    {
      std::lock_guard<std::mutex> guard(g_lock);
      ProbeOf(plan).hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = CreateServiceA(hManager, pszName, pszName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\probe.exe", nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    ASSERT_TRUE(hService);
    SC_ACTION restart = {SC_ACTION_RESTART, 0};
    SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 1, &restart};
    EXPECT_TRUE(ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS, &actions));
    CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
    ASSERT_EQ(0u, ksim::StartServiceByName(pszName));
    ASSERT_TRUE(ksim::WaitForServiceState(pszName, SERVICE_RUNNING, 10000));
  }
  static std::vector<DWORD> Controls(Plan plan) {
    std::lock_guard<std::mutex> guard(g_lock);
    return ProbeOf(plan).controls;
  }
  static ksim::ServiceInfo Info(Plan plan) { return *ksim::FindService(kNames[static_cast<int>(plan)]); }
};

// Every service that accepts shutdown gets it at once; the one that stops in time is left to end
// on its own, the others' processes are ended when the budget is spent, and no failure action
// follows.
TEST_F(ShutdownTest, EndsWhatHasNotStoppedWhenTheBudgetIsSpent) {
  for (Plan plan : {Plan::kStopsInTime, Plan::kHangsAtShutdown, Plan::kIgnoresShutdown}) Run(plan);
  HANDLE hHanging = OpenProcess(SYNCHRONIZE, FALSE, Info(Plan::kHangsAtShutdown).processId);
  ASSERT_TRUE(hHanging);

  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> ended = ksim::ShutdownSystem(300);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ((std::vector<std::string>{"deaf", "hangs"}), ended);

  EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN}, Controls(Plan::kStopsInTime));
  EXPECT_EQ(std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN}, Controls(Plan::kHangsAtShutdown));
  EXPECT_TRUE(Controls(Plan::kIgnoresShutdown).empty()) << "a service that does not accept shutdown gets nothing";
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hHanging, 0));
  CloseHandle(hHanging);
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  for (Plan plan : {Plan::kStopsInTime, Plan::kHangsAtShutdown, Plan::kIgnoresShutdown}) {
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Info(plan).status.dwCurrentState);
    EXPECT_EQ(0u, Info(plan).failureCount);
    EXPECT_TRUE(ksim::FailureActionsTaken(kNames[static_cast<int>(plan)]).empty());
    EXPECT_EQ(1u, ksim::ServiceProcessCount(kNames[static_cast<int>(plan)]));
  }
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), Info(Plan::kStopsInTime).status.dwWin32ExitCode);
  EXPECT_EQ(0, ksim::ServiceProcessExitCode("stopsintime"));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ksim::FindService("WinMgmt")->status.dwCurrentState)
      << "the system's own services are left alone";
}

// With every service stopped in time the shutdown does not wait for the rest of the budget.
TEST_F(ShutdownTest, ReturnsOnceEveryServiceHasStopped) {
  Run(Plan::kStopsInTime);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(ksim::ShutdownSystem().empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Info(Plan::kStopsInTime).status.dwCurrentState);
}

struct ControlCase {
  const char* name;
  DWORD control;
  DWORD access;    // of the handle ControlService is called on
  DWORD expected;  // ControlService's last error, or 0 when it reached the handler
};
void PrintTo(const ControlCase& c, std::ostream* os) { *os << c.name; }

class ConsoleControls : public ShutdownTest, public testing::WithParamInterface<ControlCase> {};

// A service's own controls (128 to 255) reach its handler whatever it accepts; shutdown and
// codes above 255 are no control a console may send.
TEST_P(ConsoleControls, ReachTheHandlerOrFail) {
  const ControlCase& c = GetParam();
  Run(Plan::kIgnoresShutdown);
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, "deaf", c.access);
  ASSERT_TRUE(hService);
  SERVICE_STATUS status{};
  SetLastError(0xdeadbeef);
  const BOOL bOk = ControlService(hService, c.control, &status);
  EXPECT_EQ(c.expected == 0, bOk != FALSE);
  if (c.expected) {
    EXPECT_EQ(c.expected, GetLastError());
  }
  EXPECT_EQ(c.expected ? std::vector<DWORD>{} : std::vector<DWORD>{c.control}, Controls(Plan::kIgnoresShutdown));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Info(Plan::kIgnoresShutdown).status.dwCurrentState);
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  EXPECT_EQ(0u, ksim::ControlServiceByName("deaf", SERVICE_CONTROL_STOP));
}

const DWORD kUserControl = SERVICE_USER_DEFINED_CONTROL;

INSTANTIATE_TEST_SUITE_P(
    Table, ConsoleControls,
    testing::Values(ControlCase{"First", 128, kUserControl, 0}, ControlCase{"Last", 255, kUserControl, 0},
                    ControlCase{"WithoutTheRight", 128, SERVICE_QUERY_STATUS, ERROR_ACCESS_DENIED},
                    ControlCase{"AboveTheRange", 256, SERVICE_ALL_ACCESS, ERROR_INVALID_PARAMETER},
                    ControlCase{"Shutdown", SERVICE_CONTROL_SHUTDOWN, SERVICE_ALL_ACCESS, ERROR_INVALID_PARAMETER}),
    [](const testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ktest
