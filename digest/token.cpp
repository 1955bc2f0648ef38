#include "token.h"

#include "md5.h"

#include <QStringBuilder>

namespace Nolvex
{
namespace
{
constexpr auto Salt = QLatin1StringView("brisk");
} // namespace

QString requestToken(QStringView address)
{
    return Md5Hex(QString(address % Salt), 32);
}

} // namespace Nolvex
