// The adapter table: building it from Win32_SCSIController, its lookups, the supported-driver
// flag, rescans, and every record of its failure table.
#include "AdapterTableFixture.h"

using ksim::machine::AddScsiController;
using ksim::wmi::PropertyValue;
using ksim::wmi::Value;
using ktest::Fault;

namespace {

TEST_F(AdapterTableTest, NoControllersMeansNoTable) {
  EXPECT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  EXPECT_EQ(nullptr, CAdapterInfoProbe::Current());
  EXPECT_EQ(0u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(c_wNoAdapter, Search(L"PCI\\ANY"));
  EXPECT_EQ(L"", Name(0));
  EXPECT_FALSE(CAdapterInfo::GetIsSupDriverInstalled());
  EXPECT_EQ(ecInternalError, CAdapterInfo::DeleteAdapterInfo(nullptr));
  EXPECT_TRUE(Records().empty());
}

TEST_F(AdapterTableTest, EntriesKeepEnumerationOrderAndEveryDriver) {
  AddScsiController(kPathA, L"otherdrv");
  AddScsiController(kPathB, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  ASSERT_EQ(2u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(L"otherdrv", Name(0));
  EXPECT_EQ(L"velk4", Name(1));
  EXPECT_TRUE(CAdapterInfo::GetIsSupDriverInstalled());
  EXPECT_TRUE(Records().empty());
}

TEST_F(AdapterTableTest, SearchComparesWholeIdsWithAsciiCaseIgnored) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  const std::wstring a = kPathA;  // original (mixed) case; the DeviceID is upper case
  EXPECT_EQ(0, Search(a.c_str()));
  EXPECT_EQ(1, Search(kPathB));
  EXPECT_EQ(c_wNoAdapter, Search((a + L"0").c_str()));
  EXPECT_EQ(c_wNoAdapter, Search(a.substr(0, a.size() - 1).c_str()));
  EXPECT_EQ(c_wNoAdapter, Search(L""));
  EXPECT_EQ(c_wNoAdapter, Search(nullptr));
  EXPECT_EQ(ecBadParameter, CAdapterInfo::SearchByDeviceID(kPathA, nullptr));
}

TEST_F(AdapterTableTest, TwoEqualDeviceIdsGiveTheLowerIndex) {
  // WMI keeps one instance per key, so the table is made by hand.
  CAdapterInfoProbe::Publish({{L"PCI\\X", L"first"}, {L"pci\\y", L"second"}, {L"PCI\\Y", L"third"}});
  EXPECT_EQ(1, Search(L"PCI\\Y"));
  EXPECT_EQ(L"second", Name(Search(L"pci\\Y")));
}

TEST_F(AdapterTableTest, DriverNameOutOfRangeIsEmpty) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"qtr");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  EXPECT_EQ(L"qtr", Name(1));
  EXPECT_EQ(L"", Name(2));  // == dwCount
  EXPECT_EQ(L"", Name(c_wNoAdapter));
}

TEST_F(AdapterTableTest, OddPropertiesGiveEntriesWithoutText) {
  AddScsiController(kPathA, L"velk4", {{L"DeviceID", Value::I4(5)}});       // not a string
  AddScsiController(kPathB, L"velk4", {{L"DriverName", std::nullopt}});     // no such property
  AddScsiController(kPathC, L"velk4", {{L"DriverName", Value::Null()}});    // no value
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  // B's DriverName cannot be read at all: logged, and the entries after it stay empty.
  ASSERT_EQ(3u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(L"velk4", Name(0));
  EXPECT_EQ(L"", Name(1));
  EXPECT_EQ(L"", Name(2));
  EXPECT_EQ(c_wNoAdapter, Search(L"5"));
  EXPECT_EQ(1, Search(kPathB));
  EXPECT_EQ(c_wNoAdapter, Search(kPathC));
  EXPECT_TRUE(CAdapterInfo::GetIsSupDriverInstalled());
  EXPECT_EQ(std::vector<std::string>{"SetAdapterInfo(): Failed to get DriverName from Win32_SCSIController. "
                                     "Error: WBEM_E_NOT_FOUND(0x80041002)\n"},
            Records());
}

// The supported-driver flag over tables built by hand: a null name is an entry without text.
struct FlagCase {
  const char* pszList;  // null: no list
  std::vector<const wchar_t*> names;
  bool bExpected;
  const char* pszWhy;
};
void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.pszWhy; }

class SupportedFlagTest : public AdapterTableTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(SupportedFlagTest, FollowsTheListWithoutStoppingAtUnusableNames) {
  const FlagCase& c = GetParam();
  if (c.pszList) {
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateSupportedDriverInfo(c.pszList));
  } else {
    CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
  }
  std::vector<tAdapterInfo> entries;
  for (const wchar_t* pwsz : c.names) entries.push_back(tAdapterInfo{nullptr, const_cast<wchar_t*>(pwsz)});
  tAdapterInfoArray table{static_cast<DWORD>(entries.size()), entries.data(), false, 1};
  EXPECT_EQ(c.bExpected, CAdapterInfoProbe::IsSupDriverInstalled(&table, CAdapterInfoProbe::List()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SupportedFlagTest,
    ::testing::Values(FlagCase{"velk4", {L"megasr", L"VELK4"}, true, "unlisted name, then the listed one in capitals"},
                      FlagCase{"velk4", {L"", L"velk4"}, true, "an empty name before a listed one"},
                      FlagCase{"velk4", {nullptr, L"velk4"}, true, "an entry without name before a listed one"},
                      FlagCase{"velk4", {L"\u0394drv", L"velk4"}, true, "a name without narrow form before a listed one"},
                      FlagCase{"velk4", {L"velk4\u0394"}, true, "the narrow form ends before U+0394"},
                      FlagCase{"velk4", {L"velk", L"velk44"}, false, "prefixes and longer names do not match"},
                      FlagCase{"velk4", {}, false, "no entries"},
                      FlagCase{"", {L"velk4"}, false, "empty list"},
                      FlagCase{nullptr, {L"velk4"}, false, "no list"},
                      FlagCase{"qtr,velk4", {L"", nullptr, L"QTR"}, true, "second list entry"}));

TEST_F(AdapterTableTest, SupportedFlagSeesAControllerAfterAnEmptyDriverName) {
  AddScsiController(kPathA, L"");
  AddScsiController(kPathB, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  EXPECT_TRUE(CAdapterInfo::GetIsSupDriverInstalled());
}

TEST_F(AdapterTableTest, RescanFollowsControllersAndEndsWithNoTable) {
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  AddScsiController(kPathB, L"qtr");
  EXPECT_EQ(ecNoError, CAdapterInfo::RescanAdapterInfo());
  EXPECT_EQ(2u, CAdapterInfo::GetAdapterChannelCount());
  ksim::machine::RemoveScsiController(kPathA);
  EXPECT_EQ(ecNoError, CAdapterInfo::RescanAdapterInfo());
  EXPECT_EQ(1u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_FALSE(CAdapterInfo::GetIsSupDriverInstalled());
  ksim::machine::RemoveScsiController(kPathB);
  EXPECT_EQ(ecNoError, CAdapterInfo::RescanAdapterInfo());
  EXPECT_EQ(nullptr, CAdapterInfoProbe::Current());
  EXPECT_EQ(0u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_TRUE(Records().empty());
}

TEST_F(AdapterTableTest, RescanWhileWmiIsUnreachableKeepsTheTable) {
  AddScsiController(kPathA, L"velk4");
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  tAdapterInfoArray* pBefore = CAdapterInfoProbe::Current();
  ksim::machine::RemoveScsiController(kPathA);
  {
    ksim::ScopedFault fault(
        Fault("IWbemLocator::ConnectServer").Returns(static_cast<HRESULT>(WBEM_E_TRANSPORT_FAILURE)));
    EXPECT_EQ(ecNoError, CAdapterInfo::RescanAdapterInfo());
  }
  EXPECT_EQ(pBefore, CAdapterInfoProbe::Current());
  EXPECT_EQ(1u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(std::vector<std::string>{"Failed to connect to CIMOM. Error: WBEM_E_TRANSPORT_FAILURE(0x80041015)"}, Records());
}

TEST_F(AdapterTableTest, RefreshReleasesEverythingAndConnectsToCimv2) {
  AddScsiController(kPathA, L"velk4");
  ksim::ClearCalls();
  ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  auto connects = ksim::Calls("IWbemLocator::ConnectServer");
  ASSERT_EQ(1u, connects.size());
  EXPECT_EQ("\\\\.\\ROOT\\CIMV2", connects[0].selector);
  ASSERT_EQ(1u, ksim::CountCalls("IWbemServices::CreateInstanceEnum", "Win32_SCSIController"));
  // Enumerator, then services, then locator.
  std::vector<std::string> releases;
  for (const ksim::Call& c : ksim::Calls())
    if (c.call.find("::Release") != std::string::npos) releases.push_back(c.call);
  EXPECT_EQ((std::vector<std::string>{"IEnumWbemClassObject::Release", "IWbemServices::Release", "IWbemLocator::Release"}),
            releases);
}

TEST_F(AdapterTableTest, AFillingPassWithMoreInstancesNeverWritesPastTheArray) {
  for (const wchar_t* p : {kPathA, kPathB, kPathC}) AddScsiController(p, L"velk4");
  IWbemServices* pServices = Connect(ksim::wmi::kRootCimv2);
  ASSERT_NE(nullptr, pServices);
  IEnumWbemClassObject* pEnum = nullptr;
  BSTR bstr = SysAllocString(L"Win32_SCSIController");
  ASSERT_EQ(WBEM_S_NO_ERROR, pServices->CreateInstanceEnum(bstr, 0, nullptr, &pEnum));
  SysFreeString(bstr);
  tAdapterInfo entries[1] = {};
  tAdapterInfoArray table{1, entries, false, 1};
  EXPECT_EQ(ecNoError, CAdapterInfoProbe::SetAdapterInfo(pEnum, &table));
  ASSERT_NE(nullptr, entries[0].pwszDeviceID);
  delete[] entries[0].pwszDeviceID;
  delete[] entries[0].pwszDriverName;
  pEnum->Release();
  pServices->Release();
}

TEST_F(AdapterTableTest, DeleteOfAGivenTableNullsIt) {
  AddScsiController(kPathA, L"velk4");
  tAdapterInfoArray* pTable = nullptr;
  ASSERT_EQ(ecNoError, CAdapterInfoProbe::Refresh(&pTable));
  ASSERT_NE(nullptr, pTable);
  EXPECT_EQ(ecNoError, CAdapterInfo::DeleteAdapterInfo(&pTable));
  EXPECT_EQ(nullptr, pTable);
  EXPECT_EQ(ecInternalError, CAdapterInfo::DeleteAdapterInfo(&pTable));
}

// Every row of the failure table, reached by a fault. Two controllers stand on the machine, so
// the counting pass makes Next calls 1 to 3 and the filling pass starts with call 4.
struct FailureCase {
  ksim::Fault fault;
  std::vector<std::string> records;
  ErrorCode result;
  DWORD dwCount;  // entries of the table afterwards; 0: no table
  bool bNamesRead;
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.fault.call << "(" << c.fault.selector << ")"; }

class FailureTableTest : public AdapterTableTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTableTest, WritesItsRecordAndLeavesTheTableAsDefined) {
  const FailureCase& c = GetParam();
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4-long-driver-name");
  ErrorCode result;
  {
    ksim::ScopedFault fault(c.fault);
    result = CAdapterInfo::CreateAdapterInfo();
    EXPECT_GE(fault.Hits(), 1u);
  }
  EXPECT_EQ(c.result, result);
  EXPECT_EQ(c.records, Records());
  EXPECT_EQ(c.dwCount, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(c.bNamesRead ? L"velk4" : L"", Name(0));
  EXPECT_EQ(L"", Name(1)) << "entries after a failure stay empty";
}

const HRESULT hrFailed = static_cast<HRESULT>(WBEM_E_FAILED);
using ksim::wmi::kNextFailWithObject;
using ksim::wmi::kNextNullObject;

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureTableTest,
    ::testing::Values(
        FailureCase{Fault("CoCreateInstance").On("WbemLocator").Returns(static_cast<HRESULT>(REGDB_E_CLASSNOTREG)),
                    {"CoCreatInstance failed. Error: REGDB_E_CLASSNOTREG(0x80040154)\r\n"}, ecComError, 0, false},
        FailureCase{Fault("CoCreateInstance").On("WbemLocator").Returns(S_OK),
                    {"CoCreatInstance succeed but Locator for CIMV2 namespace is NULL.\r\n"}, ecComError, 0, false},
        FailureCase{Fault("IWbemLocator::ConnectServer").Returns(static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE)),
                    {"Failed to connect to CIMOM. Error: WBEM_E_INVALID_NAMESPACE(0x8004100e)"}, ecWbemError, 0, false},
        FailureCase{Fault("IWbemLocator::ConnectServer").Returns(S_OK),
                    {"Connected to CIMOM but IWbemServices for CIMV2 namepsace is NULL"}, ecWbemError, 0, false},
        FailureCase{Fault("IWbemServices::CreateInstanceEnum").On("Win32_SCSIController")
                        .Returns(static_cast<HRESULT>(WBEM_E_ACCESS_DENIED)),
                    {"Failed to enum instances of Win32_SCSIController in CIMV2. Error: WBEM_E_ACCESS_DENIED(0x80041003)\r\n"},
                    ecWbemError, 0, false},
        FailureCase{Fault("IWbemServices::CreateInstanceEnum").On("Win32_SCSIController").Returns(S_OK),
                    {"Successfully enum instances of Win32_SCSIController in CIMV2 but pEnumWin32_SCSIController is NULL"},
                    ecWbemError, 0, false},
        FailureCase{Fault("operator new").On("32").Nth(1), {}, ecOutOfMemory, 0, false},  // the 2 entries
        FailureCase{Fault("IEnumWbemClassObject::Reset").Returns(static_cast<HRESULT>(WBEM_E_FAILED))
                        .LastError(ERROR_ACCESS_DENIED),
                    {}, static_cast<ErrorCode>(0xFFFF0005), 0, false},
        FailureCase{Fault("IEnumWbemClassObject::Next").Nth(2).Returns(hrFailed).Variant(kNextFailWithObject),
                    {"CountChannel(): Failed to get an instance of Class: Win32_SCSIController. Error: WBEM_E_FAILED(0x80041001)\n"},
                    ecNoError, 0, false},
        FailureCase{Fault("IEnumWbemClassObject::Next").Nth(1).Returns(S_OK).Variant(kNextNullObject),
                    {"CountChannel(): Failed to get an instance of Class: Win32_SCSIController. pClassObject = NULL\n"},
                    ecNoError, 0, false},
        FailureCase{Fault("IEnumWbemClassObject::Next").Nth(4).Returns(hrFailed).Variant(kNextFailWithObject),
                    {"SetAdapterInfo(): Failed to get an instance of Class: Win32_SCSIController. Error: WBEM_E_FAILED(0x80041001)\n"},
                    ecNoError, 2, false},
        FailureCase{Fault("IEnumWbemClassObject::Next").Nth(5).Returns(S_OK).Variant(kNextNullObject),
                    {"SetAdapterInfo(): Failed to get an instance of Class: Win32_SCSIController. pClassObject = NULL\n"},
                    ecNoError, 2, true},
        FailureCase{Fault("IWbemClassObject::Get").On("DeviceID").Nth(1).Returns(
                        static_cast<HRESULT>(WBEM_E_NOT_FOUND)),
                    {"SetAdapterInfo(): Failed to get DeviceID from Win32_SCSIController. Error: WBEM_E_NOT_FOUND(0x80041002)\n"},
                    ecNoError, 2, true},
        FailureCase{Fault("IWbemClassObject::Get").On("DriverName").Nth(1)
                        .Returns(static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY)),
                    {"SetAdapterInfo(): Failed to get DriverName from Win32_SCSIController. Error: WBEM_E_OUT_OF_MEMORY(0x80041006)\n"},
                    ecNoError, 2, false}));

TEST_F(AdapterTableTest, RecordThatCannotBeAllocatedMeansNoTable) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4");
  // The record is the first allocation of its size.
  ksim::ScopedFault fault(Fault("operator new").On(std::to_string(sizeof(tAdapterInfoArray))).Nth(1));
  EXPECT_EQ(ecOutOfMemory, CAdapterInfo::CreateAdapterInfo());
  EXPECT_EQ(nullptr, CAdapterInfoProbe::Current());
  EXPECT_TRUE(Records().empty());
}

TEST_F(AdapterTableTest, AStringCopyThatCannotBeAllocatedLeavesTheRestEmpty) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4");
  const size_t cb = (std::wstring(kPathA).size() + 1) * sizeof(wchar_t);
  ksim::ScopedFault fault(Fault("operator new").On(std::to_string(cb)).Nth(1));
  EXPECT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
  EXPECT_EQ(2u, CAdapterInfo::GetAdapterChannelCount());
  EXPECT_EQ(c_wNoAdapter, Search(kPathA));
  EXPECT_EQ(L"velk4", Name(0)) << "the driver name is still read";
  EXPECT_EQ(L"", Name(1));
  EXPECT_TRUE(Records().empty());
}

}  // namespace
