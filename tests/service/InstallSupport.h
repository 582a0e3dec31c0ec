// What the tests of installation, the event log and the simulated advapi32 share besides the
// clean machine: the service's event source key, and an install as the product makes it.
#pragma once

#include "support/Machine.h"

#include <string>

namespace ktest {

const char kSourceKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\korvlog";

inline ErrorCode SystemError(DWORD dwError) { return CError::MapSystemError(dwError); }

// Installs the service as the product does, with nothing printed on success expected.
inline ErrorCode InstallQuietly(const char* pszDrivers = "velk4,qtr") {
  testing::internal::CaptureStdout();
  ErrorCode code = CWMIServiceUtil::ServiceInstall(pszDrivers);
  testing::internal::GetCapturedStdout();
  return code;
}

}  // namespace ktest
