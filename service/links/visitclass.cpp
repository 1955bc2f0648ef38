#include "links/visitclass.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <deque>

namespace Shortd
{
namespace
{
constexpr qsizetype MinimumWordLength = 3;
// The automaton looks for a word's first bytes only: a shorter trie has fewer states, so the table
// a user agent walks stays in the cache, and the full pattern decides anyway.
constexpr qsizetype LongestWord = 8;

// Tags of the public list that make a pattern a preview fetcher, unless it also crawls.
constexpr std::array PreviewTags {QLatin1StringView("social-preview"), QLatin1StringView("feed-reader")};
constexpr std::array CrawlerTags {QLatin1StringView("search-engine"), QLatin1StringView("ai-crawler")};

// Splits at the '|' outside groups and classes.
QStringList topLevelAlternatives(const QString& pattern)
{
    QStringList alternatives;
    QString current;
    int depth = 0;
    bool inClass = false;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == u'\\' && i + 1 < pattern.size()) {
            current += c;
            current += pattern.at(++i);
            continue;
        }
        if (inClass) {
            inClass = c != u']';
        } else if (c == u'[') {
            inClass = true;
        } else if (c == u'(') {
            ++depth;
        } else if (c == u')') {
            --depth;
        } else if (c == u'|' && depth == 0) {
            alternatives.append(current);
            current.clear();
            continue;
        }
        current += c;
    }
    alternatives.append(current);
    return alternatives;
}

// Index just past the group or class that opens at i.
qsizetype skipBracketed(const QString& text, qsizetype i)
{
    const bool isClass = text.at(i) == u'[';
    int depth = 0;
    bool inClass = false;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\') {
            ++i;
        } else if (inClass) {
            if (c == u']') {
                inClass = false;
                if (isClass) {
                    return i + 1;
                }
            }
        } else if (c == u'[') {
            inClass = true;
        } else if (c == u'(') {
            ++depth;
        } else if (c == u')' && --depth == 0) {
            return i + 1;
        }
    }
    return text.size();
}

// The longest run of literal characters the alternative must contain.
QString longestLiteral(const QString& alternative)
{
    QString best;
    QString run;
    const auto endRun = [&] {
        if (run.size() > best.size()) {
            best = run;
        }
        run.clear();
    };
    for (qsizetype i = 0; i < alternative.size();) {
        const QChar c = alternative.at(i);
        if (c == u'\\' && i + 1 < alternative.size()) {
            const QChar escaped = alternative.at(i + 1);
            i += 2;
            if (escaped.isLetterOrNumber()) { // \d, \s, \b…: a class or an assertion
                endRun();
            } else {
                run += escaped;
            }
        } else if (c == u'[' || c == u'(') {
            endRun();
            i = skipBracketed(alternative, i);
        } else if (c == u'?' || c == u'*' || c == u'{') {
            // The atom before is optional: it leaves the run, which ends.
            run.chop(1);
            endRun();
            i = c == u'{' ? alternative.indexOf(u'}', i) + 1 : i + 1;
            if (i == 0) {
                i = alternative.size();
            }
        } else if (c == u'+' || c == u'.' || c == u'^' || c == u'$' || c == u'|' || c == u')') {
            endRun();
            ++i;
        } else {
            run += c;
            ++i;
        }
    }
    endRun();
    return best;
}

QRegularExpression combined(const QStringList& patterns)
{
    if (patterns.isEmpty()) {
        return {};
    }
    QRegularExpression expression(u"(?:" % patterns.join(QStringLiteral(")|(?:")) % u')');
    expression.optimize();
    return expression;
}

QList<AgentPattern> readPublicList(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("nolvex-shortd: the built-in user-agent list %s is missing", qUtf8Printable(path));
    }
    QList<AgentPattern> patterns;
    const QJsonArray entries = QJsonDocument::fromJson(file.readAll()).array();
    for (const QJsonValue& entry : entries) {
        const QJsonObject object = entry.toObject();
        const QJsonArray tags = object.value(QLatin1StringView("tags")).toArray();
        const auto tagged = [&tags](const auto& names) {
            return std::any_of(names.begin(), names.end(),
                [&tags](QLatin1StringView name) { return tags.contains(QJsonValue(name)); });
        };
        const bool preview = tagged(PreviewTags) && !tagged(CrawlerTags);
        patterns.append(
            {object.value(QLatin1StringView("pattern")).toString(), preview ? VisitClass::Preview : VisitClass::Bot});
    }
    return patterns;
}

