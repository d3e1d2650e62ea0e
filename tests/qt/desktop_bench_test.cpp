// The desktop program's own assembly: its command line, and a simulated bench driven through the
// window as an operator would (handsets arriving after each Detect, a job, reset all, again).
#include <gmock/gmock.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QTableWidget>
#include <filesystem>
#include <fstream>

#include "app/qt/desktop_bench.h"
#include "app/qt/history_dialog.h"
#include "engine/protocol.h"
#include "support/image_dir.h"
#include "tests/platform/sim_process.h"
#include "tests/qt/qt_window_fixture.h"
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
    EXPECT_EQ(plain.options->dwLongReplyLimitMs, 600'000u);
    const DesktopArguments patient = Parse({"--long-reply-limit", "30"});
    ASSERT_TRUE(patient.options);
    EXPECT_EQ(patient.options->dwLongReplyLimitMs, 30'000u);

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
          QStringList{"--simulate", "2", "--attach-present"}, QStringList{"--no-such-option"},
          QStringList{"--long-reply-limit", "0"}}) {
        const DesktopArguments result = Parse(wrong);
        EXPECT_FALSE(result.options) << wrong.join(' ').toStdString();
        EXPECT_FALSE(result.strError.empty()) << wrong.join(' ').toStdString();
    }
    const DesktopArguments recorded = Parse({"--history", "/data/h.sqlite3", "--bench", "b2"});
    ASSERT_TRUE(recorded.options);
    EXPECT_TRUE(recorded.options->bHistory);
    EXPECT_EQ(recorded.options->strHistoryFile, "/data/h.sqlite3");
    EXPECT_EQ(recorded.options->strBenchName, "b2");
    EXPECT_TRUE(plain.options->bHistory) << "on by default";
    EXPECT_FALSE(Parse({"--no-history"}).options->bHistory);
    EXPECT_FALSE(Parse({"--history", "/data/h.sqlite3", "--no-history"}).options);

    const DesktopArguments help = Parse({"--help"});
    EXPECT_FALSE(help.options);
    EXPECT_THAT(help.strHelp, HasSubstr("--simulate <N>"));
}

class DesktopBenchTest : public ::testing::Test {
  protected:
    DesktopBenchTest() { ClearJobGlobals(); }
    ~DesktopBenchTest() override { SetProtocolTimeouts(savedTimeouts_); }
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
    static DesktopOptions SimulatedOptions(int handsets) {
        DesktopOptions options;
        options.transport = TransportKind::kSim;
        options.nSimulated = handsets;
        options.dwTimeScale = 1000;  // the boot wait takes half a second
        options.dwLongReplyLimitMs = 20'000;
        return options;
    }
    void MakeSimulatedBench() { MakeBench(SimulatedOptions(2)); }
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

    const ProtocolTimeouts savedTimeouts_ = GetProtocolTimeouts();
    ImageDir images_;
    QtWindowThread thread_;
    QtMainWindow window_;
    std::unique_ptr<DesktopBench> bench_;
};

