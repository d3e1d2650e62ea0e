#include "app/sync_software_control.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/bench_application.h"
#include "fake_sync_host.h"
#include "sim/sim_bus.h"
#include "tests/ui/fake_dialog_view.h"

namespace varnel::testing {
namespace {

using Lines = std::vector<std::string>;

class SyncControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_bMgrKilled = 0;
        g_bCommKilled = 0;
        g_szMgrExe.Set("");
        g_szCommExe.Set("");
    }

    FakeService& Main() { return host.services["WcesComm"]; }
    // A stop through the service path, with the log cleared afterwards when asked.
    void StopServices() {
        control.SetVistaOrLater(1);
        control.StopSyncSoftware();
    }
    Lines LogSince(size_t first) {
        const Lines all = log.Entries();
        return Lines(all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())),
                     all.end());
    }

    FakeClock clock;
    FakeSyncHost host{clock};
    RecordingLog log;
    RecordingDebug debug;
    SyncSoftwareControl control{host, log, debug, clock};
};

TEST_F(SyncControlTest, AlreadyStoppedServiceLogsOneLineAndIsNotStartedAgain) {
    Main().state = kServiceStopped;
    StopServices();
    EXPECT_EQ(host.netCommands, Lines{"stop wcescomm"});
    EXPECT_EQ(g_bMgrKilled, 1);
    EXPECT_EQ(g_bCommKilled, 1);
    EXPECT_EQ(log.Entries(),
              Lines{"Service is already stopped. So I will NOT Re-start the service...\r\n"});
    EXPECT_EQ(host.StopControls("WcesComm"), 0);

    control.RestartSyncSoftware();
    EXPECT_EQ(host.netCommands, Lines{"stop wcescomm"});
    EXPECT_EQ(log.Entries().size(), 1u);
    EXPECT_EQ(host.Starts("WcesComm"), 0);
}

TEST_F(SyncControlTest, StopControlThenWaitForStoppedAndRestartOnlyThatService) {
    Main().stopTakesMs = 2500;
    Main().waitHint = 1000;
    host.services["RapiMgr"].state = kServiceStopped;
    StopServices();
    EXPECT_EQ(log.Entries(), Lines{"Service stopped successfully\r\n"});
    EXPECT_EQ(host.StopControls("WcesComm"), 1);
    EXPECT_EQ(clock.TotalSlept(), 3000u);

    control.RestartSyncSoftware();
    EXPECT_EQ(host.netCommands, (Lines{"stop wcescomm", "start wcescomm"}));
    EXPECT_EQ(LogSince(1), (Lines{"+++DoStartSvc\r\n", "Service started successfully.\r\n"}));
    EXPECT_EQ(host.Starts("RapiMgr"), 0);
    EXPECT_EQ(g_bMgrKilled, 0);

    // Started again: a second close request has nothing left to start.
    control.RestartSyncSoftware();
    EXPECT_EQ(host.Starts("WcesComm"), 1);
    EXPECT_EQ(host.netCommands.size(), 2u);
}

TEST_F(SyncControlTest, NetCommandThatStopsFirstStillCountsAsStoppedByTheTool) {
    Main().state = kServiceRunning;
    host.netStopActsAtOnce = true;
    StopServices();
    EXPECT_EQ(log.Entries(),
              Lines{"Service is already stopped. So I will NOT Re-start the service...\r\n"});
    control.RestartSyncSoftware();
    EXPECT_EQ(host.netCommands.back(), "start wcescomm");
    EXPECT_EQ(host.Starts("WcesComm"), 1);
}

TEST_F(SyncControlTest, StopPendingThenStoppedSendsNoControlAndIsNotOurs) {
    host.BeginStopping("WcesComm", 1500);
    Main().waitHint = 1000;
    StopServices();
    EXPECT_EQ(log.Entries(), (Lines{"Service stop pending...\r\n", "Service stop pending...\r\n",
                                    "Service stopped successfully.\r\n"}));
    EXPECT_EQ(host.StopControls("WcesComm"), 0);
    control.RestartSyncSoftware();
    EXPECT_EQ(host.Starts("WcesComm"), 0);
}

