#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// One operator command run in-process, as `nolvex-shortd ARGUMENTS` would run it.
struct OpsRun {
    int status = -1;
    QString out;
    QString err;
};

OpsRun runOps(const QStringList& arguments, const QProcessEnvironment& environment = {});
