// The scenario commands that change the machine (controllers, the RAID driver, firmware
// messages, host-time requests), played on the scriptable machine of ksim/Machine.h. The demo
// plays them on the simulated host; the WMI stand-in of the Wine tests plays the same commands
// inside korvlog.exe's process.
#pragma once

#include "Scenario.h"

#include <map>
#include <string>

namespace demo {

class MachinePlayer {
 public:
  // Plays one command for which IsMachineCommand holds; false with a message on a command that
  // cannot be carried out.
  bool Play(const Command& c, std::string* pError);

  // The driver's classes go away with the driver, and WMI then ends the queries on them: the
  // behaviour both hosts give the simulated WMI before a scenario.
  static void SetUp();

 private:
  std::map<std::string, std::wstring> m_controllers;  // scenario name -> device instance path
};

}  // namespace demo
