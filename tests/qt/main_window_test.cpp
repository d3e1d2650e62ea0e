// The Qt main window: its controls as the operator first sees them, the enable lists that Detect,
// the end of a job and "reset all" leave, the warnings, the file dialog, drops, the log window,
// the system menu and about box, and the close request.
#include <gmock/gmock.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <map>

#include "app/startup_decisions.h"
#include "app/sync_software_control.h"
#include "platform/linux/linux_host.h"
#include "tests/app/fake_sync_host.h"
#include "tests/qt/qt_window_fixture.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/color_static_st.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel::test {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

const std::map<int, std::string> kButtonCaptions = {{1019, "EBoot"},    {1035, "PDA"},
                                                    {1037, "MultiCSC"}, {1041, "Telvik"},
                                                    {1036, "Phone"},    {1050, "Contents"},
                                                    {1043, "SMD"},      {1046, "Integrated"},
                                                    {1021, "Detect"},   {1022, "Start downloading"},
                                                    {1069, "reset all"}};
const std::map<int, std::string> kOptionCaptions = {
    {1085, "Erase CSC"},
    {1093, "Keep Eboot CFG"},
    {1092, "Erase NV PDA"},
    {1089, "Set Priority Bit"},
    {1098, "Skip OS updating by Telvik image"},
    {1100, "Preserve device's contents"},
    {1099, "Skip over waiting for booting completely"},
    {1047, "Start downloading immediately"},
    {1103, "SMD Check"},
    {1088, "Erase NV Data"},
    {1086, "Erase NV Backup"},
    {1053, "EFS Clear"},
    {1095, "Write Modem NV"},
    {1096, "Update Phone Boot"}};
constexpr int kImageButtons[] = {1019, 1035, 1037, 1041, 1036, 1043, 1046, 1050};
constexpr int kPathEdits[] = {1020, 1023, 1040, 1042, 1026, 1052, 1045, 1048};
constexpr int kVisibleOptions[] = {1085, 1093, 1092, 1089, 1098, 1100, 1099, 1047};
constexpr int kHiddenAtStart[] = {1102, 1043, 1045, 1088, 1086, 1053, 1095, 1096, 1103};
constexpr int kJobLocked[] = {1019, 1035, 1037, 1041, 1036, 1043, 1046, 1050, 1021,
                              1022, 1069, 1085, 1088, 1086, 1092, 1095, 1053, 1047,
                              1093, 1096, 1089, 1098, 1100, 1099, 1103};
constexpr char kStartImmediatelyWarning[] =
    "\n단말기 한대만 다운로드할때 체크하세요.\n\n체크하면 단말기 Detection 하고 즉시 다운로드를 "
    "시작합니다.";

class QtMainWindowTest : public QtWindowTest {
  protected:
    void AttachRunning(int port) {
        dlg_->m_PortSlot[port].nState = kPortDownloading;
        dlg_->m_PortSlot[port].nKind = kKindPda;
        ++dlg_->m_nDetected;
    }
    QColor CaptionColor(int port) {
        return Control<CColorStaticST>(kPortCaptionIds[port])->BkColor();
    }
};

