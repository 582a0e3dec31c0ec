// The service side of the simulated Service Control Manager with a small service program of the
// test's own: controls while a service starts, the end of the process and what happens to the
// threads still in it, failure actions, and dependencies.
#include "service/InstallSupport.h"

#include <ksim/Services.h>
#include <simwin/process.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace ktest {
namespace {

const char kName[] = "probesvc";

// What the test's service program does.
enum class Plan {
  kRuns,              // reports running, accepting stop; stops when asked
  kStartsSlowly,      // stays start pending, accepting stop; stops when asked
  kStartsDeaf,        // stays start pending and accepts nothing
  kLeavesAWorker,     // runs; a worker writes a record each millisecond and outlives the stop
  kReportsAfterStop,  // when asked to stop, reports stopped and then stop pending again
  kFailsToStart,      // reports start pending, then stopped with a service-specific error
};

const DWORD kSpecificError = 42;

std::atomic<Plan> g_plan{Plan::kRuns};
SERVICE_STATUS_HANDLE g_hStatus;
HANDLE g_hStopEvent;
HANDLE g_hMainDone;  // set when the service main has made its last report
HANDLE g_hLog;  // the test's own event source, which the worker writes to

void Report(DWORD dwState, DWORD dwAccepted) {
  SERVICE_STATUS ss = {SERVICE_WIN32_OWN_PROCESS, dwState, dwAccepted, NO_ERROR, 0, 0, 0};
  SetServiceStatus(g_hStatus, &ss);
}

void WINAPI Handler(DWORD dwControl) {
  if (dwControl == SERVICE_CONTROL_STOP) SetEvent(g_hStopEvent);
}

void __cdecl Worker(void*) {
  for (;;) {
    ReportEventA(g_hLog, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr);
    Sleep(1);
  }
}

void WINAPI FakeServiceMain(DWORD, LPSTR*) {
  g_hStatus = RegisterServiceCtrlHandlerA(kName, Handler);
  const Plan plan = g_plan;
  if (plan == Plan::kFailsToStart) {
    Report(SERVICE_START_PENDING, 0);
    SERVICE_STATUS ss = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, kSpecificError, 0, 0};
    SetServiceStatus(g_hStatus, &ss);
    return;
  }
  const bool bStarting = plan == Plan::kStartsSlowly || plan == Plan::kStartsDeaf;
  Report(bStarting ? SERVICE_START_PENDING : SERVICE_RUNNING, plan == Plan::kStartsDeaf ? 0 : SERVICE_ACCEPT_STOP);
  if (plan == Plan::kLeavesAWorker) _beginthread(Worker, 0, nullptr);
  WaitForSingleObject(g_hStopEvent, INFINITE);
  Report(SERVICE_STOPPED, 0);
  if (g_plan == Plan::kReportsAfterStop) {
    Report(SERVICE_STOP_PENDING, 0);
    SetEvent(g_hMainDone);
  }
}

int FakeProgram(int, char*[]) {
  g_hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_hMainDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char szName[] = "probesvc";
  SERVICE_TABLE_ENTRYA table[] = {{szName, FakeServiceMain}, {nullptr, nullptr}};
  const bool bDispatched = StartServiceCtrlDispatcherA(table);
  // A report after stopped counts only if it comes before the process ends; this program waits
  // for it, so that the test does not depend on which thread runs first.
  if (bDispatched && g_plan == Plan::kReportsAfterStop) WaitForSingleObject(g_hMainDone, 5000);
  return bDispatched ? 0 : 2;
}

class ServiceProcessTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ksim::SetProcessEntry(FakeProgram);
    ksim::ClearStatusReports();
    g_plan = Plan::kRuns;
  }
  void TearDown() override {
    EXPECT_TRUE(ksim::WaitForServiceProcesses(10000));
    EXPECT_EQ(0, ksim::RunningThreads());
    MachineTest::TearDown();
  }

  static void Install(const char* pszDependencies = nullptr, const SERVICE_FAILURE_ACTIONSA* pActions = nullptr,
                      bool bNonCrashFailures = false) {
    SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE hService = CreateServiceA(hManager, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\probe.exe", nullptr,
                                        nullptr, pszDependencies, nullptr, nullptr);
    ASSERT_TRUE(hService);
    if (pActions) {
      EXPECT_TRUE(ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS,
                                        const_cast<SERVICE_FAILURE_ACTIONSA*>(pActions)));
    }
    if (bNonCrashFailures) {
      SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
      EXPECT_TRUE(ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
    }
    CloseServiceHandle(hService);
    CloseServiceHandle(hManager);
  }

  static void StartAndSettle() {
    ASSERT_EQ(0u, ksim::StartServiceByName(kName));
    ASSERT_TRUE(ksim::WaitForServiceIdle(kName, 10000));
  }

  static DWORD State() { return ksim::FindService(kName)->status.dwCurrentState; }
  static DWORD ExitCode() { return ksim::FindService(kName)->status.dwWin32ExitCode; }
};

struct StartingControl {
  const char* name;
  Plan plan;
  DWORD control;
  DWORD expected;  // the error of ControlService, or 0
};

