#include "displaytext.h"

#include <QStringBuilder>

namespace
{
bool isInvisibleOrReordering(char16_t u)
{
    return (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0xFEFF;
}

bool isControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7F && u <= 0x9F);
}

template<typename Hidden>
QString shownWith(const QString& text, Hidden hidden)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (hidden(u)) {
            shown += QStringLiteral("<U+%1>").arg(u, 4, 16, QLatin1Char('0')).toUpper();
        } else {
            shown += c;
        }
    }
    return shown;
}
} // namespace

QString withVisibleControls(const QString& text)
{
    return shownWith(text, isInvisibleOrReordering);
}

QString forTerminal(const QString& text)
{
    return shownWith(text, [](char16_t u) { return isControl(u) || isInvisibleOrReordering(u); });
}

QString csvField(const QString& value)
{
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n') && !value.contains(u'\r')) {
        return value;
    }
    QString quoted = value;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' % quoted % u'"';
}
