// The window's handling of a port's status reports: bar, text, caption, slot state, counters and
// the all-finished state.
#include <thread>

#include "tests/ui/window_fixture.h"

namespace varnel::test {
namespace {

using StatusTest = WindowTest;

TEST_F(StatusTest, ReconnectCountsUpToTwentyThenSucceeds) {
    Attach(0);
    Report(0, kStatusReconnect, 19);
    EXPECT_EQ(BarPos(0), 95);
    EXPECT_EQ(BarText(0), "Reconnect Waiting(19)");
    Report(0, kStatusReconnect, 20);
    EXPECT_EQ(BarPos(0), 100);
    EXPECT_EQ(BarText(0), "Reconnect Success");
    Report(0, kStatusReconnect, 1);
    Report(0, kStatusReconnect, 100);
    EXPECT_EQ(BarPos(0), 100);
    EXPECT_EQ(BarText(0), "Reconnect Success");
}

TEST_F(StatusTest, RamProgressIsClampedAndNamedByKind) {
    Attach(1);
    dlg->m_PortSlot[1].nKind = kKindPda;
    Report(1, kStatusRamProgress, 150);
    EXPECT_EQ(BarPos(1), 100);
    EXPECT_EQ(BarText(1), "Downloading PDA IMG to RAM... 100%");

    dlg->m_PortSlot[1].nKind = kKindTelvik;
    Report(1, kStatusRamProgress, 42);
    EXPECT_EQ(BarPos(1), 42);
    EXPECT_EQ(BarText(1), "Downloading TLVK IMG to RAM.. 42%");
    dlg->m_PortSlot[1].nKind = kKindEboot;
    Report(1, kStatusRamProgress, 7);
    EXPECT_EQ(BarText(1), "Downloading eBoot IMG to RAM... 7%");
    dlg->m_PortSlot[1].nKind = kKindContents;
    Report(1, kStatusRamProgress, 0);
    EXPECT_EQ(BarText(1), "Downloading Contents IMG to RAM.. 0%");
}

TEST_F(StatusTest, FlashProgressNamesPdaForEbootAndPdaKinds) {
    Attach(2);
    const std::pair<int, const char*> cases[] = {
        {kKindEboot, "Writing PDA image to flash 30%"},
        {kKindPda, "Writing PDA image to flash 30%"},
        {kKindTelvik, "Writing Telvik image to flash 30%"},
        {kKindContents, "Writing Contents image to flash 30%"},
    };
    for (const auto& [kind, text] : cases) {
        dlg->m_PortSlot[2].nKind = kind;
        Report(2, kStatusFlashProgress, 30);
        EXPECT_EQ(BarText(2), text) << "kind " << kind;
        EXPECT_EQ(BarPos(2), 30);
    }
    Report(2, kStatusFlashProgress, 101);
    EXPECT_EQ(BarText(2), "Writing Contents image to flash 100%");
}

TEST_F(StatusTest, CaptionIsLabelledByTheSlotKind) {
    Attach(3);
    const std::pair<int, const char*> cases[] = {
        {kKindTelvik, "PDA 3"},    {kKindPhone, "PHONE 3"}, {kKindSmd, "OK 3"},
        {kKindIntegrated, "OK 3"}, {kKindContents, "OK 3"},
    };
    for (const auto& [kind, caption] : cases) {
        dlg->m_PortSlot[3].nKind = kind;
        Report(3, kStatusChecksumWait);
        EXPECT_EQ(Caption(3), caption) << "kind " << kind;
    }
    EXPECT_EQ(BarText(3), "Calculating checksum ...");
}

TEST_F(StatusTest, UnknownCodeClearsTheTextAndKeepsTheBar) {
    Attach(4);
    Attach(5);
    dlg->m_PortSlot[4].nKind = kKindPhone;
    Report(4, kStatusRamProgress, 60);
    Report(4, 207);
    EXPECT_EQ(BarText(4), "");
    EXPECT_EQ(BarPos(4), 60);
    EXPECT_EQ(Caption(4), "PHONE 4");
    Report(4, kStatusWaitForBoot);
    EXPECT_EQ(BarText(4), "Please wait for booting completely");
    Report(4, 0);
    EXPECT_EQ(BarText(4), "");
    EXPECT_EQ(dlg->m_PortSlot[4].nState, kPortAttached);
    EXPECT_EQ(dlg->m_nFailed, 0);
}

TEST_F(StatusTest, FailureTextsDependOnKindAndSource) {
    struct Case {
        uint32_t code;
        int kind;
        uint32_t arg;
        const char* text;
    };
    const Case cases[] = {
        {kStatusFlashNoAck, kKindCsc, 150, "[FAIL] Writing CSC flash noACK ...150%"},
        {kStatusFlashNoAck, kKindSmd, 3, "[FAIL] Writing PDA flash noACK ...3%"},
        {kStatusReadError, kKindEboot, 0, "[FAIL] EBOOT read error from usb"},
        {kStatusReadError, kKindPda, 1, "[FAIL] read error from file"},
        {kStatusFlashFailed, kKindPhone, 9, "[FAIL] Writing Phone to flash 9%"},
        {kStatusChecksumError, kKindEboot, 0, "[FAIL] Eboot Checksum !!"},
        {kStatusChecksumError, kKindTelvik, 0, "[FAIL] PDA Checksum !!"},
        {kStatusReconnectFailed, kKindEboot, 0, "[FAIL] bootloader Reconnect"},
        {kStatusIntegratedError, kKindIntegrated, 2, "[FAIL] Integrated IMG read error from usb"},
    };
    for (const Case& c : cases) {
        dlg->ResetAll();
        AttachRunning(6);
        Attach(7);
        dlg->m_PortSlot[6].nKind = c.kind;
        Report(6, c.code, c.arg);
        EXPECT_EQ(BarText(6), c.text) << "code " << c.code << " kind " << c.kind;
        EXPECT_EQ(dlg->m_PortSlot[6].nState, kPortFailed);
        EXPECT_EQ(dlg->m_nFailed, 1);
        EXPECT_EQ(view.bkColor[kPortCaptionIds[6]], kColorFailed);
        EXPECT_TRUE(view.IsEnabled(kPortResetIds[6]));
    }
}

TEST_F(StatusTest, JobDoneFinishesThePort) {
    AttachRunning(3);
    AttachRunning(4);
    dlg->m_PortSlot[3].nKind = kKindPda;
    Report(3, kStatusJobDone, 0);
    EXPECT_EQ(BarText(3), "Job Done.Launched!!");
    EXPECT_EQ(BarPos(3), 100);
    EXPECT_EQ(Caption(3), "OK 3");
    EXPECT_EQ(view.bkColor[kPortCaptionIds[3]], kColorFinished);
    EXPECT_EQ(dlg->m_PortSlot[3].nState, kPortFinished);
    EXPECT_EQ(dlg->m_PortSlot[3].nKind, kKindDone);
    EXPECT_EQ(dlg->m_nFinished, 1);
    EXPECT_TRUE(view.IsEnabled(1064));
    EXPECT_EQ(dlg->PortLog(3), "[Success:3] Finished downloading!\r\n");

    Report(4, kStatusJobDone, 1);
    EXPECT_EQ(BarText(4), "Job Done.");
}

TEST_F(StatusTest, OneFinishedAndOneFailedPortEndTheJob) {
    AttachRunning(0);
    AttachRunning(1);
    Report(0, kStatusJobDone, 0);
    EXPECT_EQ(dlg->MainLog().find("[Success] All Download finished."), std::string::npos);

    const size_t before = view.enableCalls.size();
    Report(1, kStatusChecksumError);
    EXPECT_EQ(dlg->MainLog(),
              "[Success] All Download finished. \r\n[Result] 1 finished, 1 failed\r\n");
    EXPECT_EQ(view.text[IDC_MAIN_LOG], dlg->MainLog());
    auto expected = std::vector<std::pair<int, bool>>{{1062, true}};  // the failed port's reset
    for (const auto& call : JobControlCalls(true)) {
        expected.push_back(call);
    }
    expected.emplace_back(1021, false);
    expected.emplace_back(1022, false);
    expected.emplace_back(1101, true);
    EXPECT_EQ(view.EnableCallsFrom(before), expected);
    EXPECT_FALSE(view.IsEnabled(IDC_DETECT));
    EXPECT_TRUE(view.IsEnabled(IDC_RESET_ALL));
}

TEST_F(StatusTest, FailureOfOneOfThreePortsLowersTheDeviceCount) {
    for (int port : {0, 1, 2}) {
        AttachRunning(port);
    }
    Report(1, kStatusReconnectFailed);
    EXPECT_EQ(view.text[IDC_DEVICE_COUNT], "Currently 2 device(s) detected.");
    EXPECT_EQ(dlg->MainLog(), "");
}

TEST_F(StatusTest, ReportsAfterAPortEndedDoNotCountItAgain) {
    AttachRunning(0);
    AttachRunning(1);
    Report(0, kStatusFlashFailed, 10);
    Report(0, kStatusReadError, 0);
    Report(0, kStatusJobDone, 0);
    EXPECT_EQ(dlg->m_nFailed, 1);
    EXPECT_EQ(dlg->m_nFinished, 0);
    EXPECT_EQ(dlg->m_PortSlot[0].nState, kPortFailed);
    EXPECT_EQ(dlg->MainLog(), "");  // port 1 still runs
    Report(1, kStatusJobDone, 0);
    EXPECT_EQ(dlg->MainLog(),
              "[Success] All Download finished. \r\n[Result] 1 finished, 1 failed\r\n");
}

// A worker that reports its job done once released, as a running flash does after a reset.
class RetiredWorkerTest : public WindowTest {
  protected:
    RetiredWorkerTest()
        : WindowTest([this](PortThreadParam& param) {
              while (!release) {
                  std::this_thread::yield();
              }
              dlg->SendDownloadStatus(kStatusJobDone, StatusParam(param.nPort, 0));
              reported = true;
          }) {}
    ~RetiredWorkerTest() override { dlg->Shutdown(); }

