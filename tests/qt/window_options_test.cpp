// The window's own additions: it fits a small screen, each row tells who its handset is and how
// its job goes, the logs can be saved and copied, About is a click away, a bench can start over
// after each job, and the Korean warnings have a font.
#include <gmock/gmock.h>

#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRawFont>
#include <QTemporaryDir>

#include "app/bench_application.h"
#include "app/version.h"
#include "tests/qt/qt_window_fixture.h"
#include "ui/qt/about_dialog.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class QtWindowOptionsTest : public QtWindowTest {
  protected:
    QtWindowOptionsTest() {
        for (int port = 0; port < kPortCount; ++port) {
            auto counter = std::make_unique<CountingTransport>(std::move(dlg_->m_pTransport[port]));
            counters_[port] = counter.get();
            dlg_->m_pTransport[port] = std::move(counter);
        }
        window_->SetTrafficSource([this](int port) { return counters_[port]->BytesSent(); });
    }
    QString RowInfo(int port) {
        return window_->findChild<QLabel*>(QStringLiteral("port_info_%1").arg(port))->text();
    }
    template <typename Widget = QPushButton>
    Widget* Named(const char* name) {
        auto* widget = window_->findChild<Widget*>(QString::fromUtf8(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    std::array<CountingTransport*, kPortCount> counters_{};
};

TEST_F(QtWindowOptionsTest, FitsA1366x768ScreenWithTheLogInView) {
    // What a 1366x768 screen leaves a window under a panel and a title bar.
    const QSize screen(1366, 768 - 60);
    const QSize least = window_->minimumSizeHint().expandedTo(window_->minimumSize());
    EXPECT_LE(least.width(), screen.width());
    EXPECT_LE(least.height(), screen.height());
    window_->resize(screen);
    QCoreApplication::processEvents();
    EXPECT_EQ(window_->size(), screen);
    QWidget* log = Control(IDC_MAIN_LOG);
    EXPECT_TRUE(log->isVisible());
    EXPECT_GE(log->height(), 100);
    EXPECT_LE(log->mapTo(window_.get(), QPoint(0, log->height())).y(), screen.height());
    EXPECT_TRUE(window_->grab().save(ArtifactPath(QStringLiteral("window-1366x768.png"))));
}

TEST(PortRowInfoTest, IdentityElapsedTimeAndAverageRate) {
    EXPECT_EQ(PortRowInfo("serial A1, port 1-2", 65.0, 130ull << 20),
              "serial A1, port 1-2\n1:05  2.0 MB/s");
    // Too soon for a rate, and no rate without a count of the bytes.
    EXPECT_EQ(PortRowInfo("serial A1, port -", 0.1, 1 << 20), "serial A1, port -\n0:00");
    EXPECT_EQ(PortRowInfo("serial A1, port -", 61.0, std::nullopt), "serial A1, port -\n1:01");
}

TEST_F(QtWindowOptionsTest, RowsShowIdentityElapsedTimeAndRateMidJob) {
    Drop({BuildPda("rows.nb0", 3'000'000)});
    Click(IDC_DETECT);
    Plug("FIRST");
    Plug("SECOND");
    window_->RefreshPortRows();
    EXPECT_EQ(RowInfo(Port("FIRST")), QStringLiteral("serial FIRST, port sim-1.1"));
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(WaitFor([this] {
        return RowInfo(0).contains(QStringLiteral("MB/s")) &&
               RowInfo(1).contains(QStringLiteral("MB/s"));
    })) << RowInfo(0).toStdString();
    const bool midJob = !JobFinished();
    EXPECT_TRUE(window_->grab().save(ArtifactPath(QStringLiteral("window-rows-mid-job.png"))));
    EXPECT_TRUE(midJob) << "the job ended before the rows showed a rate";
    for (const char* instance : {"FIRST", "SECOND"}) {
        EXPECT_THAT(RowInfo(Port(instance)).toStdString(),
                    StartsWith(std::string("serial ") + instance + ", port sim-1."));
    }
    ASSERT_TRUE(WaitFor([this] { return JobFinished(); }));
    window_->RefreshPortRows();
    const QString final = RowInfo(0);
    window_->RefreshPortRows();
    EXPECT_EQ(RowInfo(0), final) << "a finished row stops its clock";
    Click(IDC_RESET_ALL);
    window_->RefreshPortRows();
    EXPECT_EQ(RowInfo(0), QString());
}

TEST_F(QtWindowOptionsTest, LogsCanBeSavedAndCopied) {
    dlg_->AppendMainLog("[Setup] first\r\n[Setup] 경고\r\n");
    QCoreApplication::processEvents();
    Named("copy_main_log")->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(),
              QStringLiteral("[Setup] first\n[Setup] 경고\n"));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("main.log"));
    ModalHandler<QFileDialog> save([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
        dialog.selectFile(path);
        QMetaObject::invokeMethod(&dialog, "accept");
    });
    Named("save_main_log")->click();
    EXPECT_EQ(save.Handled(), 1);
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(saved.readAll()), QStringLiteral("[Setup] first\n[Setup] 경고\n"));

    dlg_->AppendPortLog(2, "port two\r\n");
    ModalHandler<QDialog> portLog([](QDialog& dialog) {
        dialog.findChild<QPushButton*>(QStringLiteral("copy_port_log"))->click();
        dialog.reject();
    });
    Click(kSeeLogIds[2]);
    EXPECT_EQ(portLog.Handled(), 1);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("port two\n"));
}

