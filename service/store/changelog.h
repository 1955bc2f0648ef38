#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace Shortd
{

// How many running instances have acted on a change to a link.
struct Acknowledgements {
    int live = 0;
    int acknowledged = 0;
};

// The change log of the instances sharing a database, as an operator asks it: the newest change
// logged for code (0 when none), and of the instances whose heartbeat came after liveSinceMs, how
// many run and how many have acted on change. nullopt when the database fails.
class ChangeLog
{
public:
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;

    virtual std::optional<qint64> newestChangeOf(const QString& code) = 0;
    virtual std::optional<Acknowledgements> acknowledgements(qint64 change, qint64 liveSinceMs) = 0;

protected:
    ChangeLog() = default;
    ~ChangeLog() = default;
};

} // namespace Shortd
