// The simulated Service Control Manager against the behaviour of Windows (Wine agrees where it
// is noted): handle kinds and rights, the life of a deleted service, controls, the lock, and
// the extended configuration.
#include "service/InstallSupport.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace ktest {
namespace {

const char kName[] = "probesvc";

class ScmTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    m_hManager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(m_hManager);
  }
  void TearDown() override {
    for (SC_HANDLE h : m_open) CloseServiceHandle(h);
    CloseServiceHandle(m_hManager);
    MachineTest::TearDown();
  }

  SC_HANDLE Create(const char* pszName = kName, DWORD dwAccess = SERVICE_ALL_ACCESS) {
    SC_HANDLE h = CreateServiceA(m_hManager, pszName, pszName, dwAccess, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\p.exe", nullptr, nullptr,
                                 "A\0B\0", nullptr, nullptr);
    if (h) m_open.push_back(h);
    return h;
  }
  SC_HANDLE Open(DWORD dwAccess, const char* pszName = kName) {
    SC_HANDLE h = OpenServiceA(m_hManager, pszName, dwAccess);
    if (h) m_open.push_back(h);
    return h;
  }
  void Close(SC_HANDLE h) {
    m_open.erase(std::remove(m_open.begin(), m_open.end(), h), m_open.end());
    EXPECT_TRUE(CloseServiceHandle(h));
  }

  // Runs a failing call and returns its last error, which must have been set by it.
  template <typename F>
  static DWORD ErrorOf(F call) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(call());
    return GetLastError();
  }

  SC_HANDLE m_hManager = nullptr;
  std::vector<SC_HANDLE> m_open;
};

TEST_F(ScmTest, ANewServiceIsStoppedAndHasNeverRun) {
  SC_HANDLE h = Create();
  ASSERT_TRUE(h);
  SERVICE_STATUS status{};
  ASSERT_TRUE(QueryServiceStatus(h, &status));
  EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));
  EXPECT_EQ(ksim::FindService(kName)->dependencies, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(ksim::FindService("PROBESVC")->openHandles, 1u);  // names compare without case
}