TEST_F(DesktopBenchTest, SimulatedHandsetsArriveAfterEachDetectAndRunTheJob) {
    MakeSimulatedBench();
    EXPECT_EQ(GetProtocolTimeouts().longOperationMs, 20'000u);
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

// Job 1: one handset finishes, one fails; job 2 is cut short by Reset All. The History view shows
// both, newest first, and the ports of the job selected.
TEST_F(DesktopBenchTest, JobsAreRecordedAndTheHistoryViewShowsThemWithTheirPorts) {
    DesktopOptions options = SimulatedOptions(1);
    options.bHistory = true;
    options.strHistoryFile = images_.Path() + "/history/jobs.sqlite3";
    options.strBenchName = "qt-bench";
    MakeBench(options);
    std::string error;
    ASSERT_TRUE(bench_->Start(error)) << error;
    window_.show();

    ChoosePda();
    Click(IDC_DETECT);
    HandsetConfig failing = DemoHandsetConfig(7);
    failing.instance = "BAD";
    failing.faults.wrongChunkSumAt = 2;
    bench_->Bus().Plug(std::make_shared<VirtualHandset>(failing));
    ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 2; }, 10000));
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Finished(); }, 30000)) << Dialog().MainLog();
    ASSERT_EQ(Dialog().m_nFailed, 1);

    Click(IDC_RESET_ALL);
    ChoosePda();
    Click(IDC_DETECT);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 1; }, 10000));
    Click(IDC_RESET_ALL);
    EXPECT_EQ(Dialog().MainLog().find("[History]"), std::string::npos) << Dialog().MainLog();

    QAction* view = window_.SystemMenu()->findChild<QAction*>(QStringLiteral("history_view"));
    ASSERT_NE(view, nullptr);
    const auto cell = [](const QTableWidget& table, int row, int column) {
        const QTableWidgetItem* item = table.item(row, column);
        return item != nullptr ? item->text().toStdString() : std::string("(none)");
    };
    ModalHandler<CHistoryDlg> check([&](CHistoryDlg& history) {
        EXPECT_EQ(history.Problem(), QString());
        const QTableWidget& jobs = *history.Jobs();
        ASSERT_EQ(jobs.rowCount(), 2);
        // Bench, job, images, finished, failed, result.
        EXPECT_EQ(cell(jobs, 0, 2), "2");
        EXPECT_EQ(cell(jobs, 0, 6), "interrupted");
        EXPECT_EQ(cell(jobs, 1, 1), "qt-bench");
        EXPECT_EQ(cell(jobs, 1, 2), "1");
        EXPECT_EQ(cell(jobs, 1, 3), "PDA bench.nb0");
        EXPECT_EQ(cell(jobs, 1, 4), "1");
        EXPECT_EQ(cell(jobs, 1, 5), "1");
        EXPECT_EQ(cell(jobs, 1, 6), "failed");
        const QTableWidget& ports = *history.Ports();
        ASSERT_EQ(ports.rowCount(), 1) << "the newest job's port";
        EXPECT_EQ(cell(ports, 0, 3), "stopped");

        history.Jobs()->selectRow(1);
        ASSERT_EQ(ports.rowCount(), 2);
        const int bad = cell(ports, 0, 1) == "BAD" ? 0 : 1;
        EXPECT_EQ(cell(ports, bad, 1), "BAD");
        EXPECT_THAT(cell(ports, bad, 2), ::testing::StartsWith("sim-"));
        EXPECT_EQ(cell(ports, bad, 3), "failed");
        EXPECT_NE(cell(ports, bad, 4), "0");
        EXPECT_EQ(cell(ports, bad, 5), "[FAIL] PDA Checksum !!");
        EXPECT_EQ(cell(ports, 1 - bad, 1), "SIM0");
        EXPECT_EQ(cell(ports, 1 - bad, 3), "finished");
        EXPECT_TRUE(history.grab().save(ArtifactPath(QStringLiteral("history-view.png"))));
        history.accept();
    });
    view->trigger();
    EXPECT_EQ(check.Handled(), 1);
}

TEST_F(DesktopBenchTest, AHistoryThatCannotBeOpenedIsOneLineInTheMainLog) {
    DesktopOptions options = SimulatedOptions(1);
    options.bHistory = true;
    const std::string blocker = images_.Path() + "/not-a-folder";
    std::ofstream(blocker) << "a file where the history's folder would have to be";
    options.strHistoryFile = blocker + "/jobs.sqlite3";
    MakeBench(options);
    std::string error;
    ASSERT_TRUE(bench_->Start(error)) << error;
    const std::string log = Dialog().MainLog();
    EXPECT_THAT(log, HasSubstr("[History] jobs are not recorded: cannot open '" +
                               options.strHistoryFile + "'"));
    EXPECT_EQ(log.find("[History]"), log.rfind("[History]"));
    ChoosePda();
    Click(IDC_DETECT);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Dialog().m_nDetected == 1; }, 10000));
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(ProcessEventsUntil([this] { return Finished(); }, 30000)) << Dialog().MainLog();
}

TEST(DesktopArgumentsTest, ImagesBoxesModeAndStartingOver) {
    const DesktopArguments given =
        Parse({"--simulate", "1", "--pda", "/images/a.nb0", "--smd", "rel.smd", "--erase-csc",
               "--mode", "smd", "--start-over"});
    ASSERT_TRUE(given.options) << given.strError;
    const WindowChoices& choices = given.options->choices;
    EXPECT_EQ(choices.images[kKindPda], "/images/a.nb0");
    EXPECT_EQ(choices.images[kKindSmd], (std::filesystem::current_path() / "rel.smd").string());
    EXPECT_EQ(choices.checkedOptions, std::vector<int>{IDC_ERASE_CSC});
    EXPECT_EQ(choices.mode, 1);
    EXPECT_EQ(choices.startOver, true);
    EXPECT_FALSE(Parse({"--mode", "fast"}).options);
}

