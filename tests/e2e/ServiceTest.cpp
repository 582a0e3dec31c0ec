// korvlog as an installed service on the simulated host, from start to stop: the status
// reports, the start-up registrations, the reactions to the driver and the controllers, and the
// stop under every order in which WMI may report a cancellation.
#include "support/ServiceHost.h"

#include "service/ServiceRuntime.h"
#include "service/ServiceUtil.h"
#include "sink/WbemSink.h"
#include "wmi/WMIService.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace ktest {
namespace {

using ksim::machine::AddScsiController;
using ksim::machine::LoadRaidDriver;
using ksim::machine::Message;
using ksim::machine::RaiseFirmwareMessage;
using ksim::machine::RemoveScsiController;
using ksim::machine::UnloadRaidDriver;

class Service : public ServiceHost {
 protected:
  // Starts the service once, as on a system before Windows Vista, where the failure actions
  // follow crashes only: a start that fails is one run, without the restarts that follow it from
  // Vista on.
  void StartBeforeVista() {
    ksim::ScopedFault beforeVista(Fault("ChangeServiceConfig2A").On(kServiceName).Nth(2).LastError(ERROR_INVALID_LEVEL));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  }
};

const DWORD kAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
const SERVICE_STATUS kStartPending = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, kAccepted, 0, 0, 1, 6000};
const SERVICE_STATUS kRunning = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, kAccepted, 0, 0, 0, 0};
const SERVICE_STATUS kStopPending = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, kAccepted, 0, 0, 1, 6000};
const SERVICE_STATUS kStopped = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, kAccepted, 0, 0, 0, 0};

// Stopped after a start that failed with code: the Windows error of a system error code, or
// ERROR_SERVICE_SPECIFIC_ERROR with the code.
SERVICE_STATUS StoppedAfterFailure(DWORD code) {
  SERVICE_STATUS ss = kStopped;
  if ((code | 0xFFFF0000u) == code) {
    ss.dwWin32ExitCode = code & 0xFFFF;
  } else {
    ss.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    ss.dwServiceSpecificExitCode = code;
  }
  return ss;
}

void ExpectReports(const std::vector<SERVICE_STATUS>& expected) {
  std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
  ASSERT_EQ(expected.size(), reports.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(0, memcmp(&expected[i], &reports[i].status, sizeof(SERVICE_STATUS))) << "report " << i;
}

TEST_F(Service, StartUpWithTheDriverRegistersTheEventQueries) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  std::vector<std::wstring> queries;
  for (const auto& s : ksim::wmi::Subscriptions()) queries.push_back(s.query);
  EXPECT_EQ((std::vector<std::wstring>{kQueryMessages, kQueryPrintfDeleted, kQueryHostTime, kQuerySetHostTimeDeleted,
                                       kQueryPrintfCreated, kQuerySetHostTimeCreated, kQueryControllerAdded,
                                       kQueryControllerRemoved}),
            queries);
  EXPECT_EQ(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));
  EXPECT_EQ(qsActive, StatusOf(nsWMI, qCCreateAdapterPrintf));
  EXPECT_TRUE(Texts().empty());
  ExpectReports({kStartPending, kRunning});
  EXPECT_EQ(kServiceName, ksim::ServiceMainArgs(kServiceName).at(0));
  EXPECT_EQ((std::vector<std::string>{kServiceModulePath, "-d", "velk4,qtr"}), ksim::ServiceProcessArgs(kServiceName));

  // Failure actions are set at every start.
  auto info = ksim::FindService(kServiceName);
  ASSERT_TRUE(info && info->hasFailureActions);
  EXPECT_EQ(INFINITE, info->failureActions.resetPeriod);
  ASSERT_EQ(3u, info->failureActions.actions.size());
  EXPECT_EQ(SC_ACTION_RESTART, info->failureActions.actions[0].Type);
  EXPECT_EQ(500u, info->failureActions.actions[1].Delay);
  EXPECT_EQ(SC_ACTION_NONE, info->failureActions.actions[2].Type);
}

