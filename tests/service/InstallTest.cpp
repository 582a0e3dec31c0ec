// ServiceInstall, ServiceUninstall and Reconfig on the simulated host: every console line, every
// record, every failure row, and what the service database and the registry hold afterwards.
#include "service/InstallSupport.h"

#include "diagnostics/EventLog.h"

#include <MessageTableResource.h>
#include <ksim/Services.h>

namespace ktest {
namespace {

const std::string kInstalled = "korvlog Service installed.\r\nWorking filepath=D:\\svc\\evtsvc.exe\r\n";
const std::string kInstallFailed = "korvlog Service install failed.\r\n";
const std::string kAlreadyInstalled = "Service might be installed already.\r\n";
const std::string kRegistryFailed = "korvlog Service failed to add to registry.\r\n";
const std::string kUninstalled = "korvlog Service uninstalled.\r\n";
const std::string kUninstallFailed = "korvlog Service uninstall failed.\r\n";
const std::string kShutdownFailed = "korvlog Service shutdown failed, uninstallaton unsucessful.\r\n";
const std::string kOpenFailed = "korvlog Service open failed.\r\n";
const std::string kNotInstalled = "Service might not be installed yet.\r\n";
const std::string kDescription =
    "Writes the firmware messages of the supported RAID controllers to the Application event log and answers "
    "their requests for the host's time.";

class InstallTest : public MachineTest {};

TEST_F(InstallTest, RegistersTheServiceAndItsEventSource) {
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceInstall("velk4,qtr"); }, &code), kInstalled);
  EXPECT_EQ(code, ecNoError);

  auto service = ksim::FindService(kServiceName);
  ASSERT_TRUE(service);
  EXPECT_EQ(service->name, kServiceName);
  EXPECT_EQ(service->displayName, kServiceName);
  EXPECT_EQ(service->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_AUTO_START));
  EXPECT_EQ(service->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
  EXPECT_EQ(service->imagePath, "D:\\svc\\evtsvc.exe -d velk4,qtr");
  EXPECT_EQ(service->dependencies, (std::vector<std::string>{"WinMgmt", "RasMan", "Eventlog"}));
  EXPECT_EQ(service->loadOrderGroup, "");
  EXPECT_EQ(service->startName, "LocalSystem");
  EXPECT_EQ(service->description, kDescription);
  EXPECT_FALSE(service->hasFailureActions);
  EXPECT_EQ(service->openHandles, 0u);

  auto messageFile = ksim::RegistryRead(kSourceKey, "EventMessageFile");
  ASSERT_TRUE(messageFile);
  EXPECT_EQ(messageFile->type, static_cast<DWORD>(REG_EXPAND_SZ));
  const std::string withTerminator(kModulePath, sizeof(kModulePath));
  EXPECT_EQ(std::string(messageFile->data.begin(), messageFile->data.end()), withTerminator);
  auto types = ksim::RegistryRead(kSourceKey, "TypesSupported");
  ASSERT_TRUE(types);
  EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(types->AsDword(), 0x1Fu);
  EXPECT_TRUE(ksim::EventLogRecords().empty());
}

struct ImagePathCase {
  const char* name;
  std::string modulePath;
  std::string drivers;
  std::string imagePath;
};

void PrintTo(const ImagePathCase& c, std::ostream* os) { *os << c.name; }

class ImagePathTest : public InstallTest, public testing::WithParamInterface<ImagePathCase> {};

