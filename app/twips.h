#pragma once

#include <QRect>

namespace Nolvex
{

// 1440 twips make an inch: 15 twips a pixel at 96 dots per inch.
int twipsToPixels(int twips, qreal logicalDpi);
QRect twipsRect(int left, int top, int width, int height, qreal logicalDpi);

// The skin file beside the executable, joined exactly as given, separator or not.
QString skinPath(const QString& executableDir);

} // namespace Nolvex