TEST_F(QtMainWindowTest, ControlsStartWithTheirCaptionsAndStates) {
    for (const auto& [id, caption] : kButtonCaptions) {
        EXPECT_EQ(Text(id), caption) << id;
    }
    for (const auto& [id, caption] : kOptionCaptions) {
        EXPECT_EQ(Text(id), caption) << id;
        EXPECT_NE(Control<QCheckBox>(id), nullptr) << id;
    }
    for (int id : {1019, 1035, 1037, 1041, 1036, 1050, 1046}) {
        EXPECT_TRUE(Enabled(id) && Shown(id)) << id;
    }
    for (int id : kPathEdits) {
        EXPECT_TRUE(Control<QLineEdit>(id)->isReadOnly()) << id;
        EXPECT_EQ(Text(id), "") << id;
    }
    for (int id : kVisibleOptions) {
        EXPECT_TRUE(Enabled(id) && Shown(id)) << id;
    }
    // The boxes the operator cannot check stay hidden (the initialisation enables every option).
    for (int id : kHiddenAtStart) {
        EXPECT_FALSE(Shown(id)) << id;
    }
    for (int id : {IDC_DETECT, IDC_START_DOWNLOADING, IDC_RESET_ALL}) {
        EXPECT_FALSE(Enabled(id)) << id;
    }
    for (int port = 0; port < kPortCount; ++port) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Text(kPortCaptionIds[port]), "PDA " + std::to_string(port));
        EXPECT_EQ(CaptionColor(port), QColor(255, 255, 0));
        auto* bar = Control<CTextProgressCtrl>(ProgressId(port));
        EXPECT_EQ(bar->WindowText(), QStringLiteral("Waiting for device.."));
        EXPECT_EQ(bar->GetPos(), 0);
        EXPECT_EQ(bar->Maximum(), 100);
        EXPECT_EQ(Text(kPortResetIds[port]), "reset");
        EXPECT_FALSE(Enabled(kPortResetIds[port]));
        EXPECT_EQ(Text(kSeeLogIds[port]), "See Log");
        EXPECT_TRUE(Enabled(kSeeLogIds[port]));
    }
    EXPECT_EQ(Text(IDC_DEVICE_COUNT), "Currently 0 device(s) detected.");
    auto* modes = Control<QComboBox>(IDC_MODE_SELECT);
    ASSERT_EQ(modes->count(), 2);
    EXPECT_EQ(modes->itemText(0), QStringLiteral("NORMAL"));
    EXPECT_EQ(modes->itemText(1), QStringLiteral("SMD"));
    EXPECT_EQ(modes->currentIndex(), 0);
    EXPECT_TRUE(Control<QPlainTextEdit>(IDC_MAIN_LOG)->isReadOnly());
    EXPECT_TRUE(Control<QPlainTextEdit>(IDC_CSC_INFO)->isReadOnly());
    EXPECT_NE(Control<QLabel>(IDC_PICTURE)->pixmap().toImage(), QImage());
    EXPECT_EQ(Text(IDC_SMD_GROUP),
              "SMD Binary (Caution : All RF calibration and IMEI data will be erased!!)");
    QStringList groups;
    for (const QGroupBox* group : window_->findChildren<QGroupBox*>()) {
        groups.append(group->title());
    }
    for (const char* title : {"Step 1. Select images to download", "Step 2. Detect the deivce",
                              "Download Progress", "Normal Binary", "Integrated Binary"}) {
        EXPECT_TRUE(groups.contains(QString::fromUtf8(title))) << title;
    }
    EXPECT_TRUE(window_->acceptDrops());
}

TEST_F(QtMainWindowTest, TheWindowGrowsItsPortRowsAndLog) {
    const int barWidth = Control(ProgressId(0))->width();
    const int barHeight = Control(ProgressId(0))->height();
    const int logHeight = Control(IDC_MAIN_LOG)->height();
    window_->resize(window_->width() + 300, window_->height() + 400);
    QCoreApplication::processEvents();
    EXPECT_GT(Control(ProgressId(0))->width(), barWidth + 200);
    EXPECT_GT(Control(ProgressId(0))->height(), barHeight);
    EXPECT_GT(Control(IDC_MAIN_LOG)->height(), logHeight + 50);
}

