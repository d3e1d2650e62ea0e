#include "ui/qt/devices_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/qt/qt_text.h"

namespace varnel {

namespace {

const QStringList kColumns = {QStringLiteral("Device"),    QStringLiteral("Serial"),
                              QStringLiteral("Port path"), QStringLiteral("VID:PID"),
                              QStringLiteral("Transport"), QStringLiteral("Speed"),
                              QStringLiteral("Open"),      QStringLiteral("Attached")};

QString Known(const std::string& text) {
    return text.empty() ? QStringLiteral("-") : ToQString(text);
}

}  // namespace

CDevicesDlg::CDevicesDlg(Lister list, QWidget* parent) : QDialog(parent), m_list(std::move(list)) {
    setWindowTitle(QStringLiteral("Devices"));
    setObjectName(QStringLiteral("devices_dialog"));
    m_pTable = new QTableWidget(0, static_cast<int>(kColumns.size()), this);
    m_pTable->setHorizontalHeaderLabels(kColumns);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* refresh =
        buttons->addButton(QStringLiteral("Refresh"), QDialogButtonBox::ActionRole);
    connect(refresh, &QPushButton::clicked, this, &CDevicesDlg::Refresh);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTable);
    layout->addWidget(buttons);
    resize(900, 300);
    Refresh();
}

void CDevicesDlg::Refresh() {
    const std::vector<ListedDevice> devices = m_list ? m_list() : std::vector<ListedDevice>();
    m_pTable->setRowCount(static_cast<int>(devices.size()));
    for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
        const ListedDevice& device = devices[static_cast<size_t>(row)];
        const QString cells[] = {
            ToQString(device.strDevicePath),
            Known(device.identity.strSerial),
            Known(device.identity.strPortPath),
            Known(device.strUsbId),
            ToQString(device.strTransport),
            Known(device.strSpeed),
            device.bOpenable ? QStringLiteral("yes")
                             : QStringLiteral("no: ") + ToQString(device.strWhyNot),
            device.nAttachedPort >= 0 ? QStringLiteral("PDA %1").arg(device.nAttachedPort)
                                      : QStringLiteral("no")};
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column) {
            m_pTable->setItem(row, column, new QTableWidgetItem(cells[column]));
        }
    }
    m_pTable->resizeColumnsToContents();
}

}  // namespace varnel
