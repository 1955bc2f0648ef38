#include "http/framing.h"

#include <QTest>

using namespace Shortd;

using State = FramedRequest::State;
Q_DECLARE_METATYPE(FramedRequest::State)

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
} // namespace

class FramingTest final : public QObject
{
    Q_OBJECT

private slots:
    void frame_data();
    void frame();
};

void FramingTest::frame_data()
{
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<State>("state");
    QTest::addColumn<int>("status"); // Refused
    QTest::addColumn<qsizetype>("size"); // Complete: length taken; Incomplete: bytes needed
    QTest::addColumn<bool>("headComplete");
    QTest::addColumn<bool>("expectsContinue");
    QTest::addColumn<QByteArray>("forward");

    // length -1: the whole buffer.
    const auto complete
        = [](const char* name, const QByteArray& buffer, const QByteArray& forward = {}, qsizetype length = -1) {
              QTest::newRow(name) << buffer << State::Complete << 0 << (length < 0 ? buffer.size() : length) << false
                                  << false << forward;
          };
    // more: the bytes still missing.
    const auto waiting = [](const char* name, const QByteArray& buffer, qsizetype more, bool head, bool expects) {
        QTest::newRow(name) << buffer << State::Incomplete << 0 << buffer.size() + more << head << expects
                            << QByteArray();
    };
    const auto refused = [](const char* name, const QByteArray& buffer, int status) {
        QTest::newRow(name) << buffer << State::Refused << status << qsizetype(0) << false << false << QByteArray();
    };

    const QByteArray get = Health + "\r\n";
    complete("plain GET", get);
    complete("only the first of two", get + get, {}, get.size());
    complete("empty lines before the request line", "\r\n\n" + get);
    complete("bare LF line ends", "GET / HTTP/1.1\nHost: x\n\n");
    complete("HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n");
    complete("form with Content-Length", PlainPost);
    complete("100 header fields", Health + QByteArray("X: y\r\n").repeated(99) + "\r\n");
    // Rewritten: the HTTP server reads one plain Content-Length.
    complete("the same Content-Length twice", Post + Length + Length + "\r\n" + Form, PlainPost);
    complete("a list of equal lengths", Post + "Content-Length: 7, 7\r\n\r\n" + Form, PlainPost);
    const QByteArray chunkedWithTrailer
        = Post + "Transfer-Encoding: chunked\r\n\r\n3;x=y\r\nsn=\r\n4\r\ntkvr\r\n0\r\nTrailer: t\r\n\r\n";
    complete("chunked, extension and trailer dropped", chunkedWithTrailer + get, PlainPost, chunkedWithTrailer.size());
    complete(
        "chunk data ended by a bare LF", Post + "Transfer-Encoding: chunked\r\n\r\n7\r\nsn=tkvr\n0\r\n\r\n", PlainPost);
    complete("Expect without a body", Health + Expect + "\r\n", get);

    waiting("request line cut", "GET / HTTP/1.1", 1, false, false);
    waiting("headers cut", Health, 1, false, false);
    waiting("body cut", Post + Length + "\r\nsn=", 4, true, false);
    waiting("100-continue, body not sent", Post + Length + Expect + "\r\n", Form.size(), true, true);
    // HTTP/1.0 knows no interim answer: the client sends its body without one.
    waiting("100-continue in HTTP/1.0", "POST /v HTTP/1.0\r\n" + Length + Expect + "\r\n", Form.size(), true, false);
    // The chunk's data and the first byte of its line end.
    waiting("chunk data cut", Post + Expect + "Transfer-Encoding: chunked\r\n\r\n7\r\nsn=", 5, true, true);

    refused("Content-Length and Transfer-Encoding", Post + Length + Chunked, 400);
    refused("two different Content-Lengths", Post + Length + "Content-Length: 2\r\n\r\n" + Form, 400);
    refused("Content-Length list that differs", Post + "Content-Length: 7, 8\r\n\r\n" + Form, 400);
    refused("Content-Length with a sign", Post + "Content-Length: +7\r\n\r\n" + Form, 400);
    refused("negative length", Post + "Content-Length: -5\r\n\r\n", 400);
    refused("gzip before chunked", Post + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 400);
    refused("chunked not last", Post + "Transfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 400);
    refused("chunked in HTTP/1.0", "POST /v HTTP/1.0\r\n" + Chunked, 400);
    refused("bad chunk size", Post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400);
    refused("chunk data not ended by a line end", Post + "Transfer-Encoding: chunked\r\n\r\n3\r\nsn=x0\r\n\r\n", 400);
    refused("endless chunk-size line", Post + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray(1100, '1'), 400);
    refused("folded Transfer-Encoding", Post + "Transfer-Encoding:\r\n chunked\r\n\r\n0\r\n\r\n", 400);
    refused("NUL in a value", Health + QByteArray("X: a\0b\r\n\r\n", 11), 400);
    refused("CR in a value", Health + "X: a\rb\r\n\r\n", 400);
    refused("blank before the colon", "GET /healthz HTTP/1.1\r\nHost : x\r\n\r\n", 400);
    refused("HTTP/1.1 without Host", "GET /healthz HTTP/1.1\r\n\r\n", 400);
    refused("two Hosts", Health + "Host: y\r\n\r\n", 400);
    refused("two Hosts in HTTP/1.0", "GET / HTTP/1.0\r\nHost: x\r\nHost: y\r\n\r\n", 400);
    refused("HTTP/3.0", "GET /healthz HTTP/3.0\r\nHost: x\r\n\r\n", 400);
    refused("unknown version, extra word", "GET / HTTP/9.9 x\r\n\r\n", 400);
    refused("control characters in the target", "GET /\x01\x02 HTTP/1.1\r\nHost: x\r\n\r\n", 400);
    refused("CR inside the request line", "GET /\r HTTP/1.1\r\nHost: x\r\n\r\n", 400);
    refused(
        "100-continue and another expectation", Post + Length + "Expect: 100-continue, x-fancy\r\n\r\n" + Form, 417);
    refused("101 header fields", Health + QByteArray("X: y\r\n").repeated(100) + "\r\n", 431);
    refused("head over the size budget", Health + "X: " + QByteArray(qsizetype(81) * 1024, 'h'), 413);
    refused("Content-Length over the size budget", Post + "Content-Length: 90000\r\n\r\n", 413);
    refused("chunk over the size budget", Post + "Transfer-Encoding: chunked\r\n\r\n16000\r\n", 413);
}

void FramingTest::frame()
{
    QFETCH(QByteArray, buffer);
    QFETCH(State, state);
    QFETCH(int, status);
    QFETCH(qsizetype, size);
    QFETCH(bool, headComplete);
    QFETCH(bool, expectsContinue);
    QFETCH(QByteArray, forward);

    const FrontEndLimits limits;
    const FramedRequest framed = frameRequest(buffer, limits);
    QCOMPARE(framed.state, state);
    QCOMPARE(framed.status, status);
    QCOMPARE(state == State::Complete ? framed.length : framed.needed, state == State::Refused ? 0 : size);
    QCOMPARE(framed.headComplete, headComplete);
    QCOMPARE(framed.expectsContinue, expectsContinue);
    QCOMPARE(framed.forward, forward);

    // A request cut anywhere before its end waits, and never asks for bytes beyond its end: a
    // connection that did would wait for the next request before answering this one.
    for (qsizetype cut = 0; state == State::Complete && cut < size; ++cut) {
        const FramedRequest part = frameRequest(buffer.first(cut), limits);
        QVERIFY2(part.state == State::Incomplete && part.needed > cut && part.needed <= size,
            qPrintable(QString::number(cut)));
    }
}

QTEST_APPLESS_MAIN(FramingTest)
#include "tst_framing.moc"
