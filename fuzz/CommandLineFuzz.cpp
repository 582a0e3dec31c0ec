// The command line into the process entry, on the console paths: install, uninstall, the usage
// text and the refused dispatcher start, on a fresh simulated machine for every input.
//
// Input: the module path, then up to three command lines, separated by line feeds; the
// arguments of a command line (argv[0] first) are separated by zero bytes. Running several
// command lines in a row reaches removal of an installed service and installing twice.
#include <ksim/EventLog.h>
#include <ksim/Faults.h>
#include <ksim/Host.h>
#include <ksim/Registry.h>
#include <ksim/Scm.h>

#include "FuzzInput.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int KorvlogMain(int argc, char* argv[]);

namespace {

const size_t c_cMaxCommandLines = 3;
const size_t c_cMaxArguments = 12;

std::vector<std::string> Split(const std::string& text, char chSeparator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i)
    if (i == text.size() || text[i] == chSeparator) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // korvlog prints its console text; the fuzzer's own report goes to standard error.
  if (!freopen("/dev/null", "w", stdout)) abort();
  ksim::SetCallRecording(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  korvlog_fuzz::CFuzzInput input(pData, cbData);
  ksim::UseStateFile("");
  ksim::ResetScm();
  ksim::ResetRegistry();
  ksim::ClearEventLog();
  ksim::SetModulePath(input.Until('\n'));

  for (size_t n = 0; n < c_cMaxCommandLines && !input.Empty(); ++n) {
    std::vector<std::string> args = Split(input.Until('\n'), '\0');
    if (args.size() > c_cMaxArguments) args.resize(c_cMaxArguments);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const int nExit = KorvlogMain(static_cast<int>(args.size()), argv.data());
    // Success or failure, and nothing else.
    if (nExit != 0 && nExit != 1) abort();
    fflush(stdout);
  }
  return 0;
}
