#pragma once

#include "chat/chatarrival.h"
#include "controls.h"
#include "deployment.h"
#include "form.h"
#include "hyperlinkinterface.h"
#include "system.h"
#include "winsock.h"

#include <QPointer>
#include <QString>
#include <memory>
#include <vector>

class frmMain;

class QEventLoop;

// The text-chat window under the radio: typed lines with the stations on the
// same channel, links in them clickable.
class mrlxchat : public vb::Form {
    Q_OBJECT
public:
    // The window belongs to a radio: the program's main window unless given.
    explicit mrlxchat(frmMain *radio = nullptr, QWidget *parent = nullptr);
    ~mrlxchat() override;

    static constexpr int clientWidthTwips = 8724;
    static constexpr int clientHeightTwips = 3048;
    static constexpr int nickWidth = int(chatNickWidth);
    static constexpr qint16 idleThreshold = 700;
    // The longest a send may hold up the window when the link breaks under it.
    static constexpr int sendWaitMs = 2000;
    // What the history keeps; the oldest lines go first.
    static constexpr int historyLines = 500;
    static constexpr int historyCharacters = 200000;
    static inline const QString callSignPath = registryPath(QStringLiteral("ini0"));
    static inline const QString systemSpeaker = QStringLiteral("-system-");

    void Form_Load();
    void cmdconnect_Click();
    void cmdcancel_Click();
    // False when the window went away while the line was leaving.
    bool cmdsend_Click();
    void Timer2_Timer();
    void txtchat_MouseMove(float x, float y);
    void txtchat_Click();
    void Label1_MouseDown(int button);
    void Label2_Click();
    void wsckChat_Connect(int index);
    void wsckChat_DataArrival(int index);
    void wsckChat_SendComplete(int index);
    void wsckChat_Close(int index);
    void wsckChat_Error(int index, int number);

    // The user's settings as a registry path "HKCU\SOFTWARE\<organisation>\<key>";
    // empty on any error.
    static QString RegRead(const QString &path) { return ::RegRead(path); }
    static bool RegWrite(const QString &path, const QString &value) {
        return ::RegWrite(path, value);
    }

    // Asks for the call sign without blocking the window; a given one is stored
    // and, while connected, used from a fresh connection on.
    void editCallSign();
    QDialog *callSignDialog() const { return m_callSignDialog; }

    bool connected = false;
    QString paddedNick;
    bool sendDone = false;
    qint16 idleTicks = 0;
    // True when the link control could not be loaded: lines show without link style.
    bool linkControlMissing() const { return !Hyperlink1; }

    vb::Label *Label1 = nullptr;
    vb::Label *Label2 = nullptr;
    vb::Label *Label3 = nullptr;
    vb::CheckBox *Check1 = nullptr;
    RichTextBox *txtchat = nullptr;
    vb::TextBox *txtNachricht = nullptr;
    vb::CommandButton *cmdsend = nullptr;
    vb::TextBox *txtname = nullptr;
    vb::CommandButton *cmdconnect = nullptr;
    vb::CommandButton *cmdcancel = nullptr;
    vb::Timer *Timer2 = nullptr;
    std::vector<Winsock *> wsckChat;
    com::ComPtr<IHyperlink> Hyperlink1;

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void loadLinkControl();
    void applyLook();
    void UpdateControls();
    bool SendLine(const QString &line, int index);
    void ShowLine(const QString &text, const QString &nick);
    void showNotice(const QString &text);
    void linkEnded(const QString &notice);
    void focusInput();
    QString channelText() const;
    void offerCallSign();
    void askCallSign(bool thenLoad);
    void takeCallSign(const QString &callSign);

    QPointer<frmMain> m_radio;
    RichTextBox *m_newLine = nullptr;
    std::unique_ptr<FormPointer> m_pointer;
    QString m_linkControlError;
    bool m_linkNoticeShown = false;
    // Set while a send waits for its completion; a send during it does not wait again.
    QEventLoop *m_sendWait = nullptr;
    QPointer<QDialog> m_callSignDialog;
    int m_paintedStyle = -1;
};
