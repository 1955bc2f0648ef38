#include "form1.h"

#include "platform.h"
#include "shorten.h"
#include "statusbar.h"
#include "twips.h"
#include "update.h"
#include "version.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStringDecoder>

namespace Nolvex
{
namespace
{

constexpr int ClientWidthTwips = 8460;
constexpr int ClientHeightTwips = 6915;
constexpr int StatusBarTopTwips = 6300;
constexpr qint64 MaxSkinSize = qint64 {1024} * 1024;

struct Place {
    int left;
    int top;
    int width;
    int height;
};
constexpr std::array<Place, Form1::OptionCount> OptionPlaces {{
    {480, 2280, 855, 255},
    {1680, 2280, 1095, 255},
    {3120, 2280, 975, 255},
    {4440, 2280, 975, 255},
    {5760, 2280, 975, 255},
    {7080, 2280, 975, 255},
}};

QFont controlFont()
{
    QFont font;
    // The design face first, then the closest Simplified Chinese faces a Linux desktop has.
    font.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"),
        QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC")});
    font.setPointSizeF(10.5);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

void place(QWidget* widget, const char* name, Place at, qreal dpi)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setFont(controlFont());
    widget->setGeometry(twipsRect(at.left, at.top, at.width, at.height, dpi));
}

QLabel* makeLabel(const QString& caption, QWidget* parent, const char* name, Place at, qreal dpi)
{
    auto* label = new QLabel(caption, parent);
    place(label, name, at, dpi);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// A text box beside its label, which names it for screen readers as for the eye.
QLineEdit* makeTextBox(QLabel* label, const char* name, Place at, qreal dpi)
{
    auto* box = new QLineEdit(label->parentWidget());
    place(box, name, at, dpi);
    label->setBuddy(box);
    box->setAccessibleName(label->text());
    return box;
}

QPushButton* makeButton(const QString& caption, QWidget* parent, const char* name, Place at, qreal dpi)
{
    auto* button = new QPushButton(caption, parent);
    place(button, name, at, dpi);
    button->setAutoDefault(false);
    button->setAccessibleName(caption);
    return button;
}

qreal screenDpi()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
}

QString shortenFailureText(WebResult::Status status, int httpStatus = 0)
{
    switch (status) {
    case WebResult::Status::TimedOut:
        return QStringLiteral("服务器响应超时,请稍后重试..");
    case WebResult::Status::ConnectionFailed:
        if (httpStatus != 0) {
            break; // the server answered, with an interim reply where the answer was due
        }
        return QStringLiteral("无法连接短网址服务器,请检查网络后重试..");
    case WebResult::Status::TooLarge:
    case WebResult::Status::BadEncoding:
    case WebResult::Status::Ok:
        break;
    }
    return QStringLiteral("服务器返回的数据无法识别,请稍后重试..");
}

// A stylesheet from disk is applied only when it is a readable, reasonably sized UTF-8 text.
std::optional<QString> readSkin(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxSkinSize) {
        return std::nullopt;
    }
    const QByteArray bytes = file.read(MaxSkinSize + 1);
    if (bytes.size() > MaxSkinSize || bytes.contains('\0')) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

} // namespace

Form1::Form1(Settings settings, Platform& platform, QWidget* parent)
    : QMainWindow(parent)
    , m_settings(std::move(settings))
    , m_platform(platform)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Nolvex网址缩短工具 V") + Protocol::CurrentVersion);
    const qreal dpi = screenDpi();
    createControls(dpi);
    createMenus();
    setTabOrder();

    Timer2.setInterval(1000);
    connect(&Timer2, &QTimer::timeout, this, &Form1::Timer2_Timer);
    Timer2.start();

    Form_Load();
    // Sized once the skin is on: its menu bar may be taller than the plain one.
    placeWindow(dpi);
}

Form1::~Form1()
{
    // Nothing may be written to a window that is gone.
    abortRequests();
}

void Form1::abortRequests()
{
    for (QPointer<WebReply>* reply : {&m_shortenReply, &m_versionReply}) {
        if (*reply) {
            (*reply)->abort();
        }
        reply->clear();
    }
}

