// The command lines that install and remove the service, through the process entry.
#include "service/InstallSupport.h"

int KorvlogMain(int argc, char** argv);

namespace ktest {
namespace {

const std::string kUsage =
    "korvlog - Driver Event Logging Application\r\n"
    "Version v1.18  Copyright (c) the korvlog authors\r\n\r\n"
    "Usage:\r\n"
    "Install Service    : korvlog -i [Service Name] -d [Supported Drivers]\r\n"
    "Uninstall Service  : korvlog -u [Service Name]\r\n"
    "\r\n"
    "[Supported Drivers] - a list of supported drivers delimited by \",\"\r\n"
    "For examples: \"velk4\"  \"velk4,qtr\"\r\n";

class MainInstallTest : public MachineTest {
 protected:
  // Runs "korvlog" with the arguments and returns what it printed.
  static std::string Run(std::vector<std::string> args, int* pExitCode = nullptr) {
    args.insert(args.begin(), "C:\\tools\\korvlog.exe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    const int rc = KorvlogMain(static_cast<int>(args.size()), argv.data());
    if (pExitCode) *pExitCode = rc;
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(MainInstallTest, InstallReinstallUninstallAndUninstallAgain) {
  int rc = -1;
  EXPECT_EQ(Run({"-i", "evtsvc", "-d", "velk4,qtr"}, &rc),
            "evtsvc Service installed.\r\nWorking filepath=D:\\svc\\evtsvc.exe\r\n");
  EXPECT_EQ(rc, 0);
  auto service = ksim::FindService("evtsvc");
  ASSERT_TRUE(service);
  EXPECT_EQ(service->displayName, "evtsvc");
  EXPECT_EQ(service->imagePath, "D:\\svc\\evtsvc.exe -d velk4,qtr");

  EXPECT_EQ(Run({"-i", "evtsvc", "-d", "velk4,qtr"}, &rc),
            "evtsvc Service install failed.\r\nService might be installed already.\r\n" + kUsage +
                "Error found - System Error (1073) (0xffff0431)");
  EXPECT_NE(rc, 0);

  EXPECT_EQ(Run({"-u", "evtsvc"}, &rc), "evtsvc Service uninstalled.\r\n");
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(ksim::FindService("evtsvc"));

  EXPECT_EQ(Run({"-u", "evtsvc"}, &rc), "evtsvc Service open failed.\r\nService might not be installed yet.\r\n" +
                                             kUsage + "Error found - System Error (1060) (0xffff0424)");
  EXPECT_NE(rc, 0);
}

// "-u" with "-d" also removes the event sources that "-i" registered for the list; without it they
// stay.
TEST_F(MainInstallTest, UninstallWithTheListRemovesItsEventSources) {
  const std::string kLog = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
  for (const bool bWithList : {false, true}) {
    ASSERT_EQ(Run({"-i", "evtsvc", "-d", "velk4,qtr"}).substr(0, 27), "evtsvc Service installed.\r\n");
    std::vector<std::string> args = {"-u", "evtsvc"};
    if (bWithList) args.insert(args.end(), {"-d", "velk4,qtr"});
    int rc = -1;
    EXPECT_EQ(Run(args, &rc), "evtsvc Service uninstalled.\r\n");
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(ksim::FindService("evtsvc"));
    for (const char* pszSource : {"evtsvc", "velk4", "qtr"})
      EXPECT_EQ(ksim::RegistryKeyExists(kLog + "\\" + pszSource), !bWithList) << pszSource;
  }
}

TEST_F(MainInstallTest, AnEmptyDriverListShowsTheUsageOnly) {
  EXPECT_EQ(Run({"-i", "evtsvc", "-d", ""}), kUsage);
  EXPECT_TRUE(ksim::Services().empty());
}

TEST_F(MainInstallTest, AFailedRegistrationEndsWithTheErrorLine) {
  ksim::ScopedFault fault(Fault("RegCreateKeyA").Returns(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Run({"-d", "velk4", "-i", "evtsvc"}), "evtsvc Service failed to add to registry.\r\n" + kUsage +
                                                       "Error found - System Error (5) (0xffff0005)");
  EXPECT_TRUE(ksim::FindService("evtsvc"));
}

TEST_F(MainInstallTest, AFailedStopEndsWithBothLinesAndTheErrorLine) {
  ASSERT_EQ(Run({"-i", "evtsvc", "-d", "velk4"}).substr(0, 27), "evtsvc Service installed.\r\n");
  ASSERT_TRUE(ksim::RunServiceStandIn("evtsvc", ksim::StopBehaviour::kFails, ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(Run({"-u", "evtsvc", "-d", "velk4"}),
            "evtsvc Service shutdown failed, uninstallaton unsucessful.\r\nevtsvc Service uninstall failed.\r\n" +
                kUsage + "Error found - System Error (1053) (0xffff041d)");
}

}  // namespace
}  // namespace ktest
