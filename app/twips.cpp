#include "twips.h"

#include <QString>
#include <QtMath>

namespace Nolvex
{

int twipsToPixels(int twips, qreal logicalDpi)
{
    return qRound(twips * logicalDpi / 1440.0);
}

QRect twipsRect(int left, int top, int width, int height, qreal logicalDpi)
{
    return {twipsToPixels(left, logicalDpi), twipsToPixels(top, logicalDpi), twipsToPixels(width, logicalDpi),
        twipsToPixels(height, logicalDpi)};
}

QString skinPath(const QString& executableDir)
{
    return executableDir + QStringLiteral("/skinh.she");
}

} // namespace Nolvex