TEST_F(QtMainWindowTest, DetectTheEndOfAJobAndResetAllLeaveTheirEnableLists) {
    Drop({BuildPda("a.nb0", 100)});
    ASSERT_TRUE(Enabled(IDC_DETECT));
    Click(IDC_DETECT);
    for (int id : kJobLocked) {
        EXPECT_EQ(Enabled(id), id == IDC_RESET_ALL) << id;
    }
    EXPECT_FALSE(Enabled(IDC_LANGUAGE_SELECT));
    EXPECT_FALSE(Enabled(IDC_CSC_FILE_SELECT));
    EXPECT_FALSE(Enabled(IDC_MODE_SELECT));
    EXPECT_THAT(Text(IDC_MAIN_LOG), HasSubstr("[Setup] Linux test \r\n"));

    // Two ports run; one finishes, the other fails.
    AttachRunning(0);
    AttachRunning(1);
    dlg_->OnDownloadStatus(kStatusJobDone, StatusParam(0, 0));
    EXPECT_EQ(CaptionColor(0), QColor(0, 0, 255));
    EXPECT_EQ(Text(kPortCaptionIds[0]), "OK 0");
    EXPECT_TRUE(Enabled(kPortResetIds[0]));
    EXPECT_FALSE(Enabled(IDC_EBOOT_BUTTON)) << "one port still runs";
    dlg_->OnDownloadStatus(kStatusChecksumError, StatusParam(1, 0));
    EXPECT_EQ(CaptionColor(1), QColor(255, 0, 0));
    EXPECT_EQ(Control<CTextProgressCtrl>(ProgressId(1))->WindowText(),
              QStringLiteral("[FAIL] PDA Checksum !!"));
    EXPECT_EQ(Text(IDC_DEVICE_COUNT), "Currently 1 device(s) detected.");
    for (int id : kJobLocked) {
        EXPECT_EQ(Enabled(id), id != IDC_DETECT && id != IDC_START_DOWNLOADING) << id;
    }
    EXPECT_FALSE(Enabled(IDC_LANGUAGE_SELECT));
    EXPECT_FALSE(Enabled(IDC_CSC_FILE_SELECT));
    EXPECT_TRUE(Enabled(IDC_MODE_SELECT));
    EXPECT_THAT(Text(IDC_MAIN_LOG),
                EndsWith(std::string(kAllFinished) + "[Result] 1 finished, 1 failed\r\n"));

    Click(IDC_RESET_ALL);
    EXPECT_TRUE(Enabled(IDC_DETECT));
    EXPECT_TRUE(Enabled(IDC_LANGUAGE_SELECT));
    EXPECT_TRUE(Enabled(IDC_CSC_FILE_SELECT));
    EXPECT_TRUE(Enabled(IDC_MODE_SELECT));
    EXPECT_FALSE(Enabled(IDC_RESET_ALL));
    for (int port : {0, 1}) {
        EXPECT_EQ(CaptionColor(port), QColor(255, 255, 0));
        EXPECT_EQ(Text(kPortCaptionIds[port]), "PDA " + std::to_string(port));
        EXPECT_FALSE(Enabled(kPortResetIds[port]));
    }
    EXPECT_EQ(Text(IDC_MAIN_LOG), "");
}

TEST_F(QtMainWindowTest, StartImmediatelyWarnsWhenCheckedOnly) {
    ModalHandler<QMessageBox> warning([](QMessageBox& box) {
        EXPECT_EQ(box.windowTitle(), QString::fromUtf8("경고"));
        EXPECT_EQ(box.text(), QString::fromUtf8(kStartImmediatelyWarning));
        EXPECT_EQ(box.icon(), QMessageBox::Warning);
        EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
        box.button(QMessageBox::Ok)->click();
    });
    Click(IDC_START_IMMEDIATELY);
    EXPECT_EQ(warning.Handled(), 1);
    EXPECT_TRUE(Control<QCheckBox>(IDC_START_IMMEDIATELY)->isChecked());

    ModalHandler<QMessageBox> none([](QMessageBox& box) { box.close(); });
    Click(IDC_START_IMMEDIATELY);
    QCoreApplication::processEvents();
    EXPECT_EQ(none.Handled(), 0);
    EXPECT_FALSE(Control<QCheckBox>(IDC_START_IMMEDIATELY)->isChecked());
    // An option without a warning stays silent too.
    Click(IDC_ERASE_CSC);
    QCoreApplication::processEvents();
    EXPECT_EQ(none.Handled(), 0);
}

TEST_F(QtMainWindowTest, ModeSelectShowsTheSmdGroupAndNormalHidesIt) {
    auto* modes = Control<QComboBox>(IDC_MODE_SELECT);
    QTest::keyClick(modes, Qt::Key_Down);
    ASSERT_EQ(modes->currentIndex(), 1);
    for (int id : {IDC_SMD_GROUP, IDC_SMD_BUTTON, IDC_SMD_PATH, IDC_SMD_CHECK}) {
        EXPECT_TRUE(Shown(id)) << id;
    }
    for (int id : {1088, 1086, 1053, 1095, 1096}) {
        EXPECT_FALSE(Shown(id)) << id;
    }
    QTest::keyClick(modes, Qt::Key_Up);
    for (int id : kHiddenAtStart) {
        EXPECT_FALSE(Shown(id)) << id;
    }
}

