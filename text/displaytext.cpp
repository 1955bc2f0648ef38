#include "displaytext.h"

#include <QStringBuilder>

namespace
{
// What spreadsheets read as the start of a formula, and the mark that says "text" itself.
constexpr QStringView FormulaStarts = u"=+-@\t\r'";

bool isInvisibleOrReordering(char16_t u)
{
    return (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0xFEFF;
}

bool isControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

} // namespace

bool isShownAsCodePoint(char16_t unit)
{
    return isControl(unit) || isInvisibleOrReordering(unit);
}

QString withVisibleControls(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (isInvisibleOrReordering(u)) {
            shown += QStringLiteral("<U+%1>").arg(u, 4, 16, QLatin1Char('0')).toUpper();
        } else {
            shown += c;
        }
    }
    return shown;
}

QString forTerminal(const QString& text)
{
    QString shown;
    const QString visible = withVisibleControls(text);
    shown.reserve(visible.size());
    for (const QChar c : visible) {
        const char16_t u = c.unicode();
        if (isControl(u)) {
            shown += QStringLiteral("<U+%1>").arg(u, 4, 16, QLatin1Char('0')).toUpper();
        } else {
            shown += c;
        }
    }
    return shown;
}

QString csvField(const QString& value)
{
    QString cell = value;
    if (!value.isEmpty() && FormulaStarts.contains(value.front())) {
        cell.prepend(u'\'');
    }
    if (!cell.contains(u',') && !cell.contains(u'"') && !cell.contains(u'\n') && !cell.contains(u'\r')) {
        return cell;
    }
    cell.replace(u'"', QStringLiteral("\"\""));
    return u'"' % cell % u'"';
}

QString csvFieldValue(const QString& cell)
{
    return cell.startsWith(u'\'') ? cell.sliced(1) : cell;
}