// The registered command line keeps its exact form where nothing needs quoting, and always
// splits back into the module path, "-d" and the driver list.
TEST_P(ImagePathTest, SplitsBackIntoPathOptionAndList) {
  const ImagePathCase& c = GetParam();
  ksim::SetModulePath(c.modulePath);
  ASSERT_EQ(InstallQuietly(c.drivers.c_str()), ecNoError);
  auto service = ksim::FindService(kServiceName);
  ASSERT_TRUE(service);
  if (!c.imagePath.empty()) {
    EXPECT_EQ(service->imagePath, c.imagePath);
  }
  // Split as the started service's runtime splits it. A program name has no escapes: a module
  // path that ends in backslashes (Windows never returns one) is quoted with them doubled and
  // comes back with twice as many, so for it only the arguments are compared.
  std::vector<std::string> argv = ksim::SplitCommandLine(service->imagePath);
  ASSERT_FALSE(argv.empty());
  if (c.modulePath.back() != '\\') {
    EXPECT_EQ(argv[0], c.modulePath);
  }
  EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()), (std::vector<std::string>{"-d", c.drivers}));
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "EventMessageFile")->AsString(), c.modulePath);
  // The image path fits the block it was written into, terminator included.
  auto allocs = ksim::Calls("LocalAlloc");
  ASSERT_FALSE(allocs.empty());
  EXPECT_GE(std::stoul(allocs.front().selector), service->imagePath.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ImagePathTest,
    testing::Values(
        ImagePathCase{"Plain", "D:\\svc\\evtsvc.exe", "velk4,qtr", "D:\\svc\\evtsvc.exe -d velk4,qtr"},
        ImagePathCase{"BlankInPath", "C:\\Program Files\\korvlog\\korvlog.exe", "velk4",
                      "\"C:\\Program Files\\korvlog\\korvlog.exe\" -d velk4"},
        ImagePathCase{"BlankInList", "D:\\svc\\evtsvc.exe", "velk4, qtr", "D:\\svc\\evtsvc.exe -d \"velk4, qtr\""},
        ImagePathCase{"TabInList", "D:\\svc\\evtsvc.exe", "velk4,\tqtr", "D:\\svc\\evtsvc.exe -d \"velk4,\tqtr\""},
        ImagePathCase{"QuotedListEndsInBackslashes", "C:\\a b\\k.exe", "x y\\\\", "\"C:\\a b\\k.exe\" -d \"x y\\\\\\\\\""},
        ImagePathCase{"UnquotedListKeepsItsBackslashes", "D:\\k.exe", "x\\", "D:\\k.exe -d x\\"},
        // The longest module path and a list whose every character is a doubled backslash
        // fill the image-path buffer to its last byte.
        ImagePathCase{"LongestPathAndList", "C:\\" + std::string(250, 'p') + " q.exe", " " + std::string(300, '\\'),
                      ""},
        // Windows never returns a module path that ends in backslashes, but the buffer must
        // hold one all the same: quoted, every trailing backslash is doubled.
        ImagePathCase{"BlankPathEndsInBackslashes", "C:\\a b\\\\\\", "velk4", "\"C:\\a b\\\\\\\\\\\\\" -d velk4"},
        ImagePathCase{"LongestBlankPathOfBackslashes", "C:\\ " + std::string(255, '\\'), "velk4", ""},
        ImagePathCase{"LongestPathOfBlanksAndList", std::string(259, ' '), " " + std::string(300, '\\'), ""},
        ImagePathCase{"LongestPlainPath", "C:\\" + std::string(252, 'p') + ".exe", "velk4", ""}),
    [](const testing::TestParamInfo<ImagePathCase>& info) { return std::string(info.param.name); });

// Sound behaviour: a module path cut to the buffer would register a command line that starts
// nothing.
TEST_F(InstallTest, RefusesAModulePathLongerThanItsBuffer) {
  ksim::SetModulePath("C:\\" + std::string(251, 'p') + " q.exe");
  ErrorCode code = ecNoError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceInstall("velk4"); }, &code), kInstallFailed);
  EXPECT_EQ(code, SystemError(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(ksim::CountCalls("OpenSCManagerA"), 0u);
}

TEST_F(InstallTest, RefusesADriverListTheServiceCouldNotReadBack) {
  for (const char* pszDrivers : {"", "-velk4", "velk4\"qtr"}) {
    ErrorCode code = ecNoError;
    EXPECT_EQ(Capture([&] { return CWMIServiceUtil::ServiceInstall(pszDrivers); }, &code), "") << pszDrivers;
    EXPECT_EQ(code, ecBadParameter) << pszDrivers;
  }
  EXPECT_EQ(ksim::CountCalls("OpenSCManagerA"), 0u);
  EXPECT_TRUE(ksim::Services().empty());
}

TEST_F(InstallTest, InstallingAgainChangesNothing) {
  ASSERT_EQ(InstallQuietly("velk4"), ecNoError);
  ksim::SetModulePath("E:\\other\\korvlog.exe");
  ErrorCode code = ecNoError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceInstall("qtr"); }, &code), kInstallFailed + kAlreadyInstalled);
  EXPECT_EQ(code, SystemError(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(ksim::FindService(kServiceName)->imagePath, "D:\\svc\\evtsvc.exe -d velk4");
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "EventMessageFile")->AsString(), kModulePath);
  EXPECT_EQ(ksim::CountCalls("RegCreateKeyA"), 2u) << "the service's source and velk4's, once each";
}

