#pragma once

#include "batch.h"
#include "options.h"
#include "row.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QStringList>
#include <memory>

class QFile;

namespace Nolvex
{
class WebClient;
struct Settings;
} // namespace Nolvex

namespace Nolvex::Cli
{

class LineSource;
class Progress;
class Expander;

struct Streams {
    QFile* out = nullptr;
    QFile* err = nullptr;
    bool outIsTerminal = false;
    bool errIsTerminal = false;
};

// nolvex-shorten as an object: reads the arguments (options.h), runs one of its modes (shorten,
// expand, check for an update) and reports the exit status through finished(), always from the
// event loop. Each mode is one entry of modes().
class ShortenCommand final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShortenCommand)

public:
    static constexpr int QrPngPixels = 512;

    ShortenCommand(Streams streams, RetryTiming timing = {}, QObject* parent = nullptr);
    ~ShortenCommand() override;

    void start(const QStringList& arguments, const QProcessEnvironment& environment);

signals:
    void finished(int exitStatus);

private:
    struct Mode {
        ModeOption option;
        void (ShortenCommand::*start)(const Invocation& invocation);
    };
    static QList<Mode> modes();

    void end(int status);
    void fail(int status, const QString& message);
    void configure(const Invocation& invocation);
    void startShortening(const Invocation& invocation);
    void onRow(const Row& row);
    void onRowsWritten();
    void onOutputClosed();
    void onBatchFinished();
    void startExpanding(const Invocation& invocation);
    void startUpdateCheck(const Invocation& invocation);
    bool writeOut(const QByteArray& bytes) const;
    void writeErr(const QString& text);

    Streams m_streams;
    RetryTiming m_timing;
    std::unique_ptr<WebClient> m_web;
    std::unique_ptr<LineSource> m_source;
    std::unique_ptr<Batch> m_batch;
    std::unique_ptr<Progress> m_progress;
    std::unique_ptr<Expander> m_expander;
    BatchOptions m_options;
    Format m_format = Format::Text;
    QString m_versionOrigin;
    QString m_siteOrigin;
    bool m_qr = false;
    QString m_qrPng;
    QString m_lastLink; // for --qr
    qint64 m_rowsWritten = 0; // and flushed
    qint64 m_rowsUnflushed = 0;
    bool m_outputClosed = false;
    bool m_ended = false;
};

} // namespace Nolvex::Cli
