#include "update.h"

#include "jsonreply.h"
#include "protocol.h"
#include "version.h"

#include <QStringBuilder>

namespace Nolvex
{

QString versionRequestAddress(const QString& origin)
{
    return origin % Protocol::VersionPath;
}

QString versionRequestBody()
{
    return Protocol::ProductKey % u'=' % Protocol::ProductCode;
}

std::optional<VersionReply> readVersionReply(const QString& replyText)
{
    const std::optional<QJsonObject> object = EvaluateJsonReply(replyText);
    if (!object) {
        return std::nullopt;
    }
    using namespace Protocol;
    const QJsonObject info = object->value(InfoMember).toObject();
    const std::optional<QString> result = memberText(*object, ResultMember);
    const std::optional<QString> version = memberText(info, VersionMember);
    const std::optional<QString> sid = memberText(info, SidMember);
    const std::optional<QString> must = memberText(info, MustMember);
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
    return reply->version == Protocol::CurrentVersion ? UpdateStep::UpToDate : UpdateStep::OfferUpdate;
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
    const QString address
        = siteOrigin % Protocol::ReleasePagePrefix % QString::fromLatin1(QUrl::toPercentEncoding(sid));
    return QUrl(address, QUrl::StrictMode);
}

} // namespace Nolvex
