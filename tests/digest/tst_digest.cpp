#include "codepage.h"
#include "md5.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTest>

using namespace Nolvex;

class TestDigest final : public QObject
{
    Q_OBJECT

private slots:
    void rfcSuite_data();
    void rfcSuite();
    void blockBoundaries_data();
    void blockBoundaries();
    void wholeAndInPieces();
    void codePageBytes_data();
    void codePageBytes();
    void lengthOption_data();
    void lengthOption();
    void randomAsciiMatchesReference();
    void randomGbkMatchesReference();
    void longTextCrossesConversionPieces();
};

void TestDigest::rfcSuite_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("digest");
    // RFC 1321, appendix A.5, in capitals.
    QTest::newRow("empty") << QString() << QStringLiteral("D41D8CD98F00B204E9800998ECF8427E");
    QTest::newRow("a") << QStringLiteral("a") << QStringLiteral("0CC175B9C0F1B6A831C399E269772661");
    QTest::newRow("abc") << QStringLiteral("abc") << QStringLiteral("900150983CD24FB0D6963F7D28E17F72");
    QTest::newRow("message digest") << QStringLiteral("message digest")
                                    << QStringLiteral("F96B697D7CB7938D525A2F31AAF161D0");
    QTest::newRow("alphabet") << QStringLiteral("abcdefghijklmnopqrstuvwxyz")
                              << QStringLiteral("C3FCD3D76192E4007DFB496CCA67E13B");
    QTest::newRow("alphanumeric") << QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
                                  << QStringLiteral("D174AB98D277D9F5A5611C2C9F419D9F");
    QTest::newRow("eight times digits") << QStringLiteral(
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890")
                                        << QStringLiteral("57EDF4A22BE3C955AC49DA2E2107B67A");
}

void TestDigest::rfcSuite()
{
    QFETCH(QString, text);
    QFETCH(QString, digest);
    QCOMPARE(Md5Hex(text, 32), digest);
}

void TestDigest::blockBoundaries_data()
{
    QTest::addColumn<int>("length");
    for (int length : {55, 56, 63, 64, 65, 119, 120}) {
        QTest::addRow("%d bytes", length) << length;
    }
}

void TestDigest::blockBoundaries()
{
    QFETCH(int, length);
    // Every byte differs from its neighbours, so a misplaced byte or length word changes the digest.
    QString text;
    for (int i = 0; i < length; ++i) {
        text.append(QLatin1Char(static_cast<char>('!' + (i * 7) % 90)));
    }
    const QByteArray expected = QCryptographicHash::hash(text.toLatin1(), QCryptographicHash::Md5).toHex().toUpper();
    QCOMPARE(Md5Hex(text, 32), QString::fromLatin1(expected));
}

void TestDigest::wholeAndInPieces()
{
    QByteArray data(1000, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 31 + 7);
    }
    const auto whole = Md5::hash(data.constData(), static_cast<std::size_t>(data.size()));
    for (int pieceSize : {1, 3, 63, 64, 65, 127, 999}) {
        Md5 md5;
        for (qsizetype at = 0; at < data.size(); at += pieceSize) {
            md5.addData(data.mid(at, pieceSize));
        }
        QVERIFY2(md5.result() == whole, qPrintable(QStringLiteral("piece size %1").arg(pieceSize)));
    }
    // A finished object starts afresh.
    Md5 reused;
    reused.addData(data);
    (void)reused.result();
    reused.addData(data);
    QVERIFY(reused.result() == whole);
}