TEST_F(InstallTest, ANameMarkedForDeletionCannotBeInstalledUntilItIsGone) {
  ASSERT_EQ(InstallQuietly(), ecNoError);
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kServiceName, SERVICE_QUERY_STATUS);
  ASSERT_TRUE(hService);
  testing::internal::CaptureStdout();
  ASSERT_EQ(CWMIServiceUtil::ServiceUninstall(false), ecNoError);
  testing::internal::GetCapturedStdout();

  ErrorCode code = ecNoError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceInstall("velk4"); }, &code), kInstallFailed);
  EXPECT_EQ(code, SystemError(ERROR_SERVICE_MARKED_FOR_DELETE));

  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  EXPECT_EQ(InstallQuietly("velk4"), ecNoError);
}

// One row of the failure table of installation.
struct InstallFailure {
  const char* name;
  ksim::Fault fault;
  ErrorCode code;
  std::string output;
  bool serviceInstalled;
  bool sourceKeyExists;
};

void PrintTo(const InstallFailure& c, std::ostream* os) { *os << c.name; }

class InstallFailureTest : public InstallTest, public testing::WithParamInterface<InstallFailure> {};

TEST_P(InstallFailureTest, ReportsAndLeavesWhatItShould) {
  const InstallFailure& c = GetParam();
  ErrorCode code = ecNoError;
  std::string output;
  {
    ksim::ScopedFault fault(c.fault);
    output = Capture([] { return CWMIServiceUtil::ServiceInstall("velk4,qtr"); }, &code);
    EXPECT_EQ(fault.Hits(), 1u);
  }
  EXPECT_EQ(output, c.output);
  EXPECT_EQ(code, c.code);
  EXPECT_EQ(ksim::FindService(kServiceName).has_value(), c.serviceInstalled);
  EXPECT_EQ(ksim::RegistryKeyExists(kSourceKey), c.sourceKeyExists);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InstallFailureTest,
    testing::Values(
        InstallFailure{"ImagePathBuffer", Fault("LocalAlloc").Nth(1).LastError(ERROR_NOT_ENOUGH_MEMORY),
                       ecOutOfMemory, "", false, false},
        // Sound behaviour: a path that cannot be read would register a command line that starts nothing.
        InstallFailure{"ModulePath", Fault("GetModuleFileNameA").LastError(ERROR_ACCESS_DENIED),
                       SystemError(ERROR_ACCESS_DENIED), kInstallFailed, false, false},
        // Sound behaviour: the manager's own error is reported, not the invalid handle of a create without it.
        InstallFailure{"ManagerOpen", Fault("OpenSCManagerA").LastError(ERROR_ACCESS_DENIED),
                       SystemError(ERROR_ACCESS_DENIED), kInstallFailed, false, false},
        InstallFailure{"Create", Fault("CreateServiceA").On(kServiceName).LastError(ERROR_INVALID_NAME),
                       SystemError(ERROR_INVALID_NAME), kInstallFailed, false, false},
        InstallFailure{"KeyNameBuffer", Fault("LocalAlloc").Nth(2).LastError(ERROR_NOT_ENOUGH_MEMORY), ecOutOfMemory,
                       kRegistryFailed, true, false},
        InstallFailure{"Key", Fault("RegCreateKeyA").Returns(ERROR_ACCESS_DENIED),
                       SystemError(ERROR_ACCESS_DENIED), kRegistryFailed, true, false},
        InstallFailure{"MessageFileValue", Fault("RegSetValueExA").On("EventMessageFile").Returns(ERROR_CANTWRITE),
                       SystemError(ERROR_CANTWRITE), kRegistryFailed, true, true},
        InstallFailure{"TypesValue", Fault("RegSetValueExA").On("TypesSupported").Returns(ERROR_CANTWRITE),
                       SystemError(ERROR_CANTWRITE), kRegistryFailed, true, true}),
    [](const testing::TestParamInfo<InstallFailure>& info) { return std::string(info.param.name); });

