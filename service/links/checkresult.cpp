#include "links/checkresult.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Shortd
{

CheckEffect checkEffect(const ProbeAnswer& answer)
{
    if (answer.dead()) {
        return CheckEffect::Fail;
    }
    return answer.outcome == ProbeOutcome::Ok ? CheckEffect::Clear : CheckEffect::Keep;
}

CheckResult checkResult(const ProbeAnswer& answer, qint64 nowSecs)
{
    CheckResult result;
    result.check.atSecs = nowSecs;
    result.check.outcome = probeOutcomeName(answer.outcome);
    result.check.status = answer.status;
    result.check.finalUrl = answer.finalUrl;
    QJsonArray hops;
    for (const ProbeHop& hop : answer.hops) {
        hops.append(QJsonObject {{QStringLiteral("url"), hop.url}, {QStringLiteral("status"), hop.status}});
    }
    result.check.hops = QString::fromUtf8(QJsonDocument(hops).toJson(QJsonDocument::Compact));
    result.effect = checkEffect(answer);
    if (answer.outcome == ProbeOutcome::Listed && answer.listed) {
        result.listedList = answer.listed->list;
        result.listedEntry = answer.listed->entry;
    }
    return result;
}

} // namespace Shortd