TEST_F(SyncControlTest, StopPendingForeverTimesOutAfterThirtySeconds) {
    host.BeginStopping("WcesComm", kNever);
    Main().waitHint = 5000;
    control.DoStopSvc();
    const Lines entries = log.Entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.back(), "Service stop timed out.\r\n");
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "Service stop pending...\r\n"),
              static_cast<std::ptrdiff_t>(entries.size() - 1));
    EXPECT_GT(clock.TickCount(), SyncSoftwareControl::kStopLimitMs);
    EXPECT_LE(clock.TickCount(), SyncSoftwareControl::kStopLimitMs + 200);
    EXPECT_EQ(host.StopControls("WcesComm"), 0);
}

TEST_F(SyncControlTest, NoStopAfterTheControlTimesOutWhateverTheWaitHint) {
    for (const uint32_t hint : {4000u, 0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(hint);
        FakeClock localClock;
        FakeSyncHost localHost{localClock};
        RecordingLog localLog;
        SyncSoftwareControl localControl{localHost, localLog, debug, localClock};
        localHost.services["WcesComm"].stopTakesMs = kNever;
        localHost.services["WcesComm"].waitHint = hint;
        localControl.DoStopSvc();
        EXPECT_EQ(localLog.Entries(), Lines{"Wait timed out\r\n"});
        EXPECT_GT(localClock.TickCount(), SyncSoftwareControl::kStopLimitMs);
        EXPECT_LE(localClock.TickCount(), SyncSoftwareControl::kStopLimitMs + 200);
    }
}

TEST_F(SyncControlTest, EachServiceFailureIsLoggedWithItsCode) {
    struct Case {
        void (*script)(FakeSyncHost&);
        const char* line;
    };
    const Case cases[] = {
        {[](FakeSyncHost& h) { h.managerError = 5; }, "OpenSCManager failed (5)\r\n"},
        {[](FakeSyncHost& h) { h.services["WcesComm"].openError = 1060; },
         "OpenService failed (1060)\r\n"},
        {[](FakeSyncHost& h) { h.services["WcesComm"].queryError = 6; },
         "QueryServiceStatusEx failed (6)\r\n"},
        {[](FakeSyncHost& h) { h.services["WcesComm"].controlError = 1051; },
         "ControlService failed (1051)\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        FakeSyncHost localHost{clock};
        localHost.services["WcesComm"];
        c.script(localHost);
        RecordingLog localLog;
        SyncSoftwareControl localControl{localHost, localLog, debug, clock};
        localControl.SetVistaOrLater(1);
        localControl.StopSyncSoftware();
        EXPECT_EQ(localLog.Entries(), Lines{c.line});
        // Still running or never reached: nothing to start again.
        localControl.RestartSyncSoftware();
        EXPECT_EQ(localHost.Starts("WcesComm"), 0);
        EXPECT_EQ(localHost.netCommands, Lines{"stop wcescomm"});
    }
}

TEST_F(SyncControlTest, DependentsStopFirstAndOnlyTheCompanionIsStartedAgain) {
    Main().dependents = {"RapiMgr", "Other", "Idle"};
    host.services["RapiMgr"].stopTakesMs = 1200;
    host.services["Other"].stopTakesMs = 800;
    host.services["Idle"].state = kServiceStopped;
    StopServices();
    EXPECT_EQ(host.events, (Lines{"stop RapiMgr", "stop Other", "stop WcesComm"}));
    EXPECT_EQ(log.Entries(), Lines{"Service stopped successfully\r\n"});

    control.RestartSyncSoftware();
    EXPECT_EQ(host.events, (Lines{"stop RapiMgr", "stop Other", "stop WcesComm", "start RapiMgr",
                                  "start WcesComm"}));
}

TEST_F(SyncControlTest, FailingDependentDoesNotKeepTheServiceFromStopping) {
    Main().dependents = {"Broken", "Later"};
    host.services["Broken"].openError = 5;
    host.services["Later"];
    StopServices();
    EXPECT_EQ(host.events, Lines{"stop WcesComm"});
    EXPECT_EQ(log.Entries(), Lines{"Service stopped successfully\r\n"});

    FakeSyncHost stuckHost{clock};
    stuckHost.services["WcesComm"].dependents = {"Stuck"};
    stuckHost.services["Stuck"].stopTakesMs = kNever;
    uint32_t error = 0;
    auto manager = stuckHost.OpenServiceManager(error);
    auto service = manager->OpenService("WcesComm", ServiceAccess::kStopQueryEnumerate, error);
    const uint64_t before = clock.TickCount();
    EXPECT_FALSE(control.StopDependentServices(*manager, *service));
    EXPECT_GT(clock.TickCount() - before, SyncSoftwareControl::kStopLimitMs);
    EXPECT_LE(clock.TickCount() - before, SyncSoftwareControl::kStopLimitMs + 200);
}

TEST_F(SyncControlTest, StartPendingWaitsWhileTheCheckPointGrows) {
    Main().state = kServiceStopped;
    Main().startTakesMs = 20000;
    Main().waitHint = 2000;  // a tenth is below the floor: pauses of 1000 ms
    control.DoStartSvc(SyncService::kMainService);
    EXPECT_EQ(log.Entries(), (Lines{"+++DoStartSvc\r\n", "Service started successfully.\r\n"}));
    EXPECT_EQ(clock.TotalSlept(), 20000u);
}

TEST_F(SyncControlTest, StuckCheckPointGivesUpAfterTheWaitHint) {
    Main().state = kServiceStopped;
    Main().startTakesMs = kNever;
    Main().checkPointGrows = false;
    Main().waitHint = 3000;
    control.DoStartSvc(SyncService::kMainService);
    EXPECT_EQ(log.Entries(),
              (Lines{"+++DoStartSvc\r\n", "Service not started. \r\n", "  Current State: 2\r\n",
                     "  Exit Code: 0\r\n", "  Check Point: 1\r\n", "  Wait Hint: 3000\r\n"}));
    EXPECT_EQ(clock.TotalSlept(), 4000u);

    // A long hint is waited out in pauses of at most ten seconds.
    FakeClock longClock;
    FakeSyncHost longHost{longClock};
    longHost.services["WcesComm"] = Main();
    longHost.services["WcesComm"].state = kServiceStopped;
    longHost.services["WcesComm"].waitHint = 200000;
    SyncSoftwareControl longControl{longHost, log, debug, longClock};
    longControl.DoStartSvc(SyncService::kMainService);
    EXPECT_EQ(longClock.TotalSlept(), 210000u);
}

TEST_F(SyncControlTest, StartFailuresAreLogged) {
    host.services["RapiMgr"].state = kServiceStopped;
    host.services["RapiMgr"].startError = 1058;
    control.DoStartSvc(SyncService::kCompanionService);
    EXPECT_EQ(log.Entries(), (Lines{"+++DoStartSvc\r\n", "StartService failed (1058)\r\n"}));

    Main().state = kServiceStopped;
    Main().startTakesMs = 1500;
    Main().startEndsIn = kServiceStopped;
    Main().exitCode = 1067;
    control.DoStartSvc(SyncService::kMainService);
    EXPECT_EQ(LogSince(2),
              (Lines{"+++DoStartSvc\r\n", "Service not started. \r\n", "  Current State: 1\r\n",
                     "  Exit Code: 1067\r\n", "  Check Point: 0\r\n", "  Wait Hint: 1000\r\n"}));

    host.services.erase("WcesComm");
    control.DoStartSvc(SyncService::kMainService);
    EXPECT_EQ(LogSince(8), (Lines{"+++DoStartSvc\r\n", "OpenService failed (1060)\r\n"}));
}

class SyncProgramsTest : public SyncControlTest {
  protected:
    void SetProcesses(std::vector<ProcessEntry> processes) { host.processes = processes; }
};

TEST_F(SyncProgramsTest, NeitherProgramRunningChangesNothing) {
    SetProcesses({{4, "System"}, {100, "explorer.exe"}});
    control.StopSyncSoftware();
    EXPECT_EQ(g_bMgrKilled, 0);
    EXPECT_EQ(g_bCommKilled, 0);
    EXPECT_TRUE(host.terminated.empty());
    control.RestartSyncSoftware();
    EXPECT_TRUE(host.startedPrograms.empty());
    EXPECT_TRUE(debug.Lines().empty());
    EXPECT_TRUE(host.netCommands.empty());
}

TEST_F(SyncProgramsTest, OnlyCommRunningIsKilledAndStartedAgainByItsReportedName) {
    SetProcesses({{100, "explorer.exe"}, {200, "wcescomm.exe"}, {300, "notepad.exe"}});
    control.StopSyncSoftware();
    EXPECT_EQ(g_bMgrKilled, 0);
    EXPECT_EQ(g_bCommKilled, 1);
    EXPECT_EQ(g_szCommExe.Get(), "wcescomm.exe");
    EXPECT_EQ(host.terminated, std::vector<uint64_t>{200});
    EXPECT_EQ(debug.Lines(), (Lines{"WCESCOMM.EXE to kill\r\n", "kill OK\r\n"}));

    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms, Lines{"C:\\Program Files\\Sync\\wcescomm.exe"});
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms.size(), 1u);
}

