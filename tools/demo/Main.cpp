// korvlog's main job on the simulated host: installs korvlog, starts it, plays a scenario of
// controllers, the RAID driver and its messages, stops and uninstalls it, and shows the
// Application log as Event Viewer would, with the service's status reports.
//
//   korvlog-demo [scenario-file]      without a file, the built-in scenario
#include "Scenario.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

const char kBuiltIn[] = R"SCENARIO(@KORVLOG_DEFAULT_SCENARIO@)SCENARIO";

}  // namespace

int main(int argc, char* argv[]) {
  std::string text = kBuiltIn;
  std::string name = "built-in scenario (examples/default.scenario)";
  if (argc > 2 || (argc == 2 && std::string(argv[1]) == "-h")) {
    std::cerr << "usage: korvlog-demo [scenario-file]\n";
    return 2;
  }
  if (argc == 2) {
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
      std::cerr << "korvlog-demo: cannot read " << argv[1] << "\n";
      return 2;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    name = argv[1];
  }

  std::vector<demo::Command> commands;
  std::string error;
  if (!demo::ParseScenario(text, &commands, &error)) {
    std::cerr << "korvlog-demo: " << name << ": " << error << "\n";
    return 2;
  }
  std::cout << "Playing the " << name << " on the simulated host.\n\n";
  const bool bPlayed = demo::PlayScenario(commands, std::cout, &error);
  std::cout << "\nApplication log, as Event Viewer shows it:\n\n";
  demo::PrintEventLog(std::cout);
  std::cout << "\nStatus reports of the service:\n\n";
  demo::PrintStatusReports(std::cout, "korvlog");
  if (!bPlayed) {
    std::cerr << "korvlog-demo: " << name << ": " << error << "\n";
    return 1;
  }
  return 0;
}