QList<AgentPattern> readOwnList(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qFatal("nolvex-shortd: the built-in user-agent list %s is missing", qUtf8Printable(path));
    }
    QList<AgentPattern> patterns;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const qsizetype tab = line.indexOf(u'\t');
        if (line.startsWith(u'#') || tab < 0) {
            continue;
        }
        patterns.append({line.sliced(tab + 1), line.first(tab) == u"preview" ? VisitClass::Preview : VisitClass::Bot});
    }
    return patterns;
}
} // namespace

QList<QByteArray> requiredWords(const QString& pattern, qsizetype minimumLength)
{
    // Inline options could make the words match case-insensitively or not at all as written.
    if (pattern.contains(QLatin1StringView("(?"))) {
        return {};
    }
    QList<QByteArray> words;
    for (const QString& alternative : topLevelAlternatives(pattern)) {
        const QByteArray word = longestLiteral(alternative).toUtf8();
        if (word.size() < minimumLength) {
            return {};
        }
        words.append(word);
    }
    return words;
}

VisitClassifier::VisitClassifier(const QList<AgentPattern>& patterns)
    : m_alphabet(256, 0)
{
    QList<QList<QByteArray>> words;
    QStringList unwordedPreviews;
    QStringList unwordedBots;
    for (const AgentPattern& pattern : patterns) {
        QRegularExpression expression(pattern.pattern);
        if (!expression.isValid()) {
            m_invalid.append(pattern.pattern);
            continue;
        }
        const QList<QByteArray> needed = requiredWords(pattern.pattern, MinimumWordLength);
        if (needed.isEmpty()) {
            (pattern.kind == VisitClass::Preview ? unwordedPreviews : unwordedBots).append(pattern.pattern);
            continue;
        }
        expression.optimize();
        m_patterns.push_back({expression, pattern.kind});
        QList<QByteArray> shortened;
        for (const QByteArray& word : needed) {
            shortened.append(word.first(std::min(word.size(), LongestWord)));
        }
        words.append(shortened);
        for (const QByteArray& word : std::as_const(shortened)) {
            for (const char byte : word) {
                quint8& symbol = m_alphabet[static_cast<quint8>(byte)];
                if (symbol == 0) {
                    // More than 255 distinct bytes cannot occur in practice; they would share a symbol.
                    symbol = static_cast<quint8>(std::min(m_symbols++, 255));
                }
            }
        }
    }
    m_symbols = std::min(m_symbols, 256);
    m_unwordedPreviews = combined(unwordedPreviews);
    m_unwordedBots = combined(unwordedBots);
    m_next.assign(static_cast<size_t>(m_symbols), -1);
    m_outputs.resize(1);
    for (qsizetype i = 0; i < words.size(); ++i) {
        for (const QByteArray& word : std::as_const(words.at(i))) {
            addWord(word, static_cast<int>(i));
        }
    }
    link();
}

void VisitClassifier::addWord(QByteArrayView word, int pattern)
{
    qint32 state = 0;
    for (const char byte : word) {
        const size_t slot
            = static_cast<size_t>(state) * static_cast<size_t>(m_symbols) + m_alphabet[static_cast<quint8>(byte)];
        if (m_next[slot] < 0) {
            m_next[slot] = static_cast<qint32>(m_outputs.size());
            m_outputs.emplace_back();
            m_next.resize(m_next.size() + static_cast<size_t>(m_symbols), -1);
        }
        state = m_next[slot];
    }
    std::vector<int>& ends = m_outputs[static_cast<size_t>(state)];
    if (std::find(ends.begin(), ends.end(), pattern) == ends.end()) {
        ends.push_back(pattern);
    }
}

