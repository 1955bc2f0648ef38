#include "command.h"

#include "expand.h"
#include "linesource.h"
#include "progress.h"
#include "protocol.h"
#include "qrcode.h"
#include "settings.h"
#include "update.h"
#include "version.h"
#include "webclient.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSaveFile>
#include <chrono>

namespace Nolvex::Cli
{

// The options as given: a value out of range is left empty, for usageError() to name.
struct Invocation {
    std::optional<int> type;
    std::optional<int> jobs;
    std::optional<int> retries;
    std::optional<Format> format;
    std::optional<double> timeoutSeconds;
    bool timeoutGiven = false;
    bool expand = false;
    bool checkUpdate = false;
    bool inputGiven = false;
    QString inputPath;
    bool quiet = false;
    bool qr = false;
    bool qrPngGiven = false;
    QString qrPng;
    QStringList positional;
};

namespace
{

constexpr int MaxJobs = 64;
constexpr int MaxRetries = 20;
constexpr double MaxTimeoutSeconds = 3600.0;

struct Parsed {
    QCommandLineOption input {{QStringLiteral("i"), QStringLiteral("input")},
        ShortenCommand::tr("Read addresses from FILE, one a line (\"-\": standard input)."), QStringLiteral("FILE")};
    QCommandLineOption type {{QStringLiteral("t"), QStringLiteral("type")},
        ShortenCommand::tr("Short-link service, 0 to %1 (default 0).").arg(Protocol::LinkTypeCount - 1),
        QStringLiteral("N"), QStringLiteral("0")};
    QCommandLineOption jobs {{QStringLiteral("j"), QStringLiteral("jobs")},
        ShortenCommand::tr("Requests in flight, 1 to %1 (default 4).").arg(MaxJobs), QStringLiteral("N"),
        QStringLiteral("4")};
    QCommandLineOption format {{QStringLiteral("f"), QStringLiteral("format")},
        ShortenCommand::tr("Output: text, tsv, csv or jsonl (default text)."), QStringLiteral("FORMAT"),
        QStringLiteral("text")};
    QCommandLineOption retries {QStringLiteral("retries"),
        ShortenCommand::tr("Retries of an address when the service is busy or unreachable (default 3)."),
        QStringLiteral("N"), QStringLiteral("3")};
    QCommandLineOption timeout {QStringLiteral("timeout"),
        ShortenCommand::tr("Time limit of each request in seconds (default %1; %2 for the version check).")
            .arg(ShortenTimeLimit.count() / 1000)
            .arg(VersionCheckTimeLimit.count() / 1000),
        QStringLiteral("SECONDS"), QString::number(ShortenTimeLimit.count() / 1000)};
    QCommandLineOption quiet {{QStringLiteral("q"), QStringLiteral("quiet")}, ShortenCommand::tr("No progress bar.")};
    QCommandLineOption qr {QStringLiteral("qr"), ShortenCommand::tr("Draw the short link's QR code (one address).")};
    QCommandLineOption qrPng {QStringLiteral("qr-png"),
        ShortenCommand::tr("Write the short link's QR code to FILE as a PNG (one address)."), QStringLiteral("FILE")};
    QCommandLineOption expand {
        QStringLiteral("expand"), ShortenCommand::tr("Show where each LINK leads, hop by hop, without opening it.")};
    QCommandLineOption checkUpdate {
        QStringLiteral("check-update"), ShortenCommand::tr("Ask the version service whether a newer release exists.")};
};

// The command line: the parser, with every option it takes.
struct CommandLine {
    CommandLine();