TEST_F(Service, StartUpWithoutTheDriverWaitsForItsClass) {
  AddScsiController(kPathA, L"velk4");
  InstallAndStart();

  std::vector<std::wstring> queries;
  for (const auto& s : ksim::wmi::Subscriptions()) queries.push_back(s.query);
  EXPECT_EQ((std::vector<std::wstring>{kQueryPrintfCreated, kQuerySetHostTimeCreated, kQueryControllerAdded,
                                       kQueryControllerRemoved}),
            queries);
  EXPECT_EQ(qsFailed, StatusOf(nsWMI, qEAdapterPrintfNotification));
  EXPECT_TRUE(Texts().empty()) << "a driver not yet loaded is no loss to report";

  // The driver loads: its class creation registers the rest, and messages flow.
  LoadRaidDriver(L"velk4");
  Settle();
  EXPECT_TRUE(Subscribed(kQueryMessages));
  EXPECT_TRUE(Subscribed(kQueryHostTime));
  EXPECT_TRUE(Subscribed(kQueryPrintfDeleted));
  EXPECT_TRUE(Texts().empty());
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 30, 2, "disk 3 rebuilt")));
  Settle();
  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk42: disk 3 rebuilt"));
}

TEST_F(Service, AControllerArrivingAfterAnEmptyStartIsServedAsOnePresentAtStart) {
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  EXPECT_EQ((std::vector<std::string>{"No SCSI controller was found at start; controllers are served as they "
                                      "arrive.\r\n"}),
            Texts());
  EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, ksim::EventLogRecords().at(0).type);
  EXPECT_EQ(0x40002015u, ksim::EventLogRecords().at(0).eventId);
  EXPECT_TRUE(Subscribed(kQueryControllerAdded));
  ExpectReports({kStartPending, kRunning});

  AddScsiController(kPathA, L"velk4");
  Settle();
  EXPECT_EQ(1u, CountSubscribed(kQueryMessages));
  EXPECT_EQ(1u, CountSubscribed(kQueryHostTime));
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 3, "first words")));
  ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA));
  Settle();
  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk43: first words"));
  EXPECT_EQ(1u, ksim::machine::SetAdapterTimeCalls().size());
  Stop();
  ExpectReports({kStartPending, kRunning, kStopPending, kStopped});
}

// The first start parameter, when it begins with a digit and gives a positive number, delays
// the start by that many milliseconds after the start-pending report; a stop ends the delay.
TEST_F(Service, FirstStartParameterDelaysTheStart) {
  AddScsiController(kPathA, L"velk4");
  Install();
  const struct {
    std::vector<std::string> args;
    DWORD dwDelayMs;
  } cases[] = {{{"400"}, 400}, {{"abc"}, 0}, {{"0"}, 0}, {{}, 0}, {{"300x"}, 300}};
  for (const auto& c : cases) {
    std::chrono::steady_clock::time_point reported, comStarted;
    bool bReported = false;
    ksim::ScopedHook report("SetServiceStatus", kServiceName, [&] {
      if (!bReported) reported = std::chrono::steady_clock::now();
      bReported = true;
    });
    ksim::ScopedHook com("CoInitializeEx", "", [&] { comStarted = std::chrono::steady_clock::now(); });
    ASSERT_EQ(0u, Start(c.args));
    ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_RUNNING, 10000));
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(comStarted - reported).count();
    if (c.dwDelayMs) {
      EXPECT_GE(delay, static_cast<long>(c.dwDelayMs) - 5) << c.args[0];
    } else {
      EXPECT_LT(delay, 250) << (c.args.empty() ? "none" : c.args[0]);
    }
    Stop();
  }
}

