// The Application event log: event sources and records, and what Event Viewer shows of them.
#include <ksim/EventLog.h>
#include <ksim/Registry.h>

#include "internal/Handles.h"
#include "internal/Sim.h"
#include "internal/SystemServices.h"

#include <cstdio>
#include <cstring>
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
  ksim::EventLogRefusal refusal = ksim::EventLogRefusal::None;
};

Log& GetLog() {
  static Log* s_pLog = new Log;
  return *s_pLog;
}

ksim::EventLogRefusal Refusal() {
  Log& log = GetLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.refusal;
}

// Changes the refusal; the Eventlog service in the Service Control Manager follows a change to
// or from Stopped.
void ChangeRefusal(ksim::EventLogRefusal refusal) {
  ksim::EventLogRefusal previous;
  {
    Log& log = GetLog();
    std::lock_guard<std::mutex> guard(log.lock);
    previous = log.refusal;
    log.refusal = refusal;
  }
  const bool bWasStopped = previous == ksim::EventLogRefusal::Stopped;
  const bool bStopped = refusal == ksim::EventLogRefusal::Stopped;
  if (bWasStopped != bStopped) ksim::detail::SetSystemServiceRunning("Eventlog", !bStopped);
}

// The message tables of the modules on the simulated disk, by lower-case path.
struct Modules {
  std::mutex lock;
  std::map<std::string, std::vector<BYTE>> tables;
  std::map<uintptr_t, std::string> loaded;  // modules loaded as data files, by handle
  uintptr_t nextHandle = 0x70000000;
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
  // The simulated host has no network, and a stopped Eventlog service answers no one.
  if ((lpUNCServerName && *lpUNCServerName) || Refusal() == ksim::EventLogRefusal::Stopped) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
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
  // A handle registered before the service stopped outlives it, but only as a handle: the
  // write reaches no server.
  switch (Refusal()) {
    case ksim::EventLogRefusal::Full:
      SetLastError(ERROR_LOG_FILE_FULL);
      return FALSE;
    case ksim::EventLogRefusal::Stopped:
      SetLastError(RPC_S_SERVER_UNAVAILABLE);
      return FALSE;
    case ksim::EventLogRefusal::None:
      break;
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

namespace {

// The message table of a module loaded as a data file, or null for a handle that is none.
const std::vector<BYTE>* LoadedTable(Modules& modules, HMODULE hModule) {
  auto it = modules.loaded.find(reinterpret_cast<uintptr_t>(hModule));
  if (it == modules.loaded.end()) return nullptr;
  auto table = modules.tables.find(it->second);
  return table == modules.tables.end() ? nullptr : &table->second;
}

// The number of the highest insert a message text names (%1 to %99).
size_t HighestInsert(const std::string& text) {
  size_t nHighest = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text[i + 1] < '1' || text[i + 1] > '9') {
      ++i;  // "%%" and the like
      continue;
    }
    size_t n = static_cast<size_t>(text[i + 1] - '0');
    if (i + 2 < text.size() && text[i + 2] >= '0' && text[i + 2] <= '9') n = n * 10 + (text[i + 2] - '0');
    nHighest = n > nHighest ? n : nHighest;
  }
  return nHighest;
}

}  // namespace

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE, DWORD) {
  if (auto f = ksim::detail::Enter("LoadLibraryExA", lpLibFileName ? lpLibFileName : "")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  Modules& modules = GetModules();
  std::lock_guard<std::mutex> guard(modules.lock);
  const std::string path = LowerPath(lpLibFileName ? lpLibFileName : "");
  // A data file that is not there is a file not found, not a module.
  if (!modules.tables.count(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  const uintptr_t handle = modules.nextHandle += 0x10000;
  modules.loaded[handle] = path;
  return reinterpret_cast<HMODULE>(handle);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (auto f = ksim::detail::Enter("FreeLibrary")) {
    SetLastError(f->lastError);
    return FALSE;
  }
  Modules& modules = GetModules();
  std::lock_guard<std::mutex> guard(modules.lock);
  if (!modules.loaded.erase(reinterpret_cast<uintptr_t>(hLibModule))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// The forms the conformance programs use: a message of a loaded module, with its inserts from
// an array of strings or left as they are, into the caller's buffer.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPSTR lpBuffer, DWORD nSize,
                            va_list* Arguments) {
  if (auto f = ksim::detail::Enter("FormatMessageA")) {
    SetLastError(f->lastError);
    return 0;
  }
  const DWORD dwKnown = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY;
  if ((dwFlags & ~dwKnown) || !(dwFlags & FORMAT_MESSAGE_FROM_HMODULE) || !lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string text;
  {
    Modules& modules = GetModules();
    std::lock_guard<std::mutex> guard(modules.lock);
    const std::vector<BYTE>* pTable = LoadedTable(modules, static_cast<HMODULE>(const_cast<void*>(lpSource)));
    if (!pTable || ksim::FindMessage(*pTable, dwMessageId, &text) != ksim::MessageLookup::kFound) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
  }
  if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS)) {
    const size_t nInserts = HighestInsert(text);
    if (nInserts && (!(dwFlags & FORMAT_MESSAGE_ARGUMENT_ARRAY) || !Arguments)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const DWORD_PTR* pArgs = reinterpret_cast<const DWORD_PTR*>(Arguments);
    std::vector<std::string> inserts;
    for (size_t i = 0; i < nInserts; ++i) inserts.emplace_back(reinterpret_cast<const char*>(pArgs[i]));
    text = ksim::FormatEventMessage(text, inserts);
  }
  if (text.size() + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

namespace ksim {

std::vector<EventRecord> EventLogRecords() {
  Log& log = GetLog();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.records;
}

void ClearEventLog() {
  {
    Log& log = GetLog();
    std::lock_guard<std::mutex> guard(log.lock);
    log.records.clear();
  }
  ChangeRefusal(EventLogRefusal::None);
}

void SetEventLogRefusal(EventLogRefusal refusal) { ChangeRefusal(refusal); }

EventLogRefusal GetEventLogRefusal() { return Refusal(); }

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
