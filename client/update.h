#pragma once

#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>

namespace Nolvex
{

// The shipped time limit of the version check, from sending to the last byte of the reply.
inline constexpr std::chrono::milliseconds VersionCheckTimeLimit {10'000};

QString versionRequestAddress(const QString& origin);
QString versionRequestBody();

struct VersionReply {
    QString result;
    QString version;
    QString sid;
    QString must;
};

// All four members are read before any is examined; a reply that lacks one has no use.
std::optional<VersionReply> readVersionReply(const QString& replyText);

enum class UpdateStep {
    CheckFailed, // "检测失败,请先使用当前版本", then carry on
    UpToDate,
    OfferUpdate,
};

// No usable reply counts as a failed check, so the client is never left unusable.
UpdateStep decideUpdate(const std::optional<VersionReply>& reply);

enum class PromptOutcome {
    OpenReleasePageAndQuit,
    Quit, // a mandatory update was declined
    Continue,
};

PromptOutcome afterPrompt(bool acceptedUpdate, const QString& must);

QString updatePromptText(const QString& version);

// The release page for a sid; the sid is one path segment, percent-encoded.
QUrl releasePageUrl(const QString& siteOrigin, const QString& sid);

} // namespace Nolvex
