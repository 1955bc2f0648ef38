#pragma once

#include "store/linkstore.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <optional>

namespace Shortd
{

class BlocklistSet;
class StorePool;

struct QuarantineSweepOptions {
    int batch = 500; // active links read, matched and quarantined in one store call
    // A sweep the store failed is run again after this, so a listed link is not left live
    // until the next reload.
    std::chrono::milliseconds retryAfter {std::chrono::seconds(10)};
};

// What one sweep did, as its log line says it.
struct QuarantineSweepReport {
    QString reason; // what asked for it: the lists that reloaded, the start
    qint64 read = 0; // active links looked at
    qint64 quarantined = 0; // of them, the ones this sweep quarantined
    qint64 elapsedMs = 0;
    bool failed = false; // the store failed part-way; the sweep runs again later
};

// Walks every active link when a list has a new copy, and quarantines the links whose destination
// a list now stops, keeping the list and the entry. The walk goes a bounded page at a time, each
// page read, matched and written on a store worker, never on the event loop. One sweep runs at a
// time; asked while one runs, one more runs after it, covering every ask in between. Every
// instance sweeps: the store quarantines only an active link that was not released from that
// entry, so a second sweep of the same link changes nothing, and each change reaches every
// instance's cache through the change log.
class QuarantineSweep final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuarantineSweep)

public:
    // pool and lists outlive the sweep, and the lists outlive the pool's workers.
    QuarantineSweep(
        StorePool& pool, const BlocklistSet& lists, QuarantineSweepOptions options = {}, QObject* parent = nullptr);
    ~QuarantineSweep() override;

    // Asks for a sweep; reason (a list's name, "start") goes to the log line.
    void request(const QString& reason);
    bool isSweeping() const { return m_sweeping; }
    // Links this instance quarantined since it started, by the list that stopped them.
    const QHash<QString, quint64>& quarantinedByList() const { return m_byList; }

signals:
    // Links just quarantined: this instance's cache forgets them at once.
    void quarantined(const QStringList& codes);
    void finished(const Shortd::QuarantineSweepReport& report);

private:
    struct Page;
    void begin();
    void nextPage();
    void pageDone(const Page& page);
    void end(bool failed);

    StorePool& m_pool;
    const BlocklistSet& m_lists;
    const QuarantineSweepOptions m_options;
    bool m_sweeping = false;
    QStringList m_asked; // reasons for the sweep after the current one
    QuarantineSweepReport m_report;
    std::optional<ListCursor> m_after;
    QElapsedTimer m_clock;
    QTimer m_retry;
    QHash<QString, quint64> m_byList;
};

} // namespace Shortd
