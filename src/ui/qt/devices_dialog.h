// The "Devices" view: every matching device present now, where it is plugged in, whether it
// can be opened and which port holds it. Refreshed on request; listing writes to no device.
#pragma once

#include <QDialog>
#include <functional>
#include <vector>

#include "transport/listed_device.h"

class QTableWidget;

namespace varnel {

class CDevicesDlg : public QDialog {
    Q_OBJECT

  public:
    using Lister = std::function<std::vector<ListedDevice>()>;

    explicit CDevicesDlg(Lister list, QWidget* parent = nullptr);
    // Lists the devices again.
    void Refresh();
    QTableWidget* Table() const { return m_pTable; }

  private:
    const Lister m_list;
    QTableWidget* m_pTable = nullptr;
};

}  // namespace varnel