TEST_F(Service, AStopDuringTheStartDelayEndsItAtOnce) {
  AddScsiController(kPathA, L"velk4");
  Install();
  ksim::ClearCalls();
  ASSERT_EQ(0u, Start({"600000"}));
  // The service's own start-pending report, which accepts the stop (the state the SCM sets at the
  // start accepts nothing).
  const auto reported = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ksim::StatusReports(kServiceName).empty()) {
    ASSERT_LT(std::chrono::steady_clock::now(), reported) << "no start-pending report";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  ASSERT_TRUE(ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 1000));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  EXPECT_EQ(0u, ksim::CountCalls("CoInitializeEx")) << "nothing was made";
  ExpectReports({kStartPending, kStopPending, kStopped});
  EXPECT_EQ(0u, ksim::CutThreads(kServiceName));
}

struct CreationFailure {
  const char* name;
  ksim::Fault fault;
  std::vector<std::string> records;
  DWORD code;  // the start's error
};

void PrintTo(const CreationFailure& c, std::ostream* os) { *os << c.name; }

class CreationFails : public Service, public testing::WithParamInterface<CreationFailure> {};

TEST_P(CreationFails, StopsAtOnceAndSaysWhy) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  Install();
  ksim::ClearEventLog();
  const LeakCheck bstrsBefore = LiveBstrs();
  {
    ksim::ScopedFault fault(GetParam().fault);
    StartBeforeVista();
  }
  Settle();
  ExpectReports({kStartPending, kStopPending, StoppedAfterFailure(GetParam().code)});
  EXPECT_EQ(GetParam().records, Texts());
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  ExpectNothingLeft(bstrsBefore);
  EXPECT_EQ(0, ksim::com::MtaThreads());
  EXPECT_EQ(nullptr, CWMIServiceUtil::GetWMIService());
}

ksim::Fault Failing(const std::string& call, const std::string& selector, HRESULT hr, int variant = 0) {
  return Fault(call).On(selector).Returns(hr).Variant(variant);
}

const CreationFailure kCreationFailures[] = {
    {"ComStart", Failing("CoInitializeEx", "", E_OUTOFMEMORY),
     {"Failed to initialize COM library. Error = E_OUTOFMEMORY(0x8007000e)\r\n"}, ecComError},
    {"ComAlreadyStarted", Failing("CoInitializeEx", "", S_FALSE),
     {"Failed to initialize COM library. Error = WBEM_S_FALSE(0x00000001)\r\n"}, ecComError},
    {"Security", Failing("CoInitializeSecurity", "", RPC_E_TOO_LATE),
     {"Failed to register and set security. Error = RPC_E_TOO_LATE(0x80010119)\r\n"}, ecComError},
    // The process makes the rundown's two events and the service thread's wake event first.
    {"ShutdownEvent", Fault("CreateEventA").Nth(4).LastError(ERROR_NOT_ENOUGH_MEMORY), {}, ecInternalError},
    {"Locator", Failing("CoCreateInstance", "", REGDB_E_CLASSNOTREG),
     {"CoCreatInstance failed. Error = REGDB_E_CLASSNOTREG(0x80040154)\r\n"}, ecComError},
    {"NullLocator", Failing("CoCreateInstance", "", S_OK), {"CoCreatInstance succeed but Locator is NULL.\r\n"},
     ecComError},
    {"ConnectWmi", Failing("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\WMI", WBEM_E_INVALID_NAMESPACE),
     {"Could not connect CIMOM. Error: WBEM_E_INVALID_NAMESPACE(0x8004100e)\r\n"}, ecWbemError},
    {"ConnectCimv2", Failing("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\CIMV2", WBEM_E_ACCESS_DENIED),
     {"Could not connect CIMOM. Error: WBEM_E_ACCESS_DENIED(0x80041003)\r\n"}, ecWbemError},
    {"NullServices", Failing("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\WMI", S_OK),
     {"Connected to CIMOM but IWbemServices is NULL"}, ecWbemError},
    {"AdapterTable", Failing("IWbemServices::CreateInstanceEnum", "Win32_SCSIController", WBEM_E_FAILED),
     {"Failed to enum instances of Win32_SCSIController in CIMV2. Error: WBEM_E_FAILED(0x80041001)\r\n",
      "Create adapter information failed.  err=0x0000000b\r\n"},
     ecWbemError},
    {"NoWorker", Fault("_beginthread").LastError(EAGAIN),
     {"No event worker thread could be started; the service cannot handle events. Error: 11\r\n"}, ecInternalError},
};

