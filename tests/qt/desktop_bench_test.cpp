// The desktop program's own assembly: its command line, and a simulated bench driven through the
// window as an operator would (handsets arriving after each Detect, a job, reset all, again).
#include <gmock/gmock.h>

#include <QLabel>
#include <QMenu>
#include <QTableWidget>

#include "support/image_dir.h"
#include "tests/platform/sim_process.h"
#include "tests/qt/qt_window_fixture.h"
#include "ui/qt/desktop_bench.h"
#include "ui/qt/devices_dialog.h"

namespace varnel::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

DesktopArguments Parse(QStringList arguments) {
    arguments.prepend(QStringLiteral("varnel-downloader"));
    return ParseDesktopArguments(arguments);
}

TEST(DesktopArgumentsTest, TransportsAndTheirChecks) {
    const DesktopArguments plain = Parse({});
    ASSERT_TRUE(plain.options);
    EXPECT_EQ(plain.options->transport, TransportKind::kLibusb);
    EXPECT_EQ(plain.options->nSimulated, 0);

    const DesktopArguments simulated = Parse({"--simulate", "3", "--sim-time-scale", "50"});
    ASSERT_TRUE(simulated.options);
    EXPECT_EQ(simulated.options->transport, TransportKind::kSim);
    EXPECT_EQ(simulated.options->nSimulated, 3);
    EXPECT_EQ(simulated.options->dwTimeScale, 50u);

    const DesktopArguments tty = Parse({"--transport", "tty", "--tty-dir", "/run/nodes"});
    ASSERT_TRUE(tty.options);
    EXPECT_EQ(tty.options->transport, TransportKind::kTty);
    EXPECT_EQ(tty.options->strTtyDirectory, "/run/nodes");

    EXPECT_FALSE(tty.options->bAttachPresent);
    EXPECT_FALSE(tty.options->bKeepSyncSoftware);

    const DesktopArguments usb = Parse({"--usb-id", "04e8:1234", "--usb-id", "1234:5678",
                                        "--attach-present", "--keep-sync-software"});
    ASSERT_TRUE(usb.options);
    EXPECT_EQ(usb.options->usbIds, (std::vector<std::string>{"04e8:1234", "1234:5678"}));
    EXPECT_TRUE(usb.options->bAttachPresent);
    EXPECT_TRUE(usb.options->bKeepSyncSoftware);

    for (const QStringList& wrong :
         {QStringList{"--simulate", "9"}, QStringList{"--simulate", "two"},
          QStringList{"--simulate", "2", "--transport", "tty"}, QStringList{"--transport", "sim"},
          QStringList{"--transport", "serial"}, QStringList{"--sim-time-scale", "0"},
          QStringList{"--simulate", "2", "--attach-present"}, QStringList{"--no-such-option"}}) {
        const DesktopArguments result = Parse(wrong);
        EXPECT_FALSE(result.options) << wrong.join(' ').toStdString();
        EXPECT_FALSE(result.strError.empty()) << wrong.join(' ').toStdString();
    }
    const DesktopArguments help = Parse({"--help"});
    EXPECT_FALSE(help.options);
    EXPECT_THAT(help.strHelp, HasSubstr("--simulate <N>"));
}

class DesktopBenchTest : public ::testing::Test {
  protected:
    DesktopBenchTest() { ClearJobGlobals(); }
    void MakeBench(const DesktopOptions& options) {
        bench_ = std::make_unique<DesktopBench>(options, thread_, window_);
    }
    // A bench on the tty nodes in `devices`, taking those present at Detect, started.
    void StartTtyBench(const std::string& devices) {
        DesktopOptions options;
        options.transport = TransportKind::kTty;
        options.strTtyDirectory = devices;
        options.bAttachPresent = true;
        options.bKeepSyncSoftware = true;
        MakeBench(options);
        std::string error;
        ASSERT_TRUE(bench_->Start(error)) << error;
    }
    void MakeSimulatedBench() {
        DesktopOptions options;
        options.transport = TransportKind::kSim;
        options.nSimulated = 2;
        options.dwTimeScale = 1000;  // the boot wait takes half a second
        MakeBench(options);
    }
    void ChoosePda() {
        ImageSpec spec;
        spec.format = ImageFormat::kPda;
        spec.pda.dataSize = 20000;
        spec.pda.langpack = true;
        Dialog().OnDropFiles({images_.Build("bench.nb0", spec)});
    }

