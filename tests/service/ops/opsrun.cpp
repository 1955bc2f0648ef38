#include "opsrun.h"

#include "ops/operatorcommands.h"

#include <QBuffer>

OpsRun runOps(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    OpsRun result;
    result.status
        = Shortd::runOperatorCommand(QStringList {QStringLiteral("nolvex-shortd")} + arguments, environment, out, err);
    result.out = QString::fromUtf8(out.data());
    result.err = QString::fromUtf8(err.data());
    return result;
}