TEST_F(QtMainWindowTest, ImageButtonsOpenTheFileDialogWithTheirFilter) {
    const std::string path = BuildPda("chosen.nb0", 100);
    ModalHandler<QFileDialog> choose([&](QFileDialog& dialog) {
        EXPECT_TRUE(dialog.testOption(QFileDialog::DontUseNativeDialog));
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
        EXPECT_EQ(dialog.nameFilters(), QStringList{QStringLiteral("PDA(Savrel) Image (*.nb0)")});
        EXPECT_EQ(Text(IDC_PDA_PATH), "File Loading...") << "shown while the dialog is open";
        dialog.selectFile(QString::fromStdString(path));
        static_cast<QDialog&>(dialog).accept();
    });
    Click(IDC_PDA_BUTTON);
    ASSERT_EQ(choose.Handled(), 1);
    EXPECT_EQ(Text(IDC_PDA_PATH), path);
    EXPECT_TRUE(Enabled(IDC_DETECT));

    // A second press deselects without a dialog.
    Click(IDC_PDA_BUTTON);
    EXPECT_EQ(Text(IDC_PDA_PATH), "");
    EXPECT_FALSE(Enabled(IDC_DETECT));

    ModalHandler<QFileDialog> cancel([](QFileDialog& dialog) { dialog.reject(); });
    Click(IDC_EBOOT_BUTTON);
    ASSERT_EQ(cancel.Handled(), 1);
    EXPECT_EQ(Text(IDC_EBOOT_PATH), "");
    EXPECT_THAT(Text(IDC_MAIN_LOG), HasSubstr("Select Eboot file is incorrected. 3"));
}

TEST_F(QtMainWindowTest, DroppedFilesAreHandedOverInTheirOrder) {
    const std::string first = BuildPda("first.nb0", 100);
    const std::string second = BuildPda("second.nb0", 100);
    const std::string other = images_.Path() + "/notes.txt";
    Drop({first, other, second});
    // Handled from the last to the first, so the first listed stays.
    EXPECT_EQ(Text(IDC_PDA_PATH), first);
    EXPECT_TRUE(Enabled(IDC_DETECT));
}

TEST_F(QtMainWindowTest, CscFileSelectRefillsTheLanguagesAndTheCscBox) {
    ImageSpec spec;
    spec.format = ImageFormat::kCsc;
    spec.csc.multi = true;
    spec.csc.files.resize(2);
    spec.csc.files[0].name = "A";
    spec.csc.files[0].supportLanguages = {5, 7};
    spec.csc.files[1].name = "C";
    spec.csc.files[1].version = "VC";
    spec.csc.files[1].supportLanguages = {12, 5};
    Drop({images_.Build("multi.csc", spec)});
    auto* files = Control<QComboBox>(IDC_CSC_FILE_SELECT);
    auto* languages = Control<QComboBox>(IDC_LANGUAGE_SELECT);
    ASSERT_EQ(files->count(), 2);
    EXPECT_EQ(files->itemText(1), QStringLiteral("C"));
    EXPECT_EQ(languages->count(), 2);

    QTest::keyClick(files, Qt::Key_Down);
    EXPECT_EQ(dlg_->m_nSelectedCscFile, 1);
    EXPECT_EQ(languages->itemText(0), QStringLiteral("Korean(Korea)"));
    EXPECT_THAT(Text(IDC_CSC_INFO), HasSubstr("[CSC] Verision:[VC]\r\n"));
    EXPECT_THAT(Text(IDC_CSC_INFO), EndsWith(dlg_->CscLog()));
}

