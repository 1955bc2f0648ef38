#include "links/fields.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

class FieldsTest final : public QObject
{
    Q_OBJECT

private slots:
    void decodeQuery_data();
    void decodeQuery();
    void formTreatsPlusAsBlank();
    void linkType_data();
    void linkType();
    void tokenComparison_data();
    void tokenComparison();
    void plainText_data();
    void plainText();
};

void FieldsTest::decodeQuery_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("pairs"); // name, value, name, value...

    const int ok = int(DecodeError::None);
    QTest::newRow("plain") << QByteArray("type=1&url=x") << ok << QStringList {u"type"_s, u"1"_s, u"url"_s, u"x"_s};
    QTest::newRow("plus stays a plus") << QByteArray("url=a+b") << ok << QStringList {u"url"_s, u"a+b"_s};
    QTest::newRow("encoded plus") << QByteArray("url=a%2Bb") << ok << QStringList {u"url"_s, u"a+b"_s};
    QTest::newRow("typed percent-twenty") << QByteArray("url=a%2520b") << ok << QStringList {u"url"_s, u"a%20b"_s};
    QTest::newRow("encoded ampersand and hash")
        << QByteArray("url=a%26b%23c&x=1") << ok << QStringList {u"url"_s, u"a&b#c"_s, u"x"_s, u"1"_s};
    QTest::newRow("chinese") << QByteArray("url=%E4%B8%AD%E6%96%87") << ok << QStringList {u"url"_s, u"中文"_s};
    QTest::newRow("equals inside value") << QByteArray("url=a=b") << ok << QStringList {u"url"_s, u"a=b"_s};
    QTest::newRow("no equals") << QByteArray("flag") << ok << QStringList {u"flag"_s, QString()};
    QTest::newRow("empty pieces skipped") << QByteArray("&&a=1&&") << ok << QStringList {u"a"_s, u"1"_s};
    QTest::newRow("empty") << QByteArray() << ok << QStringList();
    QTest::newRow("NUL decodes") << QByteArray("u=%00") << ok << QStringList {u"u"_s, QString(QChar(0))};
    QTest::newRow("bad escape") << QByteArray("url=%zz") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("truncated escape") << QByteArray("url=%4") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("escape in name") << QByteArray("u%l=1") << int(DecodeError::BadEscape) << QStringList();
    QTest::newRow("invalid UTF-8") << QByteArray("url=%FF") << int(DecodeError::BadUtf8) << QStringList();
    QTest::newRow("overlong UTF-8") << QByteArray("url=%C0%AF") << int(DecodeError::BadUtf8) << QStringList();
    QTest::newRow("surrogate in UTF-8") << QByteArray("url=%ED%A0%80") << int(DecodeError::BadUtf8) << QStringList();
    QByteArray many;
    for (int i = 0; i < MaximumQueryFields + 1; ++i) {
        many += "a=" + QByteArray::number(i) + '&';
    }
    QTest::newRow("one field too many") << many << int(DecodeError::TooManyFields) << QStringList();
    many.chop(many.size() - many.lastIndexOf("a="));
    QTest::newRow("fields at the limit") << many << ok << QStringList();
}

void FieldsTest::decodeQuery()
{
    QFETCH(QByteArray, raw);
    QFETCH(int, error);
    QFETCH(QStringList, pairs);
    const DecodedFields decoded = Shortd::decodeQuery(raw);
    QCOMPARE(int(decoded.error), error);
    if (error != int(DecodeError::None)) {
        QVERIFY(decoded.fields.isEmpty());
        return;
    }
    if (QByteArray(QTest::currentDataTag()) == "fields at the limit") {
        QCOMPARE(decoded.fields.size(), MaximumQueryFields);
        return;
    }
    QStringList flat;
    for (const Field& field : decoded.fields) {
        flat << field.name << field.value;
    }
    QCOMPARE(flat, pairs);
}

