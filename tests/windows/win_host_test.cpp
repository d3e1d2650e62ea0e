#include "platform/windows/win_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/fake_sync_host.h"
#include "app/sync_software_control.h"
#include "transport/device_path.h"

#include <windows.h>
// <windows.h> would rename the service manager's method.
#undef OpenService

namespace varnel {
namespace {

constexpr char kMissingService[] = "VarnelNoSuchService";

// A key of this test's own under HKEY_CURRENT_USER, removed afterwards.
class RegistryKeyTest : public ::testing::Test {
  protected:
    void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, kRoot); }

    static constexpr char kRoot[] = "Software\\Varnel\\Tests";
    const RegistryPlace m_install{RegistryPlace::kCurrentUser, std::string(kRoot) + "\\Install"};
    const RegistryPlace m_record{RegistryPlace::kCurrentUser, std::string(kRoot) + "\\Session"};
    WinSyncSoftwareHost m_host{m_install, m_record};
};

TEST(WinSyncSoftwareHostTest, ServiceManagerReportsAMissingServiceByItsCode) {
    WinSyncSoftwareHost host;
    uint32_t error = 0;
    const std::unique_ptr<ServiceManager> manager = host.OpenServiceManager(error);
    ASSERT_NE(manager, nullptr) << error;
    EXPECT_EQ(manager->OpenService(kMissingService, ServiceAccess::kStopQueryEnumerate, error),
              nullptr);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));

    // The control's stop path on this host says so in the log and goes no further.
    FakeClock fakeClock;
    testing::RecordingLog log;
    testing::RecordingDebug debug;
    SyncSoftwareNames names;
    names.strMainService = kMissingService;
    SyncSoftwareControl control(host, log, debug, fakeClock, names);
    control.DoStopSvc();
    EXPECT_EQ(log.Entries(), std::vector<std::string>{"OpenService failed (1060)\r\n"});
}

TEST(WinSyncSoftwareHostTest, ProcessWalkSeesThisProgramAndTerminateChecksTheName) {
    WinSyncSoftwareHost host;
    std::vector<ProcessEntry> processes;
    ASSERT_TRUE(host.SnapshotProcesses(processes));
    const auto self = std::find_if(processes.begin(), processes.end(), [](const ProcessEntry& p) {
        return p.id == ::GetCurrentProcessId();
    });
    ASSERT_NE(self, processes.end());
    EXPECT_TRUE(EqualIgnoringCase(self->strExeFile, "varnel_windows_tests.exe"))
        << self->strExeFile;
    // The same id under another name is another process: left alone.
    EXPECT_FALSE(host.TerminateProcess(ProcessEntry(self->id, "WCESCOMM.EXE")));
}

TEST_F(RegistryKeyTest, InstallDirectoryIsReadFromItsValue) {
    std::string directory = "unchanged";
    EXPECT_EQ(m_host.ReadInstalledDir(directory), InstallDirRead::kValueFailed);
    EXPECT_EQ(directory, "unchanged");
    const std::string stored = "C:\\Program Files\\Sync";
    ASSERT_EQ(::RegSetKeyValueA(HKEY_CURRENT_USER, m_install.strKey.c_str(), kInstalledDirValue,
                                REG_SZ, stored.c_str(), static_cast<DWORD>(stored.size() + 1)),
              ERROR_SUCCESS);
    EXPECT_EQ(m_host.ReadInstalledDir(directory), InstallDirRead::kRead);
    EXPECT_EQ(directory, stored);
    // A value of another type is not a directory.
    const DWORD number = 7;
    ::RegSetKeyValueA(HKEY_CURRENT_USER, m_install.strKey.c_str(), kInstalledDirValue, REG_DWORD,
                      &number, sizeof number);
    EXPECT_EQ(m_host.ReadInstalledDir(directory), InstallDirRead::kValueFailed);
}

TEST_F(RegistryKeyTest, StopRecordRoundTripsAndAnEmptyTextRemovesIt) {
    std::string text;
    EXPECT_FALSE(m_host.ReadStopRecord(text));
    ASSERT_TRUE(m_host.WriteStopRecord("service WcesComm\nprogram WCESMGR.EXE\n"));
    ASSERT_TRUE(m_host.ReadStopRecord(text));
    EXPECT_EQ(text, "service WcesComm\nprogram WCESMGR.EXE\n");
    ASSERT_TRUE(m_host.WriteStopRecord(""));
    EXPECT_FALSE(m_host.ReadStopRecord(text));
    EXPECT_TRUE(m_host.WriteStopRecord(""));
}

TEST(WinOsVersionProviderTest, ReportsTheKernelsVersion) {
    OsVersionInfo version;
    ASSERT_TRUE(WinOsVersionProvider().GetVersion(version));
    EXPECT_EQ(version.family, OsFamily::kWindows);
    EXPECT_GE(version.dwMajorVersion, 5u);
    EXPECT_EQ(version.strRelease.rfind(std::to_string(version.dwMajorVersion) + "." +
                                           std::to_string(version.dwMinorVersion) + ".",
                                       0),
              0u);
}

TEST(QuotedCommandLineTest, KeepsEachArgumentWhole) {
    EXPECT_EQ(QuotedCommandLine("C:\\A B\\x.exe", {}), "\"C:\\A B\\x.exe\"");
    EXPECT_EQ(QuotedCommandLine("x", {"-a", "two words", ""}), "\"x\" -a \"two words\" \"\"");
    EXPECT_EQ(QuotedCommandLine("x", {"say \"hi\"", "C:\\dir name\\"}),
              "\"x\" \"say \\\"hi\\\"\" \"C:\\dir name\\\\\"");
}

}  // namespace
}  // namespace varnel
