#include "support/ServiceHost.h"

namespace e2e {
namespace {

class Service : public ServiceHost {};

TEST_F(Service, StartsRegistersAndStops) {
  ksim::machine::AddScsiController(kVelk0, L"velk4");
  ksim::machine::LoadRaidDriver(L"velk4");
  InstallAndStart();
  EXPECT_TRUE(Subscribed(kQueryMessages));
  EXPECT_TRUE(Subscribed(kQueryHostTime));
  EXPECT_TRUE(Subscribed(kQueryControllerAdded));
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(ksim::machine::Message(kVelk0, 20, 0, "hello")));
  Settle();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  EXPECT_EQ(std::vector<std::string>{"\\Device\\Scsi\\velk40: hello"}, Texts());
  EXPECT_EQ((std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}),
            ReportedStates());
  EXPECT_FALSE(Subscribed(kQueryMessages));
}

}  // namespace
}  // namespace e2e
