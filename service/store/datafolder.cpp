#include "store/datafolder.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <pwd.h>
#include <unistd.h>

namespace Shortd
{
namespace
{
QString userName()
{
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? QString::fromLocal8Bit(entry->pw_name) : QString::number(geteuid());
}

QString howToMake(const QString& path)
{
    return QStringLiteral("make it for the user %1 (as root: install -d -m 0700 -o %1 %2), or choose another "
                          "folder with --data-dir")
        .arg(userName(), QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
}
} // namespace

bool makeDataFolder(const QString& path, QString* error)
{
    const QFileInfo folder(path);
    if (folder.isDir()) {
        if (!folder.isWritable()) {
            *error = QStringLiteral("the data directory %1 is not writable: %2").arg(path, howToMake(path));
            return false;
        }
        return true;
    }
    if (folder.exists()) {
        *error = QStringLiteral("the data directory %1 is not a directory").arg(path);
        return false;
    }
    // Each missing folder is made on its own, from the outermost in, with its final modes: never
    // open to others for a moment.
    QStringList missing;
    for (QString inner = QDir::cleanPath(folder.absoluteFilePath()); !QFileInfo::exists(inner);
         inner = QFileInfo(inner).absolutePath()) {
        missing.prepend(inner);
    }
    const bool made = std::ranges::all_of(missing, [](const QString& inner) {
        // Another command may make it at the same moment.
        return QDir().mkdir(inner, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)
            || QFileInfo(inner).isDir();
    });
    if (!made) {
        *error = QStringLiteral("cannot create the data directory %1: %2").arg(path, howToMake(path));
        return false;
    }
    return true;
}

} // namespace Shortd