INSTANTIATE_TEST_SUITE_P(Table, CreationFails, testing::ValuesIn(kCreationFailures),
                         [](const testing::TestParamInfo<CreationFailure>& info) { return info.param.name; });

TEST_F(Service, ConnectingTheFirstNamespaceFailsBeforeTheSecondIsTried) {
  AddScsiController(kPathA, L"velk4");
  Install();
  ksim::ClearCalls();
  ksim::ScopedFault fault(Failing("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\WMI", WBEM_E_FAILED));
  StartBeforeVista();
  EXPECT_EQ(1u, ksim::CountCalls("IWbemLocator::ConnectServer"));
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::CreateInstanceEnum"));
}

TEST_F(Service, ExceptionDuringStartUpIsLoggedAndStopsTheService) {
  AddScsiController(kPathA, L"velk4");
  Install();
  ksim::ClearEventLog();
  ksim::ScopedHook hook("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\CIMV2", [] {
    SetLastError(ERROR_INVALID_DATA);
    throw std::runtime_error("provider fault");
  });
  StartBeforeVista();
  EXPECT_EQ(std::vector<std::string>{"Exception in CWMIService::Initialize.  err=0xffff000d\r\n"}, Texts());
  ExpectReports({kStartPending, kStopPending, StoppedAfterFailure(0xffff000d)});
  Settle();
  EXPECT_EQ(0, ksim::LiveCount("com_objects")) << "the half-made connection is released";
}

// From Windows Vista on, the failure actions follow a failed start too: the service is started
// again twice, half a second apart, and then left stopped with its error.
TEST_F(Service, AFailedStartIsTriedTwiceMoreFromVistaOn) {
  AddScsiController(kPathA, L"velk4");
  Install();
  ksim::ScopedFault fault(Failing("IWbemLocator::ConnectServer", "\\\\.\\ROOT\\WMI", WBEM_E_FAILED));
  ASSERT_EQ(0u, Start());
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  EXPECT_EQ(3u, ksim::ServiceProcessCount(kServiceName));
  EXPECT_EQ(3u, ksim::CountCalls("IWbemLocator::ConnectServer"));
  const SERVICE_STATUS failed = StoppedAfterFailure(ecWbemError);
  ExpectReports({kStartPending, kStopPending, failed, kStartPending, kStopPending, failed, kStartPending, kStopPending,
                 failed});
}

TEST_F(Service, MessagesAndHostTimeRequests) {
  SYSTEMTIME utc = {};
  utc.wYear = 2002, utc.wMonth = 1, utc.wDay = 2, utc.wHour = 9, utc.wMinute = 5, utc.wSecond = 3;
  ksim::SetClock(utc, 0);
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathQ, L"other");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  for (LONG level : {20, 30, 40}) {
    ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, level, 1, "level " + std::to_string(level) + " 100%")));
    Settle();
  }
  ASSERT_TRUE(ksim::machine::RaiseHostTimeRequest(kPathA));
  Settle();

  std::vector<ksim::EventRecord> records = ksim::EventLogRecords();
  ASSERT_EQ(4u, records.size());
  const struct {
    WORD type;
    DWORD id;
    const char* source;
    const char* text;
  } expected[] = {
      {EVENTLOG_INFORMATION_TYPE, 0x41011000, "velk4", "\\Device\\Scsi\\velk41: level 20 100%"},
      {EVENTLOG_WARNING_TYPE, 0x81011001, "velk4", "\\Device\\Scsi\\velk41: level 30 100%"},
      {EVENTLOG_ERROR_TYPE, 0xC1011002, "velk4", "\\Device\\Scsi\\velk41: level 40 100%"},
      {EVENTLOG_INFORMATION_TYPE, 0x40002002, kServiceName,
       "Sent host time of 9:5:3 of 1/2/2002 to \\Device\\SCSI\\velk4\r\n"},
  };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(expected[i].type, records[i].type) << i;
    EXPECT_EQ(expected[i].id, records[i].eventId) << i;
    EXPECT_EQ(expected[i].source, records[i].source) << i;
    EXPECT_EQ(std::vector<std::string>{expected[i].text}, records[i].strings) << i;
  }
  auto calls = ksim::machine::SetAdapterTimeCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(1009962303, calls[0].hostTime.value_or(0));
  EXPECT_EQ(ksim::machine::InstanceNameOf(kPathA), calls[0].instanceName);
}

