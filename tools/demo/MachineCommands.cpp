#include "MachineCommands.h"

#include <ksim/Machine.h>

#include <cstdlib>

namespace demo {
namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

void MachinePlayer::SetUp() {
  ksim::wmi::SetClassRemoval(ksim::wmi::ClassRemoval::StatusError, static_cast<HRESULT>(WBEM_E_CALL_CANCELLED));
}

bool MachinePlayer::Play(const Command& c, std::string* pError) {
  const std::vector<std::string>& w = c.words;
  const std::string& verb = w[0];
  auto fail = [&](const std::string& why) {
    *pError = "line " + std::to_string(c.line) + ": " + why;
    return false;
  };
  if (verb == "controller" && w.size() == 5 && w[1] == "add") {
    m_controllers[w[2]] = Wide(w[3]);
    ksim::machine::AddScsiController(Wide(w[3]), Wide(w[4]));
  } else if (verb == "controller" && w.size() == 3 && w[1] == "remove") {
    auto it = m_controllers.find(w[2]);
    if (it == m_controllers.end() || !ksim::machine::RemoveScsiController(it->second))
      return fail("no controller " + w[2]);
    m_controllers.erase(it);
  } else if (verb == "driver" && w.size() <= 3 && w.size() >= 2 && w[1] == "load") {
    ksim::machine::LoadRaidDriver(Wide(w.size() == 3 ? w[2] : "velk4"));
  } else if (verb == "driver" && w.size() == 2 && w[1] == "unload") {
    ksim::machine::UnloadRaidDriver();
  } else if (verb == "message" && w.size() >= 4) {
    long level = 0, number = 0;
    auto it = m_controllers.find(w[1]);
    if (it == m_controllers.end() || !ParseNumber(w[2], &level) || !ParseNumber(w[3], &number))
      return fail("message CONTROLLER LEVEL ADAPTER-NUMBER TEXT");
    ksim::machine::RaiseFirmwareMessage(
        ksim::machine::Message(it->second, static_cast<LONG>(level), static_cast<LONG>(number), c.rest));
  } else if (verb == "hosttime" && w.size() == 2) {
    auto it = m_controllers.find(w[1]);
    if (it == m_controllers.end()) return fail("no controller " + w[1]);
    ksim::machine::RaiseHostTimeRequest(it->second);
  } else {
    return fail("unknown command: " + verb);
  }
  return true;
}

}  // namespace demo