TEST_F(QtWindowOptionsTest, AboutButtonShowsTheVersionAndCommit) {
    ModalHandler<CAboutDlg> about([](CAboutDlg& dialog) {
        const QString build = dialog.findChild<QLabel*>(QStringLiteral("about_build"))->text();
        EXPECT_EQ(build, QString::fromUtf8(kVersionText));
        EXPECT_TRUE(build.contains(QString::fromUtf8(kProjectVersion)));
        EXPECT_TRUE(build.contains(QString::fromUtf8(kGitCommit)));
        dialog.accept();
    });
    Named("about_button")->click();
    EXPECT_EQ(about.Handled(), 1);
}

TEST_F(QtWindowOptionsTest, StartOverResetsAndDetectsAgainAfterEachJob) {
    const std::string pda = BuildPda("again.nb0", 20000);
    Drop({pda});
    Named<QCheckBox>("start_over")->click();
    Click(IDC_DETECT);
    Plug("ONE");
    Click(IDC_START_DOWNLOADING);
    // Once the job is over: every port free, the image (used up by the job) chosen again, and
    // Detect pressed again.
    ASSERT_TRUE(WaitFor([this] { return dlg_->m_nDetected == 0 && dlg_->m_bWaitingForDevice; }));
    EXPECT_FALSE(bus_.Handset(SimDevicePath("ONE"))->FlashedBytes(kCmdWritePdaPiece).empty());
    EXPECT_EQ(Text(IDC_PDA_PATH), pda);
    EXPECT_FALSE(Enabled(IDC_DETECT));
    EXPECT_TRUE(Enabled(IDC_RESET_ALL));

    // The next handset attaches without a click on Detect.
    Named<QCheckBox>("start_over")->click();
    Plug("TWO");
    Click(IDC_START_DOWNLOADING);
    ASSERT_TRUE(WaitFor([this] { return JobFinished(); }));
    EXPECT_EQ(dlg_->m_nFinished, 1);
    QCoreApplication::processEvents();
    EXPECT_TRUE(JobFinished()) << "unticked, the window stays at the end of the job";
}

TEST(QtFontTest, KoreanWarningsHaveARealFont) {
    const QString warning = QStringLiteral("경고 체크하면 NV Data 영역이 삭제됩니다.");
    const QStringList korean = QFontDatabase::families(QFontDatabase::Korean);
    ASSERT_FALSE(korean.isEmpty()) << "install fonts-nanum";
    const QRawFont font = QRawFont::fromFont(QApplication::font(), QFontDatabase::Korean);
    ASSERT_TRUE(font.isValid());
    EXPECT_TRUE(korean.contains(font.familyName())) << font.familyName().toStdString();
    for (const QChar letter : warning) {
        if (letter.script() == QChar::Script_Hangul) {
            EXPECT_TRUE(font.supportsCharacter(letter)) << static_cast<int>(letter.unicode());
        }
    }
}

}  // namespace
}  // namespace varnel::test
