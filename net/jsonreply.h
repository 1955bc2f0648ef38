#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

namespace Nolvex
{

// Reads a service reply. Only a JSON object is a reply; anything else (not JSON, truncated, empty,
// an array or a bare value) gives nothing. The text is parsed, never run.
std::optional<QJsonObject> EvaluateJsonReply(const QString& replyText);

// A member as text: text unchanged, an integral number as its plain decimal digits, another number
// in its shortest round-trip form, true and false as "True" and "False". Null, an object, an array
// or a missing member have no text.
std::optional<QString> memberText(const QJsonValue& value);
std::optional<QString> memberText(const QJsonObject& object, QStringView name);

} // namespace Nolvex
