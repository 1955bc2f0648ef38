#pragma once

#include "cluster/clusterfeed.h"
#include "store/databaseaddress.h"

#include <QObject>
#include <QStringList>
#include <QThread>
#include <chrono>
#include <functional>

namespace Shortd
{

class ClusterWorker;

struct ClusterAgentOptions {
    // How often the embedded file's change log is read; PostgreSQL announces changes instead.
    std::chrono::milliseconds pollInterval {250};
    // How often the instance says it is alive, and a lost connection is tried again. On
    // PostgreSQL the change log is read then too, in case an announcement went astray.
    std::chrono::milliseconds heartbeatInterval {1000};
};

// This instance's place in the cluster: it registers itself with a heartbeat, hears of every
// change to a link (PostgreSQL's notifications, or the embedded file's change log read a few times
// a second), says which links to forget, and writes back the last change acted on, which the
// operator's commands wait for. It also carries the creation counts the instances share.
//
// It keeps one connection of its own on a thread of its own: the driver delivers notifications on
// the thread that owns the connection, and its reconnects and heartbeats may block, which the
// event loop must never do. Signals arrive on the thread that made the agent.
class ClusterAgent final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ClusterAgent)

public:
    using CountsDone = std::function<void(const std::optional<QList<ClientCount>>& sums, int liveInstances)>;

    ClusterAgent(DatabaseAddress address, ClusterAgentOptions options, QObject* parent = nullptr);
    // Removes the instance's row and closes the connection.
    ~ClusterAgent() override;

    void start();
    // The changes up to this one are acted on (the links forgotten); written back at once.
    void acknowledge(qint64 change);
    // Sends this instance's counts and answers the cluster's sums (PostgreSQL); done runs on this
    // object's thread, with nullopt when the database failed.
    void exchangeCounts(
        const QList<ClientCount>& mine, const QStringList& clients, qint64 oldestSlot, const CountsDone& done);

signals:
    // These links changed: forget them, then acknowledge(upTo) (0: nothing to acknowledge).
    // everything: the connection was lost and is back, and what changed meanwhile is not known.
    void linksChanged(const QStringList& codes, bool everything, qint64 upTo);
    // One announcement from PostgreSQL.
    void notificationReceived();
    // The instances alive now, this one included; after each heartbeat.
    void instancesCounted(int live);

private:
    QString m_instanceId;
    QThread m_thread;
    ClusterWorker* m_worker;
};

} // namespace Shortd
