// Controller records: the text that names the controller, the driver's event source, the type
// and identifier of each level, and the failures of the writer.
#include "SinkTestSupport.h"

namespace ktest {
namespace {

class RaidLog : public SinkFixture {
 protected:
  void SetUp() override {
    SinkFixture::SetUp();
    StartMachine();  // index 0 and 1: velk4, index 2: qtr
  }

  // Adds controllers with these driver names after the three of the machine, and rebuilds.
  void AddDrivers(const std::vector<std::wstring>& drivers) {
    int n = 0;
    for (const std::wstring& driver : drivers)
      ksim::machine::AddScsiController(L"PCI\\VEN_7777&DEV_000" + std::to_wstring(n++) + L"\\5&1&0&00", driver);
    CAdapterInfo::DeleteAdapterInfo(nullptr);
    ASSERT_EQ(ecNoError, CAdapterInfo::CreateAdapterInfo());
    ksim::ClearEventLog();
    ksim::ClearCalls();
  }
};

TEST_F(RaidLog, TheTextNamesTheControllerAndTheDriverIsTheSource) {
  const struct {
    WORD wIndex;
    DWORD dwNumber;
    Record record;
  } cases[] = {
      {0, 12, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk412: battery low"}},
      {2, 0, {"qtr", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\qtr0: battery low"}},
      {1, 0xFFFF, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk4 : battery low"}},
      {1, 0x10000, {"velk4", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\velk465536: battery low"}},
      // No adapter: the service's own source.
      {0xFFFF, 0xFFFF,
       {kServiceName, EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\Unknown RAID Adapter : battery low"}},
      {0xFFFF, 3, {kServiceName, EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\Unknown RAID Adapter3: battery low"}},
      // An index the table does not hold: no name and an empty source.
      {7, 12, {"", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\12: battery low"}},
  };
  for (const auto& c : cases) {
    ksim::ClearEventLog();
    ksim::ClearCalls();
    EXPECT_EQ(ecNoError, CEventLog::PrintRaid(20, c.wIndex, c.dwNumber, "battery low"));
    EXPECT_EQ(std::vector<Record>{c.record}, Records()) << c.wIndex;
    EXPECT_EQ(1u, ksim::CountCalls("DeregisterEventSource")) << c.wIndex;
  }
  EXPECT_EQ(0, ksim::LiveCount("event_sources"));
}

TEST_F(RaidLog, OnlyPrintfRaidInterpretsFormatDirectives) {
  EXPECT_EQ(ecNoError, CEventLog::PrintRaid(30, 0, 1, "100% %s %d %1 %%"));
  EXPECT_EQ(ecNoError, CEventLog::PrintfRaid(30, 0, 1, "%d%% of %s", 95, "disk 2"));
  EXPECT_EQ(ecNoError, CEventLog::PrintfRaid(30, 0, 1, "%s", std::string(300, 'x').c_str()));
  const auto warning = [](const std::string& text) {
    return Record{"velk4", EVENTLOG_WARNING_TYPE, 0x81011001, "\\Device\\Scsi\\velk41: " + text};
  };
  EXPECT_EQ((std::vector<Record>{warning("100% %s %d %1 %%"), warning("95% of disk 2"), warning(std::string(256, 'x'))}),
            Records());
}

TEST_F(RaidLog, TheDriverNameIsNarrowedAndShortenedTo255Characters) {
  std::wstring longName(300, L'd');
  AddDrivers({longName, L"dr\u00e9v\u0141x"});
  EXPECT_EQ(ecNoError, CEventLog::PrintRaid(20, 3, 0, "m"));
  EXPECT_EQ(ecNoError, CEventLog::PrintRaid(20, 4, 0, "m"));
  const std::string shortened(255, 'd');
  EXPECT_EQ((std::vector<Record>{
                Record{shortened, EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\" + shortened + "0: m"},
                Record{"dr\xe9v", EVENTLOG_INFORMATION_TYPE, 0x41011000, "\\Device\\Scsi\\dr\xe9v0: m"}}),
            Records());
}

TEST_F(RaidLog, FailuresOfTheWriter) {
  {
    // No memory for the text: nothing registered, nothing written, nothing kept.
    ksim::ScopedFault fault(Fault("operator new").On(std::to_string(strlen("\\Device\\Scsi\\velk40: m") + 1)).Nth(1));
    EXPECT_EQ(ecOutOfMemory, CEventLog::PrintRaid(20, 0, 0, "m"));
    EXPECT_EQ(1u, fault.Hits());
    EXPECT_EQ(0u, ksim::CountCalls("RegisterEventSourceA"));
    EXPECT_EQ(0, CEventLog::BacklogSize());
  }
  {
    // The source cannot be registered: the Windows error; the record is kept.
    ksim::ScopedFault fault(Fault("RegisterEventSourceA").On("velk4").LastError(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CError::MapSystemError(ERROR_ACCESS_DENIED), CEventLog::PrintRaid(20, 0, 0, "m"));
    EXPECT_EQ(0u, ksim::CountCalls("ReportEventA"));
  }
  {
    // The write itself fails: kept too, after the first.
    ksim::ScopedFault fault(Fault("ReportEventA").LastError(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(CError::MapSystemError(ERROR_NOT_ENOUGH_MEMORY), CEventLog::PrintRaid(20, 0, 0, "n"));
  }
  EXPECT_EQ(NoRecords(), Records());
  EXPECT_EQ(2, CEventLog::BacklogSize());
  EXPECT_EQ(0, ksim::LiveCount("event_sources"));
  // The next record the log takes comes after the kept ones.
  EXPECT_EQ(ecNoError, CEventLog::PrintRaid(20, 0, 0, "o"));
  EXPECT_EQ(Texts(), (std::vector<std::string>{"\\Device\\Scsi\\velk40: m", "\\Device\\Scsi\\velk40: n",
                                               "\\Device\\Scsi\\velk40: o"}));
  EXPECT_EQ(0, CEventLog::BacklogSize());
}

}  // namespace
}  // namespace ktest