class ControlWhileStarting : public ServiceProcessTest, public testing::WithParamInterface<StartingControl> {};

// ControlService delivers a stop to a starting service that accepts it; every other control,
// and a stop to one that does not accept it, fails with 1061.
TEST_P(ControlWhileStarting, OnlyAnAcceptedStopGetsThrough) {
  const StartingControl& c = GetParam();
  g_plan = c.plan;
  Install();
  StartAndSettle();
  ASSERT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), State());
  EXPECT_EQ(c.expected, ksim::ControlServiceByName(kName, c.control));
  if (c.expected == 0) {
    EXPECT_TRUE(ksim::WaitForServiceState(kName, SERVICE_STOPPED, 5000));
  } else {
    EXPECT_EQ(static_cast<DWORD>(SERVICE_START_PENDING), State());
    ksim::TerminateServiceProcess(kName);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlWhileStarting,
    testing::Values(StartingControl{"Stop", Plan::kStartsSlowly, SERVICE_CONTROL_STOP, 0},
                    StartingControl{"Interrogate", Plan::kStartsSlowly, SERVICE_CONTROL_INTERROGATE,
                                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
                    StartingControl{"Pause", Plan::kStartsSlowly, SERVICE_CONTROL_PAUSE,
                                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
                    StartingControl{"StopNotAccepted", Plan::kStartsDeaf, SERVICE_CONTROL_STOP,
                                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL}),
    [](const testing::TestParamInfo<StartingControl>& info) { return info.param.name; });

// Once the entry has returned, a worker still running is cut at its next call: nothing it
// would write after that moment arrives, and it counts neither as running nor as a leak.
TEST_F(ServiceProcessTest, ThreadsOfAnEndedProcessMakeNoFurtherEffect) {
  g_hLog = RegisterEventSourceA(nullptr, "probe");
  g_plan = Plan::kLeavesAWorker;
  Install();
  StartAndSettle();
  while (ksim::EventLogRecords().size() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(5000));
  EXPECT_EQ(0, ksim::RunningThreads());
  const size_t nRecords = ksim::EventLogRecords().size();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(nRecords, ksim::EventLogRecords().size());
  EXPECT_EQ(1u, ksim::CutThreads(kName));
  EXPECT_EQ(0, ksim::ServiceProcessExitCode(kName));
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ExitCode());
  EXPECT_TRUE(ksim::FailureActionsTaken(kName).empty());
  DeregisterEventSource(g_hLog);
}

// korvlog's own failure actions: restart after 500 ms twice, then nothing. A process that ends
// without stopped as its last report has failed, whether it was terminated or reported stop
// pending after stopped.
TEST_F(ServiceProcessTest, FailureActionsRestartTwiceThenLeaveTheServiceStopped) {
  SC_ACTION rgActions[] = {{SC_ACTION_RESTART, 500}, {SC_ACTION_RESTART, 500}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 3, rgActions};
  Install(nullptr, &actions);
  StartAndSettle();

  for (unsigned nFailure = 1; nFailure <= 3; ++nFailure) {
    const auto failedAt = std::chrono::steady_clock::now();
    if (nFailure == 2) {
      g_plan = Plan::kReportsAfterStop;
      ASSERT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
    } else {
      ASSERT_TRUE(ksim::TerminateServiceProcess(kName));
    }
    // The failure is counted when the process has ended; the service stays stopped till the restart.
    for (int i = 0; i < 5000 && ksim::FindService(kName)->failureCount < nFailure; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(nFailure, ksim::FindService(kName)->failureCount);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PROCESS_ABORTED), ExitCode());
    if (nFailure < 3) {
      ASSERT_TRUE(ksim::WaitForServiceState(kName, SERVICE_RUNNING, 5000)) << "failure " << nFailure;
      EXPECT_GE(std::chrono::steady_clock::now() - failedAt, std::chrono::milliseconds(500));
      g_plan = Plan::kRuns;
    }
    EXPECT_EQ(nFailure < 3 ? nFailure + 1 : 3u, ksim::ServiceProcessCount(kName));
  }
  ASSERT_TRUE(ksim::WaitForServiceProcesses(5000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
  EXPECT_EQ(3u, ksim::ServiceProcessCount(kName));
  EXPECT_EQ(ksim::FailureActionsTaken(kName),
            (std::vector<SC_ACTION_TYPE>{SC_ACTION_RESTART, SC_ACTION_RESTART, SC_ACTION_NONE}));
}

TEST_F(ServiceProcessTest, AStopThatEndsWithStoppedIsNoFailure) {
  SC_ACTION restart = {SC_ACTION_RESTART, 0};
  SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 1, &restart};
  Install(nullptr, &actions);
  StartAndSettle();
  ASSERT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(5000));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
  EXPECT_EQ(static_cast<DWORD>(NO_ERROR), ExitCode());
  EXPECT_EQ(1u, ksim::ServiceProcessCount(kName));
  EXPECT_EQ(0u, ksim::FindService(kName)->failureCount);
}

