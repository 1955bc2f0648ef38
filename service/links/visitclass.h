#pragma once

#include <QByteArrayView>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <vector>

namespace Shortd
{

// Who followed a link, as far as its user agent tells.
enum class VisitClass {
    Human,
    Bot, // crawlers, monitors, scripts and libraries, and a request without a user agent
    Preview, // fetchers that draw a link's card in a chat, a social app or a feed reader
    // Anyone answered with the warning of a quarantined link (its page, preview or QR image): kept
    // apart as evidence, never told by the user agent.
    Blocked,
};

struct AgentPattern {
    QString pattern; // a regular expression found anywhere in the user agent, case-sensitive
    VisitClass kind = VisitClass::Bot;
};

// Tells the class of a user agent against a few hundred patterns in one pass: a byte automaton
// finds the literal words each pattern needs, and only the patterns whose word occurs are matched
// in full. A person's browser names none of the words, so it costs the one pass. Built once; const
// use from any thread.
class VisitClassifier
{
public:
    explicit VisitClassifier(const QList<AgentPattern>& patterns);

    VisitClass classify(QByteArrayView userAgent) const;
    // Patterns that are not valid regular expressions, left out.
    const QStringList& invalidPatterns() const { return m_invalid; }
    qsizetype patternCount() const { return qsizetype(m_patterns.size()); }

private:
    struct Compiled {
        QRegularExpression expression;
        VisitClass kind;
    };
    // Adds word to the trie; its end leads to pattern.
    void addWord(QByteArrayView word, int pattern);
    void link();
    bool matches(int pattern, const QString& userAgent) const;

    std::vector<Compiled> m_patterns;
    // Patterns without a literal word long enough to look for, matched in full every time as one
    // expression per class; one without a pattern is never asked.
    QRegularExpression m_unwordedPreviews;
    QRegularExpression m_unwordedBots;
    // The automaton: bytes folded to a small alphabet, then a full transition table.
    std::vector<quint8> m_alphabet; // byte -> symbol; 0 for a byte no word has
    int m_symbols = 1;
    std::vector<qint32> m_next; // state * m_symbols + symbol -> state
    std::vector<std::vector<int>> m_outputs; // state -> patterns whose word ends here (with suffixes')
    QStringList m_invalid;
};

// The patterns built into the service: the public crawler list and this project's own.
QList<AgentPattern> builtInAgentPatterns();
// The classifier of the built-in patterns, built on first use.
const VisitClassifier& builtInClassifier();
// What the redirect asks before it counts or grants a visit.
VisitClass classify(QByteArrayView userAgent);

// The literal words a pattern cannot match without, one per top-level alternative; empty when
// one alternative has no word of at least minimumLength bytes.
QList<QByteArray> requiredWords(const QString& pattern, qsizetype minimumLength = 3);

} // namespace Shortd