void VisitClassifier::link()
{
    // Breadth first, turning the trie into a full automaton: a missing move goes where the
    // longest suffix that is a word's beginning goes, and a state also ends its suffixes' words.
    const auto symbols = static_cast<size_t>(m_symbols);
    std::vector<qint32> fail(m_outputs.size(), 0);
    std::deque<qint32> queue;
    for (size_t s = 0; s < symbols; ++s) {
        if (m_next[s] < 0) {
            m_next[s] = 0;
        } else {
            queue.push_back(m_next[s]);
        }
    }
    while (!queue.empty()) {
        const qint32 state = queue.front();
        queue.pop_front();
        const auto base = static_cast<size_t>(state) * symbols;
        const auto failBase = static_cast<size_t>(fail[static_cast<size_t>(state)]) * symbols;
        for (size_t s = 0; s < symbols; ++s) {
            const qint32 child = m_next[base + s];
            if (child < 0) {
                m_next[base + s] = m_next[failBase + s];
                continue;
            }
            const qint32 childFail = m_next[failBase + s];
            fail[static_cast<size_t>(child)] = childFail;
            const std::vector<int>& inherited = m_outputs[static_cast<size_t>(childFail)];
            std::vector<int>& own = m_outputs[static_cast<size_t>(child)];
            own.insert(own.end(), inherited.begin(), inherited.end());
            queue.push_back(child);
        }
    }
    // A move into a state where words end is stored complemented, so the walk looks at the
    // outputs only then.
    for (qint32& next : m_next) {
        if (!m_outputs[static_cast<size_t>(next)].empty()) {
            next = ~next;
        }
    }
}

bool VisitClassifier::matches(int pattern, const QString& userAgent) const
{
    return m_patterns[static_cast<size_t>(pattern)].expression.match(userAgent).hasMatch();
}

VisitClass VisitClassifier::classify(QByteArrayView userAgent) const
{
    if (userAgent.trimmed().isEmpty()) {
        return VisitClass::Bot;
    }
    // Candidates seldom number more than two or three: a short list beats a set.
    std::array<int, 16> found {};
    size_t count = 0;
    bool overflow = false;
    const auto symbols = static_cast<size_t>(m_symbols);
    qint32 state = 0;
    for (const char byte : userAgent) {
        state = m_next[static_cast<size_t>(state) * symbols + m_alphabet[static_cast<quint8>(byte)]];
        if (state >= 0) {
            continue;
        }
        state = ~state;
        for (const int pattern : m_outputs[static_cast<size_t>(state)]) {
            if (std::find(found.begin(), found.begin() + count, pattern) != found.begin() + count) {
                continue;
            }
            if (count == found.size()) {
                overflow = true;
                break;
            }
            found[count++] = pattern;
        }
    }
    const bool unworded = !m_unwordedPreviews.pattern().isEmpty();
    const bool unwordedBots = !m_unwordedBots.pattern().isEmpty();
    if (count == 0 && !unworded && !unwordedBots) {
        return VisitClass::Human;
    }
    const QString text = QString::fromUtf8(userAgent);
    const auto any = [&](VisitClass kind) {
        return std::any_of(found.begin(), found.begin() + count, [&](int pattern) {
            return m_patterns[static_cast<size_t>(pattern)].kind == kind && matches(pattern, text);
        });
    };
    if (any(VisitClass::Preview) || (unworded && m_unwordedPreviews.match(text).hasMatch())) {
        return VisitClass::Preview;
    }
    // A user agent naming more than a handful of crawlers is a crawler, whatever else it names.
    if (overflow || any(VisitClass::Bot) || (unwordedBots && m_unwordedBots.match(text).hasMatch())) {
        return VisitClass::Bot;
    }
    return VisitClass::Human;
}

QList<AgentPattern> builtInAgentPatterns()
{
    return readPublicList(QStringLiteral(":/agents/crawler-user-agents.json"))
        + readOwnList(QStringLiteral(":/agents/own-agents.txt"));
}

const VisitClassifier& builtInClassifier()
{
    static const VisitClassifier classifier(builtInAgentPatterns());
    return classifier;
}

VisitClass classify(QByteArrayView userAgent)
{
    return builtInClassifier().classify(userAgent);
}

} // namespace Shortd
