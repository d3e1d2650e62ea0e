#include "ui/qt/log_actions.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>

namespace varnel {

bool SaveLogText(const QString& path, const QString& text) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    return file.write(bytes) == bytes.size() && file.commit();
}

QBoxLayout* MakeLogActions(QPlainTextEdit& log, const QString& name,
                           QBoxLayout::Direction direction, QWidget* parent) {
    auto* save = new QPushButton(QStringLiteral("Save…"), parent);
    save->setObjectName(QStringLiteral("save_") + name);
    auto* copy = new QPushButton(QStringLiteral("Copy"), parent);
    copy->setObjectName(QStringLiteral("copy_") + name);
    QObject::connect(copy, &QPushButton::clicked, &log,
                     [&log] { QGuiApplication::clipboard()->setText(log.toPlainText()); });
    QObject::connect(save, &QPushButton::clicked, &log, [&log, parent] {
        QFileDialog dialog(parent, QStringLiteral("Save log"));
        dialog.setObjectName(QStringLiteral("save_log_dialog"));
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilters({QStringLiteral("Log (*.log *.txt)"), QStringLiteral("All (*)")});
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return;
        }
        const QString path = dialog.selectedFiles().constFirst();
        if (!SaveLogText(path, log.toPlainText())) {
            QMessageBox::warning(parent, QStringLiteral("Save log"),
                                 QStringLiteral("Cannot write %1").arg(path));
        }
    });
    auto* actions = new QBoxLayout(direction);
    actions->addWidget(save);
    actions->addWidget(copy);
    actions->addStretch(1);
    return actions;
}

}  // namespace varnel
