#include "jsonreply.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <cmath>

namespace Nolvex
{
namespace
{
// Integers up to this magnitude are exact in a double and are written digit by digit.
constexpr double ExactIntegerLimit = 9007199254740992.0; // 2^53
} // namespace

std::optional<QJsonObject> EvaluateJsonReply(const QString& replyText)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(replyText.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

std::optional<QString> memberText(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QJsonValue::Double: {
        const double number = value.toDouble();
        if (std::trunc(number) == number && std::fabs(number) < ExactIntegerLimit) {
            return QString::number(static_cast<qint64>(number));
        }
        return QString::number(number, 'g', QLocale::FloatingPointShortest);
    }
    case QJsonValue::Null:
    case QJsonValue::Array:
    case QJsonValue::Object:
    case QJsonValue::Undefined:
        break;
    }
    return std::nullopt;
}

std::optional<QString> memberText(const QJsonObject& object, QStringView name)
{
    return memberText(object.value(name));
}

} // namespace Nolvex