TEST_F(SyncProgramsTest, BothRunningEndsTheWalkOnceBothAreKilled) {
    SetProcesses({{10, "WCESMGR.EXE"}, {20, "a.exe"}, {30, "WCESCOMM.EXE"}, {40, "wcesmgr.exe"}});
    control.StopSyncSoftware();
    EXPECT_EQ(host.terminated, (std::vector<uint64_t>{10, 30}));
    EXPECT_EQ(debug.Lines(), (Lines{"WCESMGR.EXE to kill\r\n", "kill OK\r\n",
                                    "WCESCOMM.EXE to kill\r\n", "kill OK\r\n"}));
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms, (Lines{"C:\\Program Files\\Sync\\WCESMGR.EXE",
                                           "C:\\Program Files\\Sync\\WCESCOMM.EXE"}));
}

TEST_F(SyncProgramsTest, OnlyTheWholeNameMatchesAndTheProgramRestartsAsItWasStarted) {
    ProcessEntry manager{10, "WCESMGR.EXE", "D:\\Sync\\WCESMGR.EXE", {"-q", "two words"}};
    SetProcesses({{5, "OLDWCESMGR.EXE"}, {6, "WCESMGR.EXE.BAK"}, manager});
    control.StopSyncSoftware();
    EXPECT_EQ(host.terminated, std::vector<uint64_t>{10});
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms, Lines{"D:\\Sync\\WCESMGR.EXE -q two words"});
}

