// Whole simulated jobs clicked through the Qt window: images dropped, Detect, handsets arriving,
// "Start downloading", the port rows as the workers report, the end of the job, and closing the
// window while it runs. Screenshots of the window go to the test artifacts.
#include <gmock/gmock.h>

#include <QMessageBox>
#include <QPlainTextEdit>
#include <chrono>

#include "tests/qt/qt_window_fixture.h"
#include "ui/qt/color_static_st.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel::test {
namespace {

using ::testing::EndsWith;

class QtWindowJobTest : public QtWindowTest {
  protected:
    std::string DropPda(const std::string& name, uint64_t size, ImageManifest* manifest) {
        ImageSpec spec;
        spec.format = ImageFormat::kPda;
        spec.pda.dataSize = size;
        spec.pda.langpack = true;
        const std::string path = images_.Build(name, spec, manifest);
        Drop({path});
        return path;
    }
    CTextProgressCtrl& Bar(int port) { return *Control<CTextProgressCtrl>(ProgressId(port)); }
    // The caption's colour as drawn: a corner away from its text.
    QRgb CaptionPixel(int port) {
        return Control(kPortCaptionIds[port])->grab().toImage().pixel(1, 1);
    }
    bool BarMoving(int port) {
        const int position = Bar(port).GetPos();
        return position >= 20 && position <= 80;
    }
    void SaveScreenshot(const char* name) {
        const QString path = ArtifactPath(QString::fromUtf8(name));
        EXPECT_TRUE(window_->grab().save(path)) << path.toStdString();
    }
};

TEST_F(QtWindowJobTest, TwoHandsetsRunAWholeJobClickedThroughTheWindow) {
    ImageManifest pda;
    const std::string path = DropPda("job.nb0", 120000, &pda);
    ASSERT_EQ(Text(IDC_PDA_PATH), path);
    Click(IDC_DETECT);
    Plug("FIRST");
    Plug("SECOND");
    EXPECT_EQ(Text(IDC_DEVICE_COUNT), "Currently 2 device(s) detected.");
    for (int port : {0, 1}) {
        EXPECT_EQ(Bar(port).WindowText(), QStringLiteral("Ready to download..."));
        EXPECT_EQ(CaptionPixel(port), qRgb(0, 255, 0));
    }
    EXPECT_EQ(Control(kPortCaptionIds[1])->toolTip().toStdString(), "serial SECOND, port sim-1.2");
    ASSERT_TRUE(Enabled(IDC_START_DOWNLOADING));
    Click(IDC_START_DOWNLOADING);

    ASSERT_TRUE(WaitFor([this] { return BarMoving(0) && BarMoving(1); }))
        << "both rows show their progress while the job runs";
    SaveScreenshot("window-mid-job.png");
    ASSERT_TRUE(WaitFor([this] { return JobFinished(); }));
    QCoreApplication::processEvents();
    SaveScreenshot("window-job-finished.png");

    EXPECT_THAT(Text(IDC_MAIN_LOG),
                EndsWith(std::string(kAllFinished) + "[Result] 2 finished, 0 failed\r\n"));
    EXPECT_THAT(Control<QPlainTextEdit>(IDC_MAIN_LOG)->toPlainText().toStdString(),
                EndsWith("[Success] All Download finished. \n[Result] 2 finished, 0 failed\n"));
    const auto pdaData = RegionBytes(path, pda, "pda.data");
    for (const char* instance : {"FIRST", "SECOND"}) {
        SCOPED_TRACE(instance);
        const int port = Port(instance);
        ASSERT_GE(port, 0);
        EXPECT_EQ(Text(kPortCaptionIds[port]), "OK " + std::to_string(port));
        EXPECT_EQ(CaptionPixel(port), qRgb(0, 0, 255));
        EXPECT_EQ(Bar(port).GetPos(), 100);
        EXPECT_TRUE(Enabled(kPortResetIds[port]));
        EXPECT_EQ(bus_.Handset(SimDevicePath(instance))->FlashedBytes(kCmdWritePdaPiece), pdaData);
    }
    EXPECT_FALSE(Enabled(IDC_DETECT));
    EXPECT_FALSE(Enabled(IDC_START_DOWNLOADING));
    EXPECT_TRUE(Enabled(IDC_RESET_ALL));
    EXPECT_TRUE(Enabled(IDC_PDA_BUTTON));
}

TEST_F(QtWindowJobTest, AFailingPortTurnsRedWhileTheOtherFinishes) {
    ImageManifest pda;
    DropPda("fail.nb0", 40000, &pda);
    Click(IDC_DETECT);
    Plug("GOOD");
    HandsetConfig failing;
    failing.faults.wrongChunkSumAt = 2;
    Plug("BAD", failing);
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(WaitFor([this] { return JobFinished(); }));
    QCoreApplication::processEvents();
    SaveScreenshot("window-failed-port.png");

    const int bad = Port("BAD");
    const int good = Port("GOOD");
    EXPECT_EQ(CaptionPixel(bad), qRgb(255, 0, 0));
    EXPECT_EQ(Bar(bad).WindowText(), QStringLiteral("[FAIL] PDA Checksum !!"));
    EXPECT_TRUE(Enabled(kPortResetIds[bad]));
    EXPECT_EQ(CaptionPixel(good), qRgb(0, 0, 255));
    EXPECT_EQ(Text(IDC_DEVICE_COUNT), "Currently 1 device(s) detected.");
}

TEST_F(QtWindowJobTest, ClosingMidJobAsksAndOkStopsTheWorkers) {
    SetProtocolTimeouts({60000, 60000, 2000});  // a stalled device would hold a worker a minute
    ImageManifest pda;
    DropPda("stall.nb0", 100000, &pda);
    Click(IDC_DETECT);
    HandsetConfig stalled;
    stalled.faults.stallAt = 4;
    Plug("STALL", stalled);
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(WaitFor([this] { return dlg_->m_PortSlot[0].nState.load() == kPortDownloading; }));

    ModalHandler<QMessageBox> cancel([](QMessageBox& box) {
        EXPECT_EQ(box.text(), QStringLiteral("Now Downloading! Quit Anyway?"));
        box.button(QMessageBox::Cancel)->click();
    });
    EXPECT_FALSE(window_->close());
    EXPECT_EQ(cancel.Handled(), 1);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(thread_.IsShutDown());

    ModalHandler<QMessageBox> ok([](QMessageBox& box) { box.button(QMessageBox::Ok)->click(); });
    const auto start = std::chrono::steady_clock::now();
    window_->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(ok.Handled(), 1);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_TRUE(thread_.IsShutDown());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(restartSyncCalls_, 2);
}

}  // namespace
}  // namespace varnel::test