// The description is for the administrator only: a service manager that refuses it (Windows NT 4
// has no descriptions) still gets a working service, and the console says nothing of it.
TEST_F(InstallTest, ADescriptionThatCannotBeSetFailsNothing) {
  ksim::ScopedFault fault(Fault("ChangeServiceConfig2A").On(kServiceName).LastError(ERROR_INVALID_LEVEL));
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Capture([] { return CWMIServiceUtil::ServiceInstall("velk4,qtr"); }, &code), kInstalled);
  EXPECT_EQ(code, ecNoError);
  EXPECT_EQ(fault.Hits(), 1u);
  EXPECT_EQ(ksim::FindService(kServiceName)->description, "");
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "TypesSupported")->AsDword(), 0x1Fu);
}

TEST_F(InstallTest, AFailedValueStopsTheRegistration) {
  ksim::ScopedFault fault(Fault("RegSetValueExA").On("EventMessageFile").Returns(ERROR_CANTWRITE));
  EXPECT_EQ(InstallQuietly(), SystemError(ERROR_CANTWRITE));
  EXPECT_EQ(ksim::CountCalls("RegSetValueExA", "TypesSupported"), 0u);
  EXPECT_TRUE(ksim::RegistryValueNames(kSourceKey).empty());
}

class UninstallTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(InstallQuietly(), ecNoError);
    ksim::ClearCalls();
  }

  static std::string Uninstall(bool bQuiet, ErrorCode* pCode) {
    return Capture([bQuiet] { return CWMIServiceUtil::ServiceUninstall(bQuiet); }, pCode);
  }
};

TEST_F(UninstallTest, RemovesAStoppedServiceAndKeepsItsEventSource) {
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Uninstall(false, &code), kUninstalled);
  EXPECT_EQ(code, ecNoError);
  EXPECT_FALSE(ksim::FindService(kServiceName));
  EXPECT_EQ(ksim::CountCalls("ControlService"), 0u);
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "EventMessageFile")->AsString(), kModulePath);
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "TypesSupported")->AsDword(), 0x1Fu);
}

TEST_F(UninstallTest, ANewInstallReusesTheEventSourceKey) {
  ErrorCode code = ecNoError;
  Uninstall(true, &code);
  ASSERT_EQ(code, ecNoError);
  ksim::SetModulePath("E:\\new home\\korvlog.exe");
  EXPECT_EQ(InstallQuietly(), ecNoError);
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "EventMessageFile")->AsString(), "E:\\new home\\korvlog.exe");
  EXPECT_EQ(ksim::RegistryValueNames(kSourceKey), (std::vector<std::string>{"EventMessageFile", "TypesSupported"}));
}

TEST_F(UninstallTest, StopsARunningServiceOnceAndDeletesWithoutWaiting) {
  ASSERT_TRUE(ksim::RunServiceStandIn(kServiceName, ksim::StopBehaviour::kStopPending));
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Uninstall(false, &code), kUninstalled);
  EXPECT_EQ(code, ecNoError);
  EXPECT_EQ(ksim::CountCalls("ControlService"), 1u);
  // Still stopping: the entry stays, marked, until the stop completes.
  auto service = ksim::FindService(kServiceName);
  ASSERT_TRUE(service);
  EXPECT_TRUE(service->markedForDeletion);
  EXPECT_EQ(service->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  ASSERT_TRUE(ksim::CompleteServiceStop(kServiceName));
  EXPECT_FALSE(ksim::FindService(kServiceName));
}

TEST_F(UninstallTest, AServiceThatStopsAtOnceIsGoneWhenUninstallReturns) {
  ASSERT_TRUE(ksim::RunServiceStandIn(kServiceName, ksim::StopBehaviour::kStops));
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Uninstall(false, &code), kUninstalled);
  EXPECT_FALSE(ksim::FindService(kServiceName));
}

// One row of the failure table of removal; each is run loud and quiet.
struct UninstallFailure {
  const char* name;
  std::function<void()> setUp;
  ksim::Fault fault;
  ErrorCode code;
  std::string output;
  bool deleted;
};

void PrintTo(const UninstallFailure& c, std::ostream* os) { *os << c.name; }

class UninstallFailureTest : public UninstallTest,
                             public testing::WithParamInterface<std::tuple<UninstallFailure, bool>> {};

TEST_P(UninstallFailureTest, ReportsUnlessQuiet) {
  const UninstallFailure& c = std::get<0>(GetParam());
  const bool bQuiet = std::get<1>(GetParam());
  if (c.setUp) c.setUp();
  ErrorCode code = ecNoError;
  std::string output;
  {
    std::unique_ptr<ksim::ScopedFault> fault;
    if (!c.fault.call.empty()) fault.reset(new ksim::ScopedFault(c.fault));
    output = Uninstall(bQuiet, &code);
  }
  EXPECT_EQ(output, bQuiet ? "" : c.output);
  EXPECT_EQ(code, c.code);
  auto service = ksim::FindService(kServiceName);
  EXPECT_EQ(!service || service->markedForDeletion, c.deleted);
}

