#include "http/framing.h"

#include <QTest>

using namespace Shortd;

using State = FramedRequest::State;
Q_DECLARE_METATYPE(Shortd::FramedRequest)

namespace
{
const QByteArray Health = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
const QByteArray Post = "POST /v HTTP/1.1\r\nHost: x\r\n";
const QByteArray Form = "sn=tkvr";
const QByteArray Length = "Content-Length: 7\r\n";
const QByteArray Chunks = "3\r\nsn=\r\n4\r\ntkvr\r\n0\r\n\r\n";
const QByteArray Chunked = "Transfer-Encoding: chunked\r\n\r\n" + Chunks;
const QByteArray Expect = "Expect: 100-continue\r\n";
// What the HTTP server is handed for a POST of the form whose framing was rewritten.
const QByteArray PlainPost = Post + Length + "\r\n" + Form;

// length -1: the whole buffer.
FramedRequest complete(qsizetype length = -1, QByteArray forward = {})
{
    FramedRequest expected;
    expected.state = State::Complete;
    expected.length = length;
    expected.forward = std::move(forward);
    return expected;
}

// missing: how many bytes past the buffer nothing changes.
FramedRequest waiting(qsizetype missing, bool headComplete = false, bool expectsContinue = false)
{
    FramedRequest expected;
    expected.needed = missing;
    expected.headComplete = headComplete;
    expected.expectsContinue = expectsContinue;
    return expected;
}

FramedRequest refused(int status)
{
    FramedRequest expected;
    expected.state = State::Refused;
    expected.status = status;
    return expected;
}
} // namespace

class FramingTest final : public QObject
{
    Q_OBJECT

private slots:
    void frame_data();
    void frame();
    void path_data();
    void path();
};

void FramingTest::frame_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<FramedRequest>("expected");

    const QByteArray get = Health + "\r\n";
    QTest::newRow("plain GET") << get << complete();
    QTest::newRow("only the first of two") << get + get << complete(get.size());
    QTest::newRow("empty lines before the request line") << QByteArray("\r\n\n" + get) << complete();
    QTest::newRow("bare LF line ends") << QByteArray("GET / HTTP/1.1\nHost: x\n\n") << complete();
    QTest::newRow("HTTP/1.0 without Host") << QByteArray("GET / HTTP/1.0\r\n\r\n") << complete();
    QTest::newRow("form with Content-Length") << PlainPost << complete();
    QTest::newRow("100 header fields") << Health + QByteArray("X: y\r\n").repeated(99) + "\r\n" << complete();
    // Rewritten: the HTTP server reads one plain Content-Length.
    QTest::newRow("the same Content-Length twice") << Post + Length + Length + "\r\n" + Form << complete(-1, PlainPost);
    QTest::newRow("a list of equal lengths") << Post + "Content-Length: 7, 7\r\n\r\n" + Form << complete(-1, PlainPost);
    const QByteArray chunkedWithTrailer
        = Post + "Transfer-Encoding: chunked\r\n\r\n3;x=y\r\nsn=\r\n4\r\ntkvr\r\n0\r\nTrailer: t\r\n\r\n";
    QTest::newRow("chunked, extension and trailer dropped")
        << chunkedWithTrailer + get << complete(chunkedWithTrailer.size(), PlainPost);
    QTest::newRow("chunk data ended by a bare LF") << Post + "Transfer-Encoding: chunked\r\n\r\n7\r\nsn=tkvr\n0\r\n\r\n"
                                                   << complete(-1, PlainPost);
    QTest::newRow("Expect without a body") << Health + Expect + "\r\n" << complete(-1, get);

    QTest::newRow("request line cut") << QByteArray("GET / HTTP/1.1") << waiting(1);
    QTest::newRow("headers cut") << Health << waiting(1);
    QTest::newRow("body cut") << Post + Length + "\r\nsn=" << waiting(4, true);
    QTest::newRow("100-continue, body not sent") << Post + Length + Expect + "\r\n" << waiting(Form.size(), true, true);
    // HTTP/1.0 knows no interim answer: the client sends its body without one.
    QTest::newRow("100-continue in HTTP/1.0")
        << QByteArray("POST /v HTTP/1.0\r\n" + Length + Expect + "\r\n") << waiting(Form.size(), true);
    // The chunk's data and the first byte of its line end.
    QTest::newRow("chunk data cut") << Post + Expect + "Transfer-Encoding: chunked\r\n\r\n7\r\nsn="
                                    << waiting(5, true, true);

    QTest::newRow("Content-Length and Transfer-Encoding") << Post + Length + Chunked << refused(400);
    QTest::newRow("two different Content-Lengths")
        << Post + Length + "Content-Length: 2\r\n\r\n" + Form << refused(400);
    QTest::newRow("Content-Length list that differs") << Post + "Content-Length: 7, 8\r\n\r\n" + Form << refused(400);
    QTest::newRow("Content-Length with a sign") << Post + "Content-Length: +7\r\n\r\n" + Form << refused(400);
    QTest::newRow("negative length") << Post + "Content-Length: -5\r\n\r\n" << refused(400);
    QTest::newRow("gzip before chunked") << Post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" << refused(400);
    QTest::newRow("chunked not last") << Post + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n" << refused(400);
    QTest::newRow("chunked in HTTP/1.0") << QByteArray("POST /v HTTP/1.0\r\n" + Chunked) << refused(400);
    QTest::newRow("bad chunk size") << Post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" << refused(400);
    QTest::newRow("chunk data not ended by a line end") << Post + "Transfer-Encoding: chunked\r\n\r\n3\r\nsn=x0\r\n\r\n"
                                                        << refused(400);
    QTest::newRow("endless chunk-size line")
        << Post + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray(1100, '1') << refused(400);
    QTest::newRow("folded Transfer-Encoding") << Post + "Transfer-Encoding:\r\n chunked\r\n\r\n0\r\n\r\n"
                                              << refused(400);
    QTest::newRow("NUL in a value") << Health + QByteArray("X: a\0b\r\n\r\n", 11) << refused(400);
    QTest::newRow("CR in a value") << Health + "X: a\rb\r\n\r\n" << refused(400);
    QTest::newRow("blank before the colon") << QByteArray("GET /healthz HTTP/1.1\r\nHost : x\r\n\r\n") << refused(400);
    QTest::newRow("HTTP/1.1 without Host") << QByteArray("GET /healthz HTTP/1.1\r\n\r\n") << refused(400);
    QTest::newRow("two Hosts") << Health + "Host: y\r\n\r\n" << refused(400);
    QTest::newRow("two Hosts in HTTP/1.0")
        << QByteArray("GET / HTTP/1.0\r\nHost: x\r\nHost: y\r\n\r\n") << refused(400);
    QTest::newRow("HTTP/3.0") << QByteArray("GET /healthz HTTP/3.0\r\nHost: x\r\n\r\n") << refused(400);
    QTest::newRow("unknown version, extra word") << QByteArray("GET / HTTP/9.9 x\r\n\r\n") << refused(400);
    QTest::newRow("control characters in the target")
        << QByteArray("GET /\x01\x02 HTTP/1.1\r\nHost: x\r\n\r\n") << refused(400);
    QTest::newRow("CR inside the request line") << QByteArray("GET /\r HTTP/1.1\r\nHost: x\r\n\r\n") << refused(400);
    QTest::newRow("100-continue and another expectation")
        << Post + Length + "Expect: 100-continue, x-fancy\r\n\r\n" + Form << refused(417);
    QTest::newRow("101 header fields") << Health + QByteArray("X: y\r\n").repeated(100) + "\r\n" << refused(431);
    QTest::newRow("head over the size budget")
        << Health + "X: " + QByteArray(qsizetype(81) * 1024, 'h') << refused(413);
    QTest::newRow("Content-Length over the size budget") << Post + "Content-Length: 90000\r\n\r\n" << refused(413);
    QTest::newRow("chunk over the size budget") << Post + "Transfer-Encoding: chunked\r\n\r\n16000\r\n" << refused(413);
}

