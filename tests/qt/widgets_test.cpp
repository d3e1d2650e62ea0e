// The drawing widgets on the offscreen platform: the bar's inverted text checked on pixels, its
// percentage, when it repaints, the caption colours, the log window, and the file-dialog filters.
#include <gtest/gtest.h>

#include <QEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "tests/qt/qt_test_util.h"
#include "ui/control_ids.h"
#include "ui/qt/color_static_st.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/mem_dc.h"
#include "ui/qt/qt_text.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel::test {
namespace {

class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
    int paints = 0;

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return false;
    }
};

// A bar of a fixed size, shown and fully painted.
std::unique_ptr<CTextProgressCtrl> ShownBar(int width = 300, int height = 24) {
    auto bar = std::make_unique<CTextProgressCtrl>();
    bar->setFixedSize(width, height);
    bar->show();
    QCoreApplication::processEvents();
    return bar;
}

TEST(QtFontTest, ARealFontIsInstalled) {
    // Without one every glyph is a box and the pixel tests below prove little.
    EXPECT_TRUE(QFontDatabase::families().contains(QStringLiteral("DejaVu Sans")))
        << "install fonts-dejavu-core";
}

TEST(TextProgressCtrlTest, TextIsInvertedWhereTheBarHasReachedIt) {
    auto bar = ShownBar();
    bar->SetWindowText(QStringLiteral("Downloading PDA IMG to RAM... 50%"));
    bar->SetPos(50);
    const QImage image = bar->grab().toImage();
    const int edge = image.width() / 2;
    // Text pixels on the filled side are drawn in the bar-text colour, on the empty side in the
    // background-text colour; a missing clip leaves one side without any.
    const int onBar = CountTinted(image, 0, edge, bar->BarColor().rgb());
    const int onBackground = CountTinted(image, edge, image.width(), bar->BackgroundColor().rgb());
    EXPECT_GT(onBar, 30);
    EXPECT_GT(onBackground, 30);
    // Glyph stems carry the exact text colour of their side.
    const auto count = [&image](int x0, int x1, const QColor& color) {
        int found = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = x0; x < x1; ++x) {
                found += image.pixel(x, y) == color.rgb() ? 1 : 0;
            }
        }
        return found;
    };
    EXPECT_GT(count(0, edge, bar->TextColorOnBar()), 5);
    EXPECT_GT(count(edge, image.width(), bar->TextColorOnBackground()), 5);
    // The fill itself ends at the edge.
    EXPECT_EQ(image.pixel(2, 2), bar->BarColor().rgb());
    EXPECT_EQ(image.pixel(image.width() - 3, 2), bar->BackgroundColor().rgb());
}

TEST(TextProgressCtrlTest, EmptyTextShowsThePercentageAndATextReplacesIt) {
    auto percentage = ShownBar();
    percentage->SetPos(37);
    EXPECT_EQ(percentage->DisplayedText(), QStringLiteral("37%"));
    auto spelled = ShownBar();
    spelled->SetWindowText(QStringLiteral("37%"));
    spelled->SetPos(37);
    auto other = ShownBar();
    other->SetWindowText(QStringLiteral("38%"));
    other->SetPos(37);
    const QImage shown = percentage->grab().toImage();
    EXPECT_EQ(shown, spelled->grab().toImage());
    EXPECT_NE(shown, other->grab().toImage());

    // Truncated, from the range.
    percentage->SetRange(0, 3);
    percentage->SetPos(2);
    EXPECT_EQ(percentage->DisplayedText(), QStringLiteral("66%"));
    spelled->SetWindowText(QString());
    EXPECT_EQ(spelled->DisplayedText(), QStringLiteral("37%"));
}

TEST(TextProgressCtrlTest, SetPosRepaintsOnlyWhenTheBarWidthChanges) {
    auto bar = ShownBar(200);
    bar->SetRange(0, 1000);
    PaintCounter counter(*bar);
    EXPECT_EQ(bar->SetPos(100), 0);  // 20 pixels
    EXPECT_EQ(counter.paints, 1) << "a new width is painted at once";
    EXPECT_EQ(bar->SetPos(104), 100);  // still 20 pixels
    EXPECT_EQ(counter.paints, 1);
    EXPECT_EQ(bar->GetPos(), 104);
    bar->SetPos(105);  // 21 pixels
    EXPECT_EQ(counter.paints, 2);

    // After a resize the next SetPos paints even at the same position.
    bar->setFixedSize(240, 24);
    QCoreApplication::processEvents();
    counter.paints = 0;
    bar->SetPos(105);
    EXPECT_EQ(counter.paints, 1);
}

TEST(TextProgressCtrlTest, StepAndOffsetMoveThroughSetPos) {
    auto bar = ShownBar();
    EXPECT_EQ(bar->SetStep(10), 1);
    EXPECT_EQ(bar->StepIt(), 0);
    EXPECT_EQ(bar->OffsetPos(-3), 10);
    EXPECT_EQ(bar->GetPos(), 7);
}

TEST(TextProgressCtrlTest, AnEmptyRangePaintsNothing) {
    auto bar = ShownBar();
    bar->SetWindowText(QStringLiteral("must not show"));
    bar->SetRange(5, 5);
    bar->SetPos(5);
    const QImage empty = bar->grab().toImage();
    QWidget plain;
    plain.setFixedSize(bar->size());
    plain.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(empty, plain.grab().toImage());

    bar->SetRange(0, 100);
    bar->repaint();
    EXPECT_NE(bar->grab().toImage(), plain.grab().toImage());
}

