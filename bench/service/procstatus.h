#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// A figure of this process's /proc/self/status in KiB ("VmRSS:", "VmHWM:"); -1 when it cannot be read.
inline qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}