// The service's process has an id while it runs, and a handle to it is signalled when it ends.
TEST_F(ServiceProcessTest, StatusExShowsTheProcessWhileItRuns) {
  Install();
  StartAndSettle();
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kName, SERVICE_QUERY_STATUS);
  ASSERT_TRUE(hService);
  SERVICE_STATUS_PROCESS status{};
  DWORD cbNeeded = 0;
  ASSERT_TRUE(QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                   &cbNeeded));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
  ASSERT_NE(0u, status.dwProcessId);
  HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
  ASSERT_TRUE(hProcess);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hProcess, 0));

  ASSERT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hProcess, 5000));
  ASSERT_TRUE(QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                   &cbNeeded));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_EQ(0u, status.dwProcessId);
  EXPECT_EQ(0u, ksim::FindService(kName)->processId);
  CloseHandle(hProcess);
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
}

struct NonCrashCase {
  const char* name;
  bool flag;  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG set
  Plan plan;
  std::vector<SC_ACTION_TYPE> actions;  // the failure actions taken
};
void PrintTo(const NonCrashCase& c, std::ostream* os) { *os << c.name; }

class NonCrashFailures : public ServiceProcessTest, public testing::WithParamInterface<NonCrashCase> {};

// A stop reported with an error is a failure only with the flag: then the restart runs a second
// process, whose failure takes the second action. A stop without an error is none either way.
TEST_P(NonCrashFailures, CountOnlyWithTheFlag) {
  const NonCrashCase& c = GetParam();
  g_plan = c.plan;
  SC_ACTION rgActions[] = {{SC_ACTION_RESTART, 0}, {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSA actions = {INFINITE, nullptr, nullptr, 2, rgActions};
  Install(nullptr, &actions, c.flag);
  ASSERT_EQ(0u, ksim::StartServiceByName(kName));
  if (c.plan == Plan::kRuns) {
    ASSERT_TRUE(ksim::WaitForServiceIdle(kName, 10000));
    ASSERT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
  }
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  EXPECT_EQ(c.actions, ksim::FailureActionsTaken(kName));
  EXPECT_EQ(c.actions.size(), ksim::FindService(kName)->failureCount);
  EXPECT_EQ(c.actions.empty() ? 1u : 2u, ksim::ServiceProcessCount(kName));
  const SERVICE_STATUS status = ksim::FindService(kName)->status;
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  if (c.plan == Plan::kFailsToStart) {
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR), status.dwWin32ExitCode);
    EXPECT_EQ(kSpecificError, status.dwServiceSpecificExitCode);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NonCrashFailures,
    testing::Values(NonCrashCase{"FailedStartWithFlag", true, Plan::kFailsToStart, {SC_ACTION_RESTART, SC_ACTION_NONE}},
                    NonCrashCase{"FailedStartWithoutFlag", false, Plan::kFailsToStart, {}},
                    NonCrashCase{"CleanStopWithFlag", true, Plan::kRuns, {}}),
    [](const testing::TestParamInfo<NonCrashCase>& info) { return info.param.name; });

struct DependencyCase {
  const char* name;
  const char* dependencies;
  bool stopRasMan;
  bool rasManFails;
  DWORD expected;
};

class Dependencies : public ServiceProcessTest, public testing::WithParamInterface<DependencyCase> {};

// The system services korvlog depends on exist and run; a stopped dependency is started first,
// and one that is gone or cannot start fails the start before the service's process runs.
TEST_P(Dependencies, AreStartedFirst) {
  const DependencyCase& c = GetParam();
  Install(c.dependencies);
  if (c.stopRasMan) {
    ASSERT_EQ(0u, ksim::ControlServiceByName("RasMan", SERVICE_CONTROL_STOP));
  }
  std::unique_ptr<ksim::ScopedFault> fault;
  if (c.rasManFails) fault.reset(new ksim::ScopedFault(Fault("StartServiceA").On("RasMan")
                                                           .LastError(ERROR_ACCESS_DENIED)));
  EXPECT_EQ(c.expected, ksim::StartServiceByName(kName));
  if (c.expected == 0) {
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ksim::FindService("rasman")->status.dwCurrentState);
    ASSERT_TRUE(ksim::WaitForServiceIdle(kName, 5000));
    EXPECT_EQ(0u, ksim::ControlServiceByName(kName, SERVICE_CONTROL_STOP));
  } else {
    EXPECT_EQ(0u, ksim::ServiceProcessCount(kName));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Dependencies,
    testing::Values(DependencyCase{"Running", "WinMgmt\0RasMan\0Eventlog\0", false, false, 0},
                    DependencyCase{"StoppedIsStarted", "WinMgmt\0RasMan\0Eventlog\0", true, false, 0},
                    DependencyCase{"CannotStart", "WinMgmt\0RasMan\0Eventlog\0", true, true,
                                   ERROR_SERVICE_DEPENDENCY_FAIL},
                    DependencyCase{"Missing", "WinMgmt\0NoSuchService\0", false, false,
                                   ERROR_SERVICE_DEPENDENCY_DELETED}),
    [](const testing::TestParamInfo<DependencyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ktest