TEST_F(SyncProgramsTest, WhatARunThatDiedLeftStoppedIsStartedByTheNextStart) {
    SetProcesses({{10, "WCESMGR.EXE", "D:\\Sync\\WCESMGR.EXE", {"a\tb%c", ""}}});
    Main().state = kServiceRunning;
    control.StopSyncSoftware();
    StopServices();
    ASSERT_FALSE(host.stopRecord.empty());

    // The process dies here; the record outlives it, and the next run starts what it names.
    SyncSoftwareControl next{host, log, debug, clock};
    next.RestoreStopRecord();
    EXPECT_EQ(host.startedPrograms, Lines{"D:\\Sync\\WCESMGR.EXE a\tb%c "});
    EXPECT_EQ(host.Starts("WcesComm"), 1);
    EXPECT_EQ(host.stopRecord, "");
    next.RestoreStopped();
    EXPECT_EQ(host.startedPrograms.size(), 1u);
}

TEST_F(SyncProgramsTest, ARecordNamingAnotherProgramStartsNothing) {
    host.stopRecord =
        "program\tmgr\tsh\t/bin/sh\t-c\treboot\n"
        "program\tmgr\tWCESMGR.EXE\t/tmp/evil\n"
        "program\tmgr\tWCESMGR.EXE\tD:\\x\\WCESMGR.EXE\t%4\n"
        "garbage\n";
    control.RestoreStopRecord();
    EXPECT_TRUE(host.startedPrograms.empty());
}

TEST_F(SyncProgramsTest, ProgramThatCouldNotBeKilledIsNotStartedAgain) {
    SetProcesses({{10, "WCESMGR.EXE"}, {30, "WCESCOMM.EXE"}});
    host.unkillable = {30};
    control.StopSyncSoftware();
    EXPECT_EQ(g_bCommKilled, 0);
    EXPECT_EQ(debug.Lines(),
              (Lines{"WCESMGR.EXE to kill\r\n", "kill OK\r\n", "WCESCOMM.EXE to kill\r\n"}));
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms, Lines{"C:\\Program Files\\Sync\\WCESMGR.EXE"});
}

TEST_F(SyncProgramsTest, RestartFailuresGoToTheDebugOutput) {
    struct Case {
        InstallDirRead read;
        bool startFails;
        Lines lines;
    };
    const Case cases[] = {
        {InstallDirRead::kKeyFailed,
         false,
         {"FAILED Create Registry\r\n", "FAILED Create Process1\r\n",
          "FAILED Create Process2\r\n"}},
        {InstallDirRead::kValueFailed,
         false,
         {"FAILED get InstalledDir\r\n", "FAILED Create Process1\r\n",
          "FAILED Create Process2\r\n"}},
        {InstallDirRead::kRead, true, {"FAILED Create Process1\r\n", "FAILED Create Process2\r\n"}},
    };
    for (const Case& c : cases) {
        FakeSyncHost localHost{clock};
        localHost.processes = {{10, "WCESMGR.EXE"}, {30, "WCESCOMM.EXE"}};
        localHost.installDirRead = c.read;
        localHost.startProgramFails = c.startFails;
        RecordingDebug localDebug;
        SyncSoftwareControl localControl{localHost, log, localDebug, clock};
        localControl.StopSyncSoftware();
        const size_t stopLines = localDebug.Lines().size();
        localControl.RestartSyncSoftware();
        const Lines all = localDebug.Lines();
        EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(stopLines), all.end()), c.lines);
        EXPECT_TRUE(localHost.startedPrograms.empty());
    }
}

