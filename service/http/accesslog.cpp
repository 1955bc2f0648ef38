#include "http/accesslog.h"

#include <QDateTime>
#include <QFile>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Shortd
{
namespace
{
constexpr qsizetype MaximumLoggedTarget = 2048;
} // namespace

AccessLog::~AccessLog()
{
    if (m_ownsFile && m_file) {
        std::fclose(m_file);
    } else if (m_file) {
        std::fflush(m_file);
    }
}

bool AccessLog::open(const QString& target)
{
    if (target == u"off") {
        return true;
    }
    if (target == u"-") {
        m_file = stdout;
    } else {
        // Client addresses and destinations are for the service's own user: a new log is made
        // 0600, as the database is. An existing one keeps the mode its owner gave it.
        const int descriptor = ::open(
            QFile::encodeName(target).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (descriptor < 0) {
            return false;
        }
        m_file = ::fdopen(descriptor, "a");
        if (!m_file) {
            ::close(descriptor);
            return false;
        }
        m_ownsFile = true;
    }
    // Whole lines reach the log as they happen, so a crash loses none.
    std::setvbuf(m_file, nullptr, _IOLBF, 1 << 16);
    return true;
}

void AccessLog::record(const QString& client, QByteArrayView method, QByteArrayView target, int status, qsizetype bytes)
{
    if (!m_file) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QByteArray line;
    line.reserve(96 + std::min(target.size(), MaximumLoggedTarget));
    line += client.toLatin1();
    line += " - - [";
    const QMutexLocker lock(&m_mutex);
    if (const qint64 secs = now.toSecsSinceEpoch(); secs != m_stampSecs) {
        m_stampSecs = secs;
        m_stamp = now.toString(QStringLiteral("dd/MMM/yyyy:HH:mm:ss +0000")).toLatin1();
    }
    line += m_stamp;
    line += "] \"";
    line += method;
    line += ' ';
    line += target.first(std::min(target.size(), MaximumLoggedTarget));
    line += " HTTP/1.1\" ";
    line += QByteArray::number(status);
    line += ' ';
    line += QByteArray::number(bytes);
    line += '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), m_file);
}

} // namespace Shortd
