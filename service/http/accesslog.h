#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMutex>
#include <QString>
#include <cstdio>

namespace Shortd
{

// One line a request in the common log format, to a file, standard output, or nowhere. Requests
// may be recorded from any thread: each line is written whole, under a lock.
class AccessLog
{
public:
    AccessLog() = default;
    ~AccessLog();
    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    // "-" is standard output, "off" is no log, anything else a file appended to (made 0600 when new).
    bool open(const QString& target);
    void record(const QString& client, QByteArrayView method, QByteArrayView target, int status, qsizetype bytes);

private:
    QMutex m_mutex;
    std::FILE* m_file = nullptr;
    bool m_ownsFile = false;
    qint64 m_stampSecs = -1;
    QByteArray m_stamp;
};

} // namespace Shortd
