// The simulated Application event log, as tests and tools read it.
#pragma once

#include <simwin/windows.h>

#include <string>
#include <vector>

namespace ksim {

struct EventRecord {
  uint64_t sequence;
  std::string source;
  WORD type;
  WORD category;
  DWORD eventId;
  std::vector<std::string> strings;
  SYSTEMTIME timeWritten;  // UTC, from the simulated clock
};

// Every record reported so far, in order.
std::vector<EventRecord> EventLogRecords();
// No records, and the log takes writes again (EventLogRefusal::None).
void ClearEventLog();

// The log refusing writes. A refused record is not stored.
enum class EventLogRefusal {
  None,
  Full,     // ReportEventA fails with ERROR_LOG_FILE_FULL (1502); RegisterEventSourceA still works
  Stopped,  // the Eventlog service is stopped: RegisterEventSourceA fails with RPC_S_SERVER_UNAVAILABLE (1722),
            // and ReportEventA on a handle registered before fails with 1722 too
};
// Stopped also stops the Eventlog service in the Service Control Manager (its process ends);
// leaving Stopped runs it again in a new process.
void SetEventLogRefusal(EventLogRefusal refusal);
EventLogRefusal GetEventLogRefusal();

// Gives the module stored at modulePath a message table: the bytes of its MESSAGETABLE
// resource (name 1, language 1033) in the platform's message-table format. Event Viewer reads
// the table of the files that a source registered as its "EventMessageFile".
void SetModuleMessageTable(const std::string& modulePath, std::vector<BYTE> table);
void ClearModuleMessageTables();

// Looks up a message in a message-table resource. ANSI entries come back as they are, Unicode
// entries narrowed (characters above U+00FF become '?'), without the padding zeros.
enum class MessageLookup { kFound, kMissing, kMalformed };
MessageLookup FindMessage(const std::vector<BYTE>& table, DWORD messageId, std::string* text);

// Fills a message text's inserts as FormatMessage does for Event Viewer: %1 to %99 take the
// insertion strings (an insert without a string stays as written), %n is a line end, %r a
// carriage return, %t a tab, %0 ends the text, and %% a percent sign. The strings are inserted
// as they are; nothing in them is interpreted.
std::string FormatEventMessage(const std::string& text, const std::vector<std::string>& strings);

// What Event Viewer shows as the record's description: its message from the first message
// file registered under SYSTEM\CurrentControlSet\Services\EventLog\Application\<source> that
// holds the identifier, with the insertion strings filled in; without one, Event Viewer's
// "description cannot be found" text followed by the strings.
std::string RenderEventRecord(const EventRecord& record);

}  // namespace ksim
