// The scenario language itself, apart from any host: the parser, which commands change the
// machine, and the event source an administrator registers. Built for the simulated host (the demo) and for Windows (the scenario player of the
// Wine tests).
#include "Scenario.h"

#include <simwin/windows.h>

#include <cstdlib>
#include <sstream>

namespace demo {
namespace {

std::vector<std::string> Split(const std::string& line, std::vector<size_t>* pStarts) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    words.push_back(line.substr(start, i - start));
    pStarts->push_back(start);
  }
  return words;
}

}  // namespace

bool ParseScenario(const std::string& text, std::vector<Command>* pCommands, std::string* pError) {
  std::istringstream in(text);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<size_t> starts;
    std::vector<std::string> words = Split(line, &starts);
    if (words.empty() || words[0][0] == '#') continue;
    Command c{n, words, ""};
    if (words[0] == "message") {
      if (words.size() < 5) {
        *pError = "line " + std::to_string(n) + ": message CONTROLLER LEVEL ADAPTER-NUMBER TEXT";
        return false;
      }
      c.rest = line.substr(starts[4]);
      c.words.resize(4);
    }
    pCommands->push_back(c);
  }
  return true;
}

bool ParseNumber(const std::string& text, long* pValue) {
  char* pEnd = nullptr;
  *pValue = std::strtol(text.c_str(), &pEnd, 10);
  return !text.empty() && pEnd && *pEnd == '\0';
}

std::string CommandText(const Command& c) {
  std::string text;
  for (size_t i = 0; i < c.words.size(); ++i) text += (i ? " " : "") + c.words[i];
  if (!c.rest.empty()) text += " " + c.rest;
  return text;
}

bool IsMachineCommand(const Command& c) {
  const std::string& verb = c.words[0];
  return verb == "controller" || verb == "driver" || verb == "message" || verb == "hosttime";
}

bool RegisterMessageSource(const std::string& source, const std::string& file) {
  HKEY hKey = nullptr;
  std::string key = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &hKey) != ERROR_SUCCESS) return false;
  const DWORD dwTypes = 7;
  bool bOk = RegSetValueExA(hKey, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                            static_cast<DWORD>(file.size() + 1)) == ERROR_SUCCESS &&
             RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                            sizeof(dwTypes)) == ERROR_SUCCESS;
  RegCloseKey(hKey);
  return bOk;
}

}  // namespace demo
