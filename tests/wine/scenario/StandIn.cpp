// The WMI stand-in: an in-process COM server of CLSID_WbemLocator that serves the simulated WMI
// and the scriptable machine (sim/wmi, sim/control/Machine.cpp, built for Windows) inside
// korvlog.exe's process, in place of the platform's WMI.
//
// The machine is driven from outside the process:
// - machine.scenario beside this DLL holds the machine commands played before the process loaded
//   it (controllers, the driver); they are played again when the locator is first asked for, so
//   that the service finds the machine as the scenario left it;
// - then a thread serves the pipe \\.\pipe\korvlog-wmi-standin: each connection sends one command
//   line of the scenario language (or "settle"), and gets "ok" or "error <text>" back once the
//   command has been played out: WMI has delivered everything, korvlog has made no WMI call and
//   started or ended no thread for a while, and its workers have ended. "ok" is followed by every SetAdapterTime call
//   made since the last answer, each as a tab, the type of HostTime, its value (or "-") and the
//   object path.
#include "MachineCommands.h"
#include "internal/Wmi.h"

#include <ksim/Faults.h>
#include <ksim/Machine.h>
#include <ksim/Wmi.h>

#include <objbase.h>
#include <tlhelp32.h>
#include <windows.h>

#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow();

namespace {

const wchar_t kPipeName[] = L"\\\\.\\pipe\\korvlog-wmi-standin";
const DWORD kQuietMilliseconds = 300;
const DWORD kLongQuietMilliseconds = 2000;
const DWORD kSettleLimitMilliseconds = 20000;

std::mutex g_machineLock;
demo::MachinePlayer* g_pMachine = nullptr;  // lives as long as the process

std::string ModuleFolder() {
  HMODULE hModule = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ModuleFolder), &hModule);
  char szPath[MAX_PATH + 1] = {};
  DWORD dwLength = GetModuleFileNameA(hModule, szPath, MAX_PATH);
  std::string path(szPath, dwLength);
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Plays the command lines of a scenario text on the machine.
bool PlayLines(const std::string& text, std::string* pError) {
  std::vector<demo::Command> commands;
  if (!demo::ParseScenario(text, &commands, pError)) return false;
  std::lock_guard<std::mutex> guard(g_machineLock);
  for (const demo::Command& c : commands) {
    if (!demo::IsMachineCommand(c)) {
      *pError = "not a machine command: " + demo::CommandText(c);
      return false;
    }
    if (!g_pMachine->Play(c, pError)) return false;
  }
  return true;
}

std::set<DWORD> ProcessThreads() {
  std::set<DWORD> threads;
  HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (hSnapshot == INVALID_HANDLE_VALUE) return threads;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  const DWORD dwProcess = GetCurrentProcessId();
  for (BOOL bMore = Thread32First(hSnapshot, &entry); bMore; bMore = Thread32Next(hSnapshot, &entry))
    if (entry.th32OwnerProcessID == dwProcess) threads.insert(entry.th32ThreadID);
  CloseHandle(hSnapshot);
  return threads;
}

// The threads of the process when the machine last settled: the service's own, WMI's delivery
// threads, the pipe's. Used by the pipe thread alone.
std::set<DWORD> g_settledThreads;

bool Includes(const std::set<DWORD>& all, const std::set<DWORD>& some) {
  for (DWORD id : some)
    if (!all.count(id)) return false;
  return true;
}

