#pragma once

#include "DayTime.h"
#include "Settings.h"

#include <QByteArray>
#include <QDateTime>
#include <QDialog>
#include <QStringList>

#include <functional>

class FingerSessions;
class NoiseLimit;
class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class SystemFacts;
class TAboutBox;
class TComputerInfo;
class TSockets;
class TStatDialog;
class TTrayIcon;

// A finger query is in progress: the finger listener turns away a second client.
extern bool QueryBusy;
// The finger listener is open; the tray menu's "Enabled" check mark always equals it.
extern bool FingerListening;

// The setup window and the program's main window. It owns the finger and daytime listeners,
// the tray icon with its menu and the computer information; its handlers are the finger and
// daytime services.
class TMainForm : public QDialog
{
    Q_OBJECT

public:
    // Runs FormCreate: derives Login, loads the settings and opens the listeners.
    explicit TMainForm(const SystemFacts *facts = nullptr, QWidget *parent = nullptr);
    ~TMainForm() override;

    // The windows created after this one; log lines written before they exist are kept.
    void setWindows(TStatDialog *statDialog, TAboutBox *aboutBox, QWidget *fingerForm);

    // Seams for tests: the beep, and the clock of the query table and the daytime reply (the
    // system's when empty).
    std::function<void()> beep;
    std::function<QDateTime()> now;

    // "User Information"
    QGroupBox *GroupBox1 = nullptr;
    QLineEdit *LoginName = nullptr;
    QLineEdit *RealNameEditor = nullptr;
    QLineEdit *HomePhoneEditor = nullptr;
    QLineEdit *OfficePhoneEditor = nullptr;
    QLineEdit *PlanEditor = nullptr;
    QPushButton *PlanBtn = nullptr;
    QLineEdit *ProjectEditor = nullptr;
    QPushButton *ProjectBtn = nullptr;
    // "Normal Settings:"
    QGroupBox *GroupBox2 = nullptr;
    QCheckBox *FingerBox = nullptr;
    QCheckBox *InfoBox = nullptr;
    QCheckBox *UserLBox = nullptr;
    QCheckBox *UserInfoBox = nullptr;
    QCheckBox *CheckBox1 = nullptr;
    QCheckBox *CheckBox2 = nullptr;
    QCheckBox *CheckBox3 = nullptr;
    QCheckBox *CheckBox4 = nullptr;
    QCheckBox *CheckBox5 = nullptr;
    // "Answer queries from", below the boxes.
    QComboBox *AllowFromBox = nullptr;
    QLabel *VersionLabel = nullptr;
    QPushButton *Button2 = nullptr;

    TSockets *Sockets = nullptr;
    TSockets *Sockets1 = nullptr;
    // The finger sessions: which waits for its request, which is being answered.
    FingerSessions *fingerSessions = nullptr;
    TComputerInfo *ComputerInfo = nullptr;
    QFileDialog *OpenDialog = nullptr; // made on the first Browse
    TTrayIcon *TrayIcon = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *Setup1 = nullptr;
    QAction *Statistics1 = nullptr;
    QAction *Finger1 = nullptr;
    QAction *Enabled1 = nullptr;
    QAction *N1 = nullptr;
    QAction *About1 = nullptr;
    QAction *Exit1 = nullptr;

    void FormCreate();
    void FillControls();

    // Tray menu and setup window.
    void Setup1Click();
    void TrayIconDblClick(QObject *Sender);
    void Statistics1Click();
    void Finger1Click();
    void Enabled1Click();
    void About1Click();
    void Exit1Click();
    void Button2Click();
    void PlanBtnClick();
    void ProjectBtnClick();
    void RealNameEditorChange();
    void HomePhoneEditorChange();
    void OfficePhoneEditorChange();
    void PlanEditorChange();
    void ProjectEditorChange();
    void FingerBoxClick();
    void InfoBoxClick();
    void UserLBoxClick();
    void UserInfoBoxClick();
    void CheckBox1Click();
    void CheckBox2Click();
    void AllowFromBoxChange();

    // The finger service.
    void SocketsSessionAvailable(TSockets *Sender, int Socket);
    void SocketsDataAvailable(TSockets *Sender, int Socket);
    void SocketsSessionClosed(TSockets *Sender, int Socket);
    void SocketsErrorOccurred(TSockets *Sender, int Socket, int Error, const QString &Msg);

    // The daytime service.
    void Sockets1SessionAvailable(TSockets *Sender, int Socket);
    void Sockets1DataNeeded(TSockets *Sender, int Socket);
    void Sockets1SessionClosed(TSockets *Sender, int Socket);
    void Sockets1ErrorOccurred(TSockets *Sender, int Socket, int Error, const QString &Msg);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void createTrayIcon();
    void connectHandlers();
    void log(const QString &line);
    void log(const QStringList &lines);
    void browse(QLineEdit *editor);
    void setFingerListening(bool listening);
    void finishQuery();
    void recordQuery(int session, const QByteArray &request);
    void sessionTimedOut(int session);
    // A finger session's error in a box, or in the log while a box is open.
    void showSessionError(const QString &text);
    // Tells stderr why a listener could not open its port; cause is the errno of the failure.
    void reportListenFailure(const char *service, int port, int cause);
    // Closes an accepted session whose peer may not ask, logged once; false when it may.
    bool refusePeer(TSockets *listener, int session);

    TStatDialog *m_statDialog = nullptr;
    TAboutBox *m_aboutBox = nullptr;
    QWidget *m_fingerForm = nullptr;
    QStringList m_pendingLog;
    bool m_errorBoxOpen = false;
    // Errors that remote peers cause, before they reach a box, stderr or the log.
    NoiseLimit *m_remoteNoise = nullptr;
    LocalTimeText m_dayTime{FormatDayTime};
};