void TestDigest::codePageBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("ascii") << QStringLiteral("http://a.b/?x=1&y=%20#z") << QByteArray("http://a.b/?x=1&y=%20#z");
    QTest::newRow("zhong wen") << QString::fromUtf16(u"\u4E2D\u6587") << QByteArray::fromHex("D6D0CEC4");
    QTest::newRow("e acute is double-byte") << QString::fromUtf16(u"\u00E9") << QByteArray::fromHex("A8A6");
    QTest::newRow("text around hanzi") << QString::fromUtf16(u"a\u554Ab") << QByteArray::fromHex("61B0A162");
    QTest::newRow("euro gives low byte") << QString::fromUtf16(u"\u20AC") << QByteArray::fromHex("AC");
    QTest::newRow("unmappable gives low byte") << QString::fromUtf16(u"\u0E01") << QByteArray::fromHex("01");
    QTest::newRow("lone surrogate gives low byte") << QString::fromUtf16(u"x\xD83D") << QByteArray::fromHex("783D");
    QTest::newRow("nul") << QString(QChar(u'\0')) << QByteArray(1, '\0');
}

void TestDigest::codePageBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QVERIFY(codePageAvailable());
    QCOMPARE(TextToAnsiBytes(text).toHex(), bytes.toHex());
}

void TestDigest::lengthOption_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("digest");
    const QString abc = QStringLiteral("abc");
    QTest::newRow("abc 32") << abc << 32 << QStringLiteral("900150983CD24FB0D6963F7D28E17F72");
    for (int length : {0, 16, 31, 33, -1}) {
        QTest::addRow("abc %d", length) << abc << length << QStringLiteral("3CD24FB0D6963F7D");
    }
    QTest::newRow("empty 16") << QString() << 16 << QStringLiteral("8F00B204E9800998");
    QTest::newRow("zhong wen 32") << QString::fromUtf16(u"\u4E2D\u6587") << 32
                                  << QStringLiteral("BCCE109775E8E1972E9F5FCDA3E12895");
}

void TestDigest::lengthOption()
{
    QFETCH(QString, text);
    QFETCH(int, length);
    QFETCH(QString, digest);
    QCOMPARE(Md5Hex(text, length), digest);
}

namespace
{
QString referenceHex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex().toUpper());
}
} // namespace

void TestDigest::randomAsciiMatchesReference()
{
    QRandomGenerator rng(20261207);
    for (int round = 0; round < 300; ++round) {
        QString text;
        const int length = rng.bounded(0, 300);
        for (int i = 0; i < length; ++i) {
            text.append(QLatin1Char(static_cast<char>(rng.bounded(0x20, 0x7F))));
        }
        QCOMPARE(Md5Hex(text, 32), referenceHex(text.toLatin1()));
    }
}

void TestDigest::randomGbkMatchesReference()
{
    // Common hanzi (GB2312 level 1) mixed with ASCII; the expected bytes come from Qt's own GBK decoder,
    // so the digest input must be exactly the GBK encoding of the text.
    QRandomGenerator rng(936);
    QStringDecoder decoder("GBK");
    QVERIFY(decoder.isValid());
    for (int round = 0; round < 200; ++round) {
        QByteArray gbk;
        const int length = rng.bounded(0, 120);
        for (int i = 0; i < length; ++i) {
            if (rng.bounded(2) == 0) {
                gbk.append(static_cast<char>(rng.bounded(0x20, 0x7F)));
            } else {
                gbk.append(static_cast<char>(rng.bounded(0xB0, 0xD7)));
                gbk.append(static_cast<char>(rng.bounded(0xA1, 0xFF)));
            }
        }
        const QString text = decoder.decode(gbk);
        QVERIFY(!decoder.hasError());
        QCOMPARE(TextToAnsiBytes(text).toHex(), gbk.toHex());
        QCOMPARE(Md5Hex(text, 32), referenceHex(gbk));
    }
}

void TestDigest::longTextCrossesConversionPieces()
{
    // Long enough to be converted in several pieces, with a double-byte character on every piece border.
    QString text;
    for (int i = 0; i < 20000; ++i) {
        text.append(i % 4095 == 0 ? QChar(u'\u4E2D') : QLatin1Char(static_cast<char>('a' + i % 26)));
    }
    QCOMPARE(Md5Hex(text, 32), referenceHex(TextToAnsiBytes(text)));
    QCOMPARE(TextToAnsiBytes(text).size(), text.size() + text.count(QChar(u'\u4E2D')));
}

QTEST_APPLESS_MAIN(TestDigest)
#include "tst_digest.moc"
