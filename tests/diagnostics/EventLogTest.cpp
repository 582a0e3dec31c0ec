// The event log writer for the service's own records, the message table of the executable, and
// what the simulated Event Viewer shows of a record.
#include "service/InstallSupport.h"

#include "diagnostics/EventLog.h"

#include <MessageTableResource.h>

#include <cstring>
#include <thread>

namespace ktest {
namespace {

const std::vector<BYTE> kTable(std::begin(c_rgbMessageTableResource), std::end(c_rgbMessageTableResource));

class EventLogTest : public MachineTest {};

TEST_F(EventLogTest, PrintWritesOneRecordFromTheServiceSource) {
  EXPECT_EQ(CEventLog::Print(EVENTLOG_WARNING_TYPE, c_dwMsgServiceError, "disk 100% full, %s %1 %%\r\n"), ecNoError);
  auto records = ksim::EventLogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].source, kServiceName);
  EXPECT_EQ(records[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(records[0].category, 0);
  EXPECT_EQ(records[0].eventId, 0xC0002004u);
  // Print interprets nothing: the percent signs reach the record as they are.
  EXPECT_EQ(records[0].strings, std::vector<std::string>{"disk 100% full, %s %1 %%\r\n"});
  EXPECT_EQ(ksim::CountCalls("DeregisterEventSource"), 1u);
}

TEST_F(EventLogTest, PrintfCutsItsTextAt256Characters) {
  const struct {
    size_t length;
    size_t expected;
  } cases[] = {{0, 0}, {255, 255}, {256, 256}, {257, 256}, {300, 256}};
  for (const auto& c : cases) {
    ksim::ClearEventLog();
    const std::string text = std::string(c.length, 'x');
    EXPECT_EQ(CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "%s", text.c_str()), ecNoError);
    auto records = ksim::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strings[0], std::string(c.expected, 'x')) << c.length;
  }
}

TEST_F(EventLogTest, PrintfFormatsAndPassesTypeAndIdentifier) {
  EXPECT_EQ(CEventLog::Printf(EVENTLOG_INFORMATION_TYPE, c_dwMsgServiceInfo, "Error = 0x%08x, %s%%\r\n", 5u, "half"),
            ecNoError);
  auto records = ksim::EventLogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(records[0].eventId, 0x40002002u);
  EXPECT_EQ(records[0].strings[0], "Error = 0x00000005, half%\r\n");
}

