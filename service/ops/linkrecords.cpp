#include "ops/linkrecords.h"

#include "displaytext.h"
#include "links/addresspolicy.h"
#include "links/fields.h"

#include <QDateTime>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <array>
#include <limits>

namespace Shortd
{
namespace
{
// A file written before a column was added still reads: a column left out is its empty value.
constexpr std::array<const char*, 19> Columns {"code", "type", "target", "created", "visits", "state", "reason",
    "changed", "chosen", "expires", "maxVisits", "title", "tags", "owner", "disabledBy", "takedown", "quarantineList",
    "quarantineEntry", "quarantined"};
// A blocklist's name, as a quarantine keeps it.
constexpr qsizetype MaximumListNameLength = 64;
// The longest line export can write is well under this: an address of MaximumAddressLength
// characters of three UTF-8 bytes each (and a quarantine's entry as long), a reason, title, tags
// and owner whose every character JSON writes as \u0001, and the rest.
constexpr qsizetype MaximumRecordBytes = qsizetype(64) * 1024;
static_assert(MaximumRecordBytes >= qsizetype(6) * MaximumAddressLength + 6 * MaximumListNameLength
        + 6 * (MaximumReasonLength + MaximumTitleLength + MaximumTags * (MaximumTagLength + 3) + 2 * LinkOwnerLimit)
        + 1024);
constexpr qint64 MaximumCount = std::numeric_limits<qint64>::max();
constexpr qint64 ReadChunk = qint64(64) * 1024;

// Tags in one CSV cell, as a JSON array, so that a tag holding a comma or a quote comes back whole.
QString tagsCell(const QStringList& tags)
{
    return tags.isEmpty()
        ? QString()
        : QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(tags)).toJson(QJsonDocument::Compact));
}

QStringList fieldsOf(const StoredLink& link)
{
    return {link.code, QString::number(link.type), link.target, isoTime(link.createdSecs), QString::number(link.visits),
        stateName(link.state), link.reason, isoTime(link.changedSecs),
        link.chosen ? QStringLiteral("true") : QStringLiteral("false"), isoTime(link.expiresSecs),
        link.maxVisits > 0 ? QString::number(link.maxVisits) : QString(), link.title, tagsCell(link.tags), link.owner,
        link.disabledBy, link.takedown ? QStringLiteral("true") : QStringLiteral("false"), link.quarantine.list,
        link.quarantine.entry, isoTime(link.quarantine.atSecs)};
}

QJsonObject objectOf(const StoredLink& link)
{
    QJsonObject object {{QStringLiteral("code"), link.code}, {QStringLiteral("type"), link.type},
        {QStringLiteral("target"), link.target}, {QStringLiteral("created"), isoTime(link.createdSecs)},
        {QStringLiteral("visits"), link.visits}, {QStringLiteral("state"), stateName(link.state)}};
    if (!link.reason.isEmpty()) {
        object.insert(QStringLiteral("reason"), link.reason);
    }
    if (link.changedSecs != 0) {
        object.insert(QStringLiteral("changed"), isoTime(link.changedSecs));
    }
    if (link.chosen) {
        object.insert(QStringLiteral("chosen"), true);
    }
    if (link.expiresSecs > 0) {
        object.insert(QStringLiteral("expires"), isoTime(link.expiresSecs));
    }
    if (link.maxVisits > 0) {
        object.insert(QStringLiteral("maxVisits"), link.maxVisits);
    }
    if (!link.title.isEmpty()) {
        object.insert(QStringLiteral("title"), link.title);
    }
    if (!link.tags.isEmpty()) {
        object.insert(QStringLiteral("tags"), QJsonArray::fromStringList(link.tags));
    }
    if (!link.owner.isEmpty()) {
        object.insert(QStringLiteral("owner"), link.owner);
    }
    if (!link.disabledBy.isEmpty()) {
        object.insert(QStringLiteral("disabledBy"), link.disabledBy);
    }
    if (link.takedown) {
        object.insert(QStringLiteral("takedown"), true);
    }
    if (!link.quarantine.list.isEmpty()) {
        object.insert(QStringLiteral("quarantineList"), link.quarantine.list);
        object.insert(QStringLiteral("quarantineEntry"), link.quarantine.entry);
        object.insert(QStringLiteral("quarantined"), isoTime(link.quarantine.atSecs));
    }
    return object;
}

