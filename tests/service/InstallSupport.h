// A clean simulated machine for the tests of installation, the event log and the simulated
// advapi32, and small helpers to read what a run left behind.
#pragma once

#include <gtest/gtest.h>
#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Registry.h>
#include <ksim/Scm.h>

#include "service/ServiceUtil.h"

#include <functional>
#include <string>
#include <vector>

namespace korvlog_test {

const char kServiceName[] = "korvlog";
const char kModulePath[] = "D:\\svc\\evtsvc.exe";
const char kSourceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\korvlog";

inline ErrorCode SystemError(DWORD dwError) { return CError::MapSystemError(dwError); }

// Empty service database, registry and event log, no recorded calls, no state file; the
// module at kModulePath and the service named kServiceName. On tear-down, no service handle,
// database lock, registry key, event source or local block may be left open by the test.
class MachineTest : public testing::Test {
 protected:
  void SetUp() override {
    ksim::UseStateFile("");
    ksim::ResetScm();
    ksim::ResetRegistry();
    ksim::ClearEventLog();
    ksim::ClearModuleMessageTables();
    ksim::SetModulePath(kModulePath);
    CWMIServiceUtil::SetServiceName(kServiceName);
    CWMIServiceUtil::SetDisplayName(kServiceName);
    for (size_t i = 0; i < kKinds; ++i) m_live[i] = ksim::LiveCount(kLiveKinds[i]);
    ksim::ClearCalls();
  }

  void TearDown() override {
    for (size_t i = 0; i < kKinds; ++i)
      EXPECT_EQ(ksim::LiveCount(kLiveKinds[i]), m_live[i]) << "open " << kLiveKinds[i] << " left behind";
  }

  // Runs an operation with standard output captured.
  static std::string Capture(const std::function<ErrorCode()>& operation, ErrorCode* pCode) {
    testing::internal::CaptureStdout();
    *pCode = operation();
    return testing::internal::GetCapturedStdout();
  }

  static std::vector<std::string> EventTexts() {
    std::vector<std::string> texts;
    for (const ksim::EventRecord& r : ksim::EventLogRecords()) texts.push_back(r.strings.empty() ? "" : r.strings[0]);
    return texts;
  }

 private:
  static constexpr size_t kKinds = 5;
  static constexpr const char* kLiveKinds[kKinds] = {"sc_handles", "sc_locks", "reg_keys", "event_sources",
                                                     "local_allocs"};
  int64_t m_live[kKinds] = {};
};

// Installs the service as the product does, with nothing printed on success expected.
inline ErrorCode InstallQuietly(const char* pszDrivers = "velk4,qtr") {
  testing::internal::CaptureStdout();
  ErrorCode code = CWMIServiceUtil::ServiceInstall(pszDrivers);
  testing::internal::GetCapturedStdout();
  return code;
}

}  // namespace korvlog_test
