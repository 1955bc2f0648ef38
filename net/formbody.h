#pragma once

#include <QString>
#include <QStringView>

namespace Nolvex
{

// The form body as the web client sends it: every character whose code-page code is below 255 in
// magnitude passes unchanged, every other one becomes its two code-page bytes, each as "%" followed
// by unpadded upper-case hexadecimal.
QString EncodeFormBody(QStringView text);

} // namespace Nolvex
