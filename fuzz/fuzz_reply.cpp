// Reply reading: any bytes, as the web client would hand them over, through JSON parsing, member
// conversion and the two callers' readings. Nothing may crash, and the readings must agree.
#include "jsonreply.h"
#include "shorten.h"
#include "update.h"

#include <QJsonObject>
#include <QString>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QJsonObject> reply = Nolvex::EvaluateJsonReply(text);
    if (reply) {
        for (auto it = reply->begin(); it != reply->end(); ++it) {
            (void)Nolvex::memberText(it.value());
        }
    }
    const Nolvex::ShortenReply shortened = Nolvex::readShortenReply(text);
    if (shortened.kind != Nolvex::ShortenReply::Kind::Unreadable && !reply) {
        std::abort(); // a reading from something that is not a reply
    }
    if (shortened.kind == Nolvex::ShortenReply::Kind::Success && shortened.info.isEmpty()) {
        std::abort(); // a success without a link
    }
    const std::optional<Nolvex::VersionReply> version = Nolvex::readVersionReply(text);
    if (version && !reply) {
        std::abort();
    }
    (void)Nolvex::decideUpdate(version);
    return 0;
}