    QCommandLineParser parser;
    const Parsed options;
    const QCommandLineOption help;
    const QCommandLineOption version;
};

CommandLine::CommandLine()
    : help(parser.addHelpOption())
    , version(parser.addVersionOption())
{
    parser.setApplicationDescription(
        ShortenCommand::tr("Shortens addresses in batches, draws QR codes, shows where links lead."));
    parser.addOptions({options.input, options.type, options.jobs, options.format, options.retries, options.timeout,
        options.quiet, options.qr, options.qrPng, options.expand, options.checkUpdate});
    addSettingsOptions(parser);
    parser.addPositionalArgument(QStringLiteral("addresses"),
        ShortenCommand::tr("Addresses to shorten (or, with --expand, links)."), ShortenCommand::tr("[ADDRESS|LINK…]"));
}

std::optional<int> integerIn(const QString& text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// What --help or --version asks to print, if either is given.
std::optional<QByteArray> helpOrVersion(const CommandLine& line)
{
    if (line.parser.isSet(line.help)) {
        return line.parser.helpText().toUtf8();
    }
    if (line.parser.isSet(line.version)) {
        return QStringLiteral("nolvex-shorten %1\n").arg(Protocol::CurrentVersion).toUtf8();
    }
    return std::nullopt;
}

Invocation readInvocation(const CommandLine& line)
{
    const QCommandLineParser& parser = line.parser;
    const Parsed& options = line.options;
    bool timeoutOk = false;
    const double timeout = parser.value(options.timeout).toDouble(&timeoutOk);
    return Invocation {
        .type = integerIn(parser.value(options.type), 0, Protocol::LinkTypeCount - 1),
        .jobs = integerIn(parser.value(options.jobs), 1, MaxJobs),
        .retries = integerIn(parser.value(options.retries), 0, MaxRetries),
        .format = formatFromName(parser.value(options.format)),
        .timeoutSeconds = timeoutOk ? std::optional<double>(timeout) : std::nullopt,
        .timeoutGiven = parser.isSet(options.timeout),
        .expand = parser.isSet(options.expand),
        .checkUpdate = parser.isSet(options.checkUpdate),
        .inputGiven = parser.isSet(options.input),
        .inputPath = parser.value(options.input),
        .quiet = parser.isSet(options.quiet),
        .qr = parser.isSet(options.qr),
        .qrPngGiven = parser.isSet(options.qrPng),
        .qrPng = parser.value(options.qrPng),
        .positional = parser.positionalArguments(),
    };
}

// The first value out of its range, in words; empty when every value is fine.
QString valueError(const Invocation& invocation)
{
    if (!invocation.type) {
        return ShortenCommand::tr("--type must be a whole number from 0 to %1").arg(Protocol::LinkTypeCount - 1);
    }
    if (!invocation.jobs) {
        return ShortenCommand::tr("--jobs must be a whole number from 1 to %1").arg(MaxJobs);
    }
    if (!invocation.retries) {
        return ShortenCommand::tr("--retries must be a whole number from 0 to %1").arg(MaxRetries);
    }
    if (!invocation.format) {
        return ShortenCommand::tr("--format must be text, tsv, csv or jsonl");
    }
    const std::optional<double> timeout = invocation.timeoutSeconds;
    if (!timeout || !(*timeout > 0.0) || *timeout > MaxTimeoutSeconds) {
        return ShortenCommand::tr("--timeout must be a number of seconds above 0 and at most %1")
            .arg(MaxTimeoutSeconds);
    }
    return {};
}

// Options that do not go together, or a mode without what it needs; empty when the mix is fine.
QString combinationError(const Invocation& invocation)
{
    const bool shortening = !invocation.expand && !invocation.checkUpdate;
    const bool wantsQr = invocation.qr || invocation.qrPngGiven;
    const QStringList& positional = invocation.positional;
    if (invocation.expand && invocation.checkUpdate) {
        return ShortenCommand::tr("--expand and --check-update do not go together");
    }
    if (!shortening && (invocation.inputGiven || wantsQr)) {
        return ShortenCommand::tr("--input, --qr and --qr-png only go with shortening");
    }
    if (invocation.expand && positional.isEmpty()) {
        return ShortenCommand::tr("--expand needs at least one link");
    }
    if (invocation.checkUpdate && !positional.isEmpty()) {
        return ShortenCommand::tr("--check-update takes no addresses");
    }
    if (shortening && invocation.inputGiven == !positional.isEmpty()) {
        return ShortenCommand::tr("give the addresses either as arguments or with --input, not both and not neither");
    }
    if (wantsQr && (invocation.inputGiven || positional.size() != 1)) {
        return ShortenCommand::tr("--qr and --qr-png need exactly one address given as an argument");
    }
    if (invocation.qrPngGiven && invocation.qrPng.isEmpty()) {
        return ShortenCommand::tr("--qr-png needs a file name");
    }
    return {};
}

QString usageError(const Invocation& invocation)
{
    const QString wrongValue = valueError(invocation);
    return wrongValue.isEmpty() ? combinationError(invocation) : wrongValue;
}

} // namespace

ShortenCommand::ShortenCommand(Streams streams, RetryTiming timing, QObject* parent)
    : QObject(parent)
    , m_streams(streams)
    , m_timing(timing)
{
}

ShortenCommand::~ShortenCommand() = default;

void ShortenCommand::start(const QStringList& arguments, const QProcessEnvironment& environment)
{
    CommandLine line;
    if (!line.parser.parse(arguments)) {
        fail(BadUsage, line.parser.errorText());
        return;
    }
    if (const std::optional<QByteArray> text = helpOrVersion(line)) {
        writeOut(*text);
        end(AllSucceeded);
        return;
    }
    const Invocation invocation = readInvocation(line);
    if (const QString usage = usageError(invocation); !usage.isEmpty()) {
        fail(BadUsage, usage + u'\n' + tr("Try “nolvex-shorten --help”."));
        return;
    }
    QString settingsError;
    const std::optional<Settings> settings = settingsFromParser(line.parser, environment, &settingsError);
    if (!settings) {
        fail(BadSettings, settingsError);
        return;
    }
    configure(invocation, *settings);
    startMode(invocation);
}

// The checked options become the command's state.
void ShortenCommand::configure(const Invocation& invocation, const Settings& settings)
{
    m_web = std::make_unique<WebClient>();
    m_format = *invocation.format;
    m_options.origin = settings.shortenOrigin;
    m_options.type = QString::number(*invocation.type);
    m_options.jobs = *invocation.jobs;
    m_options.retries = *invocation.retries;
    m_options.timeout = std::chrono::milliseconds(static_cast<qint64>(*invocation.timeoutSeconds * 1000.0));
    if (invocation.checkUpdate && !invocation.timeoutGiven) {
        m_options.timeout = VersionCheckTimeLimit;
    }
    m_options.timing = m_timing;
    m_versionOrigin = settings.versionOrigin;
    m_siteOrigin = settings.siteOrigin;
    m_qr = invocation.qr;
    m_qrPng = invocation.qrPng;
}

void ShortenCommand::startMode(const Invocation& invocation)
{
    if (invocation.expand) {
        startExpanding(invocation.positional);
    } else if (invocation.checkUpdate) {
        startUpdateCheck();
    } else {
        if (m_streams.errIsTerminal && !invocation.quiet) {
            m_progress = std::make_unique<Progress>(*m_streams.err);
        }
        startShortening(invocation.positional, invocation.inputPath);
    }
}

void ShortenCommand::startShortening(const QStringList& addresses, const QString& inputPath)
{
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
        writeErr(tr("line %1: %2: %3").arg(row.line).arg(row.input, row.message));
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

void ShortenCommand::startExpanding(const QStringList& links)
{
    m_expander = std::make_unique<Expander>(
        *m_web, m_options.timeout, [this](const QString& line) { writeOut(line.toUtf8() + '\n'); });
    connect(m_expander.get(), &Expander::finished, this,
        [this] { end(m_expander->anyFailed() ? SomeFailed : AllSucceeded); });
    m_expander->start(links);
}

void ShortenCommand::startUpdateCheck()
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
                         .arg(reply->version, Protocol::CurrentVersion,
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
