#include "platform/windows/win_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
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

TEST(WinSyncSoftwareHostTest, ServiceManagerQueriesServicesAndReportsAMissingOneByItsCode) {
    WinSyncSoftwareHost host;
    uint32_t error = 0;
    const std::unique_ptr<ServiceManager> manager = host.OpenServiceManager(error);
    ASSERT_NE(manager, nullptr) << error;
    EXPECT_EQ(manager->OpenService(kMissingService, ServiceAccess::kStopQueryEnumerate, error),
              nullptr);
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_SERVICE_DOES_NOT_EXIST));
    // A service the system runs (Wine's too) reads as running.
    const std::unique_ptr<ServiceHandle> running =
        manager->OpenService("PlugPlay", ServiceAccess::kStopQuery, error);
    ASSERT_NE(running, nullptr) << error;
    ServiceStatus status;
    EXPECT_EQ(running->QueryStatus(status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceRunning);

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

constexpr char kChildEvent[] = "VarnelTestChildMayEnd";

// Runs only as the child of the next test, which names the event: waits to be terminated.
TEST(ChildProcessTest, WaitsToBeTerminated) {
    const HANDLE event = ::OpenEventA(SYNCHRONIZE, FALSE, kChildEvent);
    if (event == nullptr) {
        GTEST_SKIP() << "started by the test that terminates it";
    }
    ::WaitForSingleObject(event, 60000);
    ::CloseHandle(event);
}

// The processes running `exeFile`, polled for until there are some (`present`) or none.
std::vector<ProcessEntry> ProcessesOf(WinSyncSoftwareHost& host, const std::string& exeFile,
                                      bool present) {
    std::vector<ProcessEntry> found;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::vector<ProcessEntry> processes;
        host.SnapshotProcesses(processes);
        found.clear();
        std::copy_if(
            processes.begin(), processes.end(), std::back_inserter(found),
            [&](const ProcessEntry& p) { return EqualIgnoringCase(p.strExeFile, exeFile); });
        if (found.empty() != present) {
            break;
        }
        ::Sleep(10);
    }
    return found;
}

TEST(WinSyncSoftwareHostTest, StartedProgramCanBeTerminated) {
    WinSyncSoftwareHost host;
    // A copy of this program under a name of its own, so that no other process is taken for it.
    char self[MAX_PATH] = {};
    char folder[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    ASSERT_GT(::GetTempPathA(MAX_PATH, folder), 0u);
    const std::string exeFile = "varnel_child_" + std::to_string(::GetCurrentProcessId()) + ".exe";
    const std::string copy = std::string(folder) + exeFile;
    ASSERT_TRUE(::CopyFileA(self, copy.c_str(), FALSE));
    const HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, kChildEvent);
    ASSERT_NE(event, nullptr);

    ASSERT_TRUE(host.StartProgram(copy, {"--gtest_filter=ChildProcessTest.*"}));
    const std::vector<ProcessEntry> children = ProcessesOf(host, exeFile, true);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(host.TerminateProcess(children[0]));
    EXPECT_TRUE(ProcessesOf(host, exeFile, false).empty());

    ::SetEvent(event);
    ::CloseHandle(event);
    ::DeleteFileA(copy.c_str());
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
    // Only the record's own key is volatile: a lasting key can be made beside it.
    HKEY lasting = nullptr;
    ASSERT_EQ(
        ::RegCreateKeyExA(HKEY_CURRENT_USER, (std::string(kRoot) + "\\Settings").c_str(), 0,
                          nullptr, REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, &lasting, nullptr),
        ERROR_SUCCESS);
    ::RegCloseKey(lasting);
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
