#include "form1.h"
#include "platform.h"
#include "settings.h"
#include "version.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>

namespace
{
void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("nolvex-shortener"));
    QCoreApplication::setApplicationVersion(Nolvex::Protocol::CurrentVersion.toString());
}

// --help is answered by a console application: it needs no display, so it works on a server or in a
// terminal without one, where the window's application could not even start.
bool answeredHelp(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    if (!Nolvex::loadSettings(arguments, QProcessEnvironment::systemEnvironment()).helpRequested) {
        return false;
    }
    const QCoreApplication console(argc, argv);
    nameApplication();
    const Nolvex::SettingsOutcome help
        = Nolvex::loadSettings(QCoreApplication::arguments(), QProcessEnvironment::systemEnvironment());
    std::fputs(qPrintable(help.message), stdout);
    return true;
}
} // namespace

int main(int argc, char* argv[])
{
    if (answeredHelp(argc, argv)) {
        return 0;
    }
    QApplication app(argc, argv);
    nameApplication();

    // Qt's own texts (standard buttons, the text boxes' context menu) in Simplified Chinese.
    QTranslator qtTranslations;
    if (qtTranslations.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
            QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(&qtTranslations);
    }

    const Nolvex::SettingsOutcome loaded
        = Nolvex::loadSettings(QApplication::arguments(), QProcessEnvironment::systemEnvironment());
    if (loaded.helpRequested) {
        std::fputs(qPrintable(loaded.message), stdout);
        return 0;
    }
    if (!loaded.settings) {
        std::fprintf(stderr, "nolvex-shortener: %s\n", qPrintable(loaded.message));
        QMessageBox::critical(
            nullptr, QStringLiteral("提示"), QStringLiteral("设置有误，无法启动：\n") + loaded.message);
        return 2;
    }

    Nolvex::DesktopPlatform platform;
    Nolvex::Form1 window(*loaded.settings, platform);
    window.show();
    return QApplication::exec();
}
