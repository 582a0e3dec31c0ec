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
void ClearEventLog();

}  // namespace ksim
