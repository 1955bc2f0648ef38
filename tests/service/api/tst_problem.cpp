#include "api/problem.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace Shortd;

Q_DECLARE_METATYPE(Shortd::Fault)

// How the API answers each kind of fault: the status, the members named, and when to come back.
class ProblemTest final : public QObject
{
    Q_OBJECT

private slots:
    void faults_data();
    void faults();
};

void ProblemTest::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("errors"); // "field:message,…"; empty: no errors member
    QTest::addColumn<QByteArray>("retryAfter");

    const auto fault = [](FaultKind kind, const QString& field = {}) {
        return Fault {kind, u"说明"_s, u"words"_s, field};
    };
    QTest::newRow("invalid, one field") << fault(FaultKind::Invalid, u"url"_s) << 422 << u"说明"_s << u"url:说明"_s
                                        << QByteArray();
    QTest::newRow("invalid, no field") << fault(FaultKind::Invalid) << 422 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("invalid, several members")
        << invalidMembers({{u"code"_s, u"太短"_s}, {QString(), u"编码不正确"_s}, {u"code"_s, u"重复"_s}}) << 422
        << u"请求中有不正确的内容，详见 errors"_s << u"code:太短,:编码不正确,code:重复"_s << QByteArray();
    QTest::newRow("missing") << fault(FaultKind::Missing, u"code"_s) << 404 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("gone") << fault(FaultKind::Gone) << 410 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("refused") << fault(FaultKind::Refused) << 403 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("taken down") << fault(FaultKind::TakenDown) << 403 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("conflict") << fault(FaultKind::Conflict, u"code"_s) << 409 << u"说明"_s << QString() << QByteArray();
    QTest::newRow("unavailable") << fault(FaultKind::Unavailable) << 503 << u"说明"_s << QString() << "2"_ba;
}

void ProblemTest::faults()
{
    QFETCH(Fault, fault);
    QFETCH(int, status);
    QFETCH(QString, detail);
    QFETCH(QString, errors);
    QFETCH(QByteArray, retryAfter);
    const HttpReply reply = faultReply(fault);
    QCOMPARE(reply.status, status);
    const QJsonObject problem = QJsonDocument::fromJson(reply.body).object();
    QCOMPARE(problem.value(u"status"_s).toInt(), status);
    QCOMPARE(problem.value(u"detail"_s).toString(), detail);
    QStringList named;
    const QJsonArray list = problem.value(u"errors"_s).toArray();
    for (const auto& error : list) {
        named.append(error[u"field"_s].toString() + u':' + error[u"message"_s].toString());
    }
    QCOMPARE(named.join(u','), errors);
    QCOMPARE(problem.contains(u"errors"_s), !errors.isEmpty());
    QByteArray retry;
    for (const auto& [name, value] : reply.headers) {
        if (name == "Retry-After") {
            retry = value;
        }
    }
    QCOMPARE(retry, retryAfter);
}

QTEST_APPLESS_MAIN(ProblemTest)
#include "tst_problem.moc"
