#include "form1.h"
#include "platform.h"
#include "settings.h"
#include "version.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("nolvex-shortener"));
    QApplication::setApplicationVersion(Nolvex::Protocol::CurrentVersion.toString());

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