TEST_F(Service, ControllersArriveAndLeave) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  // A second supported controller: the queries are active already; nothing changes.
  ksim::ClearCalls();
  AddScsiController(kPathB, L"velk4");
  Settle();
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
  EXPECT_EQ(1u, ksim::CountCalls("IWbemServices::CreateInstanceEnum")) << "one rescan";

  // One of two leaves: still a supported controller, nothing cancelled.
  ASSERT_TRUE(RemoveScsiController(kPathA));
  Settle();
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::CancelAsyncCall"));
  EXPECT_TRUE(Subscribed(kQueryMessages));

  // The last one leaves: the message and host-time queries are cancelled.
  ASSERT_TRUE(RemoveScsiController(kPathB));
  Settle();
  EXPECT_FALSE(Subscribed(kQueryMessages));
  EXPECT_FALSE(Subscribed(kQueryHostTime));
  EXPECT_EQ(qsInactive, StatusOf(nsWMI, qEAdapterPrintfNotification));
  EXPECT_EQ(qsInactive, StatusOf(nsWMI, qEHostTimeRequest));
  EXPECT_TRUE(Subscribed(kQueryControllerAdded));

  // A controller of another driver only rescans.
  ksim::ClearCalls();
  AddScsiController(kPathQ, L"other");
  Settle();
  EXPECT_EQ(0u, ksim::CountCalls("IWbemServices::ExecNotificationQueryAsync"));
  EXPECT_EQ(1u, ksim::CountCalls("IWbemServices::CreateInstanceEnum"));

  // A supported one returns: both registered again, and its messages are logged.
  AddScsiController(kPathA, L"velk4");
  Settle();
  EXPECT_EQ(1u, CountSubscribed(kQueryMessages));
  EXPECT_EQ(1u, CountSubscribed(kQueryHostTime));
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 0, "back")));
  Settle();
  EXPECT_EQ(1u, CountTexts("\\Device\\Scsi\\velk40: back"));
}

// WMI delivers on two threads and some record writes are slow: each controller's records still
// reach the log in the order its messages came, while the controllers run side by side.
TEST_F(Service, EachControllersRecordsKeepTheirOrder) {
  ksim::wmi::SetDeliveryThreads(2);
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathB, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ksim::ClearCalls();
  std::atomic<int> writes{0};
  ksim::ScopedHook slow("ReportEventA", "velk4", [&] {
    if (writes++ % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(15));
  });
  const int kPerController = 30;
  for (int i = 0; i < 2 * kPerController; ++i) {
    ASSERT_TRUE(RaiseFirmwareMessage(Message(i % 2 ? kPathB : kPathA, 20, i % 2, std::to_string(i / 2))));
    // The driver's protocol: a controller's next message is stored once this one is read.
    ASSERT_TRUE(WaitFor([&] { return ksim::CountCalls("IWbemServices::GetObject") >= static_cast<size_t>(i + 1); }));
  }
  Settle();
  std::vector<int> order[2];
  for (const std::string& text : Texts()) {
    const size_t colon = text.find(": ");
    ASSERT_NE(std::string::npos, colon) << text;
    order[text[colon - 1] - '0'].push_back(std::stoi(text.substr(colon + 2)));
  }
  std::vector<int> expected(kPerController);
  for (int k = 0; k < kPerController; ++k) expected[k] = k;
  EXPECT_EQ(expected, order[0]) << "controller A";
  EXPECT_EQ(expected, order[1]) << "controller B";
}

