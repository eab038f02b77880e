#pragma once

#include "control/controlstream.h"
#include "controls.h"
#include "form.h"
#include "winsock.h"

#include <QString>
#include <array>
#include <vector>

// The hidden window that keeps the permanent link to the operators' control
// server. It reports which channel this station is active on, raises the
// admin alarm, receives the operators' messages, and holds the members the
// other windows share with it.
class MRLS_Einlog : public vb::Form {
    Q_OBJECT
public:
    explicit MRLS_Einlog(QWidget *parent = nullptr);
    ~MRLS_Einlog() override;

    void Form_Load();
    void cmdsend_Click();
    void cmdSend1_Click();
    void Image1_Click();
    void Timer1_Timer();
    void starttimer_Timer();
    void Timer10_Timer();
    void Abschalttimer_Timer();
    void WinSock_DataArrival(int Index, qint64 bytesTotal);
    // Acts on one message from the control server, as read from the wire.
    void dispatch(QString message);

    QString kanalzeig = QStringLiteral("0");
    qint16 i = 0;
    QString cha;
    QString s;
    qint16 kicken = 0;
    QString warntext;
    QString strMess;
    QString smeterhilf;
    QString smeterwert;

    std::vector<Winsock *> WinSock;
    vb::Timer *Timer1 = nullptr;
    vb::Timer *starttimer = nullptr;
    vb::Timer *Timer10 = nullptr;
    vb::Timer *Abschalttimer = nullptr;
    vb::Label *Label1 = nullptr;
    vb::Image *Image3 = nullptr;

    // The longest message kept; operators' commands are a few characters at
    // its start.
    static constexpr int longestMessage = ControlStream::longestMessage;

signals:
    // Every message stored in strMess, also one that repeats the last: the
    // activity monitor fills a bar for each.
    void messageStored(const QString &message);

private:
    struct CommandRow;
    void ConnectControl();
    bool linkUp() const;
    void send(const QString &message);
    void PlayWarningSound();
    bool matches(const CommandRow &row) const;
    void showNotice(const CommandRow &row);
    void kick();
    void switchOff();
    void ban();
    void readSMeter();
    // Closes the chat window, the activity monitor, the main window (through
    // its own close handling) and this window, in that order.
    void closeAllWindows();
    void closeThisWindow();

    QString controlHost;
    int controlPort = 324;
    qint16 countdown = 0;
    double tagClearTicks = 0;
    qint16 switchOffTicks = 0;
    std::array<QString, 9> notices;
    ControlStream m_stream;
    bool m_closing = false;
};
