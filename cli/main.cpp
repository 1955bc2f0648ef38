#include "command.h"
#include "version.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <csignal>
#include <unistd.h>

int main(int argc, char* argv[])
{
    // A closed standard output must come back as a write error to report, not end the process unseen.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("nolvex-shorten"));
    QCoreApplication::setApplicationVersion(Nolvex::Protocol::CurrentVersion.toString());

    // Our texts and Qt's own (the option parser's) in the language of the locale, English otherwise.
    QTranslator own;
    if (own.load(QLocale(), QStringLiteral("nolvex-shorten"), QStringLiteral("_"), QStringLiteral(":/i18n"))) {
        QCoreApplication::installTranslator(&own);
    }
    QTranslator qt;
    if (qt.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&qt);
    }

    QFile out;
    QFile err;
    out.open(STDOUT_FILENO, QIODevice::WriteOnly);
    err.open(STDERR_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
    const Nolvex::Cli::Streams streams {&out, &err, isatty(STDOUT_FILENO) == 1, isatty(STDERR_FILENO) == 1};

    Nolvex::Cli::ShortenCommand command(streams);
    QObject::connect(&command, &Nolvex::Cli::ShortenCommand::finished, &app, &QCoreApplication::exit);
    command.start(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment());
    return QCoreApplication::exec();
}
