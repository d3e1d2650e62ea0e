// "Start downloading": workers created first and released together, the job's log lines, the
// locked controls, and a shutdown that never waits on a worker waiting on the window.
#include <mutex>
#include <set>
#include <thread>

#include "tests/ui/silent_transport.h"
#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

// What each worker saw when it started.
struct WorkerStart {
    PortThreadParam param;
    long sequence;
    int downloadingPorts;
    std::string mainLog;
};

class StartDownloadingTest : public WindowTest {
  protected:
    StartDownloadingTest()
        : WindowTest([this](PortThreadParam& param) {
              const long sequence = FakeDialogView::NextSequence();
              int downloading = 0;
              for (const PortSlot& slot : dlg->m_PortSlot) {
                  downloading += slot.nState == kPortDownloading ? 1 : 0;
              }
              std::lock_guard lock(mutex);
              starts.push_back({param, sequence, downloading, dlg->MainLog()});
          }) {}
    // The workers use this fixture's members: join them before those go.
    ~StartDownloadingTest() override { dlg->Shutdown(); }

    std::vector<WorkerStart> Starts() {
        std::lock_guard lock(mutex);
        return starts;
    }

    std::mutex mutex;
    std::vector<WorkerStart> starts;
};

TEST_F(StartDownloadingTest, FreshWindowHasTheDefaultProfile) {
    EXPECT_EQ(dlg->m_dwLaunchAddress, 0x80028000u);
    EXPECT_EQ(dlg->m_dwRamBase, 0u);
    for (const PortSlot& slot : dlg->m_PortSlot) {
        EXPECT_EQ(slot.nState, 0);
        EXPECT_EQ(slot.nKind, 0);
        EXPECT_EQ(slot.nIndex, 0);
    }
    EXPECT_EQ(dlg->m_nIdlePorts, 8);
}

TEST_F(StartDownloadingTest, AttachedPortsRunOnlyOnceAllExistAndTheControlsAreLocked) {
    for (int port : {0, 2, 5}) {
        Attach(port);
    }
    dlg->m_bWaitingForDevice = 1;
    dlg->m_bEboot = 1;
    dlg->m_bCsc = 1;
    dlg->m_bIntegrated = 1;
    const size_t firstEnable = view.enableCalls.size();

    dlg->OnStartDownloading();
    EXPECT_EQ(dlg->m_nIdlePorts, 5);
    EXPECT_EQ(dlg->m_bWaitingForDevice, 0);
    for (int port : {0, 2, 5}) {
        EXPECT_EQ(dlg->m_PortSlot[port].nState, kPortDownloading);
        EXPECT_EQ(dlg->m_ThreadParam[port].nPort, port);
        EXPECT_EQ(dlg->m_ThreadParam[port].pDlg, dlg.get());
    }
    EXPECT_EQ(dlg->m_PortSlot[1].nState, kPortIdle);
    const std::string downLines =
        "[Down] EBoot Image. \r\n[Down] CSC Image. \r\n[Down] Integrated Image. \r\n";
    EXPECT_EQ(dlg->MainLog(), downLines);
    EXPECT_EQ(view.EnableCallsFrom(firstEnable), JobControlCalls(false));
    const long lastLock = view.enableCalls.back().sequence;

    dlg->Shutdown();  // joins the workers
    const auto seen = Starts();
    ASSERT_EQ(seen.size(), 3u);
    std::set<int> ports;
    for (const WorkerStart& start : seen) {
        ports.insert(start.param.nPort);
        EXPECT_EQ(start.param.pDlg, dlg.get());
        EXPECT_EQ(start.downloadingPorts, 3);
        EXPECT_EQ(start.mainLog, downLines);
        EXPECT_GT(start.sequence, lastLock);
    }
    EXPECT_EQ(ports, (std::set<int>{0, 2, 5}));
}

TEST_F(StartDownloadingTest, DownLinesFollowTheFixedOrderOfKinds) {
    for (int kind = 0; kind < kImageKindCount; ++kind) {
        dlg->SelectedFlag(kind) = 1;
    }
    dlg->OnStartDownloading();
    EXPECT_EQ(dlg->MainLog(),
              "[Down] EBoot Image. \r\n[Down] PDA Image. \r\n[Down] CSC Image. \r\n"
              "[Down] Telvik Image. \r\n[Down] Contents Image. \r\n[Down] Phone Image. \r\n"
              "[Down] SMD Image. \r\n[Down] Integrated Image. \r\n");
}

TEST_F(StartDownloadingTest, WithNoPortAttachedNothingRunsButTheControlsLock) {
    dlg->m_bPda = 1;
    const size_t firstEnable = view.enableCalls.size();
    dlg->OnStartDownloading();
    EXPECT_EQ(dlg->MainLog(), "[Down] PDA Image. \r\n");
    EXPECT_EQ(view.EnableCallsFrom(firstEnable), JobControlCalls(false));
    EXPECT_EQ(dlg->m_nIdlePorts, 8);
    dlg->Shutdown();
    EXPECT_TRUE(Starts().empty());
}

TEST_F(StartDownloadingTest, PressingAgainStartsNothingForRunningPorts) {
    Attach(1);
    dlg->OnStartDownloading();
    dlg->OnStartDownloading();
    EXPECT_EQ(dlg->m_nIdlePorts, 7);
    dlg->Shutdown();
    EXPECT_EQ(Starts().size(), 1u);
}

TEST_F(StartDownloadingTest, PostedStartRunsWhenTheWindowThreadGetsToIt) {
    Attach(3);
    std::thread attach([&] { dlg->PostStartDownloading(); });
    attach.join();
    EXPECT_EQ(dlg->m_PortSlot[3].nState, kPortAttached);
    loop.RunPending();
    EXPECT_EQ(dlg->m_PortSlot[3].nState, kPortDownloading);
}

TEST(StartDownloadingShutdownTest, ShutdownFreesWorkersWaitingOnTheWindowOrTheirDevice) {
    MessageLoop loop;
    FakeDialogView view;
    std::atomic<int> sendsReturned{0};
    std::atomic<int> readsReturned{0};
    std::unique_ptr<CMorvaneDlg> dlg;
    DialogHooks hooks;
    hooks.portWorker = [&](PortThreadParam& param) {
        if (param.nPort == 0) {
            // The window thread never pumps: this report waits until the shutdown.
            dlg->SendDownloadStatus(kStatusRamProgress, StatusParam(0, 5));
            ++sendsReturned;
        } else {
            char reply[4];
            param.pTransport->ReadWait(reply, sizeof reply);
            ++readsReturned;
        }
    };
    dlg = std::make_unique<CMorvaneDlg>(view, loop, hooks);
    dlg->InitDialogState();
    for (int port : {0, 1}) {
        dlg->m_pTransport[port] = std::make_unique<SilentTransport>();
        dlg->m_pTransport[port]->Open(GUID_BOOTLOADER_INTERFACE, nullptr);
        dlg->m_PortSlot[port].nState = kPortAttached;
        ++dlg->m_nDetected;
    }
    dlg->OnStartDownloading();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sendsReturned + readsReturned, 0);

    dlg->Shutdown();
    EXPECT_EQ(sendsReturned, 1);
    EXPECT_EQ(readsReturned, 1);
    EXPECT_TRUE(dlg->StopRequested());
    EXPECT_GE(static_cast<SilentTransport&>(*dlg->m_pTransport[1]).Closes(), 1);
    EXPECT_EQ(view.text[ProgressId(0)], "Waiting for device..");  // the dropped report never drew
}

}  // namespace
}  // namespace varnel::test
