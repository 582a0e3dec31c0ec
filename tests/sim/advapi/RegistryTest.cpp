// The simulated registry, and the state file that the Linux build's processes share.
#include "service/InstallSupport.h"

#include <cstdio>
#include <unistd.h>

namespace ktest {
namespace {

class RegistryTest : public MachineTest {};

TEST_F(RegistryTest, CreatesOpensSetsAndReads) {
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Product", &hKey), ERROR_SUCCESS);
  const DWORD dwValue = 0x1F;
  ASSERT_EQ(RegSetValueExA(hKey, "Types", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(hKey, "Path", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("C:\\x"), 5), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(hKey), ERROR_SUCCESS);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\VENDOR\\product", 0, KEY_READ, &hKey), ERROR_SUCCESS);
  DWORD dwType = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExA(hKey, "path", nullptr, &dwType, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(cb, 5u);
  char szSmall[2];
  DWORD cbSmall = sizeof(szSmall);
  EXPECT_EQ(RegQueryValueExA(hKey, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(szSmall), &cbSmall),
            ERROR_MORE_DATA);
  EXPECT_EQ(cbSmall, 5u);
  char szPath[8] = {};
  cb = sizeof(szPath);
  ASSERT_EQ(RegQueryValueExA(hKey, "Path", nullptr, nullptr, reinterpret_cast<BYTE*>(szPath), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(szPath, "C:\\x");
  EXPECT_EQ(RegQueryValueExA(hKey, "Missing", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  // Read access does not allow writing.
  EXPECT_EQ(RegSetValueExA(hKey, "Types", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), 4),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegCloseKey(hKey), ERROR_SUCCESS);

  EXPECT_EQ(ksim::RegistryRead("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product", "Types")->AsDword(), 0x1Fu);
  EXPECT_EQ(ksim::RegistrySubkeys("HKLM\\SOFTWARE"), std::vector<std::string>{"Vendor"});
}

TEST_F(RegistryTest, RefusesWhatWindowsRefuses) {
  HKEY hKey = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", 0, KEY_READ, &hKey), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", &hKey), ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegCreateKeyA(reinterpret_cast<HKEY>(0x1234), "x", &hKey), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // closing a root does nothing

  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", &hKey), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(hKey, "v", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  // A key with subkeys is not deleted; a leaf is, and its open handle then fails.
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B"), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(hKey, "v", 0, REG_BINARY, reinterpret_cast<const BYTE*>("x"), 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(hKey), ERROR_SUCCESS);
  EXPECT_FALSE(ksim::RegistryKeyExists("HKLM\\SOFTWARE\\A\\B"));
  EXPECT_TRUE(ksim::RegistryKeyExists("HKLM\\SOFTWARE\\A"));
}

TEST_F(RegistryTest, FaultsReturnTheirError) {
  HKEY hKey = nullptr;
  {
    ksim::ScopedFault fault(Fault("RegCreateKeyA").On("SOFTWARE\\X").Returns(ERROR_CANTWRITE));
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", &hKey), ERROR_CANTWRITE);
  }
  EXPECT_FALSE(ksim::RegistryKeyExists("HKLM\\SOFTWARE\\X"));
}

// Two processes of the Linux build see one machine through the state file.
class StateFileTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    char szPath[] = "/tmp/ksim-state-XXXXXX";
    const int fd = mkstemp(szPath);
    ASSERT_GE(fd, 0);
    close(fd);
    std::remove(szPath);
    m_path = szPath;
  }
  void TearDown() override {
    ksim::UseStateFile("");
    std::remove(m_path.c_str());
    MachineTest::TearDown();
  }
  // What a new process sees: the machine loaded from the file alone.
  void Restart() {
    ksim::UseStateFile("");
    ksim::ResetScm();
    ksim::ResetRegistry();
    ksim::UseStateFile(m_path);
  }
  std::string m_path;
};

TEST_F(StateFileTest, TheServiceDatabaseAndTheRegistryOutliveTheProcess) {
  ksim::UseStateFile(m_path);
  ASSERT_EQ(InstallQuietly("velk4, qtr"), ecNoError);
  ASSERT_EQ(CWMIServiceUtil::Reconfig(), ecNoError);
  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kServiceName, SERVICE_CHANGE_CONFIG);
  SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
  ASSERT_TRUE(ChangeServiceConfig2A(hService, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  // Texts with every kind of byte survive.
  const std::string binary("a b\r\n%00\0=\xff", 11);
  ksim::RegistryWrite("HKCU\\Odd key", "odd name", ksim::RegistryValue{REG_BINARY, {binary.begin(), binary.end()}});
  const auto before = ksim::FindService(kServiceName);

  Restart();
  const auto after = ksim::FindService(kServiceName);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->imagePath, before->imagePath);
  EXPECT_EQ(after->dependencies, before->dependencies);
  EXPECT_EQ(after->startType, before->startType);
  ASSERT_EQ(after->failureActions.actions.size(), 3u);
  EXPECT_EQ(after->failureActions.resetPeriod, INFINITE);
  EXPECT_EQ(after->failureActions.actions[1].Delay, 500u);
  EXPECT_TRUE(after->failureActionsOnNonCrashFailures);
  EXPECT_EQ(ksim::RegistryRead(kSourceKey, "TypesSupported")->AsDword(), 0x1Fu);
  auto odd = ksim::RegistryRead("HKCU\\Odd key", "odd name");
  ASSERT_TRUE(odd);
  EXPECT_EQ(std::string(odd->data.begin(), odd->data.end()), binary);
}

TEST_F(StateFileTest, ARunningServiceLoadsStoppedAndADeletedOneIsGone) {
  ksim::UseStateFile(m_path);
  ASSERT_EQ(InstallQuietly(), ecNoError);
  ASSERT_TRUE(ksim::RunServiceStandIn(kServiceName, ksim::StopBehaviour::kStopPending));
  Restart();
  EXPECT_EQ(ksim::FindService(kServiceName)->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  SC_HANDLE hManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE hService = OpenServiceA(hManager, kServiceName, DELETE);
  ASSERT_TRUE(DeleteService(hService));
  Restart();  // the handle died with its process
  EXPECT_FALSE(ksim::FindService(kServiceName));
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
}

}  // namespace
}  // namespace ktest