TEST_F(EventLogTest, AFailedRegistrationWritesNothing) {
  ksim::ScopedFault fault(Fault("RegisterEventSourceA").On(kServiceName).LastError(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "lost"), SystemError(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "%s", "lost"), SystemError(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(ksim::EventLogRecords().empty());
  EXPECT_EQ(ksim::CountCalls("ReportEventA"), 0u);
}

TEST_F(EventLogTest, AFailedWriteIsInvisibleAndTheSourceIsReleased) {
  ksim::ScopedFault fault(Fault("ReportEventA").LastError(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "lost"), ecNoError);
  EXPECT_TRUE(ksim::EventLogRecords().empty());
  EXPECT_EQ(ksim::CountCalls("DeregisterEventSource"), 1u);
}

TEST_F(EventLogTest, ConcurrentWritersEachGetTheirOwnSource) {
  const int kThreads = 4, kRecords = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kRecords; ++i) CEventLog::Printf(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "%d.%d", t, i);
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(ksim::EventLogRecords().size(), static_cast<size_t>(kThreads * kRecords));
}

// Every message of the table, in the order of its blocks. The identifiers the program has
// always written show the insertion string alone; each later one names its meaning first.
const struct {
  DWORD dwId;
  const char* pszText;
} c_rgMessages[] = {
    {0x00002001, "%1\r\n"},
    {0x40002000, "%1\r\n"},
    {0x40002002, "%1\r\n"},
    {0x40002011, "Event query registered again:\r\n%1\r\n"},
    {0x40002013, "Connection to WMI restored:\r\n%1\r\n"},
    {0x40002015, "No SCSI controller at start:\r\n%1\r\n"},
    {0x40002017, "Service status:\r\n%1\r\n"},
    {0x41011000, "%1\r\n"},
    {0x80002003, "%1\r\n"},
    {0x80002010, "Event query not registered:\r\n%1\r\n"},
    {0x80002012, "Connection to WMI lost:\r\n%1\r\n"},
    {0x80002014, "Records refused by the event log:\r\n%1\r\n"},
    {0x80002016, "Stop not completed in time:\r\n%1\r\n"},
    {0x81011001, "%1\r\n"},
    {0xC0002004, "%1\r\n"},
    {0xC0002018, "Controller event lost:\r\n%1\r\n"},
    {0xC1011002, "%1\r\n"},
};

// The resource checked against the published message-table layout, independently of the
// generator: single-identifier blocks in ascending order, each entry ANSI, its length a multiple
// of four, its text followed by one to four zero bytes.
TEST(MessageTableTest, HasThePublishedLayout) {
  auto dword = [](size_t offset) {
    return static_cast<DWORD>(kTable[offset] | kTable[offset + 1] << 8 | kTable[offset + 2] << 16 |
                              static_cast<DWORD>(kTable[offset + 3]) << 24);
  };
  const size_t nMessages = sizeof(c_rgMessages) / sizeof(c_rgMessages[0]);
  ASSERT_EQ(dword(0), nMessages);
  size_t offset = 4 + 12 * nMessages;
  for (size_t b = 0; b < nMessages; ++b) {
    const size_t block = 4 + b * 12;
    EXPECT_EQ(dword(block), c_rgMessages[b].dwId) << b;
    EXPECT_EQ(dword(block + 4), c_rgMessages[b].dwId) << b;
    ASSERT_EQ(dword(block + 8), offset) << b;
    const size_t cbText = strlen(c_rgMessages[b].pszText);
    const size_t cbEntry = 4 + (cbText / 4 + 1) * 4;
    EXPECT_EQ(kTable[offset] | kTable[offset + 1] << 8, static_cast<int>(cbEntry)) << b;
    EXPECT_EQ(0, kTable[offset + 2] | kTable[offset + 3]) << "an ANSI entry";
    EXPECT_EQ(std::string(c_rgMessages[b].pszText), std::string(kTable.begin() + offset + 4, kTable.begin() + offset + 4 + cbText));
    for (size_t i = 4 + cbText; i < cbEntry; ++i) EXPECT_EQ(0, kTable[offset + i]) << b;
    offset += cbEntry;
  }
  EXPECT_EQ(kTable.size(), offset);
}

TEST(MessageTableTest, FindsEveryMessageAndNothingElse) {
  for (const auto& m : c_rgMessages) {
    std::string text;
    EXPECT_EQ(ksim::FindMessage(kTable, m.dwId, &text), ksim::MessageLookup::kFound) << std::hex << m.dwId;
    EXPECT_EQ(text, m.pszText);
  }
  for (DWORD dwId : {0u, 0x2004u, 0x40002001u, 0xC0002005u, 0x80002011u, 0xFFFFFFFFu})
    EXPECT_EQ(ksim::FindMessage(kTable, dwId, nullptr), ksim::MessageLookup::kMissing) << std::hex << dwId;
}

TEST(MessageTableTest, ReadsRangesAndUnicodeEntriesAndRejectsBrokenTables) {
  // One block of the identifiers 5 and 6: an ANSI entry, then a Unicode one.
  const std::vector<BYTE> table = {1, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0, 16, 0, 0, 0,
                                   8, 0, 0, 0, 'h', 'i', 0, 0,
                                   12, 0, 1, 0, 'o', 0, 'k', 0, 0x3A, 0x26, 0, 0};
  std::string text;
  EXPECT_EQ(ksim::FindMessage(table, 5, &text), ksim::MessageLookup::kFound);
  EXPECT_EQ(text, "hi");
  EXPECT_EQ(ksim::FindMessage(table, 6, &text), ksim::MessageLookup::kFound);
  EXPECT_EQ(text, "ok?");
  for (size_t cut : {size_t(0), size_t(3), size_t(10), size_t(17), size_t(30)}) {
    const std::vector<BYTE> broken(table.begin(), table.begin() + cut);
    EXPECT_EQ(ksim::FindMessage(broken, 6, nullptr), ksim::MessageLookup::kMalformed) << cut;
  }
}

TEST(MessageTableTest, FormatsInsertsAsFormatMessageDoes) {
  const struct {
    const char* text;
    std::vector<std::string> strings;
    const char* expected;
  } cases[] = {
      {"%1\r\n", {"as %1 passed %%"}, "as %1 passed %%\r\n"},
      {"%2 before %1", {"a", "b"}, "b before a"},
      {"%1!s! and %3", {"a"}, "a and %3"},
      {"100%% done%n%tnext%0 never", {}, "100% done\r\n\tnext"},
      {"%12 of %1", {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "twelve"}, "twelve of 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(ksim::FormatEventMessage(c.text, c.strings), c.expected) << c.text;
}

class EventViewerTest : public MachineTest {
 protected:
  static ksim::EventRecord Record(const std::string& source, DWORD dwId, std::vector<std::string> strings) {
    ksim::EventRecord r{};
    r.source = source;
    r.type = EVENTLOG_ERROR_TYPE;
    r.eventId = dwId;
    r.strings = std::move(strings);
    return r;
  }
};

TEST_F(EventViewerTest, ShowsTheTextOfAnInstalledService) {
  ksim::SetModuleMessageTable(kModulePath, kTable);
  ASSERT_EQ(InstallQuietly(), ecNoError);
  CEventLog::Print(EVENTLOG_ERROR_TYPE, c_dwMsgServiceError, "50% of %1 lost");
  auto records = ksim::EventLogRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(ksim::RenderEventRecord(records[0]), "50% of %1 lost\r\n");
}

TEST_F(EventViewerTest, FindsTheMessageFileByItsRegisteredPath) {
  const std::string key = std::string(kSourceKey);
  ksim::SetModuleMessageTable("c:\\windows\\system32\\other.dll", {1, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0, 16, 0, 0, 0,
                                                                   12, 0, 0, 0, 'o', 't', 'h', 'e', 'r', 0, 0, 0});
  ksim::SetModuleMessageTable(kModulePath, kTable);
  ksim::RegistryWrite(key, "EventMessageFile",
                      ksim::RegistryValue::String("%SystemRoot%\\System32\\Other.dll;D:\\SVC\\evtsvc.exe", REG_EXPAND_SZ));
  EXPECT_EQ(ksim::RenderEventRecord(Record(kServiceName, 9, {})), "other");
  EXPECT_EQ(ksim::RenderEventRecord(Record(kServiceName, 0xC0002004, {"text"})), "text\r\n");
}

TEST_F(EventViewerTest, WithoutAMessageSaysTheDescriptionCannotBeFound) {
  const std::string kMissing =
      "The description for Event ID 8196 from source korvlog cannot be found. Either the component that raises "
      "this event is not installed on your local computer or the installation is corrupted.\r\n\r\n"
      "The following information was included with the event:\r\n\r\nfirst\r\nsecond";
  // No source key, then a key whose message file has no table, then a table without the identifier.
  EXPECT_EQ(ksim::RenderEventRecord(Record(kServiceName, 0xC0002004, {"first", "second"})), kMissing);
  ksim::RegistryWrite(kSourceKey, "EventMessageFile", ksim::RegistryValue::String(kModulePath, REG_EXPAND_SZ));
  EXPECT_EQ(ksim::RenderEventRecord(Record(kServiceName, 0xC0002004, {"first", "second"})), kMissing);
  ksim::SetModuleMessageTable(kModulePath, kTable);
  // Event Viewer names the identifier by its code alone.
  EXPECT_EQ(ksim::RenderEventRecord(Record(kServiceName, 0x40002004, {"first", "second"})), kMissing);
}

}  // namespace
}  // namespace ktest
