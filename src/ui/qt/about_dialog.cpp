#include "ui/qt/about_dialog.h"

#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

constexpr int kAboutVersionId = 1083;

}  // namespace

QPixmap DrawAppIcon(int size) {
    QPixmap icon(size, size);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;
    // The handset body and its screen.
    QPainterPath body;
    body.addRoundedRect(QRectF(3 * unit, 1 * unit, 10 * unit, 14 * unit), 1.5 * unit, 1.5 * unit);
    painter.fillPath(body, QColor(40, 48, 64));
    painter.fillRect(QRectF(4.5 * unit, 3 * unit, 7 * unit, 7 * unit), QColor(90, 170, 240));
    // The download arrow on the screen.
    QPainterPath arrow;
    arrow.moveTo(7 * unit, 4 * unit);
    arrow.lineTo(9 * unit, 4 * unit);
    arrow.lineTo(9 * unit, 6.5 * unit);
    arrow.lineTo(10.5 * unit, 6.5 * unit);
    arrow.lineTo(8 * unit, 9 * unit);
    arrow.lineTo(5.5 * unit, 6.5 * unit);
    arrow.lineTo(7 * unit, 6.5 * unit);
    arrow.closeSubpath();
    painter.fillPath(arrow, Qt::white);
    painter.fillRect(QRectF(6.5 * unit, 11.5 * unit, 3 * unit, 1.5 * unit), QColor(0, 200, 0));
    return icon;
}

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        icon.addPixmap(DrawAppIcon(size));
    }
    return icon;
}

CAboutDlg::CAboutDlg(const std::string& title, const std::string& version, const std::string& build,
                     QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(ToQString(title));
    auto* icon = new QLabel(this);
    icon->setPixmap(DrawAppIcon(32));
    auto* versionLine = new QLabel(ToQString(version), this);
    versionLine->setObjectName(QStringLiteral("idc_%1").arg(kAboutVersionId));
    auto* buildLine = new QLabel(ToQString(build), this);
    buildLine->setObjectName(QStringLiteral("about_build"));
    buildLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("idc_1"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    auto* lines = new QVBoxLayout;
    lines->addWidget(versionLine);
    lines->addWidget(buildLine);
    top->addLayout(lines, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(separator);
    layout->addWidget(buttons);
    setFixedSize(sizeHint());
}

}  // namespace varnel
