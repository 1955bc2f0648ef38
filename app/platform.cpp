#include "platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace Nolvex
{
namespace
{

QString title()
{
    return QStringLiteral("提示");
}

} // namespace

void DesktopPlatform::inform(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Information, title(), text, QMessageBox::Ok, parent);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}

bool DesktopPlatform::askYesNo(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Information, title(), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否"));
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

bool DesktopPlatform::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

void DesktopPlatform::quitNow()
{
    QCoreApplication::exit(0);
}

} // namespace Nolvex