void FieldsTest::formTreatsPlusAsBlank()
{
    const DecodedFields form = decodeForm("sn=tk+vr&b=%2B");
    QCOMPARE(form.fields.size(), 2);
    QCOMPARE(form.fields.at(0).value, u"tk vr"_s);
    QCOMPARE(form.fields.at(1).value, u"+"_s);
    QCOMPARE(findField(form.fields, u"sn").count, 1);
    QCOMPARE(findField(decodeForm("sn=a&sn=b").fields, u"sn").count, 2);
    QCOMPARE(findField(decodeForm("sn=a&sn=b").fields, u"sn").value, u"a"_s);
}

void FieldsTest::linkType_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type"); // -1: rejected
    for (int i = 0; i < 6; ++i) {
        QTest::addRow("digit %d", i) << QString::number(i) << i;
    }
    QTest::newRow("six") << u"6"_s << -1;
    QTest::newRow("minus one") << u"-1"_s << -1;
    QTest::newRow("leading zero") << u"01"_s << -1;
    QTest::newRow("plus sign") << u"+1"_s << -1;
    QTest::newRow("blank") << u" 1"_s << -1;
    QTest::newRow("empty") << QString() << -1;
    QTest::newRow("fullwidth digit") << u"１"_s << -1;
    QTest::newRow("arabic-indic digit") << u"\u0661"_s << -1;
}

void FieldsTest::linkType()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    QCOMPARE(parseLinkType(text).value_or(-1), type);
}

void FieldsTest::tokenComparison_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("equal");
    const QString token = u"0123456789ABCDEF0123456789ABCDEF"_s;
    QTest::newRow("same") << token << token << true;
    QTest::newRow("first differs") << (u'1' + token.sliced(1)) << token << false;
    QTest::newRow("last differs") << (token.chopped(1) + u'E') << token << false;
    QTest::newRow("lower case") << token.toLower() << token << false;
    QTest::newRow("prefix") << token.chopped(1) << token << false;
    QTest::newRow("longer") << (token + u'0') << token << false;
    QTest::newRow("empty") << QString() << token << false;
    QTest::newRow("NUL padded") << (token.chopped(1) + QChar(0)) << token << false;
}

void FieldsTest::tokenComparison()
{
    QFETCH(QString, received);
    QFETCH(QString, expected);
    QFETCH(bool, equal);
    QCOMPARE(tokensEqual(received, expected), equal);
}

// What a title, a tag or a reason may hold: what it shows is what it says.
void FieldsTest::plainText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("plain");
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("chinese and quotes") << u"春季\"促销\" <b>"_s << true;
    QTest::newRow("arabic and hebrew letters") << u"\u0627\u05D0"_s << true;
    QTest::newRow("surrogate pair") << u"\U0001F600"_s << true;
    QTest::newRow("zero-width joiner") << u"a\u200Db"_s << true;
    QTest::newRow("C1 control") << u"a\u0085b"_s << false;
    QTest::newRow("right-to-left override") << u"abc\u202Egnp.exe"_s << false;
    QTest::newRow("left-to-right embedding") << u"\u202Ax"_s << false;
    QTest::newRow("pop directional isolate") << u"\u2069"_s << false;
    QTest::newRow("left-to-right mark") << u"\u200Ex"_s << false;
    QTest::newRow("right-to-left mark") << u"x\u200F"_s << false;
    QTest::newRow("arabic letter mark") << u"\u061C"_s << false;
    QTest::newRow("lone high surrogate") << (u"a"_s + QChar(0xD800)) << false;
    QTest::newRow("lone low surrogate") << (QChar(0xDC00) + u"a"_s) << false;
    QTest::newRow("swapped pair") << (QString(QChar(0xDE00)) + QChar(0xD83D)) << false;
}

void FieldsTest::plainText()
{
    QFETCH(QString, text);
    QFETCH(bool, plain);
    QCOMPARE(isPlainFieldText(text), plain);
}

QTEST_APPLESS_MAIN(FieldsTest)
#include "tst_fields.moc"
