// Conformance of the event log as the service writes it and Event Viewer reads it: every
// identifier the service reports is in korvlog.exe's message table and formats to its one
// insertion string; an identifier it does not have, a short buffer, and the event source calls.
// Usage: EventLogConformance [path of korvlog.exe] (the simulated host has it built in).
#include "Conformance.h"

#include <string.h>

#ifndef _WIN32
#include <MessageTableResource.h>
#include <ksim/EventLog.h>
#include <iterator>
#endif

namespace {

// The identifiers the service writes: its own records and the controller messages of each
// level.
const DWORD kReported[] = {0x40002002, 0x41011000, 0x81011001, 0xC0002004, 0xC1011002};

DWORD Format(HMODULE hModule, DWORD dwFlags, DWORD dwId, const char* pszInsert, char* pszOut, DWORD cchOut) {
  DWORD_PTR rgArgs[] = {reinterpret_cast<DWORD_PTR>(pszInsert)};
  SetLastError(0xdeadbeef);
  return FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | dwFlags, hModule, dwId, 0, pszOut, cchOut,
                        reinterpret_cast<va_list*>(rgArgs));
}

void TestMessageTable(const char* pszModule) {
  HMODULE hModule = LoadLibraryExA(pszModule, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ok(hModule != nullptr);
  if (!hModule) return;
  const char szInsert[] = "Controller 0: battery 100%";
  char szOut[256];
  for (DWORD dwId : kReported) {
    const DWORD cch = Format(hModule, FORMAT_MESSAGE_ARGUMENT_ARRAY, dwId, szInsert, szOut, sizeof(szOut));
    ok(cch == strlen(szInsert) + 2 && strcmp(szOut, "Controller 0: battery 100%\r\n") == 0);
  }
  ok(Format(hModule, FORMAT_MESSAGE_IGNORE_INSERTS, kReported[0], nullptr, szOut, sizeof(szOut)) == 4 &&
     strcmp(szOut, "%1\r\n") == 0);
  ok(Format(hModule, FORMAT_MESSAGE_ARGUMENT_ARRAY, 0x40002005, szInsert, szOut, sizeof(szOut)) == 0 &&
     GetLastError() == ERROR_MR_MID_NOT_FOUND);
  ok(Format(hModule, FORMAT_MESSAGE_ARGUMENT_ARRAY, kReported[0], szInsert, szOut, 8) == 0 &&
     GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  ok(FreeLibrary(hModule));
  ok_err(ERROR_FILE_NOT_FOUND, LoadLibraryExA("C:\\nosuchmodule.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE));
}

void TestEventSource() {
  // A source that nobody registered still opens (its records go to the Application log).
  HANDLE hSource = RegisterEventSourceA(nullptr, "korvlogconformance");
  ok(hSource != nullptr);
  const char* rgStrings[] = {"a record of the conformance test"};
  ok(ReportEventA(hSource, EVENTLOG_INFORMATION_TYPE, 0, kReported[0], nullptr, 1, 0, rgStrings, nullptr));
  ok(DeregisterEventSource(hSource));
}

}  // namespace

int main(int argc, char* argv[]) {
  conformance::Begin();
#ifdef _WIN32
  const char* pszModule = argc > 1 ? argv[1] : "korvlog.exe";
#else
  (void)argc;
  (void)argv;
  const char* pszModule = "C:\\korvlog\\korvlog.exe";
  ksim::SetModuleMessageTable(pszModule, std::vector<BYTE>(std::begin(c_rgbMessageTableResource),
                                                          std::end(c_rgbMessageTableResource)));
#endif
  TestMessageTable(pszModule);
  TestEventSource();
  return conformance::End("event log");
}
