// Conversions between the window logic's 8-bit texts and colours and their Qt forms.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <string>
#include <string_view>

#include "ui/dialog_view.h"

namespace varnel {

// The window's texts are UTF-8.
QString ToQString(std::string_view text);
std::string ToStdString(const QString& text);

// A multi-line edit holds lines ending in "\r\n"; the Qt edit holds them without the '\r'.
QString ToEditText(std::string_view text);
std::string FromEditText(const QString& text);

// 0x00BBGGRR; kSystemColor has no Qt colour of its own and must be resolved by the caller.
QColor ToQColor(Color color);
Color FromQColor(const QColor& color);

// "Desc (*.x)|*.x|Desc2 (*.y)|*.y|" as the name filters of a QFileDialog. A description that
// does not end in its own pattern gets it appended, since Qt reads the pattern from there.
QStringList ToNameFilters(std::string_view filter);

}  // namespace varnel