const DWORD kTimeout = ERROR_SERVICE_REQUEST_TIMEOUT;

INSTANTIATE_TEST_SUITE_P(
    Rows, UninstallFailureTest,
    testing::Combine(
        testing::Values(
            UninstallFailure{"NotInstalled", [] { ksim::ResetScm(); }, {}, SystemError(ERROR_SERVICE_DOES_NOT_EXIST),
                             kOpenFailed + kNotInstalled, true},
            UninstallFailure{"ServiceOpen", nullptr, Fault("OpenServiceA").On(kServiceName)
                                                         .LastError(ERROR_ACCESS_DENIED),
                             SystemError(ERROR_ACCESS_DENIED), kOpenFailed, false},
            // Sound behaviour: the manager's own error, not the invalid handle of an open without it.
            UninstallFailure{"ManagerOpen", nullptr, Fault("OpenSCManagerA").LastError(ERROR_ACCESS_DENIED),
                             SystemError(ERROR_ACCESS_DENIED), kOpenFailed, false},
            // Sound behaviour: a status that cannot be read is a failure, and nothing is touched.
            UninstallFailure{"StatusQuery", nullptr, Fault("QueryServiceStatus").On(kServiceName)
                                                         .LastError(ERROR_ACCESS_DENIED),
                             SystemError(ERROR_ACCESS_DENIED), kUninstallFailed, false},
            UninstallFailure{"StopRefused",
                             [] { ksim::RunServiceStandIn(kServiceName, ksim::StopBehaviour::kFails, kTimeout); },
                             {}, SystemError(kTimeout), kShutdownFailed + kUninstallFailed, false},
            UninstallFailure{"StopControl", [] { ksim::RunServiceStandIn(kServiceName); },
                             Fault("ControlService").On(kServiceName).LastError(ERROR_ACCESS_DENIED),
                             SystemError(ERROR_ACCESS_DENIED), kShutdownFailed + kUninstallFailed, false},
            UninstallFailure{"Delete", nullptr, Fault("DeleteService").On(kServiceName).LastError(ERROR_ACCESS_DENIED),
                             SystemError(ERROR_ACCESS_DENIED), kUninstallFailed, false}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<UninstallFailure, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Quiet" : "Loud");
    });

TEST_F(UninstallTest, AStatusQueryFailureNeitherStopsNorDeletes) {
  ASSERT_TRUE(ksim::RunServiceStandIn(kServiceName));
  ksim::ScopedFault fault(Fault("QueryServiceStatus").On(kServiceName).LastError(ERROR_ACCESS_DENIED));
  ErrorCode code = ecNoError;
  Uninstall(true, &code);
  EXPECT_EQ(ksim::CountCalls("ControlService"), 0u);
  EXPECT_EQ(ksim::CountCalls("DeleteService"), 0u);
  EXPECT_EQ(ksim::FindService(kServiceName)->status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(UninstallTest, RemovingAgainWhileAHandleKeepsTheEntryFailsToDelete) {
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kServiceName, SERVICE_QUERY_STATUS);
  ErrorCode code = ecInternalError;
  EXPECT_EQ(Uninstall(false, &code), kUninstalled);
  EXPECT_EQ(Uninstall(false, &code), kUninstallFailed);
  EXPECT_EQ(code, SystemError(ERROR_SERVICE_MARKED_FOR_DELETE));
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  EXPECT_FALSE(ksim::FindService(kServiceName));
}

class ReconfigTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(InstallQuietly(), ecNoError);
    // Event Viewer resolves the records through the executable's message table.
    ksim::SetModuleMessageTable(kModulePath, std::vector<BYTE>(std::begin(c_rgbMessageTableResource),
                                                               std::end(c_rgbMessageTableResource)));
    ksim::ClearCalls();
  }
};

