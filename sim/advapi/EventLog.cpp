// The Application event log: event sources and records, and what Event Viewer shows of them.
#include <ksim/EventLog.h>
#include <ksim/Registry.h>

#include "internal/Handles.h"
#include "internal/Sim.h"

#include <cstdio>
#include <map>
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

// The message tables of the modules on the simulated disk, by lower-case path.
struct Modules {
  std::mutex lock;
  std::map<std::string, std::vector<BYTE>> tables;
};

Modules& GetModules() {
  static Modules* s_pModules = new Modules;
  return *s_pModules;
}

std::string LowerPath(const std::string& path) {
  std::string out = path;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The message files of a source: "EventMessageFile" split at ';', with %SystemRoot% expanded.
std::vector<std::string> MessageFiles(const std::string& source) {
  std::vector<std::string> files;
  auto value = ksim::RegistryRead("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source,
                                  "EventMessageFile");
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return files;
  const std::string list = value->AsString();
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string file = list.substr(start, end - start);
    const std::string root = "%systemroot%";
    if (LowerPath(file.substr(0, root.size())) == root) file = "C:\\Windows" + file.substr(root.size());
    if (!file.empty()) files.push_back(file);
    start = end + 1;
  }
  return files;
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

void SetModuleMessageTable(const std::string& modulePath, std::vector<BYTE> table) {
  Modules& modules = GetModules();
  std::lock_guard<std::mutex> guard(modules.lock);
  modules.tables[LowerPath(modulePath)] = std::move(table);
}

void ClearModuleMessageTables() {
  Modules& modules = GetModules();
  std::lock_guard<std::mutex> guard(modules.lock);
  modules.tables.clear();
}

std::string RenderEventRecord(const EventRecord& record) {
  for (const std::string& file : MessageFiles(record.source)) {
    std::vector<BYTE> table;
    {
      Modules& modules = GetModules();
      std::lock_guard<std::mutex> guard(modules.lock);
      auto it = modules.tables.find(LowerPath(file));
      if (it == modules.tables.end()) continue;
      table = it->second;
    }
    std::string text;
    if (FindMessage(table, record.eventId, &text) == MessageLookup::kFound)
      return FormatEventMessage(text, record.strings);
  }
  // Event Viewer names the identifier by its code, the low 16 bits.
  char szHead[96];
  std::snprintf(szHead, sizeof(szHead), "The description for Event ID %u from source ",
                static_cast<unsigned>(record.eventId & 0xFFFF));
  std::string text = szHead + record.source +
                     " cannot be found. Either the component that raises this event is not installed on your "
                     "local computer or the installation is corrupted.\r\n\r\n"
                     "The following information was included with the event:\r\n\r\n";
  for (size_t i = 0; i < record.strings.size(); ++i) text += (i ? "\r\n" : "") + record.strings[i];
  return text;
}

}  // namespace ksim
