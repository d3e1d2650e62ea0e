#include "ui/qt/log_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/control_ids.h"
#include "ui/qt/log_actions.h"
#include "ui/qt/qt_text.h"

namespace varnel {

CLogDialog::CLogDialog(const LogWindowData& log, QWidget* parent)
    : QDialog(parent),
      m_nThread(log.nThread),
      m_strLog(log.strLog),
      m_pLogEdit(new QPlainTextEdit(this)) {
    setWindowTitle(QStringLiteral("Log Messages"));
    auto* title = new QLabel(ToQString(log.strTitle), this);
    title->setObjectName(QStringLiteral("idc_%1").arg(IDC_LOG_WINDOW_TITLE));
    m_pLogEdit->setObjectName(QStringLiteral("idc_%1").arg(IDC_LOG_WINDOW_TEXT));
    m_pLogEdit->setReadOnly(true);
    m_pLogEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_pLogEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pLogEdit->setPlainText(ToEditText(m_strLog));
    // The OK button carries the cancel role: it closes the window and changes nothing.
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("idc_2"));
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(m_pLogEdit, 1);
    QBoxLayout* actions =
        MakeLogActions(*m_pLogEdit, QStringLiteral("port_log"), QBoxLayout::LeftToRight, this);
    actions->addWidget(buttons);
    layout->addLayout(actions);
    resize(520, 360);
}

void CLogDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    m_pLogEdit->moveCursor(QTextCursor::End);
    m_pLogEdit->verticalScrollBar()->setValue(m_pLogEdit->verticalScrollBar()->maximum());
}

}  // namespace varnel
