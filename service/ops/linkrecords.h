#pragma once

#include "links/fields.h"
#include "links/result.h"
#include "store/linkstore.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

class QIODevice;

namespace Shortd
{

// Links as operators read and move them: one record a link, as a table row, a JSON object or a
// CSV row, with dates in ISO 8601 UTC. Export writes exactly what import reads back.
enum class RecordFormat {
    Table,
    Json, // an array of objects
    JsonLines, // one object a line
    Csv, // RFC 4180, with a header row
};

// The longest owner an import takes; the other fields' bounds are in links/fields.h.
inline constexpr qsizetype LinkOwnerLimit = 64; // a key's name

// Whether a link's title, tags, owner, end and visit limit can be stored; if not, an Invalid fault
// says why (in English, for the operator commands).
Result<Done> checkLinkFields(const StoredLink& link);

std::optional<LinkState> parseStateName(QStringView name);
QString isoTime(qint64 secs); // "2026-12-07T12:00:00Z"; empty for 0
std::optional<qint64> parseIsoTime(QStringView text); // also a plain date, "2026-12-07"

// Writes records one at a time, so any number of them takes the same memory.
class RecordWriter
{
public:
    // A table marks an active link past its end, or with its visits used up, as expired at
    // nowSecs; 0 leaves that out.
    RecordWriter(QIODevice& out, RecordFormat format, qint64 nowSecs = 0);
    bool begin();
    bool write(const StoredLink& link);
    bool end();

private:
    bool put(const QByteArray& bytes);

    QIODevice& m_out;
    RecordFormat m_format;
    qint64 m_nowSecs = 0;
    bool m_first = true;
};

// Reads what a RecordWriter wrote as JSON lines or CSV, telling them apart by the first byte.
class RecordReader
{
public:
    explicit RecordReader(QIODevice& in);

    enum class Status {
        Record,
        End,
        Bad, // this record cannot be read; error() says why, and reading goes on with the next
    };
    Status next(StoredLink* link);
    QString error() const { return m_error; }
    qint64 line() const { return m_line; } // where the record started, from 1

private:
    bool readCsvRow(QStringList* fields);
    bool fromFields(const QStringList& values, StoredLink* link);
    bool fromJson(const QByteArray& line, StoredLink* link);
    int readChar();

    QIODevice& m_in;
    bool m_started = false;
    bool m_csv = false;
    QStringList m_columns;
    QString m_error;
    qint64 m_line = 0;
    qint64 m_nextLine = 1;
    QByteArray m_buffer;
    qsizetype m_position = 0;
};

} // namespace Shortd
