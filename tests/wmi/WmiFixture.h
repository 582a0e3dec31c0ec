// A process in the multithreaded apartment on a machine with one controller of the supported
// driver, with or without the driver's classes.
#pragma once

#include "adapters/AdapterInfo.h"
#include "support/Machine.h"

#include <ksim/Com.h>
#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Machine.h>
#include <ksim/Wmi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ktest {

// The selectors of the registrations asked of WMI, in order.
inline std::vector<std::string> Registrations() {
  std::vector<std::string> selectors;
  for (const ksim::Call& c : ksim::Calls("IWbemServices::ExecNotificationQueryAsync")) selectors.push_back(c.selector);
  return selectors;
}

class WmiFixture : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ksim::machine::AddScsiController(kPathA, L"velk4");
    CAdapterInfo::CreateSupportedDriverInfo("velk4");
  }
  void TearDown() override {
    Settle();
    CAdapterInfo::DeleteAdapterInfo(nullptr);
    CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
    CoUninitialize();
  }
};

}  // namespace ktest
