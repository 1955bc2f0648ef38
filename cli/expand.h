#pragma once

#include <QCoreApplication>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>

namespace Nolvex
{
class WebClient;
struct WebResult;
} // namespace Nolvex

namespace Nolvex::Cli
{

// Where links lead, without opening them: each is followed hop by hop with HEAD (a GET that stops at
// the headers where HEAD is refused), printing every hop, at most MaxRedirects redirects. A target
// that is not http or https ends the walk and is named; no body is ever read.
class Expander final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Expander)

public:
    static constexpr int MaxRedirects = 5;
    using Print = std::function<void(const QString& line)>;

    Expander(WebClient& web, std::chrono::milliseconds timeout, Print print, QObject* parent = nullptr);

    void start(const QStringList& links);
    bool anyFailed() const { return m_anyFailed; }

signals:
    void finished();

private:
    void next();
    void request(const QUrl& address, bool head);
    void onResult(const QUrl& address, bool head, const WebResult& result);
    void fail(const QString& why);

    WebClient& m_web;
    std::chrono::milliseconds m_timeout;
    Print m_print;
    QStringList m_links;
    qsizetype m_next = 0;
    int m_redirects = 0;
    bool m_anyFailed = false;
};

} // namespace Nolvex::Cli