// Minutes are enough to read.
QString tableTime(qint64 secs)
{
    if (secs == 0) {
        return QStringLiteral("-");
    }
    QString time = isoTime(secs);
    time.replace(u'T', u' ');
    time.chop(4); // seconds and "Z"
    return time;
}

// The one place links are written for a terminal: nothing stored reaches it as a control
// character, nor as an invisible or reordering one.
QString tableRow(const StoredLink& link, qint64 nowSecs)
{
    const bool expired = nowSecs > 0 && link.state == LinkState::Active && isExpired(link, nowSecs);
    QString visits = QString::number(link.visits);
    if (link.maxVisits > 0) {
        visits += u'/' + QString::number(link.maxVisits);
    }
    return forTerminal(link.code).leftJustified(17) % QString::number(link.type).leftJustified(5)
        % (expired ? QStringLiteral("expired") : stateName(link.state)).leftJustified(9) % visits.rightJustified(10)
        % u"  " % tableTime(link.createdSecs).leftJustified(17) % tableTime(link.expiresSecs).leftJustified(17)
        % forTerminal(link.target) % u'\n';
}

bool toCount(const QString& text, qint64* value)
{
    bool ok = false;
    *value = text.toLongLong(&ok);
    return ok && *value >= 0 && !text.startsWith(u'+');
}

// Why the fields cannot be stored; empty when they can.
QString fieldsProblem(const StoredLink& link)
{
    if (link.title.size() > MaximumTitleLength || !isPlainFieldText(link.title)) {
        return QStringLiteral("the title is not at most %1 characters without control characters, bidirectional "
                              "controls or lone surrogates")
            .arg(MaximumTitleLength);
    }
    if (link.tags.size() > MaximumTags) {
        return QStringLiteral("more than %1 tags").arg(MaximumTags);
    }
    for (qsizetype i = 0; i < link.tags.size(); ++i) {
        const QString& tag = link.tags.at(i);
        if (tag.trimmed().isEmpty() || tag.size() > MaximumTagLength || !isPlainFieldText(tag)) {
            return QStringLiteral("a tag is not 1 to %1 characters without control characters, bidirectional "
                                  "controls or lone surrogates")
                .arg(MaximumTagLength);
        }
        if (link.tags.indexOf(tag) < i) {
            return QStringLiteral("the tag %1 is given twice").arg(forTerminal(tag));
        }
    }
    if (link.owner.size() > LinkOwnerLimit || !isPlainFieldText(link.owner)) {
        return QStringLiteral("the owner is not a key's name");
    }
    if (link.disabledBy.size() > 2 * LinkOwnerLimit || !isPlainFieldText(link.disabledBy)
        || (!link.disabledBy.isEmpty() && !link.disabledBy.startsWith(u"key:")
            && !link.disabledBy.startsWith(u"shell:"))) {
        return QStringLiteral("disabledBy is not key:NAME or shell:USER");
    }
    if (link.quarantine.list.size() > MaximumListNameLength || !isPlainFieldText(link.quarantine.list)
        || link.quarantine.entry.size() > MaximumAddressLength || !isPlainFieldText(link.quarantine.entry)) {
        return QStringLiteral("the quarantine's list or entry is too long or holds control characters");
    }
    if (link.state == LinkState::Quarantined && link.quarantine.list.isEmpty()) {
        return QStringLiteral("a quarantined link names no list");
    }
    if (link.expiresSecs < 0) {
        return QStringLiteral("the end is before 1970");
    }
    if (link.maxVisits < 0 || link.maxVisits > MaximumVisitLimit) {
        return QStringLiteral("the visit limit is not a whole number from 1 to %1").arg(MaximumVisitLimit);
    }
    return {};
}
} // namespace

Result<Done> checkLinkFields(const StoredLink& link)
{
    if (QString problem = fieldsProblem(link); !problem.isEmpty()) {
        return Fault {FaultKind::Invalid, {}, std::move(problem)};
    }
    return Done {};
}

std::optional<LinkState> parseStateName(QStringView name)
{
    for (const LinkState state : {LinkState::Active, LinkState::Disabled, LinkState::Deleted, LinkState::Quarantined}) {
        if (name == stateName(state)) {
            return state;
        }
    }
    return std::nullopt;
}