TEST_F(Service, OnlyTheFinalStatusOfTheCurrentRegistrationEndsIt) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  const DWORD dwCurrent = RegistrationOf(kQueryMessages);
  ASSERT_NE(0u, dwCurrent);
  // A progress report, and a final status of an earlier registration, change nothing.
  CWbemSink::SsEAdapterPrintfNotification(dwCurrent, WBEM_STATUS_PROGRESS, WBEM_E_FAILED, nullptr, nullptr);
  CWbemSink::SsEAdapterPrintfNotification(dwCurrent - 1, WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr,
                                          nullptr);
  EXPECT_EQ(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));
  // The status of the creation query, inactive here, changes nothing either.
  CWbemSink::SsCCreateAdapterPrintf(dwCurrent, WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED, nullptr, nullptr);
  EXPECT_EQ(qsActive, StatusOf(nsWMI, qCCreateAdapterPrintf));
  EXPECT_EQ(1u, CountSubscribed(kQueryMessages));
}

TEST_F(Service, StopReleasesEverything) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  const LeakCheck bstrsBefore = LiveBstrs();
  InstallAndStart();
  Stop();
  ExpectReports({kStartPending, kRunning, kStopPending, kStopped});
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  EXPECT_EQ(nullptr, CWMIServiceUtil::GetWMIService());
  EXPECT_EQ(0, ksim::ServiceProcessExitCode(kServiceName));
  EXPECT_EQ(0u, ksim::CutThreads(kServiceName)) << "every thread was done before stopped was reported";
  ExpectNothingLeft(bstrsBefore);
  EXPECT_EQ(0, ksim::com::MtaThreads());
  // A second stop finds the service stopped.
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), Control(SERVICE_CONTROL_STOP));
}

// The handler begins the stop and returns at once; the service thread carries it out and reports
// stopped as its last act.
TEST_F(Service, TheHandlerBeginsTheStopAndTheServiceThreadEndsIt) {
  AddScsiController(kPathA, L"velk4");
  InstallAndStart();
  Stop();
  std::vector<ksim::StatusReport> reports = ksim::StatusReports(kServiceName);
  ASSERT_EQ(4u, reports.size());
  EXPECT_NE(reports[0].threadId, reports[2].threadId) << "stop pending from the handler, on the dispatcher";
  EXPECT_EQ(reports[0].threadId, reports[3].threadId) << "stopped from the service thread";
}

TEST_F(Service, InterrogateReportsOnceAndPauseIsIgnored) {
  AddScsiController(kPathA, L"velk4");
  InstallAndStart();
  EXPECT_EQ(0u, Control(SERVICE_CONTROL_INTERROGATE));
  EXPECT_EQ(0u, Control(SERVICE_CONTROL_INTERROGATE));
  ExpectReports({kStartPending, kRunning, kRunning});
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), Control(SERVICE_CONTROL_PAUSE));
  // Controls the SCM would not send still leave the service as it is when they arrive.
  ServiceHandler(SERVICE_CONTROL_PAUSE);
  ServiceHandler(SERVICE_CONTROL_CONTINUE);
  ServiceHandler(SERVICE_CONTROL_PARAMCHANGE);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_INTERROGATE), CWMIServiceUtil::GetServiceCntrlState());
  ExpectReports({kStartPending, kRunning, kRunning});
  // A stop after an interrogate still stops.
  Stop();
  ExpectReports({kStartPending, kRunning, kRunning, kStopPending, kStopped});
}

