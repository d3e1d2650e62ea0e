#include "platform/linux/linux_host.h"
#include "app/startup_decisions.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/sync_software_control.h"
#include "fake_sync_host.h"
#include "platform/linux/linux_command.h"

extern char** environ;

namespace varnel::testing {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// A private directory removed at the end of the test.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "varnel-sync-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

pid_t Spawn(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0 ? pid : -1;
}

// The processes of that name, waiting up to two seconds for one to appear: a process that has
// just been started shows its command line a moment after its kernel name.
std::vector<ProcessEntry> Named(LinuxSyncSoftwareHost& host, const std::string& name) {
    std::vector<ProcessEntry> found;
    for (int poll = 0; poll < 100 && found.empty(); ++poll) {
        if (poll > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::vector<ProcessEntry> all;
        EXPECT_TRUE(host.SnapshotProcesses(all));
        for (const ProcessEntry& entry : all) {
            if (entry.strExeFile == name) {
                found.push_back(entry);
            }
        }
    }
    return found;
}

TEST(LinuxHostTest, UnitStatusFromTheManagersPropertiesAndUnitNames) {
    ServiceStatus status;
    EXPECT_EQ(UnitStatus({"loaded", "active", 0, {}, {}}, 3000, status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceRunning);
    EXPECT_EQ(status.dwWaitHint, 0u);
    EXPECT_EQ(UnitStatus({"loaded", "deactivating", 0, {}, {}}, 2500, status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceStopPending);
    EXPECT_EQ(status.dwWaitHint, 2500u);
    EXPECT_EQ(UnitStatus({"loaded", "failed", 217, {}, {}}, 3000, status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceStopped);
    EXPECT_EQ(status.dwWin32ExitCode, 217u);
    EXPECT_EQ(UnitStatus({"not-found", "inactive", 0, {}, {}}, 3000, status), uint32_t{ENOENT});
    EXPECT_EQ(UnitStatus({"loaded", "", 0, {}, {}}, 3000, status), uint32_t{EPROTO});

    EXPECT_TRUE(IsValidUnitName("ModemManager.service"));
    EXPECT_TRUE(IsValidUnitName("getty@tty1.service"));
    EXPECT_FALSE(IsValidUnitName(""));
    EXPECT_FALSE(IsValidUnitName("--host=elsewhere"));
    EXPECT_FALSE(IsValidUnitName("a b.service"));
    EXPECT_FALSE(IsValidUnitName("x;reboot"));
}

// systemd's manager as the bus shows it: jobs run at once, every call is recorded.
class FakeSystemdBus final : public SystemdBus {
  public:
    std::map<std::string, UnitProperties> units;
    Lines calls;
    uint32_t stopError = 0;

    uint32_t ReadUnit(const std::string& unit, UnitProperties& properties) override {
        const auto found = units.find(unit);
        properties = found != units.end() ? found->second
                                          : UnitProperties{"not-found", "inactive", 0, {}, {}};
        return 0;
    }
    uint32_t StartUnit(const std::string& unit) override {
        calls.push_back("start " + unit);
        units[unit].strActiveState = "active";
        return 0;
    }
    uint32_t StopUnit(const std::string& unit) override {
        calls.push_back("stop " + unit);
        if (stopError == 0) {
            units[unit].strActiveState = "inactive";
        }
        return stopError;
    }
};

TEST(LinuxHostTest, ServicePathStopsAndStartsTheUnitsOverTheBus) {
    auto bus = std::make_shared<FakeSystemdBus>();
    bus->units["ModemManager.service"] = {"loaded", "active", 0, {}, {}};
    LinuxSyncSoftwareHost host;
    host.UseSystemdBus(bus);
    FakeClock clock;
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control(host, log, debug, clock, LinuxSyncSoftwareNames());
    control.SetVistaOrLater(1);
    control.StopSyncSoftware();
    EXPECT_EQ(bus->calls, Lines{"stop ModemManager.service"});
    EXPECT_EQ(bus->units["ModemManager.service"].strActiveState, "inactive");

    control.RestoreStopped();
    EXPECT_EQ(bus->calls, (Lines{"stop ModemManager.service", "start ModemManager.service",
                                 "start ModemManager.service"}));
    EXPECT_EQ(bus->units["ModemManager.service"].strActiveState, "active");
}

TEST(LinuxHostTest, AUnitThatMayNotBeStoppedIsLoggedAndNotStartedAgain) {
    auto bus = std::make_shared<FakeSystemdBus>();
    bus->units["ModemManager.service"] = {"loaded", "active", 0, {}, {}};
    bus->stopError = EACCES;
    LinuxSyncSoftwareHost host;
    host.UseSystemdBus(bus);
    FakeClock clock;
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control(host, log, debug, clock, LinuxSyncSoftwareNames());
    control.SetVistaOrLater(1);
    control.StopSyncSoftware();
    EXPECT_EQ(log.Entries(), Lines{FormatEntry("ControlService failed (%d)\r\n", EACCES)});
    control.RestoreStopped();
    EXPECT_EQ(bus->calls, (Lines{"stop ModemManager.service", "stop ModemManager.service"}));
}

TEST(LinuxHostTest, VersionStandsForTheTransportAndNamesTheKernel) {
    std::ifstream releaseFile("/proc/sys/kernel/osrelease");
    std::string release;
    std::getline(releaseFile, release);

    OsVersionInfo version;
    ASSERT_TRUE(LinuxOsVersionProvider(LinuxTransport::kLibusb).GetVersion(version));
    EXPECT_EQ(version.family, OsFamily::kLinux);
    EXPECT_EQ(version.dwMajorVersion, 6u);
    EXPECT_EQ(version.strRelease, release);
    ASSERT_TRUE(LinuxOsVersionProvider(LinuxTransport::kTty).GetVersion(version));
    EXPECT_EQ(version.dwMajorVersion, 5u);
    EXPECT_EQ(FormatOsSetupLine(version, 0), "[Setup] Linux " + release + " \r\n");
}

TEST(LinuxHostTest, AProgramThatCannotBeExecutedIsNotStarted) {
    EXPECT_FALSE(StartDetached("/nonexistent/varnel-program"));
}

// The one process of that name once its command line can be read, waiting up to 30 s: until
// then the walk records no path to start it again from, and a loaded machine can take seconds.
std::vector<ProcessEntry> StartedWithCommandLine(LinuxSyncSoftwareHost& host,
                                                 const std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<ProcessEntry> found = Named(host, name);
    while ((found.size() != 1 || found[0].strExePath.empty()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        found = Named(host, name);
    }
    return found;
}

TEST(LinuxHostTest, ProcessWalkFindsAndTerminatesOnlyTheProcessItSaw) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    // Longer than the kernel keeps: the name comes from the command line.
    const std::string name = "varnel-sync-probe-" + std::to_string(getpid());
    const std::string program = dir.path() + "/" + name;
    fs::copy_file("/bin/sleep", program);
    const pid_t child = Spawn({program, "30"});
    ASSERT_GT(child, 0);

    LinuxSyncSoftwareHost host;
    const std::vector<ProcessEntry> found = Named(host, name);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].id, static_cast<uint64_t>(child));

    EXPECT_FALSE(host.TerminateProcess({found[0].id, "someone-else"}));
    EXPECT_EQ(kill(child, 0), 0);
    EXPECT_TRUE(host.TerminateProcess(found[0]));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_FALSE(host.TerminateProcess(found[0]));
}

TEST(LinuxHostTest, AnEndedProcessNotYetWaitedForIsNotOffered) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string name = "vz" + std::to_string(getpid());
    fs::copy_file("/bin/true", dir.path() + "/" + name);
    const pid_t child = Spawn({dir.path() + "/" + name});
    ASSERT_GT(child, 0);
    siginfo_t ended{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);

    LinuxSyncSoftwareHost host;
    std::vector<ProcessEntry> all;
    ASSERT_TRUE(host.SnapshotProcesses(all));
    EXPECT_TRUE(std::none_of(all.begin(), all.end(),
                             [&](const ProcessEntry& entry) { return entry.strExeFile == name; }));
    EXPECT_FALSE(host.TerminateProcess({static_cast<uint64_t>(child), name}));
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
}

TEST(LinuxHostTest, ProcessPathStopsAndStartsTheProgramAgain) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string name = "vsync" + std::to_string(getpid());
    const std::string program = dir.path() + "/" + name;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        // Waits in the shell itself (opening a FIFO nobody writes), so no child shares its name.
        std::ofstream script(program);
        script << "#!/bin/sh\nread line < " << fifo << "\n";
    }
    fs::permissions(program, fs::perms::owner_all);
    const pid_t child = Spawn({program});
    ASSERT_GT(child, 0);

