#include "store/datafolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Shortd;

class TestDataFolder final : public QObject
{
    Q_OBJECT

private slots:
    void makeDataFolder_data();
    void makeDataFolder();
};

void TestDataFolder::makeDataFolder_data()
{
    QTest::addColumn<QString>("path"); // under a fresh temporary folder that holds "open/" (0755) and "file"
    QTest::addColumn<bool>("made");
    QTest::addColumn<QFileDevice::Permissions>("permissions");
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    const QFileDevice::Permissions open
        = owner | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QTest::newRow("new, closed to others") << QStringLiteral("data") << true << owner;
    QTest::newRow("new under folders that are not there yet") << QStringLiteral("a/b/data") << true << owner;
    QTest::newRow("there already keeps its modes") << QStringLiteral("open") << true << open;
    QTest::newRow("a file in the way") << QStringLiteral("file") << false << QFileDevice::Permissions();
}

void TestDataFolder::makeDataFolder()
{
    QFETCH(QString, path);
    QFETCH(bool, made);
    QFETCH(QFileDevice::Permissions, permissions);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("open")));
    QVERIFY(QFile::setPermissions(root.filePath(QStringLiteral("open")), permissions | QFileDevice::ReadUser));
    QFile file(root.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    QString error;
    const QString folder = root.filePath(path);
    QCOMPARE(Shortd::makeDataFolder(folder, &error), made);
    QCOMPARE(error.isEmpty(), made);
    if (made) {
        const QFileDevice::Permissions mask = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
            | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(folder) & mask, permissions);
    } else {
        QVERIFY2(error.contains(folder), qPrintable(error));
    }
}

QTEST_APPLESS_MAIN(TestDataFolder)
#include "tst_datafolder.moc"