void FramingTest::frame()
{
    QFETCH(QByteArray, buffer);
    QFETCH(FramedRequest, expected);
    if (expected.state == State::Complete && expected.length < 0) {
        expected.length = buffer.size();
    }
    if (expected.state == State::Incomplete) {
        expected.needed += buffer.size();
    }

    const FrontEndLimits limits;
    const FramedRequest framed = frameRequest(buffer, limits);
    QCOMPARE(framed.state, expected.state);
    QCOMPARE(framed.status, expected.status);
    QCOMPARE(framed.length, expected.length);
    QCOMPARE(framed.needed, expected.needed);
    QCOMPARE(framed.headComplete, expected.headComplete);
    QCOMPARE(framed.expectsContinue, expected.expectsContinue);
    QCOMPARE(framed.forward, expected.forward);

    // A request cut anywhere before its end waits, and never asks for bytes beyond its end: a
    // connection that did would wait for the next request before answering this one.
    for (qsizetype cut = 0; expected.state == State::Complete && cut < expected.length; ++cut) {
        const FramedRequest part = frameRequest(buffer.first(cut), limits);
        QVERIFY2(part.state == State::Incomplete && part.needed > cut && part.needed <= expected.length,
            qPrintable(QString::number(cut)));
    }
}

void FramingTest::path_data()
{
    // What a refusal is told of the request it refuses.
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("origin form, query cut")
        << QByteArray("POST /api/v1/links?x=1 HTTP/1.1\r\n") << QByteArray("/api/v1/links");
    QTest::newRow("line not complete") << QByteArray("GET /api/v1/li") << QByteArray("/api/v1/li");
    QTest::newRow("absolute form") << QByteArray("GET HTTP://x:80/api/v1/keys HTTP/1.1\r\n")
                                   << QByteArray("/api/v1/keys");
    QTest::newRow("absolute form without a path") << QByteArray("GET http://x HTTP/1.1\r\n") << QByteArray();
    QTest::newRow("asterisk form") << QByteArray("OPTIONS * HTTP/1.1\r\n") << QByteArray();
    QTest::newRow("no request line") << QByteArray("GARBAGE\r\n\r\n") << QByteArray();
}

void FramingTest::path()
{
    QFETCH(QByteArray, buffer);
    QFETCH(QByteArray, path);
    QCOMPARE(requestPath(buffer).toByteArray(), path);
}

QTEST_APPLESS_MAIN(FramingTest)
#include "tst_framing.moc"