// `sc control korvlog 128` asks for the service's state in one record; other user controls reach
// the handler and change nothing, and codes above 255 the Service Control Manager refuses.
TEST_F(Service, TheStatusControlWritesOneRecordOfTheServicesState) {
  AddScsiController(kPathA, L"velk4");
  AddScsiController(kPathQ, L"other");
  LoadRaidDriver(L"velk4");
  InstallAndStart();
  ASSERT_TRUE(RaiseFirmwareMessage(Message(kPathA, 20, 1, "before the status")));
  Settle();
  ksim::ClearEventLog();

  EXPECT_EQ(0u, Control(129));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Control(256));
  EXPECT_EQ(0u, Control(128));
  ASSERT_TRUE(WaitFor([] { return !Records().empty(); }));
  Settle();
  const std::vector<Record> records = Records();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(0x40002017u, records[0].eventId);
  EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, records[0].type);
  const std::wstring wa(kPathA), wq(kPathQ);
  // The table keeps device IDs as WMI gives them, in capitals.
  std::string a(wa.begin(), wa.end()), q(wq.begin(), wq.end());
  for (std::string* p : {&a, &q}) std::transform(p->begin(), p->end(), p->begin(), ::toupper);
  EXPECT_EQ("The service is running. Version: v1.18\r\n"
            "Connection to WMI: connected\r\n"
            "Supported drivers: velk4,qtr\r\n"
            "Controllers: 2\r\n"
            "  " + a + ": driver velk4, served\r\n"
            "  " + q + ": driver other, not served\r\n"
            "Event queries:\r\n"
            "  SELECT * FROM Talvenix_AdapterPrintfNotification: registered\r\n",
            records[0].text.substr(0, records[0].text.find("  SELECT * FROM __ClassCreationEvent")));
  EXPECT_NE(std::string::npos, records[0].text.find("  SELECT * FROM Talvenix_HostTimeRequest: registered\r\n"));
  EXPECT_NE(std::string::npos,
            records[0].text.find("Event log backlog: 0 record(s) waiting for the log to accept them.\r\n"
                                 "Since the start: 1 controller message(s) logged, 0 host-time request(s) answered, "
                                 "0 lost.\r\n"));
  ExpectReports({kStartPending, kRunning});
  Stop();
}

TEST_F(Service, ShutdownAfterStopDoesNothingMore) {
  AddScsiController(kPathA, L"velk4");
  InstallAndStart();
  Stop();
  ServiceHandler(SERVICE_CONTROL_SHUTDOWN);
  ServiceHandler(SERVICE_CONTROL_STOP);
  ExpectReports({kStartPending, kRunning, kStopPending, kStopped});
}

TEST_F(Service, FailedReportKeepsTheLastAcceptedStatus) {
  AddScsiController(kPathA, L"velk4");
  Install();
  {
    ksim::ScopedFault fault(Fault("SetServiceStatus").Nth(2).LastError(ERROR_INVALID_DATA));  // running
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceIdle(kServiceName, 10000));
  }
  Settle();
  EXPECT_TRUE(Subscribed(kQueryControllerAdded)) << "the service goes on after a failed report";
  // The SCM still sees start pending, so an interrogate is the way in: it re-reports the last
  // status that was accepted.
  ServiceHandler(SERVICE_CONTROL_INTERROGATE);
  ExpectReports({kStartPending, kStartPending});
  ServiceHandler(SERVICE_CONTROL_STOP);
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  ExpectReports({kStartPending, kStartPending, kStopPending, kStopped});
}