TEST_F(ReconfigTest, SetsTheFailureActions) {
  EXPECT_EQ(CWMIServiceUtil::Reconfig(), ecNoError);
  auto service = ksim::FindService(kServiceName);
  ASSERT_TRUE(service->hasFailureActions);
  EXPECT_EQ(service->failureActions.resetPeriod, INFINITE);
  ASSERT_EQ(service->failureActions.actions.size(), 3u);
  const SC_ACTION_TYPE rgTypes[] = {SC_ACTION_RESTART, SC_ACTION_RESTART, SC_ACTION_NONE};
  const DWORD rgDelays[] = {500, 500, 0};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(service->failureActions.actions[i].Type, rgTypes[i]) << i;
    EXPECT_EQ(service->failureActions.actions[i].Delay, rgDelays[i]) << i;
  }
  EXPECT_EQ(service->failureActions.rebootMessage, "");
  EXPECT_EQ(service->failureActions.command, "");
  EXPECT_TRUE(service->failureActionsOnNonCrashFailures) << "a failed start restarts the service too";
  EXPECT_TRUE(ksim::EventLogRecords().empty());
  EXPECT_FALSE(ksim::ScmLock().locked);

  // Unlock, then the service, then the manager.
  std::vector<std::string> order;
  for (const ksim::Call& call : ksim::Calls())
    if (call.call.find("Service") != std::string::npos || call.call == "OpenSCManagerA")
      order.push_back(call.call + "(" + call.selector + ")");
  EXPECT_EQ(order, (std::vector<std::string>{"OpenSCManagerA(ServicesActive)", "LockServiceDatabase()",
                                             "OpenServiceA(korvlog)", "ChangeServiceConfig2A(korvlog)",
                                             "ChangeServiceConfig2A(korvlog)", "UnlockServiceDatabase()", "CloseServiceHandle(korvlog)",
                                             "CloseServiceHandle()"}));
}

// The setting that makes the actions follow a stop with an error exists from Windows Vista on:
// an earlier system refuses it as an unknown level or a bad parameter, which is no fault. Any other refusal leaves
// the actions for crashes and says so.
struct FlagRefusal {
  const char* name;
  DWORD dwError;
  std::vector<std::string> texts;
};

void PrintTo(const FlagRefusal& c, std::ostream* os) { *os << c.name; }

class ReconfigFlagTest : public ReconfigTest, public testing::WithParamInterface<FlagRefusal> {};

TEST_P(ReconfigFlagTest, LeavesTheActionsForCrashes) {
  ksim::ScopedFault refused(Fault("ChangeServiceConfig2A").On(kServiceName).Nth(2).LastError(GetParam().dwError));
  EXPECT_EQ(CWMIServiceUtil::Reconfig(), ecNoError);
  EXPECT_EQ(1u, refused.Hits());
  auto service = ksim::FindService(kServiceName);
  EXPECT_TRUE(service->hasFailureActions);
  EXPECT_FALSE(service->failureActionsOnNonCrashFailures);
  std::vector<std::string> texts;
  for (const ksim::EventRecord& r : ksim::EventLogRecords()) texts.push_back(r.strings.at(0));
  EXPECT_EQ(GetParam().texts, texts);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ReconfigFlagTest,
    testing::Values(FlagRefusal{"BeforeVista", ERROR_INVALID_LEVEL, {}},
                    FlagRefusal{"UnknownParameter", ERROR_INVALID_PARAMETER, {}},
                    FlagRefusal{"Denied", ERROR_ACCESS_DENIED,
                                {"The failure actions apply to crashes only: they could not be set for a stop that "
                                 "reports an error. Error: 0x00000005\r\n"}}),
    [](const testing::TestParamInfo<FlagRefusal>& info) { return std::string(info.param.name); });

TEST_F(ReconfigTest, AForeignLockWithReadableStatusLeavesTheActionsAlone) {
  ksim::ScopedScmLock foreign("CORP\\admin", 42);
  EXPECT_EQ(CWMIServiceUtil::Reconfig(), ecNoError);
  EXPECT_FALSE(ksim::FindService(kServiceName)->hasFailureActions);
  EXPECT_EQ(ksim::CountCalls("QueryServiceLockStatusA"), 1u);
  EXPECT_EQ(ksim::CountCalls("OpenServiceA"), 0u);
  EXPECT_TRUE(ksim::EventLogRecords().empty());
  EXPECT_TRUE(ksim::ScmLock().locked);  // still the other party's
}

// One row of the failure table of reconfiguration.
struct ReconfigFailure {
  const char* name;
  bool foreignLock;  // another party holds the database lock
  bool installed;
  ksim::Fault fault;
  ErrorCode code;
  WORD recordType;  // 0: no record
  std::string text;
};

