#pragma once

#include <QString>

namespace Shortd
{

// The folder of the embedded store, made on first use as 0700 (the links and visits are nobody
// else's business). A folder that exists keeps the modes its owner gave it (say /tmp, or a home).
// False with *error saying why, and what to run, when it cannot be made or written: without
// systemd's StateDirectory a folder under /var/lib is root's to make.
bool makeDataFolder(const QString& path, QString* error);

} // namespace Shortd
