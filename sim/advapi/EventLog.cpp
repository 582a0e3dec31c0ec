// The Application event log: event sources and records.
#include <ksim/EventLog.h>

#include "internal/Handles.h"
#include "internal/Sim.h"

#include <mutex>

namespace {

struct EventSource : ksim::detail::KernelObject {
  std::string name;
};

struct Log {
  std::mutex lock;
  uint64_t nextSequence = 1;
  std::vector<ksim::EventRecord> records;
};

Log& GetLog() {
  static Log* s_pLog = new Log;
  return *s_pLog;
}

}  // namespace

HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
  std::string source = lpSourceName ? lpSourceName : "";
  if (auto f = ksim::detail::Enter("RegisterEventSourceA", source)) {
    SetLastError(f->lastError);
    return nullptr;
  }
  if (lpUNCServerName && *lpUNCServerName) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);  // the simulated host has no network
    return nullptr;
  }
  auto pSource = std::make_shared<EventSource>();
  pSource->name = source;
  ksim::detail::AddLive("event_sources", 1);
  return ksim::detail::InsertHandle(pSource);
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
  auto pSource = std::dynamic_pointer_cast<EventSource>(ksim::detail::LookupHandle(hEventLog));
  if (auto f = ksim::detail::Enter("DeregisterEventSource", pSource ? pSource->name : "")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  if (!pSource || !ksim::detail::RemoveHandle(hEventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ksim::detail::AddLive("event_sources", -1);
  return TRUE;
}

BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID, WORD wNumStrings,
                         DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData) {
  auto pSource = std::dynamic_pointer_cast<EventSource>(ksim::detail::LookupHandle(hEventLog));
  if (auto f = ksim::detail::Enter("ReportEventA", pSource ? pSource->name : "")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  if (!pSource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ksim::EventRecord record{};
  record.source = pSource->name;
  record.type = wType;
  record.category = wCategory;
  record.eventId = dwEventID;
  for (WORD i = 0; i < wNumStrings; ++i) record.strings.push_back(lpStrings[i] ? lpStrings[i] : "");
  GetSystemTime(&record.timeWritten);
  Log& log = GetLog();
  std::lock_guard<std::mutex> guard(log.lock);
  record.sequence = log.nextSequence++;
  log.records.push_back(std::move(record));
  return TRUE;
}

namespace ksim {

std::vector<EventRecord> EventLogRecords() {
  Log& log = GetLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.records;
}

void ClearEventLog() {
  Log& log = GetLog();
  std::lock_guard<std::mutex> guard(log.lock);
  log.records.clear();
}

}  // namespace ksim
