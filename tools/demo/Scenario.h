// The demo's scenarios: plain text, one command per line (see README.md), played against
// korvlog installed on the simulated host.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace demo {

struct Command {
  int line;
  std::vector<std::string> words;
  std::string rest;  // the text after the first words, for messages
};

// Parses a scenario; false with a message naming the line on a syntax error.
bool ParseScenario(const std::string& text, std::vector<Command>* pCommands, std::string* pError);

// The command as a line of the scenario, in normalised spacing.
std::string CommandText(const Command& c);
// The command changes the machine: a controller, the RAID driver, a message or a host-time request.
bool IsMachineCommand(const Command& c);
// A decimal number and nothing else.
bool ParseNumber(const std::string& text, long* pValue);

// Registers an Application event source with a message file, as an administrator would.
bool RegisterMessageSource(const std::string& source, const std::string& file);

// Plays the commands, printing each step and what korvlog printed; false with a message on a
// step that cannot be carried out.
bool PlayScenario(const std::vector<Command>& commands, std::ostream& out, std::string* pError);

// The Application log as Event Viewer shows it, and the service's status reports.
void PrintEventLog(std::ostream& out);
void PrintStatusReports(std::ostream& out, const std::string& service);

}  // namespace demo
