#include "metrics/metrics.h"

#include <QtGlobal>
#include <charconv>
#include <cmath>

namespace Shortd::Metrics
{

Histogram::Histogram(std::span<const double> bounds)
    : m_bounds(bounds.first(std::min(bounds.size(), MaximumBuckets)))
{
    for (size_t i = 0; i < m_bounds.size(); ++i) {
        m_boundsNs.at(i) = qRound64(m_bounds[i] * 1e9);
    }
}

void Histogram::observe(std::chrono::nanoseconds duration) noexcept
{
    const qint64 ns = std::max<qint64>(0, duration.count());
    size_t bucket = 0;
    while (bucket < m_bounds.size() && ns > m_boundsNs.at(bucket)) {
        ++bucket;
    }
    m_counts.at(bucket).fetch_add(1, std::memory_order_relaxed);
    m_sumNs.fetch_add(static_cast<quint64>(ns), std::memory_order_relaxed);
}

HistogramSnapshot Histogram::snapshot() const
{
    HistogramSnapshot snapshot {m_bounds, {}, 0};
    snapshot.counts.reserve(static_cast<qsizetype>(m_bounds.size()) + 1);
    for (size_t i = 0; i <= m_bounds.size(); ++i) {
        snapshot.counts.append(m_counts.at(i).load(std::memory_order_relaxed));
    }
    snapshot.sumSeconds = static_cast<double>(m_sumNs.load(std::memory_order_relaxed)) / 1e9;
    return snapshot;
}

QByteArray escapeLabelValue(QByteArrayView value)
{
    QByteArray escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '"':
            escaped += "\\\"";
            break;
        case '\n':
            escaped += "\\n";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

QByteArray escapeHelp(QByteArrayView help)
{
    QByteArray escaped;
    escaped.reserve(help.size());
    for (const char c : help) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

QByteArray formatValue(double value)
{
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    // Counts stay exact up to 2^53 and read as integers.
    if (value == std::floor(value) && std::fabs(value) < 9.007199254740992e15) {
        return QByteArray::number(static_cast<qint64>(value));
    }
    // The shortest spelling that reads back exactly; without an exponent in the usual range, so
    // that bucket bounds read as people write them ("0.0005", not "5e-04").
    std::array<char, 64> buffer {};
    const double magnitude = std::fabs(value);
    const auto format = magnitude >= 1e-6 && magnitude < 1e15 ? std::chars_format::fixed : std::chars_format::general;
    const std::to_chars_result written = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format);
    return {buffer.data(), written.ptr - buffer.data()};
}

void Exposition::family(QByteArrayView name, QByteArrayView help, Type type)
{
    static constexpr std::array<QByteArrayView, 3> TypeNames {"counter", "gauge", "histogram"};
    m_text += "# HELP " + name.toByteArray() + ' ' + escapeHelp(help) + '\n';
    m_text += "# TYPE " + name.toByteArray() + ' ' + TypeNames.at(static_cast<size_t>(type)).toByteArray() + '\n';
}

void Exposition::appendSeries(QByteArrayView name, const Labels& labels, QByteArrayView value)
{
    m_text += name.toByteArray();
    if (!labels.isEmpty()) {
        m_text += '{';
        for (qsizetype i = 0; i < labels.size(); ++i) {
            if (i > 0) {
                m_text += ',';
            }
            m_text += labels.at(i).first.toByteArray() + "=\"" + escapeLabelValue(labels.at(i).second) + '"';
        }
        m_text += '}';
    }
    m_text += ' ' + value.toByteArray() + '\n';
}

void Exposition::sample(QByteArrayView name, const Labels& labels, double value)
{
    appendSeries(name, labels, formatValue(value));
}

void Exposition::histogram(QByteArrayView name, const Labels& labels, const HistogramSnapshot& histogram)
{
    const QByteArray base = name.toByteArray();
    quint64 cumulative = 0;
    for (qsizetype i = 0; i < histogram.counts.size(); ++i) {
        cumulative += histogram.counts.at(i);
        const bool last = std::cmp_greater_equal(i, histogram.bounds.size());
        Labels withBound = labels;
        withBound.append({"le", last ? QByteArray("+Inf") : formatValue(histogram.bounds[static_cast<size_t>(i)])});
        appendSeries(QByteArray(base + "_bucket"), withBound, QByteArray::number(cumulative));
    }
    appendSeries(QByteArray(base + "_sum"), labels, formatValue(histogram.sumSeconds));
    appendSeries(QByteArray(base + "_count"), labels, QByteArray::number(cumulative));
}

} // namespace Shortd::Metrics
