#include "ui/qt/qt_dialog_view.h"

#include <utility>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "ui/qt/color_static_st.h"
#include "ui/qt/log_dialog.h"
#include "ui/qt/qt_text.h"
#include "ui/qt/text_progress_ctrl.h"

namespace varnel {

namespace {

void ScrollToEnd(QPlainTextEdit& edit) {
    QScrollBar* bar = edit.verticalScrollBar();
    bar->setValue(bar->maximum());
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::kExclamation:
            return QMessageBox::Warning;
        case MessageIcon::kQuestion:
            return QMessageBox::Question;
        case MessageIcon::kError:
            return QMessageBox::Critical;
        case MessageIcon::kNone:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QtDialogView::QtDialogView(QWidget& window, std::function<void()> closeWindow)
    : m_window(window), m_closeWindow(std::move(closeWindow)) {}

void QtDialogView::AddControl(int id, QWidget* control) {
    control->setObjectName(QStringLiteral("idc_%1").arg(id));
    m_controls[id] = control;
}

QWidget* QtDialogView::Control(int id) const {
    const auto found = m_controls.find(id);
    return found == m_controls.end() ? nullptr : found->second;
}

template <typename Widget>
Widget* QtDialogView::ControlAs(int id) const {
    return qobject_cast<Widget*>(Control(id));
}

void QtDialogView::EnableControl(int id, bool enable) {
    if (QWidget* control = Control(id)) {
        control->setEnabled(enable);
    }
}

bool QtDialogView::IsControlEnabled(int id) {
    const QWidget* control = Control(id);
    return control != nullptr && control->isEnabled();
}

void QtDialogView::ShowControl(int id, bool show) {
    if (QWidget* control = Control(id)) {
        control->setVisible(show);
    }
}

void QtDialogView::SetText(int id, std::string_view text) {
    QWidget* control = Control(id);
    if (auto* bar = qobject_cast<CTextProgressCtrl*>(control)) {
        bar->SetWindowText(ToQString(text));
    } else if (auto* edit = qobject_cast<QPlainTextEdit*>(control)) {
        edit->setPlainText(ToEditText(text));
        ScrollToEnd(*edit);
    } else if (auto* line = qobject_cast<QLineEdit*>(control)) {
        line->setText(ToQString(text));
    } else if (auto* label = qobject_cast<QLabel*>(control)) {
        label->setText(ToQString(text));
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        button->setText(ToQString(text));
    } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
        group->setTitle(ToQString(text));
    }
}

std::string QtDialogView::GetText(int id) {
    QWidget* control = Control(id);
    if (auto* bar = qobject_cast<CTextProgressCtrl*>(control)) {
        return ToStdString(bar->WindowText());
    }
    if (auto* edit = qobject_cast<QPlainTextEdit*>(control)) {
        return FromEditText(edit->toPlainText());
    }
    if (auto* line = qobject_cast<QLineEdit*>(control)) {
        return ToStdString(line->text());
    }
    if (auto* label = qobject_cast<QLabel*>(control)) {
        return ToStdString(label->text());
    }
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        return ToStdString(button->text());
    }
    if (auto* group = qobject_cast<QGroupBox*>(control)) {
        return ToStdString(group->title());
    }
    return {};
}

void QtDialogView::AppendText(int id, std::string_view text) {
    auto* edit = ControlAs<QPlainTextEdit>(id);
    if (edit == nullptr) {
        SetText(id, GetText(id) + std::string(text));
        return;
    }
    // Inserted at the end without touching the rest, so a long log costs nothing per entry.
    QTextCursor end(edit->document());
    end.movePosition(QTextCursor::End);
    end.insertText(ToEditText(text));
    ScrollToEnd(*edit);
}

void QtDialogView::SetCheck(int id, bool checked) {
    if (auto* button = ControlAs<QAbstractButton>(id)) {
        button->setChecked(checked);
    }
}

bool QtDialogView::GetCheck(int id) {
    const auto* button = ControlAs<QAbstractButton>(id);
    return button != nullptr && button->isChecked();
}

void QtDialogView::SetTextColor(int id, Color color) {
    if (auto* caption = ControlAs<CColorStaticST>(id)) {
        caption->SetTextColor(color == kSystemColor
                                  ? FromQColor(QApplication::palette().color(QPalette::ToolTipText))
                                  : color);
    }
}

void QtDialogView::SetBkColor(int id, Color color) {
    if (auto* caption = ControlAs<CColorStaticST>(id)) {
        caption->SetBkColor(color);
    }
}

void QtDialogView::SetToolTip(int id, std::string_view text) {
    if (QWidget* control = Control(id)) {
        control->setToolTip(ToQString(text));
    }
}

void QtDialogView::SetProgressRange(int id, int lower, int upper) {
    if (auto* bar = ControlAs<CTextProgressCtrl>(id)) {
        bar->SetRange(lower, upper);
    }
}

void QtDialogView::SetProgressPos(int id, int position) {
    if (auto* bar = ControlAs<CTextProgressCtrl>(id)) {
        bar->SetPos(position);
    }
}

void QtDialogView::ShowProgressText(int id, bool show) {
    if (auto* bar = ControlAs<CTextProgressCtrl>(id)) {
        bar->SetShowText(show);
    }
}

void QtDialogView::ResetComboBox(int id) {
    if (auto* combo = ControlAs<QComboBox>(id)) {
        combo->clear();
    }
}

void QtDialogView::AddComboString(int id, std::string_view text) {
    if (auto* combo = ControlAs<QComboBox>(id)) {
        combo->addItem(ToQString(text));
    }
}

void QtDialogView::SetComboSelection(int id, int index) {
    if (auto* combo = ControlAs<QComboBox>(id)) {
        combo->setCurrentIndex(index);
    }
}

int QtDialogView::GetComboSelection(int id) {
    const auto* combo = ControlAs<QComboBox>(id);
    return combo != nullptr ? combo->currentIndex() : -1;
}

int QtDialogView::GetComboCount(int id) {
    const auto* combo = ControlAs<QComboBox>(id);
    return combo != nullptr ? combo->count() : -1;
}

MessageResult QtDialogView::MessageBox(std::string_view text, std::string_view caption,
                                       MessageIcon icon, MessageButtons buttons) {
    QMessageBox box(
        ToQtIcon(icon), ToQString(caption), ToEditText(text),
        buttons == MessageButtons::kOk ? QMessageBox::Ok : QMessageBox::Ok | QMessageBox::Cancel,
        &m_window);
    box.setObjectName(QStringLiteral("message_box"));
    if (buttons == MessageButtons::kOkCancelDefaultCancel) {
        box.setDefaultButton(QMessageBox::Cancel);
    }
    return box.exec() == QMessageBox::Ok ? MessageResult::kOk : MessageResult::kCancel;
}

std::optional<std::string> QtDialogView::ChooseFile(std::string_view filter) {
    if (m_nextChosenFile) {
        return std::exchange(m_nextChosenFile, std::nullopt);
    }
    QFileDialog dialog(&m_window);
    dialog.setObjectName(QStringLiteral("file_dialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(ToNameFilters(filter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    // The name as the file system spells it.
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

void QtDialogView::ShowLogWindow(const LogWindowData& log) {
    CLogDialog dialog(log, &m_window);
    dialog.exec();
}

void QtDialogView::CloseWindow() {
    if (m_closeWindow) {
        m_closeWindow();
    }
}

}  // namespace varnel