QString isoTime(qint64 secs)
{
    return secs == 0 ? QString() : QDateTime::fromSecsSinceEpoch(secs, Qt::UTC).toString(Qt::ISODate);
}

std::optional<qint64> parseIsoTime(QStringView text)
{
    QDateTime time = QDateTime::fromString(text.toString(), Qt::ISODate);
    if (!time.isValid()) {
        const QDate date = QDate::fromString(text.toString(), Qt::ISODate);
        if (!date.isValid()) {
            return std::nullopt;
        }
        time = QDateTime(date, QTime(0, 0), Qt::UTC);
    }
    if (time.timeSpec() == Qt::LocalTime) {
        time.setTimeSpec(Qt::UTC); // a time without a zone is read as UTC, as export writes it
    }
    return time.toSecsSinceEpoch();
}

RecordWriter::RecordWriter(QIODevice& out, RecordFormat format, qint64 nowSecs)
    : m_out(out)
    , m_format(format)
    , m_nowSecs(nowSecs)
{
}

bool RecordWriter::put(const QByteArray& bytes)
{
    return m_out.write(bytes) == bytes.size();
}

bool RecordWriter::begin()
{
    switch (m_format) {
    case RecordFormat::Table:
        return put(
            QStringLiteral("CODE             TYPE STATE        VISITS  CREATED (UTC)    ENDS (UTC)       TARGET\n")
                .toUtf8());
    case RecordFormat::Json:
        return put("[");
    case RecordFormat::Csv: {
        QStringList header;
        for (const char* column : Columns) {
            header.append(QString::fromLatin1(column));
        }
        return put(header.join(u',').toUtf8() + "\r\n");
    }
    case RecordFormat::JsonLines:
        return true;
    }
    return true;
}

bool RecordWriter::write(const StoredLink& link)
{
    switch (m_format) {
    case RecordFormat::Table:
        return put(tableRow(link, m_nowSecs).toUtf8());
    case RecordFormat::Json: {
        const QByteArray separator = m_first ? "\n" : ",\n";
        m_first = false;
        return put(separator + QJsonDocument(objectOf(link)).toJson(QJsonDocument::Compact));
    }
    case RecordFormat::JsonLines:
        return put(QJsonDocument(objectOf(link)).toJson(QJsonDocument::Compact) + '\n');
    case RecordFormat::Csv: {
        QStringList fields = fieldsOf(link);
        for (QString& field : fields) {
            field = csvField(field);
        }
        return put(fields.join(u',').toUtf8() + "\r\n");
    }
    }
    return false;
}

bool RecordWriter::end()
{
    return m_format == RecordFormat::Json ? put(m_first ? "]\n" : "\n]\n") : true;
}

RecordReader::RecordReader(QIODevice& in)
    : m_in(in)
{
}

int RecordReader::readChar()
{
    if (m_position == m_buffer.size()) {
        m_buffer = m_in.read(ReadChunk);
        m_position = 0;
        if (m_buffer.isEmpty()) {
            // A pipe may have nothing yet without being at its end.
            if (!m_in.atEnd() && m_in.waitForReadyRead(-1)) {
                return readChar();
            }
            return -1;
        }
    }
    return static_cast<unsigned char>(m_buffer.at(m_position++));
}

bool RecordReader::readCsvRow(QStringList* fields)
{
    fields->clear();
    QByteArray field;
    bool quoted = false;
    bool any = false;
    bool tooLong = false;
    for (;;) {
        const int c = readChar();
        if (c < 0) {
            if (any) {
                fields->append(QString::fromUtf8(field));
            }
            return any && !tooLong;
        }
        any = true;
        if (quoted) {
            if (c == '"') {
                const int following = readChar();
                if (following == '"') {
                    field += '"';
                    continue;
                }
                quoted = false;
                if (following < 0) {
                    fields->append(QString::fromUtf8(field));
                    return !tooLong;
                }
                if (following == ',' || following == '\n' || following == '\r') {
                    // Handled below as the character after the closing quote.
                    if (following == ',') {
                        fields->append(QString::fromUtf8(field));
                        field.clear();
                        continue;
                    }
                    if (following == '\r') {
                        readChar(); // the LF of CR LF
                    }
                    ++m_nextLine;
                    fields->append(QString::fromUtf8(field));
                    return !tooLong;
                }
                field += static_cast<char>(following);
                continue;
            }
            if (c == '\n') {
                ++m_nextLine;
            }
            field += static_cast<char>(c);
        } else if (c == '"' && field.isEmpty()) {
            quoted = true;
        } else if (c == ',') {
            fields->append(QString::fromUtf8(field));
            field.clear();
        } else if (c == '\r') {
            continue;
        } else if (c == '\n') {
            ++m_nextLine;
            fields->append(QString::fromUtf8(field));
            return !tooLong;
        } else {
            field += static_cast<char>(c);
        }
        if (field.size() > MaximumRecordBytes) {
            tooLong = true;
            field.clear();
        }
    }
}

