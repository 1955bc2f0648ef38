#pragma once

#include "linkapi.h"
#include "row.h"
#include "settings.h"

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QStringList>
#include <chrono>
#include <functional>

namespace Nolvex::Cli
{

enum ExitStatus {
    AllSucceeded = 0,
    SomeFailed = 1, // for --check-update: an update is offered
    BadUsage = 2,
    BadSettings = 3, // also an API key that cannot be read or that the service refuses
    Unreachable = 4, // not one answer from the service
    OutputClosed = 5, // standard output was closed or could not be written; the rest was not sent
};

// The command line, checked: every value in its range, the options fit the mode.
struct Invocation {
    qsizetype mode = 0; // among the modes the command line was read with
    int type = 0;
    int jobs = 4;
    int retries = 3;
    Format format = Format::Text;
    std::chrono::milliseconds timeout {0};
    bool timeoutGiven = false;
    bool inputGiven = false;
    QString inputPath; // null without --input
    bool quiet = false;
    bool qr = false;
    bool qrPngGiven = false;
    QString qrPng;
    QStringList positional;
    Settings settings;
    std::optional<LinkOptions> link; // given any of the API's options: create through the API
    bool apiKeyFileGiven = false;
    QString apiKeyFile;
    QByteArray apiKey; // with link, from the environment or the key file; never printed
};

// A mode as the command line sees it: the option that picks it (empty for the mode that runs when
// no other is picked), that option's help, its time limit when --timeout is not given, and what it
// needs of the other options.
struct ModeOption {
    QString name;
    QString help;
    std::chrono::milliseconds defaultTimeout;
    std::function<QString(const Invocation&)> check; // the first misuse in words; empty when fine
};

// What a command line comes to: text to print (--help, --version), a refusal, or a run.
struct CommandLine {
    enum class Kind { Run, Print, Refuse };
    Kind kind = Kind::Refuse;
    QByteArray text {}; // Print
    int status = BadUsage; // Refuse
    QString message {}; // Refuse
    Invocation invocation {}; // Run
};

// `arguments` start with the program's name; `modes` are the command's modes, in the order their
// options appear in the help.
CommandLine readCommandLine(
    const QStringList& arguments, const QProcessEnvironment& environment, const QList<ModeOption>& modes);

// The checks modes share.
QString onlyWhenShortening(const Invocation& invocation);

} // namespace Nolvex::Cli
