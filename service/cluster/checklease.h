#pragma once

#include "store/databaseaddress.h"

#include <QObject>
#include <QThread>
#include <chrono>

namespace Shortd
{

class CheckLeaseWorker;

// Whether this instance runs the jobs that one instance at a time may run (the destination
// checks). On PostgreSQL it is a session advisory lock on a connection the lease keeps for
// itself, on a thread of its own (connecting may block): the lock goes with the connection, so an
// instance that dies or loses its database hands the jobs on by itself. On the embedded file this
// instance is the only one, and holds the lease from the start.
class CheckLease final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CheckLease)

public:
    // retry: how often the lock is tried while another instance holds it, and the connection
    // looked at while this one does.
    explicit CheckLease(
        DatabaseAddress address, std::chrono::milliseconds retry = std::chrono::seconds(5), QObject* parent = nullptr);
    // Closes the connection, and with it the lock.
    ~CheckLease() override;

    void start();
    bool isHeld() const { return m_held; }

signals:
    void changed(bool held);

private:
    void setHeld(bool held);

    bool m_held = false;
    bool m_embedded;
    QThread m_thread;
    CheckLeaseWorker* m_worker = nullptr; // none on the embedded file
};

} // namespace Shortd
