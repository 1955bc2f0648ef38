#pragma once

#include "protocol.h"
#include "settings.h"
#include "webclient.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <array>

class QAction;
class QButtonGroup;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace Nolvex
{

class Platform;
class StatusBar;

// The client's one window. Controls keep their design names as members and object names; the
// handlers turn widget state into calls of the logic library and its results back into widget state.
class Form1 final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form1)

public:
    static constexpr int OptionCount = Protocol::LinkTypeCount;

    Form1(Settings settings, Platform& platform, QWidget* parent = nullptr);
    ~Form1() override;

    // Enables the generate button; the update check calls it when it ends.
    void init();

    StatusBar* statusBarPanels() const { return S1; }
    bool requestPending() const { return !m_shortenReply.isNull(); }
    bool versionCheckPending() const { return !m_versionReply.isNull(); }
    QTimer& updateTimer() { return Timer2; }

    // The selected service's index as text, set by every shortening request.
    QString tt;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls(qreal dpi);
    void createInputFrame(QWidget* client, qreal dpi);
    void createServiceOptions(QWidget* client, qreal dpi);
    void createGenerateButton(QWidget* client, qreal dpi);
    void createResultFrame(QWidget* client, qreal dpi);
    void createStatusBar(qreal dpi);
    void createMenus();
    void setTabOrder();
    void placeWindow(qreal dpi);

    void Form_Load();
    void Timer2_Timer();
    void onVersionReply(const WebResult& result);
    void Command1_Click();
    void onShortenReply(const WebResult& result);
    void Command2_Click();
    void Command3_Click();
    void qk_Click();
    void Text1_DblClick();
    void Text3_Change();
    void office_Click();
    void tarvo_Click();
    void endd_Click();
    bool Form_QueryUnload();

    void abortRequests();
    void setShortLink(const QString& link);
    void openAddress(const QString& address);
    void quitWithoutAsking();
    void setStatus(const QString& text);

    Settings m_settings;
    Platform& m_platform;
    WebClient m_web;
    QPointer<WebReply> m_shortenReply;
    QPointer<WebReply> m_versionReply;
    QString replytext;
    bool m_quitting = false;
    QTimer Timer2;

    QGroupBox* Frame1 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* Text1 = nullptr;
    std::array<QRadioButton*, OptionCount> Option1 {};
    QButtonGroup* m_options = nullptr;
    QPushButton* Command1 = nullptr;
    QGroupBox* Frame2 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QPushButton* Command3 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text3 = nullptr;
    QPushButton* Command2 = nullptr;
    StatusBar* S1 = nullptr;
    QAction* qk = nullptr;
    QAction* office = nullptr;
    QAction* tarvo = nullptr;
    QAction* endd = nullptr;
};

} // namespace Nolvex