void Form1::createControls(qreal dpi)
{
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);
    createInputFrame(client, dpi);
    createServiceOptions(client, dpi);
    createGenerateButton(client, dpi);
    createResultFrame(client, dpi);
    createStatusBar(dpi);
}

void Form1::createInputFrame(QWidget* client, qreal dpi)
{
    Frame1 = new QGroupBox(client);
    place(Frame1, "Frame1", {360, 360, 7695, 1575}, dpi);
    Label3 = makeLabel(
        QStringLiteral("请输入要缩短的地址[双击文本粘贴地址]"), Frame1, "Label3", {240, 360, 7200, 300}, dpi);
    Text1 = makeTextBox(Label3, "Text1", {240, 840, 7215, 420}, dpi);
    Text1->setText(m_settings.makerHome.toString());
    Text1->installEventFilter(this);
}

void Form1::createServiceOptions(QWidget* client, qreal dpi)
{
    m_options = new QButtonGroup(this);
    for (int i = 0; i < OptionCount; ++i) {
        const auto index = static_cast<std::size_t>(i);
        auto* option = new QRadioButton(Protocol::LinkTypeNames.at(index).toString(), client);
        place(option, QByteArray("Option1_" + QByteArray::number(i)).constData(), OptionPlaces.at(index), dpi);
        m_options->addButton(option, i);
        Option1.at(index) = option;
    }
    Option1[0]->setChecked(true);
    // Tab enters the options at the selected one; the arrow keys move between them.
    auto tabStopAtSelection = [this] {
        for (QRadioButton* option : Option1) {
            option->setFocusPolicy(option->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
        }
    };
    connect(m_options, &QButtonGroup::buttonToggled, this, tabStopAtSelection);
    tabStopAtSelection();
}

void Form1::createGenerateButton(QWidget* client, qreal dpi)
{
    Command1 = makeButton(Protocol::ShortenButtonText.toString(), client, "Command1", {360, 2880, 7695, 615}, dpi);
    Command1->setEnabled(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
}

void Form1::createResultFrame(QWidget* client, qreal dpi)
{
    Frame2 = new QGroupBox(QStringLiteral("网址信息"), client);
    place(Frame2, "Frame2", {360, 3720, 7695, 2175}, dpi);
    // Two rows of caption, read-only box and button: the long address to open, the short link to copy.
    Label1 = makeLabel(QStringLiteral("原网址:"), Frame2, "Label1", {240, 600, 675, 300}, dpi);
    Text2 = makeTextBox(Label1, "Text2", {1320, 600, 5295, 420}, dpi);
    Command3 = makeButton(QStringLiteral("访问"), Frame2, "Command3", {6720, 600, 735, 450}, dpi);
    Label2 = makeLabel(QStringLiteral("短网址:"), Frame2, "Label2", {240, 1200, 675, 300}, dpi);
    Text3 = makeTextBox(Label2, "Text3", {1320, 1200, 5295, 420}, dpi);
    Command2 = makeButton(QStringLiteral("复制"), Frame2, "Command2", {6720, 1200, 735, 450}, dpi);
    Text2->setReadOnly(true);
    Text3->setReadOnly(true);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Text3, &QLineEdit::textChanged, this, &Form1::Text3_Change);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
}

void Form1::createStatusBar(qreal dpi)
{
    S1 = new StatusBar(dpi, this);
    S1->setFixedHeight(twipsToPixels(ClientHeightTwips - StatusBarTopTwips, dpi));
    setStatusBar(S1);
}

void Form1::createMenus()
{
    QMenuBar* bar = menuBar();
    bar->setNativeMenuBar(false);
    auto item = [this, bar](const char* name, const QString& caption, void (Form1::*handler)()) {
        QAction* action = bar->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    qk = item("qk", QStringLiteral("清空信息"), &Form1::qk_Click);
    office = item("office", QStringLiteral("工作室官网"), &Form1::office_Click);
    tarvo = item("tarvo", QStringLiteral("Tarvo公司官网"), &Form1::tarvo_Click);
    endd = item("endd", QStringLiteral("退出程序"), &Form1::endd_Click);
}

void Form1::setTabOrder()
{
    // Controls by tab index; frames, labels and the status bar take no focus. Within the options the
    // arrow keys move the selection and Tab enters at the selected one.
    const std::array<QWidget*, 12> order {Text1, Command1, Text2, Text3, Command2, Command3, Option1[0], Option1[1],
        Option1[3], Option1[2], Option1[5], Option1[4]};
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget::setTabOrder(order.at(i), order.at(i + 1));
    }
    Text1->setFocus();
}

void Form1::placeWindow(qreal dpi)
{
    const QSize client(twipsToPixels(ClientWidthTwips, dpi), twipsToPixels(ClientHeightTwips, dpi));
    centralWidget()->setFixedSize(client.width(), twipsToPixels(StatusBarTopTwips, dpi));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowCloseButtonHint);
    // The bar's height at the window's width, as the window's layout will give it, skin included.
    const int bar = menuBar()->heightForWidth(client.width());
    setFixedSize(client.width(), client.height() + (bar > 0 ? bar : menuBar()->sizeHint().height()));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void Form1::Form_Load()
{
    Option1[0]->setChecked(true);
    setWindowIcon(QIcon());
    if (const std::optional<QString> skin = readSkin(skinPath(QCoreApplication::applicationDirPath()))) {
        setStyleSheet(*skin);
    }
}

void Form1::init()
{
    Command1->setEnabled(true);
}

void Form1::setStatus(const QString& text)
{
    S1->setMessage(text);
}

void Form1::Timer2_Timer()
{
    // One check per start: a tick that falls while the check waits or asks starts nothing.
    if (m_versionReply || m_quitting) {
        return;
    }
    m_versionReply = m_web.HttpPost(
        versionRequestAddress(m_settings.versionOrigin), versionRequestBody(), m_settings.versionCheckTimeLimit);
    connect(m_versionReply, &WebReply::finished, this, &Form1::onVersionReply);
}

void Form1::onVersionReply(const WebResult& result)
{
    m_versionReply.clear();
    // Off before any box opens: a tick while the user reads one must not start a second check.
    Timer2.stop();
    const std::optional<VersionReply> reply
        = result.status == WebResult::Status::Ok ? readVersionReply(result.text) : std::nullopt;
    if (result.status != WebResult::Status::Ok) {
        qWarning("nolvex: version check failed: %s", qPrintable(result.errorString));
    }
    switch (decideUpdate(reply)) {
    case UpdateStep::CheckFailed:
        m_platform.inform(this, QStringLiteral("检测失败,请先使用当前版本"));
        break;
    case UpdateStep::UpToDate:
        setStatus(QStringLiteral("当前软件为最新版本,欢迎使用Nolvex软件.."));
        break;
    case UpdateStep::OfferUpdate: {
        const bool accepted = m_platform.askYesNo(this, updatePromptText(reply->version));
        switch (afterPrompt(accepted, reply->must)) {
        case PromptOutcome::OpenReleasePageAndQuit:
            m_platform.openUrl(releasePageUrl(m_settings.siteOrigin, reply->sid));
            quitWithoutAsking();
            return;
        case PromptOutcome::Quit:
            quitWithoutAsking();
            return;
        case PromptOutcome::Continue:
            setStatus(QStringLiteral("欢迎使用Nolvex软件.."));
            break;
        }
        break;
    }
    }
    init();
}

void Form1::Command1_Click()
{
    const QString address = Text1->text();
    switch (checkAddress(address)) {
    case AddressCheck::Empty:
        setStatus(QStringLiteral("请输入网址.."));
        return;
    case AddressCheck::MissingScheme:
        setStatus(QStringLiteral("网址必须包含http://或https://"));
        Text1->setText(QStringLiteral("http://") + address);
        return;
    case AddressCheck::Ok:
        break;
    }
    Command1->setEnabled(false);
    setStatus(QStringLiteral("正在生成短网址.."));
    for (int i = 0; i < OptionCount; ++i) {
        if (Option1.at(static_cast<std::size_t>(i))->isChecked()) {
            tt = QString::number(i);
        }
    }
    m_shortenReply
        = m_web.HttpGet(shortenRequestAddress(m_settings.shortenOrigin, tt, address), m_settings.shortenTimeLimit);
    connect(m_shortenReply, &WebReply::finished, this, &Form1::onShortenReply);
}

void Form1::onShortenReply(const WebResult& result)
{
    m_shortenReply.clear();
    if (result.status != WebResult::Status::Ok) {
        qWarning("nolvex: shortening request failed: %s", qPrintable(result.errorString));
        setStatus(shortenFailureText(result.status, result.httpStatus));
        Command1->setEnabled(true);
        return;
    }
    replytext = result.text;
    const ShortenReply reply = readShortenReply(replytext);
    switch (reply.kind) {
    case ShortenReply::Kind::Success:
        Text2->setText(Text1->text());
        setShortLink(reply.info);
        setStatus(QStringLiteral("短网址生成成功"));
        return;
    case ShortenReply::Kind::Refusal:
        Text2->clear();
        Text3->clear();
        setStatus(reply.message);
        // A refused address must not lock the client: the user can correct it and try again.
        Command1->setEnabled(true);
        return;
    case ShortenReply::Kind::Unreadable:
        setStatus(shortenFailureText(WebResult::Status::BadEncoding));
        Command1->setEnabled(true);
        return;
    }
}

void Form1::setShortLink(const QString& link)
{
    // The same link again is still news: the service gives one address the same link every time.
    if (Text3->text() == link) {
        Text3_Change();
    } else {
        Text3->setText(link);
    }
}

void Form1::Text3_Change()
{
    if (Text3->text().isEmpty()) {
        return;
    }
    setStatus(QStringLiteral("网址缩短成功.."));
    Command1->setEnabled(true);
}

void Form1::Command2_Click()
{
    if (Text3->text().isEmpty()) {
        setStatus(QStringLiteral("请先进行网址缩短.."));
        return;
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    const QString link = Text3->text();
    clipboard->setText(link);
    if (clipboard->text() != link) {
        setStatus(QStringLiteral("无法写入剪贴板,复制失败.."));
        return;
    }
    setStatus(QStringLiteral("缩短网址已复制.."));
}

void Form1::Command3_Click()
{
    if (Text3->text().isEmpty()) {
        setStatus(QStringLiteral("请先进行网址缩短.."));
        return;
    }
    openAddress(Text2->text());
}

void Form1::openAddress(const QString& address)
{
    const std::optional<QUrl> url = webAddress(address);
    if (!url) {
        setStatus(QStringLiteral("只能打开http或https网址,该网址无法打开.."));
        return;
    }
    if (!m_platform.openUrl(*url)) {
        setStatus(QStringLiteral("无法启动浏览器打开网址.."));
    }
}

void Form1::qk_Click()
{
    Text1->clear();
    Text2->clear();
    Text3->clear();
    setStatus(QStringLiteral("全部信息已被清空.."));
}

void Form1::Text1_DblClick()
{
    Text1->setText(QGuiApplication::clipboard()->text());
}

void Form1::office_Click()
{
    openAddress(m_settings.makerHome.toString());
}

void Form1::tarvo_Click()
{
    openAddress(m_settings.companyHome.toString());
}

void Form1::endd_Click()
{
    close();
}

bool Form1::Form_QueryUnload()
{
    if (m_quitting) {
        return true;
    }
    if (!m_platform.askYesNo(this, QStringLiteral("是否确定退出软件?"))) {
        return false;
    }
    m_quitting = true;
    // A confirmed close ends a waiting request here, so its reply never reaches the window.
    abortRequests();
    Timer2.stop();
    return true;
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (Form_QueryUnload()) {
        event->accept();
    } else {
        event->ignore();
    }
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Text1 && event->type() == QEvent::MouseButtonDblClick) {
        Text1_DblClick();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void Form1::quitWithoutAsking()
{
    m_quitting = true;
    Timer2.stop();
    m_platform.quitNow();
}

} // namespace Nolvex