TEST_F(ScmTest, CreateRefusesWhatWindowsRefuses) {
  ASSERT_TRUE(Create());
  EXPECT_EQ(ErrorOf([&] { return Create(); }), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(ErrorOf([&] { return Create("PROBESVC"); }), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(ErrorOf([&] { return Create("a\\b"); }), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(ErrorOf([&] { return Create(""); }), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(ErrorOf([&] {
              return CreateServiceA(m_hManager, "other", kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\p.exe", nullptr, nullptr,
                                    nullptr, nullptr, nullptr);
            }),
            static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(ErrorOf([&] {
              return CreateServiceA(m_hManager, "other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_BOOT_START, SERVICE_ERROR_NORMAL, "C:\\p.exe", nullptr, nullptr, nullptr,
                                    nullptr, nullptr);
            }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ErrorOf([&] {
              return CreateServiceA(m_hManager, "other", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\p.exe", nullptr, nullptr,
                                    "x\0other\0", nullptr, nullptr);
            }),
            static_cast<DWORD>(ERROR_CIRCULAR_DEPENDENCY));
  EXPECT_EQ(ksim::Services().size(), 1u);
  // The system's own services are there and cannot be created again.
  EXPECT_EQ(ErrorOf([&] { return Create("winmgmt"); }), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
}

// As on Windows (and Wine): a deleted service stays, marked, until it is stopped and its last
// handle is closed; it can still be opened and queried, but not created or deleted again.
TEST_F(ScmTest, ADeletedServiceLastsUntilItsLastHandleCloses) {
  SC_HANDLE hFirst = Create();
  SC_HANDLE hSecond = Open(SERVICE_QUERY_STATUS);
  ASSERT_TRUE(DeleteService(hFirst));
  EXPECT_TRUE(ksim::FindService(kName)->markedForDeletion);
  EXPECT_EQ(ErrorOf([&] { return DeleteService(hFirst); }), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(ErrorOf([&] { return Create(); }), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  SC_HANDLE hThird = Open(SERVICE_QUERY_STATUS);
  EXPECT_TRUE(hThird);

  Close(hFirst);
  Close(hSecond);
  EXPECT_TRUE(ksim::FindService(kName));
  Close(hThird);
  EXPECT_FALSE(ksim::FindService(kName));
  EXPECT_EQ(ErrorOf([&] { return Open(SERVICE_QUERY_STATUS); }), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_TRUE(Create());
}

TEST_F(ScmTest, ADeletedRunningServiceGoesWhenItStops) {
  SC_HANDLE h = Create();
  ASSERT_TRUE(ksim::RunServiceStandIn(kName, ksim::StopBehaviour::kStopPending));
  ASSERT_TRUE(DeleteService(h));
  Close(h);
  EXPECT_TRUE(ksim::FindService(kName));
  ASSERT_TRUE(ksim::CompleteServiceStop(kName));
  EXPECT_FALSE(ksim::FindService(kName));
}

TEST_F(ScmTest, HandlesOfTheWrongKindAreInvalid) {
  SC_HANDLE hService = Create();
  SERVICE_STATUS status{};
  const DWORD kInvalid = ERROR_INVALID_HANDLE;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceStatus(m_hManager, &status); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { return OpenServiceA(hService, kName, SERVICE_QUERY_STATUS); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { return LockServiceDatabase(hService); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { return DeleteService(m_hManager); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { return CloseHandle(reinterpret_cast<HANDLE>(hService)); }), kInvalid);
  SC_HANDLE hOther = Open(SERVICE_QUERY_STATUS);
  Close(hOther);
  EXPECT_EQ(ErrorOf([&] { return CloseServiceHandle(hOther); }), kInvalid);
  EXPECT_EQ(ErrorOf([&] { return QueryServiceStatus(hOther, &status); }), kInvalid);
}

TEST_F(ScmTest, EveryCallNeedsItsRight) {
  Create();
  const DWORD kDenied = ERROR_ACCESS_DENIED;
  SC_HANDLE hConnect = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_EQ(ErrorOf([&] {
              return CreateServiceA(hConnect, "x", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\p.exe", nullptr, nullptr,
                                    nullptr, nullptr, nullptr);
            }),
            kDenied);
  EXPECT_EQ(ErrorOf([&] { return LockServiceDatabase(hConnect); }), kDenied);
  DWORD cb = 0;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceLockStatusA(hConnect, nullptr, 0, &cb); }), kDenied);
  CloseServiceHandle(hConnect);

  // Generic read and execute, as the service asks for at start, map to lock and lock status.
  SC_HANDLE hReadExecute = OpenSCManagerA(nullptr, nullptr, GENERIC_READ | GENERIC_EXECUTE);
  SC_LOCK lock = LockServiceDatabase(hReadExecute);
  EXPECT_TRUE(lock);
  EXPECT_TRUE(UnlockServiceDatabase(lock));
  CloseServiceHandle(hReadExecute);

  SERVICE_STATUS status{};
  SC_HANDLE hQuery = Open(SERVICE_QUERY_STATUS);
  EXPECT_EQ(ErrorOf([&] { return DeleteService(hQuery); }), kDenied);
  EXPECT_EQ(ErrorOf([&] { return ControlService(hQuery, SERVICE_CONTROL_STOP, &status); }), kDenied);
  SC_HANDLE hDelete = Open(DELETE);
  EXPECT_EQ(ErrorOf([&] { return QueryServiceStatus(hDelete, &status); }), kDenied);
  SERVICE_FAILURE_ACTIONSA actions{};
  EXPECT_EQ(ErrorOf([&] { return ChangeServiceConfig2A(hDelete, SERVICE_CONFIG_FAILURE_ACTIONS, &actions); }), kDenied);
  // Restarting is done on the caller's behalf: a restart action needs start access too.
  SC_ACTION restart = {SC_ACTION_RESTART, 500};
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  SC_HANDLE hChange = Open(SERVICE_CHANGE_CONFIG);
  EXPECT_EQ(ErrorOf([&] { return ChangeServiceConfig2A(hChange, SERVICE_CONFIG_FAILURE_ACTIONS, &actions); }), kDenied);
  EXPECT_TRUE(ChangeServiceConfig2A(Open(SERVICE_CHANGE_CONFIG | SERVICE_START), SERVICE_CONFIG_FAILURE_ACTIONS,
                                    &actions));
}

TEST_F(ScmTest, ControlsFollowTheServiceState) {
  SC_HANDLE h = Create();
  SERVICE_STATUS status{};
  // Refused controls still report the current status (Wine agrees).
  EXPECT_EQ(ErrorOf([&] { return ControlService(h, SERVICE_CONTROL_STOP, &status); }),
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED));

  ASSERT_TRUE(ksim::RunServiceStandIn(kName, ksim::StopBehaviour::kStopPending));
  EXPECT_EQ(ErrorOf([&] { return ControlService(h, SERVICE_CONTROL_SHUTDOWN, &status); }),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(ErrorOf([&] { return ControlService(h, SERVICE_CONTROL_PAUSE, &status); }),
            static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &status));
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(ErrorOf([&] { return ControlService(h, SERVICE_CONTROL_STOP, &status); }),
            static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  ksim::CompleteServiceStop(kName);
  EXPECT_EQ(ErrorOf([&] { return ControlService(h, SERVICE_CONTROL_STOP, &status); }),
            static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
}

// LockServiceDatabase has no effect: it succeeds also twice, and each value unlocks once. Only
// another party's lock refuses it, and the lock status names that party and the lock's age.
TEST_F(ScmTest, OnlyAnotherPartysLockIsHeld) {
  SYSTEMTIME start = {2024, 3, 0, 1, 12, 0, 0, 0};
  ksim::SetClock(start);
  std::vector<BYTE> buffer(268);
  auto* pStatus = reinterpret_cast<LPQUERY_SERVICE_LOCK_STATUSA>(buffer.data());
  DWORD cbNeeded = 0;

  SC_LOCK first = LockServiceDatabase(m_hManager);
  SC_LOCK second = LockServiceDatabase(m_hManager);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);
  ASSERT_TRUE(QueryServiceLockStatusA(m_hManager, pStatus, 268, &cbNeeded));
  EXPECT_FALSE(pStatus->fIsLocked);
  EXPECT_STREQ(pStatus->lpLockOwner, "");
  EXPECT_EQ(ErrorOf([&] { return UnlockServiceDatabase(reinterpret_cast<SC_LOCK>(0x1234)); }),
            static_cast<DWORD>(ERROR_INVALID_SERVICE_LOCK));
  EXPECT_TRUE(UnlockServiceDatabase(first));
  EXPECT_EQ(ErrorOf([&] { return UnlockServiceDatabase(first); }), static_cast<DWORD>(ERROR_INVALID_SERVICE_LOCK));
  EXPECT_TRUE(UnlockServiceDatabase(second));

  {
    ksim::ScopedScmLock foreign("CORP\\admin", 30);
    ksim::AdvanceClock(12000);
    EXPECT_EQ(ErrorOf([&] { return LockServiceDatabase(m_hManager); }),
              static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED));
    ASSERT_TRUE(QueryServiceLockStatusA(m_hManager, pStatus, 268, &cbNeeded));
    EXPECT_TRUE(pStatus->fIsLocked);
    EXPECT_STREQ(pStatus->lpLockOwner, "CORP\\admin");
    EXPECT_EQ(pStatus->dwLockDuration, 42u);
    const DWORD cbExact = static_cast<DWORD>(sizeof(QUERY_SERVICE_LOCK_STATUSA) + strlen("CORP\\admin") + 1);
    EXPECT_EQ(ErrorOf([&] { return QueryServiceLockStatusA(m_hManager, pStatus, cbExact - 1, &cbNeeded); }),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cbNeeded, cbExact);
  }
  EXPECT_FALSE(ksim::ScmLock().locked);
  ksim::UseRealClock();
}

TEST_F(ScmTest, FailureActionsReadBackAsSet) {
  SC_HANDLE h = Create();
  SC_ACTION rgActions[] = {{SC_ACTION_RESTART, 500}, {SC_ACTION_RUN_COMMAND, 7}};
  char szReboot[] = "going down";
  SERVICE_FAILURE_ACTIONSA set = {86400, szReboot, nullptr, 2, rgActions};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &set));
  // Null texts and a null list change nothing.
  SERVICE_FAILURE_ACTIONSA keep = {1, nullptr, nullptr, 5, nullptr};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &keep));

  DWORD cbNeeded = 0;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &cbNeeded); }),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buffer(cbNeeded);
  ASSERT_TRUE(QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(), cbNeeded, &cbNeeded));
  auto* pGot = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer.data());
  EXPECT_EQ(pGot->dwResetPeriod, 86400u);
  EXPECT_STREQ(pGot->lpRebootMsg, "going down");
  EXPECT_EQ(pGot->lpCommand, nullptr);
  ASSERT_EQ(pGot->cActions, 2u);
  EXPECT_EQ(pGot->lpsaActions[1].Type, SC_ACTION_RUN_COMMAND);
  EXPECT_EQ(pGot->lpsaActions[1].Delay, 7u);

  // An empty list clears the actions and the reset period.
  SERVICE_FAILURE_ACTIONSA clear = {99, nullptr, nullptr, 0, rgActions};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS, &clear));
  EXPECT_TRUE(ksim::FindService(kName)->failureActions.actions.empty());
  EXPECT_EQ(ksim::FindService(kName)->failureActions.resetPeriod, 0u);
  EXPECT_EQ(ErrorOf([&] { return ChangeServiceConfig2A(h, 99, &clear); }), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(ScmTest, DescriptionReadsBackAsSet) {
  SC_HANDLE h = Create();
  char szText[] = "What the service does.";
  SERVICE_DESCRIPTIONA set = {szText};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_DESCRIPTION, &set));
  // A null text changes nothing.
  SERVICE_DESCRIPTIONA keep = {nullptr};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_DESCRIPTION, &keep));

  DWORD cbNeeded = 0;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceConfig2A(h, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &cbNeeded); }),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(cbNeeded, sizeof(SERVICE_DESCRIPTIONA) + sizeof(szText));
  std::vector<BYTE> buffer(cbNeeded);
  ASSERT_TRUE(QueryServiceConfig2A(h, SERVICE_CONFIG_DESCRIPTION, buffer.data(), cbNeeded, &cbNeeded));
  EXPECT_STREQ(reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data())->lpDescription, szText);

  // An empty text deletes the description.
  char szEmpty[] = "";
  SERVICE_DESCRIPTIONA clear = {szEmpty};
  ASSERT_TRUE(ChangeServiceConfig2A(h, SERVICE_CONFIG_DESCRIPTION, &clear));
  EXPECT_EQ(ksim::FindService(kName)->description, "");
  // Setting it needs change-configuration access.
  EXPECT_EQ(ErrorOf([&] { return ChangeServiceConfig2A(Open(SERVICE_QUERY_CONFIG), SERVICE_CONFIG_DESCRIPTION, &set); }),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScmTest, FaultsApplyToTheNamedService) {
  Create();
  Create("other");
  ksim::ScopedFault fault(Fault("QueryServiceStatus").On("OTHER").LastError(ERROR_ACCESS_DENIED));
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(Open(SERVICE_QUERY_STATUS), &status));
  EXPECT_EQ(ErrorOf([&] { return QueryServiceStatus(Open(SERVICE_QUERY_STATUS, "other"), &status); }),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScmTest, ConcurrentControlsAndQueriesAgree) {
  SC_HANDLE h = Create();
  std::atomic<bool> bStop{false};
  std::thread reader([&] {
    SERVICE_STATUS status{};
    while (!bStop) {
      QueryServiceStatus(h, &status);
      EXPECT_TRUE(status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED);
    }
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(ksim::RunServiceStandIn(kName));
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }
  bStop = true;
  reader.join();
}

// SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: off for a new service, on once set, each way with the
// access its call needs.
TEST_F(ScmTest, FailureActionsFlagReadsBackAsSet) {
  SC_HANDLE h = Create();
  SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
  DWORD cbNeeded = 0;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, nullptr, 0, &cbNeeded); }),
            static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(static_cast<DWORD>(sizeof(SERVICE_FAILURE_ACTIONS_FLAG)), cbNeeded);
  ASSERT_TRUE(QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&flag),
                                   sizeof(flag), &cbNeeded));
  EXPECT_EQ(FALSE, flag.fFailureActionsOnNonCrashFailures);

  flag.fFailureActionsOnNonCrashFailures = TRUE;
  EXPECT_EQ(ErrorOf([&] {
              return ChangeServiceConfig2A(Open(SERVICE_QUERY_CONFIG), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
            }),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ksim::FindService(kName)->failureActionsOnNonCrashFailures);
  ASSERT_TRUE(ChangeServiceConfig2A(Open(SERVICE_CHANGE_CONFIG), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
  EXPECT_TRUE(ksim::FindService(kName)->failureActionsOnNonCrashFailures);
  flag.fFailureActionsOnNonCrashFailures = FALSE;
  EXPECT_EQ(ErrorOf([&] {
              return QueryServiceConfig2A(Open(SERVICE_CHANGE_CONFIG), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                          reinterpret_cast<BYTE*>(&flag), sizeof(flag), &cbNeeded);
            }),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(QueryServiceConfig2A(h, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&flag),
                                   sizeof(flag), &cbNeeded));
  EXPECT_EQ(TRUE, flag.fFailureActionsOnNonCrashFailures);
}

// QueryServiceStatusEx's refusals, each with the last error it sets.
struct StatusExCase {
  const char* name;
  bool managerHandle;
  DWORD access;
  SC_STATUS_TYPE level;
  DWORD cbBuffer;
  DWORD expected;
};
void PrintTo(const StatusExCase& c, std::ostream* os) { *os << c.name; }

class StatusExRefusals : public ScmTest, public testing::WithParamInterface<StatusExCase> {};

TEST_P(StatusExRefusals, SetTheLastErrorAndNeededSize) {
  const StatusExCase& c = GetParam();
  ASSERT_TRUE(Create());
  SC_HANDLE h = c.managerHandle ? m_hManager : Open(c.access);
  ASSERT_TRUE(h);
  std::vector<BYTE> buffer(sizeof(SERVICE_STATUS_PROCESS) + 1, 0xcc);
  DWORD cbNeeded = 0xdeadbeef;
  EXPECT_EQ(ErrorOf([&] { return QueryServiceStatusEx(h, c.level, buffer.data() + 1, c.cbBuffer, &cbNeeded); }),
            c.expected);
  if (c.expected == ERROR_INSUFFICIENT_BUFFER) {
    EXPECT_EQ(static_cast<DWORD>(sizeof(SERVICE_STATUS_PROCESS)), cbNeeded);
  }
  EXPECT_EQ(0xcc, buffer[1]) << "a refused call writes nothing";
}

const SC_STATUS_TYPE kProcessInfo = SC_STATUS_PROCESS_INFO;
const DWORD kFull = sizeof(SERVICE_STATUS_PROCESS);

INSTANTIATE_TEST_SUITE_P(
    Table, StatusExRefusals,
    testing::Values(StatusExCase{"ManagerHandle", true, 0, kProcessInfo, kFull, ERROR_INVALID_HANDLE},
                    StatusExCase{"OtherLevel", false, SERVICE_QUERY_STATUS, static_cast<SC_STATUS_TYPE>(1), kFull,
                                 ERROR_INVALID_LEVEL},
                    StatusExCase{"SmallBuffer", false, SERVICE_QUERY_STATUS, kProcessInfo, kFull - 1,
                                 ERROR_INSUFFICIENT_BUFFER},
                    StatusExCase{"NoBuffer", false, SERVICE_QUERY_STATUS, kProcessInfo, 0, ERROR_INSUFFICIENT_BUFFER},
                    StatusExCase{"NoQueryAccess", false, SERVICE_QUERY_CONFIG, kProcessInfo, kFull,
                                 ERROR_ACCESS_DENIED}),
    [](const testing::TestParamInfo<StatusExCase>& info) { return info.param.name; });

// A running system service has a process; stopping it ends the process (a handle to it is
// signalled) and starting it again gives a new one. A service that never ran has none.
TEST_F(ScmTest, StatusExGivesTheProcessOfARunningService) {
  SC_HANDLE hWmi = Open(SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_START, "WinMgmt");
  ASSERT_TRUE(hWmi);
  auto query = [](SC_HANDLE h) {
    SERVICE_STATUS_PROCESS status;
    std::memset(&status, 0xcc, sizeof(status));
    DWORD cbNeeded = 0;
    EXPECT_TRUE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                     &cbNeeded));
    return status;
  };
  SERVICE_STATUS_PROCESS status = query(hWmi);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_SHARE_PROCESS), status.dwServiceType);
  EXPECT_EQ(0u, status.dwServiceFlags);
  const DWORD dwFirst = status.dwProcessId;
  ASSERT_NE(0u, dwFirst);
  EXPECT_EQ(dwFirst, ksim::FindService("WinMgmt")->processId);
  EXPECT_NE(dwFirst, query(Open(SERVICE_QUERY_STATUS, "Eventlog")).dwProcessId) << "a process of its own";

  HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwFirst);
  ASSERT_TRUE(hProcess);
  SERVICE_STATUS stopped{};
  ASSERT_TRUE(ControlService(hWmi, SERVICE_CONTROL_STOP, &stopped));
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hProcess, 0));
  CloseHandle(hProcess);
  status = query(hWmi);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_EQ(0u, status.dwProcessId);

  ASSERT_TRUE(StartServiceA(hWmi, 0, nullptr));
  status = query(hWmi);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
  EXPECT_NE(0u, status.dwProcessId);
  EXPECT_NE(dwFirst, status.dwProcessId);

  status = query(Create());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NEVER_STARTED), status.dwWin32ExitCode);
  EXPECT_EQ(0u, status.dwProcessId);
}

}  // namespace
}  // namespace ktest