void PrintTo(const ReconfigFailure& c, std::ostream* os) { *os << c.name; }

class ReconfigFailureTest : public ReconfigTest, public testing::WithParamInterface<ReconfigFailure> {};

TEST_P(ReconfigFailureTest, WritesTheRecordOfItsRow) {
  const ReconfigFailure& c = GetParam();
  std::unique_ptr<ksim::ScopedScmLock> foreign;
  if (c.foreignLock) foreign.reset(new ksim::ScopedScmLock("CORP\\admin", 7));
  if (!c.installed) ksim::ResetScm();
  {
    std::unique_ptr<ksim::ScopedFault> fault;
    if (!c.fault.call.empty()) fault.reset(new ksim::ScopedFault(c.fault));
    EXPECT_EQ(CWMIServiceUtil::Reconfig(), c.code);
    if (fault) {
      EXPECT_EQ(fault->Hits(), 1u);
    }
  }
  auto records = ksim::EventLogRecords();
  if (!c.recordType) {
    EXPECT_TRUE(records.empty());
  } else {
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, kServiceName);
    EXPECT_EQ(records[0].type, c.recordType);
    EXPECT_EQ(records[0].category, 0);
    EXPECT_EQ(records[0].eventId, 0xC0002004u);
    EXPECT_EQ(records[0].strings, std::vector<std::string>{c.text});
    // Event Viewer shows exactly the text, through the executable's message table.
    EXPECT_EQ(ksim::RenderEventRecord(records[0]), c.text + "\r\n");
  }
  auto service = ksim::FindService(kServiceName);
  EXPECT_FALSE(service && service->hasFailureActions);
  EXPECT_EQ(ksim::ScmLock().locked, foreign != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReconfigFailureTest,
    testing::Values(
        ReconfigFailure{"ManagerOpen", false, true, Fault("OpenSCManagerA").LastError(ERROR_ACCESS_DENIED),
                        SystemError(ERROR_ACCESS_DENIED), 0, ""},
        ReconfigFailure{"Lock", false, true, Fault("LockServiceDatabase").LastError(ERROR_ACCESS_DENIED),
                        SystemError(ERROR_ACCESS_DENIED), 0, ""},
        ReconfigFailure{"ForeignLockStatusUnreadable", true, true,
                        Fault("QueryServiceLockStatusA").LastError(ERROR_ACCESS_DENIED),
                        SystemError(ERROR_ACCESS_DENIED), EVENTLOG_INFORMATION_TYPE,
                        "QueryServiceLockStatus fails. Error = 0x00000005\r\n"},
        ReconfigFailure{"ForeignLockStatusBuffer", true, true, Fault("LocalAlloc").On("268")
                                                                   .LastError(ERROR_NOT_ENOUGH_MEMORY),
                        ecOutOfMemory, 0, ""},
        ReconfigFailure{"ServiceOpen", false, true, Fault("OpenServiceA").On(kServiceName)
                                                        .LastError(ERROR_ACCESS_DENIED),
                        SystemError(ERROR_ACCESS_DENIED), EVENTLOG_ERROR_TYPE, "OpenService fails in Reconfig()\r\n"},
        ReconfigFailure{"NotInstalled", false, false, {},
                        SystemError(ERROR_SERVICE_DOES_NOT_EXIST), EVENTLOG_ERROR_TYPE,
                        "OpenService fails in Reconfig()\r\n"},
        ReconfigFailure{"SetActions", false, true, Fault("ChangeServiceConfig2A").On(kServiceName)
                                                       .LastError(ERROR_ACCESS_DENIED),
                        SystemError(ERROR_ACCESS_DENIED), EVENTLOG_WARNING_TYPE,
                        "Cannot change service configuration. Error: 0x00000005\r\n"}),
    [](const testing::TestParamInfo<ReconfigFailure>& info) { return std::string(info.param.name); });

TEST_F(ReconfigTest, AServiceMarkedForDeletionCannotBeReconfigured) {
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kServiceName, DELETE);
  ASSERT_TRUE(DeleteService(hService));
  EXPECT_EQ(CWMIServiceUtil::Reconfig(), SystemError(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(Texts(), std::vector<std::string>{"Cannot change service configuration. Error: 0x00000430\r\n"});
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
}

}  // namespace
}  // namespace ktest
