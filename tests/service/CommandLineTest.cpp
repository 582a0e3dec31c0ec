#include "service/CommandLine.h"

#include "adapters/AdapterInfo.h"
#include "service/ServiceUtil.h"

#include "support/Console.h"
#include "support/Machine.h"

#include <ksim/Faults.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using ktest::Fault;

struct ParseCase {
  std::vector<std::string> args;  // after the program name
  ErrorCode code;
  DWORD action;
  const char* service;  // expected pszServiceName, or null
  const char* drivers;  // expected pszSupportedDrivers, or null
};

std::string Join(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + (a.empty() ? std::string("\"\"") : a.substr(0, 20));
  return text;
}

void PrintTo(const ParseCase& c, std::ostream* os) { *os << "[" << Join(c.args) << "]"; }

class ParseArgumentsTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseArgumentsTest, Grammar) {
  const ParseCase& c = GetParam();
  std::vector<std::string> storage{"korvlog"};
  storage.insert(storage.end(), c.args.begin(), c.args.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);

  tDispatchInfo* pInfo = nullptr;
  ErrorCode code = ParseArguments(static_cast<DWORD>(argv.size()), argv.data(), &pInfo);
  EXPECT_EQ(c.code, code);
  ASSERT_NE(nullptr, pInfo) << "a record is handed out whatever the result";
  if (code == ecNoError) {
    EXPECT_EQ(c.action, pInfo->dwAction);
    if (c.service) {
      ASSERT_NE(nullptr, pInfo->pszServiceName);
      EXPECT_STREQ(c.service, pInfo->pszServiceName);
    } else {
      EXPECT_EQ(nullptr, pInfo->pszServiceName);
    }
    if (c.drivers) {
      ASSERT_NE(nullptr, pInfo->pszSupportedDrivers);
      EXPECT_STREQ(c.drivers, pInfo->pszSupportedDrivers);
    } else {
      EXPECT_EQ(nullptr, pInfo->pszSupportedDrivers);
    }
  }
  delete pInfo;
}