// korvlog's reactions are threads of its own (a worker per batch) and calls into this WMI. The
// machine is settled when WMI is idle, neither has changed for a while, and every thread started
// since the last settling has ended again; a thread that stays much longer than that (WMI's
// delivery threads, started at the first delivery) becomes one of the settled ones.
bool Settle() {
  const DWORD dwStart = GetTickCount();
  DWORD dwQuietSince = dwStart;
  size_t calls = ksim::Calls().size();
  std::set<DWORD> threads = ProcessThreads();
  for (;;) {
    const bool bIdle = ksim::wmi::WaitIdle(50);
    const size_t callsNow = ksim::Calls().size();
    std::set<DWORD> threadsNow = ProcessThreads();
    const DWORD dwNow = GetTickCount();
    if (!bIdle || callsNow != calls || threadsNow != threads) {
      dwQuietSince = dwNow;
      calls = callsNow;
      threads = std::move(threadsNow);
    } else if (dwNow - dwQuietSince >= kQuietMilliseconds &&
               (Includes(g_settledThreads, threads) || dwNow - dwQuietSince >= kLongQuietMilliseconds)) {
      g_settledThreads = threads;
      ksim::ClearCalls();
      return true;
    }
    if (dwNow - dwStart >= kSettleLimitMilliseconds) return false;
    Sleep(10);
  }
}

// The SetAdapterTime calls not yet told, for the answer.
std::string NewSetAdapterTimeCalls() {
  static size_t s_told = 0;
  std::vector<ksim::machine::SetAdapterTimeCall> calls = ksim::machine::SetAdapterTimeCalls();
  std::string text;
  for (; s_told < calls.size(); ++s_told) {
    const ksim::machine::SetAdapterTimeCall& c = calls[s_told];
    std::string path(c.objectPath.begin(), c.objectPath.end());  // ASCII paths only in scenarios
    text += "\t" + std::to_string(c.hostTimeType) + " " + (c.hostTime ? std::to_string(*c.hostTime) : "-") + " " + path;
  }
  return text;
}

std::string Serve(const std::string& line) {
  std::string error;
  if (line != "settle" && !PlayLines(line, &error)) return "error " + error;
  if (!Settle()) return "error the machine did not settle";
  return "ok" + NewSetAdapterTimeCalls();
}

void ServeConnection(HANDLE hPipe) {
  std::string pending;
  char buffer[4096];
  DWORD dwRead = 0;
  while (ReadFile(hPipe, buffer, sizeof(buffer), &dwRead, nullptr) && dwRead > 0) {
    pending.append(buffer, dwRead);
    size_t end;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string reply = Serve(line) + "\n";
      DWORD dwWritten = 0;
      if (!WriteFile(hPipe, reply.data(), static_cast<DWORD>(reply.size()), &dwWritten, nullptr)) return;
    }
  }
}

DWORD WINAPI PipeThread(LPVOID) {
  g_settledThreads = ProcessThreads();
  for (;;) {
    HANDLE hPipe = CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                    4096, 4096, 0, nullptr);
    if (hPipe == INVALID_HANDLE_VALUE) return 1;
    if (ConnectNamedPipe(hPipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) ServeConnection(hPipe);
    FlushFileBuffers(hPipe);
    DisconnectNamedPipe(hPipe);
    CloseHandle(hPipe);
  }
}

// Once per process, before the first locator: the machine as the scenario has made it so far,
// then the pipe.
void StartMachine() {
  static std::once_flag s_once;
  std::call_once(s_once, [] {
    g_pMachine = new demo::MachinePlayer;
    demo::MachinePlayer::SetUp();
    std::ifstream file(ModuleFolder() + "machine.scenario", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string error;
    if (!PlayLines(text.str(), &error)) OutputDebugStringA(("korvlog WMI stand-in: " + error + "\n").c_str());
    ksim::wmi::WaitIdle();
    ksim::ClearCalls();
    HANDLE hThread = CreateThread(nullptr, 0, PipeThread, nullptr, 0, nullptr);
    if (hThread) CloseHandle(hThread);
  });
}

class LocatorFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // One static factory for the life of the process.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pOuter) return CLASS_E_NOAGGREGATION;
    StartMachine();
    return ksim::detail::CreateWbemLocator(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

LocatorFactory g_factory;

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_WbemLocator)) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

// The delivery threads and the pipe live until the process ends.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return S_FALSE; }
