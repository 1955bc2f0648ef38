#include "options.h"

#include "protocol.h"
#include "version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <limits>
#include <memory>
#include <optional>

namespace Nolvex::Cli
{
namespace
{

// The texts keep the translation context they had when the command parsed its own options.
class Texts
{
    Q_DECLARE_TR_FUNCTIONS(Nolvex::Cli::ShortenCommand)
};

constexpr int MaxJobs = 64;
constexpr int MaxRetries = 20;
constexpr double MaxTimeoutSeconds = 3600.0;
constexpr qint64 MaxKeyFileBytes = 4096;

// The options as given: a value out of range is left empty, for valueError() to name.
struct Given {
    std::optional<int> type;
    std::optional<int> jobs;
    std::optional<int> retries;
    std::optional<Format> format;
    std::optional<double> timeoutSeconds;
};

// Every option the command takes, on its parser.
struct Parser {
    explicit Parser(const QList<ModeOption>& modes);

    QCommandLineParser parser;
    QCommandLineOption input {{QStringLiteral("i"), QStringLiteral("input")},
        Texts::tr("Read addresses from FILE, one a line (\"-\": standard input)."), QStringLiteral("FILE")};
    // The defaults are Invocation's; the help and the parser read them from there.
    const Invocation defaults {};
    QCommandLineOption type {{QStringLiteral("t"), QStringLiteral("type")},
        Texts::tr("Short-link service, 0 to %1 (default %2).").arg(Protocol::LinkTypeCount - 1).arg(defaults.type),
        QStringLiteral("N"), QString::number(defaults.type)};
    QCommandLineOption jobs {{QStringLiteral("j"), QStringLiteral("jobs")},
        Texts::tr("Requests in flight, 1 to %1 (default %2).").arg(MaxJobs).arg(defaults.jobs), QStringLiteral("N"),
        QString::number(defaults.jobs)};
    QCommandLineOption format {{QStringLiteral("f"), QStringLiteral("format")},
        Texts::tr("Output: text, tsv, csv or jsonl (default %1).").arg(formatName(defaults.format)),
        QStringLiteral("FORMAT"), formatName(defaults.format)};
    QCommandLineOption retries {QStringLiteral("retries"),
        Texts::tr("Retries of an address when the service is busy or unreachable (default %1).").arg(defaults.retries),
        QStringLiteral("N"), QString::number(defaults.retries)};
    QCommandLineOption timeout {QStringLiteral("timeout"),
        Texts::tr("Time limit of each request in seconds (default %1; %2 for the version check).")
            .arg(ShortenTimeLimit.count() / 1000)
            .arg(VersionCheckTimeLimit.count() / 1000),
        QStringLiteral("SECONDS"), QString::number(ShortenTimeLimit.count() / 1000)};
    QCommandLineOption quiet {{QStringLiteral("q"), QStringLiteral("quiet")}, Texts::tr("No progress bar.")};
    QCommandLineOption qr {QStringLiteral("qr"), Texts::tr("Draw the short link's QR code (one address).")};
    QCommandLineOption qrPng {QStringLiteral("qr-png"),
        Texts::tr("Write the short link's QR code to FILE as a PNG (one address)."), QStringLiteral("FILE")};
    QCommandLineOption code {QStringLiteral("code"),
        Texts::tr("Create the link with this short code (one address; through the API)."), QStringLiteral("CODE")};
    QCommandLineOption expires {QStringLiteral("expires"),
        Texts::tr("The links end at DATE: 2026-12-31T18:00:00+08:00, 2026-12-31 (local midnight) or a span "
                  "such as 12h, 7d, 2w (through the API)."),
        QStringLiteral("DATE")};
    QCommandLineOption maxVisits {QStringLiteral("max-visits"),
        Texts::tr("The links end after N visits (through the API)."), QStringLiteral("N")};
    QCommandLineOption title {
        QStringLiteral("title"), Texts::tr("The links' title (through the API)."), QStringLiteral("TEXT")};
    QCommandLineOption tag {
        QStringLiteral("tag"), Texts::tr("A tag for the links; may repeat (through the API)."), QStringLiteral("TAG")};
    QCommandLineOption apiKeyFile {QStringLiteral("api-key-file"),
        Texts::tr("Create through the API with the key in FILE, readable by its owner alone (else the key comes "
                  "from %1).")
            .arg(ApiKeyVariable),
        QStringLiteral("FILE")};
    // Taken only to be refused with a reason: a key on the command line is seen by every user.
    QCommandLineOption apiKey {QStringLiteral("api-key"), QString(), QStringLiteral("KEY")};
    QList<QCommandLineOption> modeOptions; // one for each mode with a name, in the modes' order
    QCommandLineOption help;
    QCommandLineOption version;
};

Parser::Parser(const QList<ModeOption>& modes)
    : help(parser.addHelpOption())
    , version(parser.addVersionOption())
{
    parser.setApplicationDescription(Texts::tr("Shortens addresses in batches, draws QR codes, shows where links lead.")
        + u'\n'
        + Texts::tr("Exit status: 0 every row succeeded, 1 some rows failed, 2 bad usage, 3 bad settings, 4 the "
                    "service could not be reached, 5 standard output was closed.")
        + u'\n'
        + Texts::tr("--code, --expires, --max-visits, --title, --tag or --api-key-file create through the service's "
                    "JSON API with an API key; --expires, --max-visits, --title and --tag apply to every address, "
                    "--code to one. Exit status 3 also when the service refuses the key."));
    apiKey.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({input, type, jobs, format, retries, timeout, quiet, qr, qrPng, code, expires, maxVisits, title,
        tag, apiKeyFile, apiKey});
    for (const ModeOption& mode : modes) {
        if (!mode.name.isEmpty()) {
            modeOptions.append(QCommandLineOption(mode.name, mode.help));
            parser.addOption(modeOptions.constLast());
        }
    }
    addSettingsOptions(parser);
    parser.addPositionalArgument(QStringLiteral("addresses"),
        Texts::tr("Addresses to shorten (or, with --expand, links)."), Texts::tr("[ADDRESS|LINK…]"));
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

Given readValues(const Parser& line)
{
    const QCommandLineParser& parser = line.parser;
    bool timeoutOk = false;
    const double timeout = parser.value(line.timeout).toDouble(&timeoutOk);
    return Given {
        .type = integerIn(parser.value(line.type), 0, Protocol::LinkTypeCount - 1),
        .jobs = integerIn(parser.value(line.jobs), 1, MaxJobs),
        .retries = integerIn(parser.value(line.retries), 0, MaxRetries),
        .format = formatFromName(parser.value(line.format)),
        .timeoutSeconds = timeoutOk ? std::optional<double>(timeout) : std::nullopt,
    };
}

// The first value out of its range, in words; empty when every value is fine.
QString valueError(const Given& given)
{
    if (!given.type) {
        return Texts::tr("--type must be a whole number from 0 to %1").arg(Protocol::LinkTypeCount - 1);
    }
    if (!given.jobs) {
        return Texts::tr("--jobs must be a whole number from 1 to %1").arg(MaxJobs);
    }
    if (!given.retries) {
        return Texts::tr("--retries must be a whole number from 0 to %1").arg(MaxRetries);
    }
    if (!given.format) {
        return Texts::tr("--format must be text, tsv, csv or jsonl");
    }
    const std::optional<double> timeout = given.timeoutSeconds;
    if (!timeout || !(*timeout > 0.0) || *timeout > MaxTimeoutSeconds) {
        return Texts::tr("--timeout must be a number of seconds above 0 and at most %1").arg(MaxTimeoutSeconds);
    }
    return {};
}

// The mode the options pick, or a refusal when they pick more than one.
std::optional<qsizetype> chosenMode(const Parser& line, const QList<ModeOption>& modes, QString* error)
{
    std::optional<qsizetype> chosen;
    std::optional<qsizetype> fallback;
    qsizetype named = 0;
    for (qsizetype i = 0; i < modes.size(); ++i) {
        if (modes[i].name.isEmpty()) {
            fallback = i;
        } else if (line.parser.isSet(line.modeOptions[named++])) {
            if (chosen) {
                *error = Texts::tr("--%1 and --%2 do not go together").arg(modes[*chosen].name, modes[i].name);
                return std::nullopt;
            }
            chosen = i;
        }
    }
    return chosen ? chosen : fallback;
}

// The API's options, read: nothing when none is given, or when one is wrong and `error` says how.
std::optional<LinkOptions> readLinkOptions(const Parser& line, QString* error)
{
    const QCommandLineParser& parser = line.parser;
    const QList<const QCommandLineOption*> single {&line.code, &line.expires, &line.maxVisits, &line.title};
    for (const QCommandLineOption* option : single) {
        if (parser.values(*option).size() > 1) {
            *error = Texts::tr("--%1 is given more than once").arg(option->names().constFirst());
            return std::nullopt;
        }
    }
    if (!parser.isSet(line.code) && !parser.isSet(line.expires) && !parser.isSet(line.maxVisits)
        && !parser.isSet(line.title) && !parser.isSet(line.tag) && !parser.isSet(line.apiKeyFile)) {
        return std::nullopt;
    }
    LinkOptions options;
    options.code = parser.value(line.code).trimmed();
    if (parser.isSet(line.code) && options.code.isEmpty()) {
        *error = Texts::tr("--code needs a code");
        return std::nullopt;
    }
    if (parser.isSet(line.expires)) {
        options.expiresAt = readExpiry(
            parser.value(line.expires), QDateTime::currentDateTimeUtc(), QTimeZone::systemTimeZone(), error);
        if (!options.expiresAt) {
            return std::nullopt;
        }
    }
    if (parser.isSet(line.maxVisits)) {
        const std::optional<int> visits = integerIn(parser.value(line.maxVisits), 1, std::numeric_limits<int>::max());
        if (!visits) {
            *error = Texts::tr("--max-visits must be a whole number from 1 to %1").arg(std::numeric_limits<int>::max());
            return std::nullopt;
        }
        options.maxVisits = *visits;
    }
    if (parser.isSet(line.title)) {
        options.title = parser.value(line.title);
    }
    for (const QString& tag : parser.values(line.tag)) {
        if (tag.trimmed().isEmpty()) {
            *error = Texts::tr("--tag needs a tag");
            return std::nullopt;
        }
        options.tags.append(tag.trimmed());
    }
    return options;
}

// The key for the API: the key file's when one is given, else the environment's. The key itself
// is in no message.
std::optional<QByteArray> apiKeyOf(const Invocation& invocation, const QProcessEnvironment& environment, QString* error)
{
    QString why;
    if (!invocation.apiKeyFileGiven) {
        const QString variable = ApiKeyVariable.toString();
        if (!environment.contains(variable)) {
            *error
                = Texts::tr("creating through the API needs a key: set %1 or give --api-key-file FILE").arg(variable);
            return std::nullopt;
        }
        std::optional<QByteArray> key = readApiKey(environment.value(variable).toUtf8(), &why);
        if (!key) {
            *error = QStringLiteral("%1: %2").arg(variable, why);
        }
        return key;
    }
    const QString& path = invocation.apiKeyFile;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = Texts::tr("cannot read the key file %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    // As ssh does with a private key: a key others can read is no secret any more, and is not used.
    if ((file.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther)) != 0) {
        *error = Texts::tr("the key file %1 can be read by other users; make it yours alone (chmod 600 %1)").arg(path);
        return std::nullopt;
    }
    const QByteArray raw = file.read(MaxKeyFileBytes + 1);
    if (raw.size() > MaxKeyFileBytes) {
        *error = Texts::tr("the key file %1 is too large to hold a key").arg(path);
        return std::nullopt;
    }
    std::optional<QByteArray> key = readApiKey(raw, &why);
    if (!key) {
        *error = QStringLiteral("%1: %2").arg(path, why);
    }
    return key;
}

CommandLine refuse(int status, const QString& message)
{
    return CommandLine {.kind = CommandLine::Kind::Refuse, .status = status, .message = message};
}

} // namespace

QString onlyWhenShortening(const Invocation& invocation)
{
    if (invocation.inputGiven || invocation.qr || invocation.qrPngGiven) {
        return Texts::tr("--input, --qr and --qr-png only go with shortening");
    }
    if (invocation.link) {
        return Texts::tr("--code, --expires, --max-visits, --title, --tag and --api-key-file only go with shortening");
    }
    return {};
}

CommandLine readCommandLine(
    const QStringList& arguments, const QProcessEnvironment& environment, const QList<ModeOption>& modes)
{
    const auto line = std::make_unique<Parser>(modes);
    const QCommandLineParser& parser = line->parser;
    if (!line->parser.parse(arguments)) {
        return refuse(BadUsage, parser.errorText());
    }
    if (parser.isSet(line->help)) {
        return CommandLine {.kind = CommandLine::Kind::Print, .text = parser.helpText().toUtf8()};
    }
    if (parser.isSet(line->version)) {
        return CommandLine {.kind = CommandLine::Kind::Print,
            .text = QStringLiteral("nolvex-shorten %1\n").arg(Protocol::CurrentVersion).toUtf8()};
    }
    const auto usage = [](const QString& error) {
        return refuse(BadUsage, error + u'\n' + Texts::tr("Try “nolvex-shorten --help”."));
    };
    if (parser.isSet(line->apiKey)) {
        return usage(Texts::tr("an API key is not taken on the command line, where other users can see it: set "
                               "%1 or give --api-key-file FILE")
                         .arg(ApiKeyVariable));
    }
    const Given given = readValues(*line);
    if (const QString error = valueError(given); !error.isEmpty()) {
        return usage(error);
    }
    QString error;
    std::optional<LinkOptions> link = readLinkOptions(*line, &error);
    if (!error.isEmpty()) {
        return usage(error);
    }
    const std::optional<qsizetype> mode = chosenMode(*line, modes, &error);
    if (!mode) {
        return usage(error);
    }
    const bool timeoutGiven = parser.isSet(line->timeout);
    Invocation invocation {
        .mode = *mode,
        .type = *given.type,
        .jobs = *given.jobs,
        .retries = *given.retries,
        .format = *given.format,
        .timeout = timeoutGiven ? std::chrono::milliseconds(static_cast<qint64>(*given.timeoutSeconds * 1000.0))
                                : modes[*mode].defaultTimeout,
        .timeoutGiven = timeoutGiven,
        .inputGiven = parser.isSet(line->input),
        .inputPath = parser.value(line->input),
        .quiet = parser.isSet(line->quiet),
        .qr = parser.isSet(line->qr),
        .qrPngGiven = parser.isSet(line->qrPng),
        .qrPng = parser.value(line->qrPng),
        .positional = parser.positionalArguments(),
        .settings = {},
        .link = std::move(link),
        .apiKeyFileGiven = parser.isSet(line->apiKeyFile),
        .apiKeyFile = parser.value(line->apiKeyFile),
        .apiKey = {},
    };
    if (const QString misuse = modes[*mode].check(invocation); !misuse.isEmpty()) {
        return usage(misuse);
    }
    QString settingsError;
    std::optional<Settings> settings = settingsFromParser(parser, environment, &settingsError);
    if (!settings) {
        return refuse(BadSettings, settingsError);
    }
    invocation.settings = std::move(*settings);
    if (invocation.link) {
        std::optional<QByteArray> key = apiKeyOf(invocation, environment, &settingsError);
        if (!key) {
            return refuse(BadSettings, settingsError);
        }
        invocation.apiKey = std::move(*key);
    }
    return CommandLine {.kind = CommandLine::Kind::Run, .invocation = std::move(invocation)};
}

} // namespace Nolvex::Cli