    LinuxSyncSoftwareHost host(dir.path());
    // Whatever fails below, no instance of the program outlives the test.
    struct Reaper {
        LinuxSyncSoftwareHost& host;
        const std::string& name;
        ~Reaper() {
            std::vector<ProcessEntry> all;
            host.SnapshotProcesses(all);
            for (const ProcessEntry& entry : all) {
                if (entry.strExeFile == name) {
                    host.TerminateProcess(entry);
                }
            }
        }
    } reaper{host, name};
    ASSERT_EQ(Named(host, name).size(), 1u);
    FakeClock clock;
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control(host, log, debug, clock,
                                LinuxSyncSoftwareNames("varnel-none.service", name));
    g_bMgrKilled = 0;
    g_bCommKilled = 0;
    control.StopSyncSoftware();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(g_bMgrKilled, 1);
    EXPECT_EQ(g_szMgrExe.Get(), name);

    control.RestartSyncSoftware();
    EXPECT_EQ(debug.Lines(), (Lines{FormatEntry("VSYNC%d to kill\r\n", static_cast<int>(getpid())),
                                    "kill OK\r\n"}));
    const std::vector<ProcessEntry> restarted = Named(host, name);
    ASSERT_EQ(restarted.size(), 1u);
    EXPECT_NE(restarted[0].id, static_cast<uint64_t>(child));
    EXPECT_TRUE(host.TerminateProcess(restarted[0]));
}

