// The log window of one port: "Thread %d Log:" over a read-only copy of the port's log, taken
// when the window opens and shown scrolled to its end; OK closes it.
#pragma once

#include <QDialog>
#include <string>

#include "ui/dialog_view.h"

class QLabel;
class QPlainTextEdit;

namespace varnel {

class CLogDialog : public QDialog {
    Q_OBJECT

  public:
    explicit CLogDialog(const LogWindowData& log, QWidget* parent = nullptr);

    int m_nThread = 0;
    std::string m_strLog;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QPlainTextEdit* m_pLogEdit;
};

}  // namespace varnel
