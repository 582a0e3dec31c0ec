// The simulated event log refusing writes: a full log, and a stopped Eventlog service with the
// handles registered before it stopped.
#include "support/Machine.h"

#include <ksim/EventLog.h>
#include <ksim/Host.h>

namespace ktest {
namespace {

using ksim::EventLogRefusal;

class EventLogTest : public MachineTest {
 protected:
  void TearDown() override {
    ksim::ClearEventLog();
    MachineTest::TearDown();
  }

  static BOOL Report(HANDLE hSource, const char* pszText) {
    LPCSTR rgpsz[] = {pszText};
    return ReportEventA(hSource, EVENTLOG_WARNING_TYPE, 0, 0x80002001, nullptr, 1, 0, rgpsz, nullptr);
  }
  static ksim::ServiceInfo Eventlog() { return *ksim::FindService("Eventlog"); }
};

struct RefusalCase {
  const char* name;
  EventLogRefusal refusal;
  DWORD reportError;    // ReportEventA's last error, on a handle from before and on a new one
  DWORD registerError;  // RegisterEventSourceA's, or 0 when it still works
  DWORD serviceState;   // the Eventlog service's state meanwhile
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusals : public EventLogTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, StoreNothingAndSetTheirErrors) {
  const RefusalCase& c = GetParam();
  HANDLE hBefore = RegisterEventSourceA(nullptr, "probe");
  ASSERT_TRUE(hBefore);
  ASSERT_TRUE(Report(hBefore, "kept"));
  const DWORD dwOldPid = Eventlog().processId;
  ASSERT_NE(0u, dwOldPid);

  ksim::SetEventLogRefusal(c.refusal);
  EXPECT_EQ(c.refusal, ksim::GetEventLogRefusal());
  EXPECT_EQ(c.serviceState, Eventlog().status.dwCurrentState);

  SetLastError(0xdeadbeef);
  EXPECT_FALSE(Report(hBefore, "refused"));
  EXPECT_EQ(c.reportError, GetLastError());

  SetLastError(0xdeadbeef);
  HANDLE hDuring = RegisterEventSourceA(nullptr, "probe");
  if (c.registerError) {
    EXPECT_EQ(nullptr, hDuring);
    EXPECT_EQ(c.registerError, GetLastError());
  } else {
    ASSERT_TRUE(hDuring);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(Report(hDuring, "refused too"));
    EXPECT_EQ(c.reportError, GetLastError());
  }
  ASSERT_EQ(1u, ksim::EventLogRecords().size()) << "a refused record is not stored";

  // Back to normal: the handle from before writes again, and the service runs in a new process.
  ksim::SetEventLogRefusal(EventLogRefusal::None);
  EXPECT_TRUE(Report(hBefore, "after"));
  EXPECT_EQ((std::vector<std::string>{"kept", "after"}), Texts());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Eventlog().status.dwCurrentState);
  EXPECT_EQ(c.refusal == EventLogRefusal::Stopped, Eventlog().processId != dwOldPid);
  EXPECT_TRUE(DeregisterEventSource(hBefore));
  if (hDuring) {
    EXPECT_TRUE(DeregisterEventSource(hDuring));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    testing::Values(RefusalCase{"Full", EventLogRefusal::Full, ERROR_LOG_FILE_FULL, 0, SERVICE_RUNNING},
                    RefusalCase{"Stopped", EventLogRefusal::Stopped, RPC_S_SERVER_UNAVAILABLE,
                                RPC_S_SERVER_UNAVAILABLE, SERVICE_STOPPED}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The stopped service's process ends: a handle to it is signalled.
TEST_F(EventLogTest, StoppingTheServiceEndsItsProcess) {
  HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, Eventlog().processId);
  ASSERT_TRUE(hProcess);
  ksim::SetEventLogRefusal(EventLogRefusal::Full);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(hProcess, 0));
  ksim::SetEventLogRefusal(EventLogRefusal::Stopped);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(hProcess, 0));
  EXPECT_EQ(0u, Eventlog().processId);
  CloseHandle(hProcess);
}

TEST_F(EventLogTest, ClearingTheLogTakesWritesAgain) {
  ksim::SetEventLogRefusal(EventLogRefusal::Stopped);
  ksim::ClearEventLog();
  EXPECT_EQ(EventLogRefusal::None, ksim::GetEventLogRefusal());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Eventlog().status.dwCurrentState);
  HANDLE hSource = RegisterEventSourceA(nullptr, "probe");
  ASSERT_TRUE(hSource);
  EXPECT_TRUE(Report(hSource, "written"));
  EXPECT_EQ(1u, ksim::EventLogRecords().size());
  DeregisterEventSource(hSource);
}

}  // namespace
}  // namespace ktest