    std::atomic<bool> release{false};
    std::atomic<bool> reported{false};
};

TEST_F(RetiredWorkerTest, ReportsOfAWorkerThatAResetRetiredAreIgnored) {
    Attach(0);
    dlg->OnStartDownloading();
    dlg->ResetAll();
    release = true;
    while (!reported) {
        loop.RunOne(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(dlg->m_nFinished, 0);
    EXPECT_EQ(BarText(0), "Waiting for device..");
    EXPECT_EQ(dlg->MainLog(), "");
}

TEST_F(StatusTest, SelectionTimeIntegratedErrorTouchesNoPort) {
    dlg->OnSelectionStatus(kStatusIntegratedError, 0x10000);
    EXPECT_EQ(dlg->MainLog(), "[FAIL] Integrated IMG read error from file\r\n");
    EXPECT_EQ(dlg->m_nFailed, 0);
    EXPECT_EQ(dlg->m_PortSlot[0].nState, kPortIdle);
    EXPECT_EQ(view.bkColor[kPortCaptionIds[0]], kColorCleared);
    EXPECT_EQ(BarText(0), "Waiting for device..");
    EXPECT_EQ(view.text[IDC_DEVICE_COUNT], "Currently 0 device(s) detected.");

    // A later job still ends when its one port does.
    AttachRunning(0);
    Report(0, kStatusJobDone, 0);
    EXPECT_NE(dlg->MainLog().find("[Success] All Download finished. \r\n"), std::string::npos);
}

TEST_F(StatusTest, ReportForAPortOutsideTheRangeChangesNothing) {
    Attach(0);
    const size_t enables = view.enableCalls.size();
    dlg->OnDownloadStatus(kStatusChecksumError, StatusParam(8, 0));
    EXPECT_EQ(dlg->m_nFailed, 0);
    EXPECT_EQ(view.enableCalls.size(), enables);
}

TEST_F(StatusTest, WorkerReportIsHandledOnTheWindowThreadBeforeSendReturns) {
    Attach(2);
    dlg->m_PortSlot[2].nKind = kKindCsc;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        dlg->SendDownloadStatus(kStatusRamProgress, StatusParam(2, 77));
        returned = true;
    });
    while (!loop.RunOne(std::chrono::milliseconds(10))) {
        EXPECT_FALSE(returned.load());
    }
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(BarText(2), "Downloading CSC IMG to RAM... 77%");
    EXPECT_EQ(view.drawingThreads, std::vector{std::this_thread::get_id()});
}

}  // namespace
}  // namespace varnel::test
