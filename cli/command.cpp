#include "command.h"

#include "displaytext.h"
#include "expand.h"
#include "linesource.h"
#include "progress.h"
#include "protocol.h"
#include "qrcode.h"
#include "settings.h"
#include "update.h"
#include "version.h"
#include "webclient.h"

#include <QFile>
#include <QSaveFile>
#include <chrono>

namespace Nolvex::Cli
{

namespace
{

QString shorteningCheck(const Invocation& invocation)
{
    const bool wantsQr = invocation.qr || invocation.qrPngGiven;
    if (invocation.inputGiven == !invocation.positional.isEmpty()) {
        return ShortenCommand::tr("give the addresses either as arguments or with --input, not both and not neither");
    }
    if (wantsQr && (invocation.inputGiven || invocation.positional.size() != 1)) {
        return ShortenCommand::tr("--qr and --qr-png need exactly one address given as an argument");
    }
    if (invocation.qrPngGiven && invocation.qrPng.isEmpty()) {
        return ShortenCommand::tr("--qr-png needs a file name");
    }
    // A code names one link; the other link options apply to each address alike.
    if (invocation.link && !invocation.link->code.isEmpty()
        && (invocation.inputGiven || invocation.positional.size() != 1)) {
        return ShortenCommand::tr("--code needs exactly one address given as an argument");
    }
    return {};
}

QString expandingCheck(const Invocation& invocation)
{
    if (QString misuse = onlyWhenShortening(invocation); !misuse.isEmpty()) {
        return misuse;
    }
    return invocation.positional.isEmpty() ? ShortenCommand::tr("--expand needs at least one link") : QString();
}

QString updateCheckCheck(const Invocation& invocation)
{
    if (QString misuse = onlyWhenShortening(invocation); !misuse.isEmpty()) {
        return misuse;
    }
    return invocation.positional.isEmpty() ? QString() : ShortenCommand::tr("--check-update takes no addresses");
}

} // namespace

// The modes, shortening first: it runs when no other is picked. Built on each call, so the help texts
// follow the translator installed at the time.
QList<ShortenCommand::Mode> ShortenCommand::modes()
{
    return {
        {{{}, {}, ShortenTimeLimit, shorteningCheck}, &ShortenCommand::startShortening},
        {{QStringLiteral("expand"), tr("Show where each LINK leads, hop by hop, without opening it."), ShortenTimeLimit,
             expandingCheck},
            &ShortenCommand::startExpanding},
        {{QStringLiteral("check-update"), tr("Ask the version service whether a newer release exists."),
             VersionCheckTimeLimit, updateCheckCheck},
            &ShortenCommand::startUpdateCheck},
    };
}

ShortenCommand::ShortenCommand(Streams streams, RetryTiming timing, QObject* parent)
    : QObject(parent)
    , m_streams(streams)
    , m_timing(timing)
{
}

ShortenCommand::~ShortenCommand() = default;

void ShortenCommand::start(const QStringList& arguments, const QProcessEnvironment& environment)
{
    const QList<Mode> all = modes();
    QList<ModeOption> options;
    for (const Mode& mode : all) {
        options.append(mode.option);
    }
    const CommandLine line = readCommandLine(arguments, environment, options);
    switch (line.kind) {
    case CommandLine::Kind::Refuse:
        fail(line.status, line.message);
        return;
    case CommandLine::Kind::Print:
        writeOut(line.text);
        end(AllSucceeded);
        return;
    case CommandLine::Kind::Run:
        configure(line.invocation);
        (this->*all[line.invocation.mode].start)(line.invocation);
        return;
    }
}

// The checked options become the command's state.
void ShortenCommand::configure(const Invocation& invocation)
{
    m_web = std::make_unique<WebClient>();
    m_format = invocation.format;
    m_options.origin = invocation.settings.shortenOrigin;
    m_options.type = QString::number(invocation.type);
    m_options.jobs = invocation.jobs;
    m_options.retries = invocation.retries;
    m_options.timeout = invocation.timeout;
    m_options.timing = m_timing;
    m_options.api = invocation.link;
    m_options.apiKey = invocation.apiKey;
    m_versionOrigin = invocation.settings.versionOrigin;
    m_siteOrigin = invocation.settings.siteOrigin;
    m_qr = invocation.qr;
    m_qrPng = invocation.qrPng;
}

void ShortenCommand::startShortening(const Invocation& invocation)
{
    if (m_streams.errIsTerminal && !invocation.quiet) {
        m_progress = std::make_unique<Progress>(*m_streams.err);
    }
    const QStringList& addresses = invocation.positional;
    const QString& inputPath = invocation.inputPath;
    const auto held = static_cast<qsizetype>(Batch::WindowPerJob) * m_options.jobs;
    if (inputPath.isNull()) {
        m_source = std::make_unique<LineSource>(addresses);
    } else {
        m_source = std::make_unique<LineSource>(inputPath, held, m_progress != nullptr);
    }
    if (!m_source->start()) {
        fail(BadUsage, tr("cannot read %1: %2").arg(inputPath, m_source->errorString()));
        return;
    }
    m_batch = std::make_unique<Batch>(*m_source, m_options);
    connect(m_batch.get(), &Batch::rowReady, this, &ShortenCommand::onRow);
    connect(m_batch.get(), &Batch::rowsWritten, this, &ShortenCommand::onRowsWritten);
    connect(m_batch.get(), &Batch::finished, this, &ShortenCommand::onBatchFinished);
    if (m_progress) {
        if (inputPath.isNull()) {
            m_progress->setTotal(addresses.size());
        }
        connect(m_source.get(), &LineSource::totalKnown, m_progress.get(), &Progress::setTotal);
        m_progress->start();
    }
    m_batch->start();
}

void ShortenCommand::onRow(const Row& row)
{
    if (m_outputClosed) {
        return;
    }
    if (!writeOut(formatRow(m_format, row))) {
        onOutputClosed();
        return;
    }
    ++m_rowsUnflushed;
    if (row.ok()) {
        m_lastLink = row.shortLink;
    } else if (m_format != Format::Jsonl) {
        // The other formats have no room for the reason; it goes beside them.
        writeErr(Messages::failureLine(row));
    }
}

void ShortenCommand::onRowsWritten()
{
    if (m_outputClosed) {
        return;
    }
    if (m_progress) {
        if (m_streams.outIsTerminal) {
            m_progress->clear(); // the rows scroll on the same terminal
        }
        m_progress->setDone(m_batch->rowsDone());
    }
    if (!m_streams.out->flush()) {
        onOutputClosed();
        return;
    }
    m_rowsWritten += m_rowsUnflushed;
    m_rowsUnflushed = 0;
}

// Nobody reads the rows any more (`| head`, a full disk): the remaining addresses are not sent.
void ShortenCommand::onOutputClosed()
{
    m_outputClosed = true;
    m_batch->stop();
    if (m_progress) {
        m_progress->stop();
    }
    writeErr(tr("cannot write to standard output (%1): stopped after %2 rows written of %3 lines read; the rest "
                "were not sent")
                 .arg(m_streams.out->errorString())
                 .arg(m_rowsWritten)
                 .arg(m_batch->linesRead()));
    end(OutputClosed);
}

void ShortenCommand::onBatchFinished()
{
    if (m_progress) {
        m_progress->stop();
    }
    int status = AllSucceeded;
    if (m_batch->anyRequestSent() && !m_batch->serviceAnswered()) {
        status = Unreachable;
    } else if (m_batch->keyRefused()) {
        status = BadSettings;
    } else if (m_batch->rowsFailed() > 0) {
        status = SomeFailed;
    }
    if ((m_qr || !m_qrPng.isEmpty()) && !m_lastLink.isEmpty()) {
        const std::optional<Qr::Matrix> matrix = Qr::encode(m_lastLink);
        if (!matrix) {
            writeErr(tr("the short link is too long for a QR code"));
            status = SomeFailed;
        } else {
            if (m_qr) {
                writeOut(Qr::terminal(
                    *matrix, m_streams.outIsTerminal ? Qr::TerminalColours::Ansi : Qr::TerminalColours::Plain)
                             .toUtf8());
            }
            if (!m_qrPng.isEmpty()) {
                QSaveFile file(m_qrPng);
                if (!file.open(QIODevice::WriteOnly) || file.write(Qr::png(*matrix, QrPngPixels)) < 0
                    || !file.commit()) {
                    writeErr(tr("cannot write %1: %2").arg(m_qrPng, file.errorString()));
                    status = SomeFailed;
                }
            }
        }
    }
    end(status);
}

void ShortenCommand::startExpanding(const Invocation& invocation)
{
    m_expander = std::make_unique<Expander>(
        *m_web, m_options.timeout, [this](const QString& line) { writeOut(line.toUtf8() + '\n'); });
    connect(m_expander.get(), &Expander::finished, this,
        [this] { end(m_expander->anyFailed() ? SomeFailed : AllSucceeded); });
    m_expander->start(invocation.positional);
}

void ShortenCommand::startUpdateCheck(const Invocation& /*invocation*/)
{
    WebReply* request
        = m_web->HttpPost(versionRequestAddress(m_versionOrigin), versionRequestBody(), m_options.timeout);
    connect(request, &WebReply::finished, this, [this](const WebResult& result) {
        if (result.status == WebResult::Status::ConnectionFailed || result.status == WebResult::Status::TimedOut) {
            writeErr(tr("The check failed: the version service cannot be reached."));
            end(Unreachable);
            return;
        }
        const std::optional<VersionReply> reply
            = result.status == WebResult::Status::Ok ? readVersionReply(result.text) : std::nullopt;
        switch (decideUpdate(reply)) {
        case UpdateStep::CheckFailed:
            writeErr(tr("The check failed; carry on with this version (%1).").arg(Protocol::CurrentVersion));
            end(Unreachable);
            return;
        case UpdateStep::UpToDate:
            writeOut(tr("Version %1 is the latest.").arg(Protocol::CurrentVersion).toUtf8() + '\n');
            end(AllSucceeded);
            return;
        case UpdateStep::OfferUpdate:
            writeOut(tr("Version %1 is out (this is %2): %3")
                         .arg(forTerminal(reply->version), Protocol::CurrentVersion,
                             releasePageUrl(m_siteOrigin, reply->sid).toString(QUrl::FullyEncoded))
                         .toUtf8()
                + '\n');
            if (reply->must != QLatin1StringView("0")) {
                writeOut(tr("This update is required.").toUtf8() + '\n');
            }
            end(SomeFailed);
            return;
        }
    });
}

bool ShortenCommand::writeOut(const QByteArray& bytes) const
{
    return m_streams.out->write(bytes) == bytes.size();
}

void ShortenCommand::writeErr(const QString& text)
{
    if (m_progress) {
        m_progress->clear();
    }
    m_streams.err->write(QStringLiteral("nolvex-shorten: %1\n").arg(text).toUtf8());
    m_streams.err->flush();
}

void ShortenCommand::fail(int status, const QString& message)
{
    writeErr(message);
    end(status);
}

void ShortenCommand::end(int status)
{
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_streams.out->flush();
    m_streams.err->flush();
    QMetaObject::invokeMethod(
        this, [this, status] { emit finished(status); }, Qt::QueuedConnection);
}

} // namespace Nolvex::Cli
