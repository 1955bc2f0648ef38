#pragma once

#include <QString>
#include <QStringView>

namespace Nolvex
{

// The token that signs a shortening request: the digest of the long address exactly as typed,
// followed directly by the salt, in 32 upper-case hexadecimal digits. Client and service share it.
QString requestToken(QStringView address);

} // namespace Nolvex
