#pragma once

#include "store/linkstore.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

class QRandomGenerator;

namespace Shortd
{

// Turns a validated address into a code and back. Links never change once made, so lookups are
// cached in memory; visits are counted in memory and written to the store about once a second.
class Shortener final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Shortener)

public:
    explicit Shortener(LinkStore& store, QObject* parent = nullptr);
    ~Shortener() override;

    struct Outcome {
        StoreStatus status = StoreStatus::Failed; // Ok or Failed
        QString code;
        bool created = false; // false when the address already had a code
    };

    // The code for (type, target): the existing one, or a new random one committed to the store.
    Outcome shorten(int type, const QString& target);
    LookupResult resolve(const QString& code);
    void countVisit(const QString& code);
    qint64 visitsOf(const StoredLink& link) const;
    // Writes the counted visits; true when nothing is left pending.
    bool flushVisits();

    void setFlushInterval(std::chrono::milliseconds interval);

private:
    void remember(const StoredLink& link);

    LinkStore& m_store;
    QRandomGenerator* m_random;
    QHash<QString, StoredLink> m_byCode;
    QHash<QString, QString> m_byTarget; // "type:target" -> code
    QHash<QString, qint64> m_pendingVisits;
    QTimer m_flushTimer;
};

} // namespace Shortd
