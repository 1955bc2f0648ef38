#include "update.h"

#include "jsonreply.h"

#include <QStringBuilder>

namespace Nolvex
{

QString versionRequestAddress(const QString& origin)
{
    return origin + QLatin1StringView("/index.php/Index/soft_version");
}

QString versionRequestBody()
{
    return QLatin1StringView("sn=") + ProductCode;
}

std::optional<VersionReply> readVersionReply(const QString& replyText)
{
    const std::optional<QJsonObject> object = EvaluateJsonReply(replyText);
    if (!object) {
        return std::nullopt;
    }
    const QJsonObject info = object->value(u"info").toObject();
    const std::optional<QString> result = memberText(*object, u"result");
    const std::optional<QString> version = memberText(info, u"version");
    const std::optional<QString> sid = memberText(info, u"sid");
    const std::optional<QString> must = memberText(info, u"must");
    if (!result || !version || !sid || !must) {
        return std::nullopt;
    }
    return VersionReply {*result, *version, *sid, *must};
}

UpdateStep decideUpdate(const std::optional<VersionReply>& reply)
{
    if (!reply || reply->result == QLatin1StringView("0")) {
        return UpdateStep::CheckFailed;
    }
    return reply->version == CurrentVersion ? UpdateStep::UpToDate : UpdateStep::OfferUpdate;
}

PromptOutcome afterPrompt(bool acceptedUpdate, const QString& must)
{
    if (acceptedUpdate) {
        return PromptOutcome::OpenReleasePageAndQuit;
    }
    return must == QLatin1StringView("0") ? PromptOutcome::Continue : PromptOutcome::Quit;
}

QString updatePromptText(const QString& version)
{
    return QStringLiteral("发现最新版本") + version + QStringLiteral("，是否现在更新?");
}

QUrl releasePageUrl(const QString& siteOrigin, const QString& sid)
{
    const QString address = siteOrigin % QLatin1StringView("/index.php/Works/detail/sid/")
        % QString::fromLatin1(QUrl::toPercentEncoding(sid));
    return QUrl(address, QUrl::StrictMode);
}

} // namespace Nolvex
