// The demo plays its scenarios to the end and shows what the service did.
#include "Scenario.h"

#include <ksim/EventLog.h>
#include <ksim/Host.h>
#include <ksim/Scm.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadExample(const std::string& name) {
  std::ifstream file(std::string(KORVLOG_EXAMPLES) + "/" + name, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

TEST(Demo, DefaultScenarioLogsEveryMessageOfTheServedControllers) {
  std::vector<demo::Command> commands;
  std::string error;
  ASSERT_TRUE(demo::ParseScenario(ReadExample("default.scenario"), &commands, &error)) << error;
  std::ostringstream out;
  ASSERT_TRUE(demo::PlayScenario(commands, out, &error)) << error << "\n" << out.str();

  std::vector<std::string> controllerRecords;
  for (const ksim::EventRecord& r : ksim::EventLogRecords())
    if (r.source == "velk4") controllerRecords.push_back(r.strings.at(0));
  EXPECT_EQ((std::vector<std::string>{
                "\\Device\\Scsi\\velk40: Controller firmware v3.2 started",
                "\\Device\\Scsi\\velk41: Battery backup unit is charging; write cache disabled",
                "\\Device\\Scsi\\velk40: Physical disk 2 failed (100% of retries used)",
                "\\Device\\Scsi\\velk40: Rebuild of logical drive 0 started",
                "\\Device\\Scsi\\velk40: Rebuild of logical drive 0 completed",
            }),
            controllerRecords);
  EXPECT_FALSE(ksim::FindService("korvlog")) << "uninstalled at the end";

  std::ostringstream log;
  demo::PrintEventLog(log);
  EXPECT_NE(std::string::npos,
            log.str().find("2026-12-08 09:00:00  Error        velk4     4098      \\Device\\Scsi\\velk40: Physical disk 2"))
      << log.str();
  std::ostringstream reports;
  demo::PrintStatusReports(reports, "korvlog");
  EXPECT_NE(std::string::npos, reports.str().find("stopped")) << reports.str();
}

TEST(Demo, ScenarioErrorsNameTheLine) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"# comment\n\nmessage c0 20\n", "line 3: message CONTROLLER LEVEL ADAPTER-NUMBER TEXT"},
  };
  for (const auto& c : cases) {
    std::vector<demo::Command> commands;
    std::string error;
    EXPECT_FALSE(demo::ParseScenario(c.text, &commands, &error));
    EXPECT_EQ(c.error, error);
  }
  const struct {
    const char* text;
    const char* error;
  } played[] = {
      {"teleport\n", "line 1: unknown command: teleport"},
      {"clock yesterday\n", "line 1: clock YYYY-MM-DD HH:MM:SS [bias minutes]"},
      {"\ncontroller remove c9\n", "line 2: no controller c9"},
      {"message c0 20 0 hello\n", "line 1: message CONTROLLER LEVEL ADAPTER-NUMBER TEXT"},
  };
  for (const auto& c : played) {
    std::vector<demo::Command> commands;
    std::string error;
    ASSERT_TRUE(demo::ParseScenario(c.text, &commands, &error));
    std::ostringstream out;
    EXPECT_FALSE(demo::PlayScenario(commands, out, &error));
    EXPECT_EQ(c.error, error);
  }
}

}  // namespace