TEST(LinuxHostTest, ProcessPathMatchesTheWholeNameAndRestartsWithTheSameArguments) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string name = "vsl" + std::to_string(getpid());
    fs::copy_file("/bin/sleep", dir.path() + "/" + name);
    fs::copy_file("/bin/sleep", dir.path() + "/" + name + "x");
    const pid_t longer = Spawn({dir.path() + "/" + name + "x", "30"});
    const pid_t child = Spawn({dir.path() + "/" + name, "31"});
    ASSERT_GT(longer, 0);
    ASSERT_GT(child, 0);
    LinuxSyncSoftwareHost host("/nonexistent");
    struct Reaper {
        std::vector<pid_t> pids;
        ~Reaper() {
            for (const pid_t pid : pids) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } reaper{{longer, child}};
    ASSERT_EQ(StartedWithCommandLine(host, name).size(), 1u);

    FakeClock clock;
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control(host, log, debug, clock,
                                LinuxSyncSoftwareNames("varnel-none.service", name));
    g_bMgrKilled = 0;
    control.StopSyncSoftware();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(kill(longer, 0), 0) << "a name that only starts with the program's is not it";

    control.RestartSyncSoftware();
    // The start does not wait for the program to run.
    const std::vector<ProcessEntry> restarted = StartedWithCommandLine(host, name);
    ASSERT_EQ(restarted.size(), 1u);
    EXPECT_EQ(restarted[0].strExePath, dir.path() + "/" + name);
    EXPECT_EQ(restarted[0].arguments, Lines{"31"});
    EXPECT_TRUE(host.TerminateProcess(restarted[0]));
}

TEST(LinuxHostTest, StopRecordIsWrittenWholeAndOnlyATrustedOneIsRead) {
    ScratchDir dir;
    const std::string path = dir.path() + "/run/record";
    LinuxSyncSoftwareHost host("/usr/sbin", 3000, path);
    std::string text;
    EXPECT_FALSE(host.ReadStopRecord(text));
    ASSERT_TRUE(host.WriteStopRecord("service\tModemManager.service\n"));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(host.ReadStopRecord(text));
    EXPECT_EQ(text, "service\tModemManager.service\n");

    fs::permissions(path, fs::perms::others_write, fs::perm_options::add);
    EXPECT_FALSE(host.ReadStopRecord(text));
    ASSERT_TRUE(host.WriteStopRecord(""));
    EXPECT_FALSE(fs::exists(path));
    fs::create_symlink("/etc/hostname", path);
    EXPECT_FALSE(host.ReadStopRecord(text));
}

TEST(LinuxHostTest, WithoutSystemdTheServicePathOnlyLogs) {
    if (SystemdRunning()) {
        GTEST_SKIP() << "systemd runs here; this checks the path taken without it";
    }
    LinuxSyncSoftwareHost host;
    FakeClock clock;
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control(host, log, debug, clock, LinuxSyncSoftwareNames());
    control.SetVistaOrLater(1);
    control.StopSyncSoftware();
    EXPECT_EQ(log.Entries(), Lines{FormatEntry("OpenSCManager failed (%d)\r\n", EHOSTDOWN)});
    control.RestartSyncSoftware();
    EXPECT_EQ(log.Entries().size(), 1u);
}

TEST(LinuxHostTest, RealSystemdUnitsAreQueried) {
    if (!SystemdRunning()) {
        GTEST_SKIP() << "no running systemd on this machine (/run/systemd/system is missing)";
    }
    LinuxSyncSoftwareHost host;
    uint32_t error = 0;
    const auto manager = host.OpenServiceManager(error);
    ASSERT_NE(manager, nullptr) << error;
    const auto journal =
        manager->OpenService("systemd-journald.service", ServiceAccess::kStopQuery, error);
    ASSERT_NE(journal, nullptr) << error;
    ServiceStatus status;
    EXPECT_EQ(journal->QueryStatus(status), 0u);
    EXPECT_EQ(status.dwCurrentState, kServiceRunning);
    EXPECT_EQ(manager->OpenService("varnel-no-such-unit.service", ServiceAccess::kAll, error),
              nullptr);
    EXPECT_EQ(error, uint32_t{ENOENT});
}

}  // namespace
}  // namespace varnel::testing