bool RecordReader::fromFields(const QStringList& values, StoredLink* link)
{
    const auto value = [&](const char* column) {
        const qsizetype index = m_columns.indexOf(QString::fromLatin1(column));
        return index >= 0 && index < values.size() ? values.at(index) : QString();
    };
    if (values.size() != m_columns.size()) {
        m_error = QStringLiteral("%1 fields, the header has %2").arg(values.size()).arg(m_columns.size());
        return false;
    }
    *link = {};
    link->code = value("code");
    link->target = value("target");
    link->reason = value("reason");
    const std::optional<int> type = parseLinkType(value("type"));
    const std::optional<qint64> created = parseIsoTime(value("created"));
    const QString changedText = value("changed");
    const std::optional<qint64> changed = changedText.isEmpty() ? std::optional<qint64>(0) : parseIsoTime(changedText);
    const QString stateText = value("state");
    const std::optional<LinkState> state = stateText.isEmpty() ? LinkState::Active : parseStateName(stateText);
    const QString visitsText = value("visits");
    const QString chosenText = value("chosen");
    const QString takedownText = value("takedown");
    const QString quarantinedText = value("quarantined");
    const std::optional<qint64> quarantined
        = quarantinedText.isEmpty() ? std::optional<qint64>(0) : parseIsoTime(quarantinedText);
    const QString expiresText = value("expires");
    const std::optional<qint64> expires = expiresText.isEmpty() ? std::optional<qint64>(0) : parseIsoTime(expiresText);
    const QString maxVisitsText = value("maxVisits");
    const QString tagsText = value("tags");
    const QJsonDocument tagsDocument = QJsonDocument::fromJson(tagsText.toUtf8());
    const QJsonArray tags = tagsDocument.array();
    const bool tagsRead = tagsText.isEmpty()
        || (tagsDocument.isArray()
            && std::all_of(tags.begin(), tags.end(), [](const QJsonValue& tag) { return tag.isString(); }));
    if (!type) {
        m_error = QStringLiteral("the type is not a whole number from 0 to %1").arg(LinkTypeCount - 1);
    } else if (!created) {
        m_error = QStringLiteral("the creation time is not an ISO 8601 time");
    } else if (!changed) {
        m_error = QStringLiteral("the time changed is not an ISO 8601 time");
    } else if (!state) {
        m_error = QStringLiteral("the state is not active, disabled, deleted or quarantined");
    } else if (!visitsText.isEmpty() && !toCount(visitsText, &link->visits)) {
        m_error = QStringLiteral("the visits are not a whole number from 0 to %1").arg(MaximumCount);
    } else if (!chosenText.isEmpty() && chosenText != u"true" && chosenText != u"false") {
        m_error = QStringLiteral("chosen is not true or false");
    } else if (!takedownText.isEmpty() && takedownText != u"true" && takedownText != u"false") {
        m_error = QStringLiteral("takedown is not true or false");
    } else if (!quarantined) {
        m_error = QStringLiteral("the time quarantined is not an ISO 8601 time");
    } else if (!expires) {
        m_error = QStringLiteral("the end is not an ISO 8601 time");
    } else if (!maxVisitsText.isEmpty() && !toCount(maxVisitsText, &link->maxVisits)) {
        m_error = QStringLiteral("the visit limit is not a whole number from 0 to %1").arg(MaximumCount);
    } else if (!tagsRead) {
        m_error = QStringLiteral("the tags are not a JSON array of texts");
    } else {
        link->chosen = chosenText == u"true";
        link->expiresSecs = *expires;
        link->title = value("title");
        link->tags.clear();
        for (const auto& tag : tags) {
            link->tags.append(tag.toString());
        }
        link->owner = value("owner");
        // A file written before these were kept leaves a disabled link's taker unknown, which
        // only an admin or an operator may undo.
        link->disabledBy = value("disabledBy");
        link->takedown = takedownText == u"true";
        link->quarantine = {value("quarantineList"), value("quarantineEntry"), *quarantined};
        link->type = *type;
        link->createdSecs = *created;
        link->changedSecs = *changed;
        link->state = *state;
        return true;
    }
    return false;
}