TEST(TextProgressCtrlTest, HiddenTextLeavesOnlyTheBar) {
    auto bar = ShownBar();
    bar->SetWindowText(QStringLiteral("WWWWWWWWWWWWWWWWWWWW"));
    bar->SetPos(50);
    bar->SetShowText(false);
    bar->repaint();
    const QImage image = bar->grab().toImage();
    EXPECT_EQ(CountTinted(image, 0, 150, bar->BarColor().rgb(), 0), 0);
    EXPECT_EQ(CountTinted(image, 150, 300, bar->BackgroundColor().rgb(), 0), 0);
}

TEST(MemDcTest, DrawingReachesTheTargetOnlyWhenTheSurfaceGoesAway) {
    QImage target(40, 20, QImage::Format_ARGB32_Premultiplied);
    target.fill(Qt::white);
    QPainter painter(&target);
    {
        CMemDC memDC(painter, QRect(10, 5, 20, 10));
        ASSERT_TRUE(memDC.DrawsToMemory());
        // Target coordinates.
        memDC.Painter().fillRect(QRect(10, 5, 20, 10), Qt::red);
        EXPECT_EQ(target.pixel(15, 8), qRgb(255, 255, 255));
    }
    painter.end();
    EXPECT_EQ(target.pixel(15, 8), qRgb(255, 0, 0));
    EXPECT_EQ(target.pixel(5, 8), qRgb(255, 255, 255));
}

TEST(ColorStaticTest, ColoursAndTheSystemColoursBack) {
    CColorStaticST caption;
    caption.setText(QStringLiteral("PDA 0"));
    caption.setFixedSize(80, 20);
    caption.show();
    caption.SetBkColor(Rgb(0, 0, 255));
    caption.SetTextColor(Rgb(255, 255, 0));
    EXPECT_EQ(caption.BkColor(), QColor(0, 0, 255));
    EXPECT_EQ(caption.grab().toImage().pixel(1, 1), qRgb(0, 0, 255));
    EXPECT_EQ(caption.palette().color(QPalette::WindowText), QColor(255, 255, 0));

    caption.SetBkColor(kSystemColor);
    caption.SetTextColor(kSystemColor);
    EXPECT_EQ(caption.BkColor(), QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(caption.TextColor(), QApplication::palette().color(QPalette::ButtonText));
    EXPECT_EQ(caption.grab().toImage().pixel(1, 1),
              QApplication::palette().color(QPalette::Button).rgb());
}

TEST(LogDialogTest, ShowsTheCopyScrolledToTheEndAndOkCloses) {
    std::string log;
    for (int line = 0; line < 200; ++line) {
        log += "[Setup:3] line " + std::to_string(line) + "\r\n";
    }
    CLogDialog dialog({3, "Thread 3 Log:", log});
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Log Messages"));
    EXPECT_EQ(dialog.m_nThread, 3);
    ModalHandler<CLogDialog> handler([&](CLogDialog& shown) {
        auto* title = FindControl<QLabel>(shown, IDC_LOG_WINDOW_TITLE);
        auto* edit = FindControl<QPlainTextEdit>(shown, IDC_LOG_WINDOW_TEXT);
        ASSERT_NE(title, nullptr);
        ASSERT_NE(edit, nullptr);
        EXPECT_EQ(title->text(), QStringLiteral("Thread 3 Log:"));
        EXPECT_TRUE(edit->isReadOnly());
        EXPECT_EQ(FromEditText(edit->toPlainText()), log);
        QScrollBar* scroll = edit->verticalScrollBar();
        EXPECT_GT(scroll->maximum(), 0);
        EXPECT_EQ(scroll->value(), scroll->maximum());
        QTest::mouseClick(shown.findChild<QPushButton*>(QStringLiteral("idc_2")), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(handler.Handled(), 1);
}

TEST(QtTextTest, FileFiltersAndEditText) {
    EXPECT_EQ(ToNameFilters("PDA(Savrel) Image (*.nb0)|*.nb0|"),
              QStringList{QStringLiteral("PDA(Savrel) Image (*.nb0)")});
    EXPECT_EQ(ToNameFilters("PDA(Telvik) Image (*.mst)|*.mst|Multi Partition Telvik SMD Image "
                            "(*.msd)|*.msd|Single Partition Telvik SMD Image (*.sst)|*.sst|"),
              (QStringList{QStringLiteral("PDA(Telvik) Image (*.mst)"),
                           QStringLiteral("Multi Partition Telvik SMD Image (*.msd)"),
                           QStringLiteral("Single Partition Telvik SMD Image (*.sst)")}));
    // A description that does not name its patterns gets them, in Qt's spelling.
    EXPECT_EQ(ToNameFilters("Images|*.eb0;*.nb0|"),
              QStringList{QStringLiteral("Images (*.eb0 *.nb0)")});
    EXPECT_TRUE(ToNameFilters("").isEmpty());

    EXPECT_EQ(ToEditText("a\r\nb\r\n"), QStringLiteral("a\nb\n"));
    EXPECT_EQ(FromEditText(QStringLiteral("a\nb")), "a\r\nb");
    EXPECT_EQ(ToQString("경고"), QString::fromUtf8("경고"));
    EXPECT_EQ(FromQColor(ToQColor(Rgb(1, 2, 3))), Rgb(1, 2, 3));
}

}  // namespace
}  // namespace varnel::test