TEST_F(QtMainWindowTest, SeeLogShowsThePortLogInTheLogWindow) {
    dlg_->AppendPortLog(2, "[Setup:2] PDA Device detected. TimeOut:0\r\n");
    ModalHandler<CLogDialog> log([](CLogDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Log Messages"));
        EXPECT_EQ(FindControl<QLabel>(dialog, IDC_LOG_WINDOW_TITLE)->text(),
                  QStringLiteral("Thread 2 Log:"));
        EXPECT_EQ(FindControl<QPlainTextEdit>(dialog, IDC_LOG_WINDOW_TEXT)->toPlainText(),
                  QStringLiteral("[Setup:2] PDA Device detected. TimeOut:0\n"));
        dialog.findChild<QPushButton*>(QStringLiteral("idc_2"))->click();
    });
    Click(kSeeLogIds[2]);
    EXPECT_EQ(log.Handled(), 1);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(QtMainWindowTest, ClosingWithoutADeviceClosesAtOnce) {
    ModalHandler<QMessageBox> confirm([](QMessageBox& box) { box.close(); });
    EXPECT_TRUE(window_->close());
    QCoreApplication::processEvents();
    EXPECT_EQ(confirm.Handled(), 0);
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(restartSyncCalls_, 1);
}

TEST_F(QtMainWindowTest, ReturnOnTheCloseQuestionMidJobKeepsTheWindow) {
    AttachRunning(0);
    ModalHandler<QMessageBox> confirm(
        [](QMessageBox& box) { QTest::keyClick(&box, Qt::Key_Return); });
    EXPECT_FALSE(window_->close());
    EXPECT_EQ(confirm.Handled(), 1);
    EXPECT_TRUE(window_->isVisible());
    EXPECT_FALSE(dlg_->StopRequested());
}

// Start-up through the host: the title, the system menu's about item and a failure's message box.
class QtStartupTest : public QtMainWindowTest {
  protected:
    class Versions final : public OsVersionProvider {
      public:
        bool bFails = false;
        bool GetVersion(OsVersionInfo& version) override {
            version = {OsFamily::kLinux, 5, 1, "6.1.0"};
            return !bFails;
        }
    };

    QtStartupTest()
        : syncHost_(syncClock_),
          sync_(syncHost_, *dlg_, debug_, syncClock_),
          host_(versions_, strings_, sync_) {
        window_->SetResourceStrings([this](uint32_t id) { return host_.ResourceString(id); });
    }

    FakeClock syncClock_;
    testing::FakeSyncHost syncHost_;
    StderrDebugOutput debug_;
    SyncSoftwareControl sync_;
    Versions versions_;
    StringTable strings_;
    StartupDecisions host_;
};

TEST_F(QtStartupTest, TitleSystemMenuAndAboutBoxComeFromTheStringTable) {
    host_.SetTitleAndSystemMenu(*window_);
    EXPECT_EQ(window_->windowTitle(), QStringLiteral("Varnel Downloader v2.11"));
    const QList<QAction*> items = window_->SystemMenu()->actions();
    ASSERT_GE(items.size(), 2);
    EXPECT_TRUE(items[items.size() - 2]->isSeparator());
    QAction* about = items.back();
    EXPECT_EQ(about->text(), QStringLiteral("Varnel Multi-Threaded Downloader Information..."));

    ModalHandler<CAboutDlg> box([](CAboutDlg& dialog) {
        EXPECT_EQ(dialog.windowTitle(),
                  QStringLiteral("Varnel Multi-Threaded Downloader Information..."));
        EXPECT_EQ(FindControl<QLabel>(dialog, 1083)->text(),
                  QStringLiteral("Varnel Downloader v2.11"));
        dialog.findChild<QPushButton*>(QStringLiteral("idc_1"))->click();
    });
    about->trigger();
    EXPECT_EQ(box.Handled(), 1);
}

TEST_F(QtStartupTest, AStartUpFailureShowsItsMessageAndClosesTheWindow) {
    versions_.bFails = true;
    ModalHandler<QMessageBox> failure([](QMessageBox& box) {
        EXPECT_EQ(box.text(), QStringLiteral("Cannot execute app by GetVersionEx API fail"));
        box.button(QMessageBox::Ok)->click();
    });
    EXPECT_FALSE(host_.DecideOs(*window_));
    EXPECT_EQ(failure.Handled(), 1);
    EXPECT_TRUE(WaitFor([this] { return !window_->isVisible(); }, 5000));
}

}  // namespace
}  // namespace varnel::test