bool RecordReader::fromJson(const QByteArray& line, StoredLink* link)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(line, &parseError);
    if (!document.isObject()) {
        m_error = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return false;
    }
    // Each member as the text a CSV cell would hold: numbers only where export writes numbers,
    // and whole; nothing is rounded or converted on the way.
    const QJsonObject object = document.object();
    QStringList values;
    m_columns.clear();
    for (const char* column : Columns) {
        const QString name = QString::fromLatin1(column);
        const QJsonValue field = object.value(name);
        const bool numeric = name == u"type" || name == u"visits" || name == u"maxVisits";
        m_columns.append(name);
        if (field.isUndefined() || field.isNull()) {
            values.append(QString());
        } else if ((name == u"chosen" || name == u"takedown") && field.isBool()) {
            values.append(field.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
        } else if (name == u"tags" && field.isArray()) {
            values.append(QString::fromUtf8(QJsonDocument(field.toArray()).toJson(QJsonDocument::Compact)));
        } else if (!numeric && field.isString() && name != u"chosen" && name != u"takedown" && name != u"tags") {
            values.append(field.toString());
        } else if (numeric && field.isDouble() && field.toInteger(-1) == field.toInteger(0)) {
            values.append(QString::number(field.toInteger()));
        } else {
            const QString wanted = numeric                 ? QStringLiteral("a whole number")
                : name == u"chosen" || name == u"takedown" ? QStringLiteral("true or false")
                : name == u"tags"                          ? QStringLiteral("an array")
                                                           : QStringLiteral("a JSON string");
            m_error = QStringLiteral("the member \"%1\" is not %2").arg(name, wanted);
            return false;
        }
    }
    return fromFields(values, link);
}

RecordReader::Status RecordReader::next(StoredLink* link)
{
    m_error.clear();
    if (!m_started) {
        m_started = true;
        int first = readChar();
        if (first == 0xEF) { // a byte-order mark
            readChar();
            readChar();
            first = readChar();
        }
        if (first < 0) {
            return Status::End;
        }
        --m_position; // the first byte, read to tell the formats apart, is read again below
        m_csv = first != '{';
        if (m_csv) {
            m_line = m_nextLine;
            if (!readCsvRow(&m_columns) || !m_columns.contains(QStringLiteral("code"))
                || !m_columns.contains(QStringLiteral("target")) || !m_columns.contains(QStringLiteral("type"))
                || !m_columns.contains(QStringLiteral("created"))) {
                m_error = QStringLiteral("the first line is not a header naming code, type, target and created");
                return Status::End;
            }
        }
    }
    m_line = m_nextLine;
    if (m_csv) {
        QStringList fields;
        if (!readCsvRow(&fields)) {
            if (fields.isEmpty()) {
                return Status::End;
            }
            m_error = QStringLiteral("a field longer than %1 bytes").arg(MaximumRecordBytes);
            return Status::Bad;
        }
        if (fields.size() == 1 && fields.constFirst().isEmpty()) {
            return next(link); // a blank line
        }
        for (QString& field : fields) {
            field = csvFieldValue(field);
        }
        return fromFields(fields, link) ? Status::Record : Status::Bad;
    }
    QByteArray line;
    for (;;) {
        const int c = readChar();
        if (c < 0 || c == '\n') {
            ++m_nextLine;
            if (c < 0 && line.trimmed().isEmpty()) {
                return Status::End;
            }
            break;
        }
        if (line.size() <= MaximumRecordBytes) {
            line += static_cast<char>(c);
        }
    }
    if (line.trimmed().isEmpty()) {
        return next(link);
    }
    if (line.size() > MaximumRecordBytes) {
        m_error = QStringLiteral("a line longer than %1 bytes").arg(MaximumRecordBytes);
        return Status::Bad;
    }
    return fromJson(line, link) ? Status::Record : Status::Bad;
}

} // namespace Shortd