const ParseCase kParseCases[] = {
    {{"-i", "svc", "-d", "velk4"}, ecNoError, daInstall, "svc", "velk4"},
    {{"-I", "svc", "-D", "velk4"}, ecNoError, daInstall, "svc", "velk4"},
    {{"-d", "velk4,qtr", "-i", "svc"}, ecNoError, daInstall, "svc", "velk4,qtr"},
    {{"-d", "a", "-d", "b", "-i", "svc"}, ecNoError, daInstall, "svc", "b"},
    {{"-u", "svc"}, ecNoError, daUninstall, "svc", nullptr},
    {{"-U", "svc", "-d", "x"}, ecNoError, daUninstall, "svc", "x"},
    {{"-c", "svc"}, ecNoError, daCheck, "svc", nullptr},
    {{"-d", "velk4"}, ecNoError, daRunService, nullptr, "velk4"},
    {{"-i", ""}, ecNoError, daInstall, "", nullptr},
    {{"-d", ""}, ecNoError, daRunService, nullptr, ""},
    {{"-i", "svc", "-d", "-x"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-i"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-i", "-d", "velk4"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-d"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-i", "a", "-u", "b"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-i", "a", "-i", "b"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-c", "a", "-u", "b"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-h"}, ecBadParameter, 0, nullptr, nullptr},
    {{"stray"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-d", "x", "stray"}, ecBadParameter, 0, nullptr, nullptr},
    {{"-ix", "svc"}, ecBadParameter, 0, nullptr, nullptr},
    {{"i", "svc"}, ecBadParameter, 0, nullptr, nullptr},
    {{""}, ecBadParameter, 0, nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseArgumentsTest, testing::ValuesIn(kParseCases));

TEST(ParseArguments, NoArgumentsAllocatesNothing) {
  char name[] = "korvlog";
  char* argv[] = {name, nullptr};
  tDispatchInfo* pInfo = reinterpret_cast<tDispatchInfo*>(0x1);
  EXPECT_EQ(ecBadParameter, ParseArguments(1, argv, &pInfo));
  EXPECT_EQ(reinterpret_cast<tDispatchInfo*>(0x1), pInfo);
}

TEST(ParseArguments, RecordAllocationFailure) {
  ksim::ScopedFault fault(Fault("operator new").Nth(1));
  char name[] = "korvlog", opt[] = "-u", val[] = "svc";
  char* argv[] = {name, opt, val, nullptr};
  tDispatchInfo* pInfo = nullptr;
  EXPECT_EQ(ecOutOfMemory, ParseArguments(3, argv, &pInfo));
  EXPECT_EQ(nullptr, pInfo);
}

TEST(GetProgramName, SplitsLikeThePathSplitter) {
  const struct {
    const char* path;
    const char* name;
  } cases[] = {
      {"D:\\svc\\evtsvc.exe", "evtsvc"},
      {"evtsvc.exe", "evtsvc"},
      {"./build/dev/korvlog", "korvlog"},
      {"C:korvlog.exe", "korvlog"},
      {"C:\\dir.with.dots\\name", "name"},
      {"C:\\a\\b.c.exe", "b.c"},
      {"C:\\dir\\", ""},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    char sz[256] = "garbage";
    GetProgramName(c.path, sz, sizeof(sz));
    EXPECT_STREQ(c.name, sz) << (c.path ? c.path : "(null)");
  }
}

TEST(GetProgramName, NameThatDoesNotFitIsEmpty) {
  std::string path = "C:\\" + std::string(256, 'n') + ".exe";
  char sz[256];
  GetProgramName(path.c_str(), sz, sizeof(sz));
  EXPECT_STREQ("", sz);
  path = "C:\\" + std::string(255, 'n') + ".exe";
  GetProgramName(path.c_str(), sz, sizeof(sz));
  EXPECT_EQ(255u, strlen(sz));
}

struct ConsoleCase {
  std::vector<std::string> args;
  std::string errorLine;  // empty: usage only
};

void PrintTo(const ConsoleCase& c, std::ostream* os) { *os << "[" << Join(c.args) << "]"; }

class ConsoleTest : public testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleTest, PrintsUsageAndErrorLine) {
  const ConsoleCase& c = GetParam();
  ConsoleRun run = RunKorvlog(c.args, "C:\\tools\\korvlog.exe");
  EXPECT_EQ(UsageText("korvlog") + c.errorLine, run.out);
  EXPECT_EQ(1, run.exitCode);
}

const std::string kLongName(256, 'n');

const ConsoleCase kConsoleCases[] = {
    {{}, ""},
    {{"-h"}, ""},
    {{"stray"}, ""},
    {{"-I"}, ""},
    {{"-i"}, ""},
    {{"-i", "-d", "velk4"}, ""},
    {{"-i", "svc"}, ""},
    {{"-i", "a", "-u", "b"}, ""},
    {{"-d", "velk4", "-i", "svc", "-d"}, ""},
    {{"-c", "name"}, "Error found - Internal error (0x00000009)"},
    {{"-C", "name", "-d", "x"}, "Error found - Internal error (0x00000009)"},
    {{"-i", kLongName, "-d", "velk4"}, ""},
    {{"-u", kLongName}, ""},
    {{"-c", std::string(255, 'n')}, "Error found - Internal error (0x00000009)"},
};

INSTANTIATE_TEST_SUITE_P(Table, ConsoleTest, testing::ValuesIn(kConsoleCases));

TEST(Console, ServiceRunFromAConsoleFailsInTheDispatcher) {
  ConsoleRun run = RunKorvlog({"-d", "velk4"});
  EXPECT_EQ("Error StartServiceCtrlDispatcher.  Please run \"korvlog -h\" for help.\r\n" + UsageText("korvlog") +
                "Error found - System Error (1063) (0xffff0427)",
            run.out);
  EXPECT_EQ(1, run.exitCode);
  // The list built for the dispatcher is not left behind.
  EXPECT_FALSE(CAdapterInfo::IsEvtSrcSupported("velk4"));
}

TEST(Console, DispatcherGetsTheServiceNameAndTable) {
  ksim::ClearCalls();
  RunKorvlog({"-d", "velk4"}, "D:\\svc\\evtsvc.exe");
  EXPECT_EQ(1u, ksim::CountCalls("StartServiceCtrlDispatcherA"));
  EXPECT_STREQ("evtsvc", CWMIServiceUtil::GetServiceName());
  EXPECT_STREQ("evtsvc", CWMIServiceUtil::GetDisplayName());
}

TEST(Console, ServiceRunWithoutDriversNeverReachesTheDispatcher) {
  ksim::ClearCalls();
  ConsoleRun run = RunKorvlog({"-d", "velk4", "-d"});
  EXPECT_EQ(UsageText("korvlog"), run.out);
  EXPECT_EQ(0u, ksim::CountCalls("StartServiceCtrlDispatcherA"));
}

TEST(Console, FailingDriverListIsReported) {
  // The scratch copy of the list is the first allocation after the parse record.
  ksim::ScopedFault fault(Fault("operator new").Nth(2));
  ConsoleRun run = RunKorvlog({"-d", "velk4"});
  EXPECT_EQ(UsageText("korvlog") + "Error found - Out of memory (0x00000001)", run.out);
  EXPECT_EQ(0u, ksim::CountCalls("StartServiceCtrlDispatcherA"));
}

TEST(Console, OverlongFullPathIsRefused) {
  std::string path = "C:\\" + std::string(251, 'd') + "\\k.exe";  // 260 characters
  ASSERT_EQ(260u, path.size());
  ConsoleRun run = RunKorvlog({"-c", "x"}, path);
  EXPECT_EQ(UsageText("k"), run.out);
  path.erase(3, 1);  // 259 characters fit
  run = RunKorvlog({"-c", "x"}, path);
  EXPECT_EQ(UsageText("k") + "Error found - Internal error (0x00000009)", run.out);
}

TEST(Console, EmptyServiceNameFallsBackToTheProgramName) {
  RunKorvlog({"-c", ""}, "D:\\svc\\evtsvc.exe");
  EXPECT_STREQ("evtsvc", CWMIServiceUtil::GetServiceName());
  EXPECT_STREQ("evtsvc", CWMIServiceUtil::GetDisplayName());
}

}  // namespace