TEST_F(Service, HandlerRegistrationIsTriedAgainAtTheNextReport) {
  AddScsiController(kPathA, L"velk4");
  Install();
  ksim::ClearCalls();
  {
    ksim::ScopedFault fault(Fault("RegisterServiceCtrlHandlerA").Nth(1).LastError(ERROR_NOT_ENOUGH_MEMORY));
    ASSERT_EQ(0u, Start());
    ASSERT_TRUE(ksim::WaitForServiceIdle(kServiceName, 10000));
  }
  EXPECT_EQ(2u, ksim::CountCalls("RegisterServiceCtrlHandlerA", kServiceName));
  ExpectReports({kRunning});
  Stop();
}

TEST_F(Service, StopWhileStartUpRegistersQueries) {
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  Install();
  // The stop arrives while the service thread is inside its start-up registrations.
  std::atomic<bool> bStopSent{false};
  ksim::ScopedHook hook("IWbemServices::ExecNotificationQueryAsync", "Talvenix_HostTimeRequest", [&] {
    if (bStopSent.exchange(true)) return;
    std::thread([this] { Control(SERVICE_CONTROL_STOP); }).detach();
    ksim::WaitForServiceState(kServiceName, SERVICE_STOP_PENDING, 5000);
  });
  ASSERT_EQ(0u, Start());
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();
  EXPECT_TRUE(bStopSent);
  ExpectReports({kStartPending, kRunning, kStopPending, kStopped});
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty()) << "what was registered during the stop is cancelled";
  EXPECT_EQ(0, ksim::LiveCount("com_objects"));
}

class StopUnderCancelOrder : public Service, public testing::WithParamInterface<CancelOrderCase> {};

TEST_P(StopUnderCancelOrder, NeitherDeadlocksNorLeaves) {
  ksim::wmi::SetCancelOrder(GetParam().order);
  ksim::wmi::SetCancelWaitLimit(8000);
  AddScsiController(kPathA, L"velk4");
  LoadRaidDriver(L"velk4");
  InstallAndStart();

  // A controller leaving cancels two queries from a worker.
  ASSERT_TRUE(RemoveScsiController(kPathA));
  if (GetParam().order == ksim::wmi::CancelOrder::StatusHeld) {
    ksim::wmi::WaitIdle(5000);
    ksim::WaitForThreads(5000);
    ksim::wmi::ReleaseHeldStatus();
  }
  Settle();
  EXPECT_EQ(qsInactive, StatusOf(nsWMI, qEAdapterPrintfNotification));

  AddScsiController(kPathA, L"velk4");
  Settle();
  ASSERT_EQ(qsActive, StatusOf(nsWMI, qEAdapterPrintfNotification));

  const auto begin = std::chrono::steady_clock::now();
  std::thread releaser;
  if (GetParam().order == ksim::wmi::CancelOrder::StatusHeld)
    releaser = std::thread([] {
      ksim::WaitForServiceState(kServiceName, SERVICE_STOPPED, 10000);
      ksim::wmi::ReleaseHeldStatus();
    });
  ASSERT_EQ(0u, Control(SERVICE_CONTROL_STOP));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(6000));
  if (releaser.joinable()) releaser.join();
  ASSERT_TRUE(ksim::WaitForServiceProcesses(10000));
  Settle();
  EXPECT_EQ(0, ksim::LiveCount("wmi_cancel_wait_timeouts"));
  EXPECT_TRUE(ksim::wmi::Subscriptions().empty());
  EXPECT_EQ(0, ksim::LiveCount("com_objects"));
}

INSTANTIATE_TEST_SUITE_P(Orders, StopUnderCancelOrder,
                         testing::Values(CancelOrderCase{"StatusBeforeReturn", ksim::wmi::CancelOrder::StatusBeforeReturn},
                                         CancelOrderCase{"StatusAfterReturn", ksim::wmi::CancelOrder::StatusAfterReturn},
                                         CancelOrderCase{"StatusHeld", ksim::wmi::CancelOrder::StatusHeld}),
                         [](const testing::TestParamInfo<CancelOrderCase>& info) { return info.param.name; });

}  // namespace
}  // namespace ktest