    template <typename Widget = QWidget>
    Widget* Control(int id) {
        return FindControl<Widget>(window_, id);
    }
    void Click(int id) { QTest::mouseClick(Control<QAbstractButton>(id), Qt::LeftButton); }
    CMorvaneDlg& Dialog() { return bench_->Application().Dialog(); }
    bool Finished() {
        return Dialog().MainLog().find("[Success] All Download finished. \r\n") !=
               std::string::npos;
    }

    ImageDir images_;
    QtWindowThread thread_;
    QtMainWindow window_;
    std::unique_ptr<DesktopBench> bench_;
};

TEST_F(DesktopBenchTest, SimulatedHandsetsArriveAfterEachDetectAndRunTheJob) {
    MakeSimulatedBench();
    std::string error;
    ASSERT_TRUE(bench_->Start(error)) << error;
    EXPECT_EQ(window_.windowTitle(), QStringLiteral("Varnel Downloader v2.11"));
    EXPECT_EQ(window_.SystemMenu()->actions().back()->text(),
              QStringLiteral("Varnel Multi-Threaded Downloader Information..."));
    window_.show();

    ChoosePda();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(Control(IDC_DETECT)->isEnabled());
        Click(IDC_DETECT);
        ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 2; }, 10000));
        EXPECT_EQ(Dialog().m_strDeviceName[0], "SIM0");
        EXPECT_EQ(Dialog().m_strDeviceName[1], "SIM1");
        Click(IDC_START_DOWNLOADING);
        ASSERT_TRUE(ProcessEventsUntil([this] { return Finished(); }, 30000));
        EXPECT_EQ(Dialog().m_nFinished, 2);
        EXPECT_EQ(Control<QLabel>(kPortCaptionIds[1])->text(), QStringLiteral("OK 1"));
        // The next round: "reset all", the image again (the job used it up), Detect.
        Click(IDC_RESET_ALL);
        Dialog().OnDropFiles({images_.Path() + "/bench.nb0"});
    }
}

TEST_F(DesktopBenchTest, TtyHandsetsPluggedInBeforehandAttachAtDetectWithAttachPresent) {
    const std::string devices = images_.Path() + "/by-id";
    SimProcess sim(devices, {"--handsets", "2"});
    ASSERT_NO_FATAL_FAILURE(StartTtyBench(devices));
    window_.show();

    ChoosePda();
    Click(IDC_SKIP_BOOT_WAIT);
    Click(IDC_DETECT);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 2; }, 10000))
        << Dialog().MainLog();
    EXPECT_EQ(Dialog().m_strDeviceName[0], "SIM0");
    EXPECT_EQ(Dialog().m_strDeviceName[1], "SIM1");
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Finished(); }, 30000)) << Dialog().MainLog();
    EXPECT_EQ(Dialog().m_nFinished, 2);
}

TEST_F(DesktopBenchTest, TheSettingsSlotMapPinsHandsetsAndTheDevicesViewShowsTheirPorts) {
    const std::string devices = images_.Path() + "/by-id";
    SimProcess sim(devices, {"--handsets", "2"});
    ASSERT_NO_FATAL_FAILURE(StartTtyBench(devices));
    std::string error;
    EXPECT_EQ(window_.SystemMenu()->actions().back()->objectName(), QStringLiteral("devices_view"));
    EXPECT_FALSE(bench_->SetSlotMap("0=SIM1\n0=SIM0\n", error));
    EXPECT_EQ(error, "line 2: port 0 is mapped twice");
    ASSERT_TRUE(bench_->SetSlotMap("# bench\n0=SIM1\n1=SIM0\n", error)) << error;
    window_.show();

    ChoosePda();
    Click(IDC_DETECT);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 2; }, 10000))
        << Dialog().MainLog();
    EXPECT_EQ(Dialog().m_strDeviceName[0], "SIM1");
    EXPECT_EQ(Dialog().m_strDeviceName[1], "SIM0");

    CDevicesDlg view([this] { return bench_->ListDevices(); }, &window_);
    const QTableWidget& table = *view.Table();
    ASSERT_EQ(table.rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(table.item(row, 2)->text(), QStringLiteral("SIM%1").arg(row));
        EXPECT_EQ(table.item(row, 6)->text(), QStringLiteral("yes"));
        EXPECT_EQ(table.item(row, 7)->text(), QStringLiteral("PDA %1").arg(1 - row));
    }
}

}  // namespace
}  // namespace varnel::test
