// The event sources that installation registers for the names of the driver list, so that the
// controller records written under a driver's name render: which names get one, which are left
// alone, and that no failure there fails the installation; and their removal with the service
// when "-u" is given the list.
#include "service/InstallSupport.h"

#include <map>

namespace ktest {
namespace {

const char kApplicationLog[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
const char kSystemLog[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
const std::string kInstalled = "korvlog Service installed.\r\nWorking filepath=D:\\svc\\evtsvc.exe\r\n";
const char kDriverFile[] = "%SystemRoot%\\System32\\drivers\\velk4.sys";

// What one Application source holds: its message file (marked when it is not REG_EXPAND_SZ)
// and the types it supports.
struct tSource {
  std::string file;
  DWORD types;
  bool operator==(const tSource& o) const { return file == o.file && types == o.types; }
};

void PrintTo(const tSource& s, std::ostream* os) { *os << "{" << s.file << ", " << s.types << "}"; }

std::map<std::string, tSource> ApplicationSources() {
  std::map<std::string, tSource> sources;
  for (const std::string& name : ksim::RegistrySubkeys(kApplicationLog)) {
    const std::string key = std::string(kApplicationLog) + "\\" + name;
    auto file = ksim::RegistryRead(key, "EventMessageFile");
    auto types = ksim::RegistryRead(key, "TypesSupported");
    std::string text = file ? file->AsString() : "";
    if (file && file->type != REG_EXPAND_SZ) text += " (not REG_EXPAND_SZ)";
    sources[name] = {text, types ? types->AsDword() : 0};
  }
  return sources;
}

const tSource kOwn = {kModulePath, 0x1F};
const tSource kDriver = {kModulePath, 7};
const tSource kForeign = {kDriverFile, 7};

struct SourceCase {
  const char* name;
  std::string drivers;
  std::function<void()> prepare;
  std::map<std::string, tSource> application;  // every Application source afterwards
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

void RegisterForeign(const char* pszLog, const char* pszSource) {
  ksim::RegistryWrite(std::string(pszLog) + "\\" + pszSource, "EventMessageFile",
                      ksim::RegistryValue::String(kDriverFile, REG_EXPAND_SZ));
  ksim::RegistryWrite(std::string(pszLog) + "\\" + pszSource, "TypesSupported", ksim::RegistryValue::Dword(7));
}

class DriverSourceTest : public MachineTest, public testing::WithParamInterface<SourceCase> {};

TEST_P(DriverSourceTest, RegistersEachNameThatHasNoSourceYet) {
  const SourceCase& c = GetParam();
  if (c.prepare) c.prepare();
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Capture([&] { return CWMIServiceUtil::ServiceInstall(c.drivers.c_str()); }, &code), kInstalled);
  EXPECT_EQ(code, ecNoError);
  EXPECT_EQ(ApplicationSources(), c.application);
  EXPECT_TRUE(ksim::EventLogRecords().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DriverSourceTest,
    testing::Values(
        SourceCase{"EveryName", "velk4,qtr", nullptr, {{"korvlog", kOwn}, {"velk4", kDriver}, {"qtr", kDriver}}},
        SourceCase{"EmptyEntriesAndBlanks", ",,velk4,, qtr ,", nullptr,
                   {{"korvlog", kOwn}, {"velk4", kDriver}, {"qtr", kDriver}}},
        SourceCase{"NamesThatCannotBeAKey", "a\\b,velk4,\\", nullptr, {{"korvlog", kOwn}, {"velk4", kDriver}}},
        // Source names, like key names, are case-blind: one key for both spellings.
        SourceCase{"SameNameTwice", "velk4,VELK4", nullptr, {{"korvlog", kOwn}, {"velk4", kDriver}}},
        SourceCase{"TheServiceItself", "korvlog,velk4", nullptr, {{"korvlog", kOwn}, {"velk4", kDriver}}},
        SourceCase{"DriversOwnApplicationSourceWins", "VELK4,qtr", [] { RegisterForeign(kApplicationLog, "velk4"); },
                   {{"korvlog", kOwn}, {"velk4", kForeign}, {"qtr", kDriver}}},
        SourceCase{"DriversOwnSystemSourceWins", "velk4,qtr", [] { RegisterForeign(kSystemLog, "velk4"); },
                   {{"korvlog", kOwn}, {"qtr", kDriver}}},
        // A source key without values is someone's all the same.
        SourceCase{"AnEmptyKeyIsLeftAlone", "velk4",
                   [] { ksim::RegistryWrite(std::string(kApplicationLog) + "\\velk4", "Other", ksim::RegistryValue::Dword(1)); },
                   {{"korvlog", kOwn}, {"velk4", {"", 0}}}}),
    [](const testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

struct SourceFailure {
  const char* name;
  ksim::Fault fault;
  std::map<std::string, tSource> application;
};

void PrintTo(const SourceFailure& c, std::ostream* os) { *os << c.name; }

class DriverSourceFailureTest : public MachineTest, public testing::WithParamInterface<SourceFailure> {};

// A driver's source is not the service's own: its failure changes neither the result nor the
// console text, and a key whose values could not be written is not left half made.
TEST_P(DriverSourceFailureTest, FailsNothingAndLeavesNoHalfMadeKey) {
  const SourceFailure& c = GetParam();
  ErrorCode code = ecInternalError;
  std::string output;
  {
    ksim::ScopedFault fault(c.fault);
    output = Capture([] { return CWMIServiceUtil::ServiceInstall("velk4,qtr"); }, &code);
  }
  EXPECT_EQ(output, kInstalled);
  EXPECT_EQ(code, ecNoError);
  EXPECT_EQ(ApplicationSources(), c.application);
  EXPECT_TRUE(ksim::FindService(kServiceName));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DriverSourceFailureTest,
    testing::Values(
        SourceFailure{"CreateKey",
                      Fault("RegCreateKeyA").On("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\velk4")
                          .Returns(ERROR_ACCESS_DENIED),
                      {{"korvlog", kOwn}, {"qtr", kDriver}}},
        SourceFailure{"MessageFile", Fault("RegSetValueExA").On("EventMessageFile").Nth(2).Returns(ERROR_CANTWRITE),
                      {{"korvlog", kOwn}, {"qtr", kDriver}}},
        SourceFailure{"Types", Fault("RegSetValueExA").On("TypesSupported").Nth(3).Returns(ERROR_CANTWRITE),
                      {{"korvlog", kOwn}, {"velk4", kDriver}}},
        // A log that cannot be looked at may hold the driver's own source: nothing is added.
        SourceFailure{"LookUp", Fault("RegOpenKeyExA").Returns(ERROR_ACCESS_DENIED), {{"korvlog", kOwn}}},
        SourceFailure{"ListCopy", Fault("LocalAlloc").On("10"), {{"korvlog", kOwn}}}),
    [](const testing::TestParamInfo<SourceFailure>& info) { return std::string(info.param.name); });

struct RemovalCase {
  const char* name;
  std::string installed;  // the list installed with, from kModulePath
  std::function<void()> prepare;
  std::string removed;  // the list given to the removal
  std::map<std::string, tSource> application;  // every Application source afterwards
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

class SourceRemovalTest : public MachineTest, public testing::WithParamInterface<RemovalCase> {};

// Removal with a list takes away exactly the sources that name this executable as their message
// file, and the service with them.
TEST_P(SourceRemovalTest, RemovesOnlyTheSourcesOfThisExecutable) {
  const RemovalCase& c = GetParam();
  ASSERT_EQ(InstallQuietly(c.installed.c_str()), ecNoError);
  if (c.prepare) c.prepare();
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Capture([&] { return CWMIServiceUtil::ServiceUninstall(false, c.removed.c_str()); }, &code),
            "korvlog Service uninstalled.\r\n");
  EXPECT_EQ(code, ecNoError);
  EXPECT_FALSE(ksim::FindService(kServiceName));
  EXPECT_EQ(ApplicationSources(), c.application);
}

void SetMessageFile(const char* pszSource, const std::string& file, DWORD dwType = REG_EXPAND_SZ) {
  ksim::RegistryWrite(std::string(kApplicationLog) + "\\" + pszSource, "EventMessageFile",
                      ksim::RegistryValue::String(file, dwType));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SourceRemovalTest,
    testing::Values(
        RemovalCase{"TheInstalledList", "velk4,qtr", nullptr, "velk4,qtr", {}},
        RemovalCase{"AnEmptyListRemovesTheServicesOwnOnly", "velk4,qtr", nullptr, "",
                    {{"velk4", kDriver}, {"qtr", kDriver}}},
        RemovalCase{"NamesNotOnTheListStay", "velk4,qtr", nullptr, "QTR,,other", {{"velk4", kDriver}}},
        RemovalCase{"ADriversOwnSourceStays", "velk4,qtr", [] { RegisterForeign(kApplicationLog, "velk4"); },
                    "velk4,qtr", {{"velk4", kForeign}}},
        RemovalCase{"ASourceOfAnotherCopyStays", "velk4,qtr",
                    [] { SetMessageFile("qtr", "E:\\other\\korvlog.exe"); }, "velk4,qtr",
                    {{"qtr", {"E:\\other\\korvlog.exe", 7}}}},
        RemovalCase{"AListOfMessageFilesStays", "velk4",
                    [] { SetMessageFile("velk4", std::string(kModulePath) + ";" + kDriverFile); }, "velk4",
                    {{"velk4", {std::string(kModulePath) + ";" + kDriverFile, 7}}}},
        // Paths compare without regard to case, and a plain string is a message file too.
        RemovalCase{"TheSamePathInOtherLettersAndType", "velk4", [] { SetMessageFile("velk4", "d:\\SVC\\EVTSVC.EXE", REG_SZ); },
                    "velk4", {}}),
    [](const testing::TestParamInfo<RemovalCase>& info) { return std::string(info.param.name); });

struct RemovalFailure {
  const char* name;
  ksim::Fault fault;
  ErrorCode code;
  std::map<std::string, tSource> application;
};

void PrintTo(const RemovalFailure& c, std::ostream* os) { *os << c.name; }

class SourceRemovalFailureTest : public MachineTest, public testing::WithParamInterface<RemovalFailure> {};

// A source of this executable that cannot be removed fails the removal before the service is
// deleted, so that running it again finishes it; the other sources are removed all the same.
TEST_P(SourceRemovalFailureTest, KeepsTheServiceAndReports) {
  const RemovalFailure& c = GetParam();
  ASSERT_EQ(InstallQuietly("velk4,qtr"), ecNoError);
  ErrorCode code = ecNoError;
  std::string output;
  {
    ksim::ScopedFault fault(c.fault);
    output = Capture([] { return CWMIServiceUtil::ServiceUninstall(false, "velk4,qtr"); }, &code);
    EXPECT_EQ(fault.Hits(), 1u);
  }
  EXPECT_EQ(output, "korvlog Service failed to remove from registry.\r\n");
  EXPECT_EQ(code, c.code);
  EXPECT_TRUE(ksim::FindService(kServiceName));
  EXPECT_EQ(ApplicationSources(), c.application);
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceUninstall(true, "velk4,qtr"); }, &code), "");
  EXPECT_EQ(code, ecNoError);
  EXPECT_TRUE(ApplicationSources().empty());
  EXPECT_FALSE(ksim::FindService(kServiceName));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SourceRemovalFailureTest,
    testing::Values(
        RemovalFailure{"DeleteKey",
                       Fault("RegDeleteKeyA").On("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\velk4")
                           .Returns(ERROR_ACCESS_DENIED),
                       SystemError(ERROR_ACCESS_DENIED), {{"velk4", kDriver}}},
        RemovalFailure{"ModulePath", Fault("GetModuleFileNameA").LastError(ERROR_ACCESS_DENIED),
                       SystemError(ERROR_ACCESS_DENIED), {{"korvlog", kOwn}, {"velk4", kDriver}, {"qtr", kDriver}}},
        RemovalFailure{"ListCopy", Fault("LocalAlloc").On("10"), ecOutOfMemory,
                       {{"korvlog", kOwn}, {"velk4", kDriver}, {"qtr", kDriver}}}),
    [](const testing::TestParamInfo<RemovalFailure>& info) { return std::string(info.param.name); });

TEST_F(MachineTest, RemovalLeavesTheDriverSourcesInPlace) {
  ASSERT_EQ(InstallQuietly("velk4,qtr"), ecNoError);
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceUninstall(false); }, &code), "korvlog Service uninstalled.\r\n");
  EXPECT_EQ(code, ecNoError);
  EXPECT_EQ(ApplicationSources(), (std::map<std::string, tSource>{{"korvlog", kOwn}, {"velk4", kDriver}, {"qtr", kDriver}}));
}

}  // namespace
}  // namespace ktest
