// The scriptable machine: controllers, the driver's classes and what its events carry.
#include "support/Com.h"

using ksim::wmi::Value;
using ktest::kPathA;
using ktest::FakeSink;
using ktest::GetString;

namespace {

using MachineTest = ktest::ComFixture;


TEST_F(MachineTest, DriverClassesFollowLoadAndControllers) {
  EXPECT_EQ(L"PCI\\VEN_ABCD&DEV_1234&SUBSYS_00000000&REV_01\\4&1A2B3C4D&0&00E0",
            ksim::machine::AddScsiController(kPathA, L"velk4"));
  ksim::machine::AddScsiController(L"PCI\\VEN_9999&DEV_0001\\7", L"otherdrv");
  EXPECT_FALSE(ksim::wmi::HasClass(ksim::wmi::kRootWmi, ksim::machine::kAdapterPrintf));
  ksim::machine::LoadRaidDriver(L"VELK4");
  for (const wchar_t* pwsz : {ksim::machine::kAdapterPrintf, ksim::machine::kAdapterPrintfNotification,
                              ksim::machine::kHostTimeRequest, ksim::machine::kSetHostTime})
    EXPECT_TRUE(ksim::wmi::HasClass(ksim::wmi::kRootWmi, pwsz));
  auto printf = ksim::wmi::Instances(ksim::wmi::kRootWmi, ksim::machine::kAdapterPrintf);
  ASSERT_EQ(1u, printf.size()) << "only the driver's own controllers";
  EXPECT_EQ(std::wstring(kPathA) + L"_0", printf[0][0].value->AsString());
  EXPECT_EQ(1u, ksim::wmi::Instances(ksim::wmi::kRootWmi, ksim::machine::kSetHostTime).size());
  ksim::machine::RemoveScsiController(kPathA);
  EXPECT_TRUE(ksim::wmi::Instances(ksim::wmi::kRootWmi, ksim::machine::kSetHostTime).empty());
  ksim::machine::UnloadRaidDriver();
  EXPECT_FALSE(ksim::wmi::HasClass(ksim::wmi::kRootWmi, ksim::machine::kSetHostTime));
  EXPECT_FALSE(ksim::machine::RaiseHostTimeRequest(kPathA));
}

TEST_F(MachineTest, FirmwareMessageOverridesReachTheObjects) {
  ksim::machine::LoadRaidDriver();
  ksim::machine::AddScsiController(kPathA, L"velk4");
  ksim::machine::FirmwareMessage m = ksim::machine::Message(kPathA, 30, 4, "abc");
  m.length = -1;
  m.printfOverrides = {{L"Level", std::nullopt}};
  m.notificationOverrides = {{L"InstanceName", Value::I4(12)}};
  ASSERT_TRUE(ksim::machine::RaiseFirmwareMessage(m));
  auto printf = ksim::wmi::Instances(ksim::wmi::kRootWmi, ksim::machine::kAdapterPrintf);
  ASSERT_EQ(1u, printf.size());
  bool bLevel = false;
  for (const auto& pv : printf[0]) {
    bLevel |= pv.name == L"Level";
    if (pv.name == L"Length") {
      EXPECT_EQ(-1, pv.value->AsI4());
    }
    if (pv.name == L"PrintfString") {
      EXPECT_EQ(ksim::machine::Text("abc"), pv.value->AsBytes());
    }
  }
  EXPECT_FALSE(bLevel) << "an omitted property is absent";
}

}  // namespace