TEST_F(SyncProgramsTest, ReattachFlagsAreSavedAndRestoredButKillsStayRecorded) {
    SetProcesses({{10, "WCESMGR.EXE"}});
    control.StopSyncSoftware();
    const KilledFlags saved = control.SaveKilledFlags();
    EXPECT_EQ(saved.bMgrKilled, 1);
    EXPECT_EQ(saved.bCommKilled, 0);

    host.processes = {{30, "WCESCOMM.EXE"}};
    control.ClearKilledFlags();
    EXPECT_EQ(g_bMgrKilled, 0);
    control.StopSyncSoftware();
    EXPECT_EQ(g_bCommKilled, 1);
    control.RestoreKilledFlags(saved);
    EXPECT_EQ(g_bMgrKilled, 1);
    EXPECT_EQ(g_bCommKilled, 0);
    // The restore forgets the kill inside the loop; the restart does not.
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms.size(), 2u);
    EXPECT_EQ(g_bMgrKilled, 0);
}

TEST_F(SyncProgramsTest, ConcurrentReattachesLoseNoKill) {
    SetProcesses({{10, "WCESMGR.EXE"}, {30, "WCESCOMM.EXE"}});
    auto reattach = [&] {
        for (int attempt = 0; attempt < 50; ++attempt) {
            const KilledFlags saved = control.SaveKilledFlags();
            control.ClearKilledFlags();
            control.StopSyncSoftware();
            control.RestoreKilledFlags(saved);
        }
    };
    std::thread first(reattach);
    std::thread second(reattach);
    first.join();
    second.join();
    EXPECT_EQ(host.terminated.size(), 2u);
    control.RestartSyncSoftware();
    EXPECT_EQ(host.startedPrograms.size(), 2u);
}

// The bench application leaves the host as it found it, whichever way it ends.
class BenchSyncTest : public SyncControlTest {
  protected:
    BenchSyncTest() {
        // Whichever path this host takes, systemd or the process walk, it finds something.
        host.processes = {{7, "ModemManager", "/usr/sbin/ModemManager", {"--debug"}}};
        host.services["ModemManager.service"];
    }
    BenchSetup BenchWithFakeHost() {
        BenchSetup setup = SimulatedBenchSetup(bus, clock);
        setup.bControlSyncSoftware = true;
        setup.syncHost = &host;
        return setup;
    }
    int Restarts() {
        return static_cast<int>(host.startedPrograms.size()) + host.Starts("ModemManager.service");
    }

    SimBus bus{clock};
    MessageLoop loop;
    test::FakeDialogView view;
};

TEST_F(BenchSyncTest, WhatTheBenchStoppedIsStartedAgainWhenItGoesAway) {
    {
        BenchApplication app(view, loop, BenchWithFakeHost());
        ASSERT_TRUE(app.Start());
        EXPECT_FALSE(host.stopRecord.empty());
        EXPECT_EQ(Restarts(), 0);
    }
    EXPECT_EQ(Restarts(), 1);
    EXPECT_EQ(host.stopRecord, "");
}

TEST_F(BenchSyncTest, ARecordLeftByARunThatDiedIsRestoredEvenWhenStartUpFails) {
    host.processes.clear();
    host.stopRecord = "program\tmgr\tModemManager\tC:\\MM\\ModemManager\t--debug\n";
    BenchSetup setup = BenchWithFakeHost();
    setup.registerDevices = [](DeviceEventListener&, uint32_t& error) {
        error = 5;
        return false;
    };
    BenchApplication app(view, loop, setup);
    EXPECT_FALSE(app.Start());
    EXPECT_EQ(host.startedPrograms, Lines{"C:\\MM\\ModemManager --debug"});
    EXPECT_EQ(host.stopRecord, "");
}

}  // namespace
}  // namespace varnel::testing
