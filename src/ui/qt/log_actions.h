// "Save…" and "Copy" beside a log box: the box's text to a file the operator names, or to the
// clipboard.
#pragma once

#include <QString>

#include <QBoxLayout>

class QPlainTextEdit;
class QWidget;

namespace varnel {

// The two buttons for `log`, laid out in `direction` after a stretch; their object names are
// "save_" and "copy_" followed by `name`.
QBoxLayout* MakeLogActions(QPlainTextEdit& log, const QString& name,
                           QBoxLayout::Direction direction, QWidget* parent);

// Writes `text` as UTF-8 with the platform's line ends; false when the file cannot be written.
bool SaveLogText(const QString& path, const QString& text);

}  // namespace varnel
