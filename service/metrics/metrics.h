#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <array>
#include <atomic>
#include <chrono>
#include <span>
#include <utility>

namespace Shortd::Metrics
{

// A count that only grows. Bumped from any thread without a lock; a scrape reads a value that may
// be a moment old, never a torn one.
class Counter
{
public:
    void add(quint64 amount = 1) noexcept { m_value.fetch_add(amount, std::memory_order_relaxed); }
    quint64 value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<quint64> m_value {0};
};

// What a histogram held at one moment: counts per bucket (not cumulative), one more for +Inf.
struct HistogramSnapshot {
    std::span<const double> bounds;
    QList<quint64> counts;
    double sumSeconds = 0;
};

// Durations in fixed buckets of seconds. An observation costs a short scan of the bounds and
// two atomic additions.
class Histogram
{
public:
    static constexpr size_t MaximumBuckets = 24;
    // bounds: upper bounds in seconds, ascending, at most MaximumBuckets.
    explicit Histogram(std::span<const double> bounds);

    void observe(std::chrono::nanoseconds duration) noexcept;
    HistogramSnapshot snapshot() const;

private:
    std::span<const double> m_bounds;
    std::array<qint64, MaximumBuckets> m_boundsNs {};
    std::array<std::atomic<quint64>, MaximumBuckets + 1> m_counts {};
    std::atomic<quint64> m_sumNs {0};
};

using Labels = QList<std::pair<QByteArrayView, QByteArray>>;

// Prometheus's text format (0.0.4): a family is announced once with its help and type, then its
// samples follow.
class Exposition
{
public:
    enum class Type { Counter, Gauge, Histogram };

    void family(QByteArrayView name, QByteArrayView help, Type type);
    void sample(QByteArrayView name, const Labels& labels, double value);
    // The _bucket series (cumulative, ending with +Inf), then _sum and _count.
    void histogram(QByteArrayView name, const Labels& labels, const HistogramSnapshot& histogram);

    const QByteArray& text() const { return m_text; }

private:
    void appendSeries(QByteArrayView name, const Labels& labels, QByteArrayView value);

    QByteArray m_text;
};

// A label value as the format wants it: backslash, double quote and line feed escaped.
QByteArray escapeLabelValue(QByteArrayView value);
// A help text: backslash and line feed escaped.
QByteArray escapeHelp(QByteArrayView help);
// A sample value: integers without exponent or fraction, +Inf, -Inf and NaN spelled as the format does.
QByteArray formatValue(double value);

} // namespace Shortd::Metrics
