#include "token.h"

#include "md5.h"
#include "protocol.h"

#include <QStringBuilder>

namespace Nolvex
{

QString requestToken(QStringView address)
{
    return Md5Hex(QString(address % Protocol::Salt), 32);
}

} // namespace Nolvex
