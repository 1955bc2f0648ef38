#pragma once

#include "platform.h"

#include <QList>
#include <QString>
#include <QUrl>

// Answers the window's questions from a queue and records everything it asked of the desktop.
class FakePlatform final : public Nolvex::Platform
{
public:
    void inform(QWidget*, const QString& text) override { informed.append(text); }
    bool askYesNo(QWidget*, const QString& text) override
    {
        asked.append(text);
        return answers.isEmpty() ? false : answers.takeFirst();
    }
    bool openUrl(const QUrl& url) override
    {
        opened.append(url);
        return launchWorks;
    }
    void quitNow() override { ++quits; }

    QList<bool> answers;
    QStringList informed;
    QStringList asked;
    QList<QUrl> opened;
    bool launchWorks = true;
    int quits = 0;
};