class DesktopChoicesTest : public DesktopBenchTest {
  protected:
    DesktopChoicesTest()
        : settings_(QString::fromStdString(images_.Path() + "/settings.ini"),
                    QSettings::IniFormat) {}
    bool Checked(int id) { return Control<QCheckBox>(id)->isChecked(); }
    std::string Shown(int id) { return window_.View().GetText(id); }

    QString PathOf(const std::string& name) {
        return QString::fromStdString(images_.Path() + "/" + name);
    }
    QSettings settings_;
};

TEST_F(DesktopChoicesTest, TheWindowRemembersItsChoicesForTheNextRun) {
    settings_.setValue(QStringLiteral("slots/map"), QStringList{QStringLiteral("1=1-2.3")});
    MakeSimulatedBench();
    std::string error;
    ASSERT_TRUE(bench_->Start(error, &settings_)) << error;
    ChoosePda();
    Click(IDC_ERASE_NV_PDA);
    window_.findChild<QCheckBox*>(QStringLiteral("start_over"))->click();
    bench_->SaveChoices(settings_);

    EXPECT_EQ(settings_.value(QStringLiteral("images/pda")).toString(), PathOf("bench.nb0"));
    EXPECT_EQ(settings_.value(QStringLiteral("images/eboot")).toString(), QString());
    EXPECT_TRUE(settings_.value(QStringLiteral("options/erase-nv-pda")).toBool());
    EXPECT_FALSE(settings_.value(QStringLiteral("options/erase-csc")).toBool());
    EXPECT_EQ(settings_.value(QStringLiteral("mode")).toInt(), 0);
    EXPECT_TRUE(settings_.value(QStringLiteral("startOver")).toBool());
    EXPECT_EQ(settings_.value(QStringLiteral("slots/map")).toStringList(),
              QStringList{QStringLiteral("1=1-2.3")});
}

TEST_F(DesktopChoicesTest, RememberedChoicesComeBackWithTheCommandLinesOverThem) {
    ImageSpec spec;
    spec.format = ImageFormat::kPda;
    spec.pda.dataSize = 1000;
    images_.Build("kept.nb0", spec);
    settings_.setValue(QStringLiteral("images/pda"), PathOf("kept.nb0"));
    settings_.setValue(QStringLiteral("images/contents"), PathOf("gone.mct"));
    settings_.setValue(QStringLiteral("options/erase-nv-pda"), true);
    settings_.setValue(QStringLiteral("startOver"), true);

    MakeBench(*Parse({"--simulate", "2", "--skip-boot-wait", "--mode", "smd"}).options);
    std::string error;
    ASSERT_TRUE(bench_->Start(error, &settings_)) << error;
    EXPECT_EQ(Shown(IDC_PDA_PATH), images_.Path() + "/kept.nb0");
    EXPECT_EQ(Shown(IDC_CONTENTS_PATH), "") << "a file that is gone is left out";
    EXPECT_TRUE(Checked(IDC_ERASE_NV_PDA));
    EXPECT_TRUE(Checked(IDC_SKIP_BOOT_WAIT));
    EXPECT_TRUE(window_.StartOverAfterEachJob());
    EXPECT_EQ(Control<QComboBox>(IDC_MODE_SELECT)->currentIndex(), 1);
    EXPECT_TRUE(Control(IDC_SMD_GROUP)->isVisibleTo(&window_));
    EXPECT_TRUE(Control(IDC_DETECT)->isEnabled());
}

TEST(WindowChoicesTest, TheCommandLineWinsOverWhatWasRemembered) {
    WindowChoices remembered;
    remembered.images[kKindPda] = "/old.nb0";
    remembered.images[kKindCsc] = "/kept.csc";
    remembered.checkedOptions = {IDC_ERASE_CSC};
    remembered.mode = 1;
    WindowChoices given;
    given.images[kKindPda] = "/new.nb0";
    given.checkedOptions = {IDC_ERASE_CSC, IDC_SKIP_BOOT_WAIT};
    remembered.Overlay(given);
    EXPECT_EQ(remembered.images[kKindPda], "/new.nb0");
    EXPECT_EQ(remembered.images[kKindCsc], "/kept.csc");
    EXPECT_EQ(remembered.checkedOptions, (std::vector<int>{IDC_ERASE_CSC, IDC_SKIP_BOOT_WAIT}));
    EXPECT_EQ(remembered.mode, 1);
}

}  // namespace
}  // namespace varnel::test
