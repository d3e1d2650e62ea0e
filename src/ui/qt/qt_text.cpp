#include "ui/qt/qt_text.h"

namespace varnel {

QString ToQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToStdString(const QString& text) {
    return text.toStdString();
}

QString ToEditText(std::string_view text) {
    QString converted = ToQString(text);
    converted.remove(QLatin1Char('\r'));
    return converted;
}

std::string FromEditText(const QString& text) {
    QString converted = text;
    converted.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return ToStdString(converted);
}

QColor ToQColor(Color color) {
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

Color FromQColor(const QColor& color) {
    return Rgb(color.red(), color.green(), color.blue());
}

QStringList ToNameFilters(std::string_view filter) {
    const QStringList parts = ToQString(filter).split(QLatin1Char('|'));
    QStringList filters;
    // Pairs of description and pattern; a trailing empty part ends the list.
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (description.isEmpty() && patterns.isEmpty()) {
            break;
        }
        const QString ownPatterns = QStringLiteral("(%1)").arg(patterns);
        filters.append(description.endsWith(ownPatterns)
                           ? description
                           : QStringLiteral("%1 %2").arg(description, ownPatterns).trimmed());
    }
    return filters;
}

}  // namespace varnel
