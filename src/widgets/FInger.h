#pragma once

#include "QueryHistory.h"
#include "ReplyDecoder.h"

#include <QMainWindow>
#include <QPrinter>
#include <QTimer>

#include <functional>

class HostResolver;
class QAction;
class QCloseEvent;
class QFileDialog;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPageSetupDialog;
class QPlainTextEdit;
class QPrintDialog;
class QPushButton;
class QStatusBar;
class QShowEvent;
class QStringListModel;
class TSockets;
class TStatDialog;

// The finger client window: sends one query to port 79 of a host the user names and shows,
// saves, prints or copies the answer. Closing only hides it; a running query goes on.
class TFingerForm : public QMainWindow
{
    Q_OBJECT

public:
    // statDialog receives the client's error lines; fingerMenuItem is the tray menu's
    // "Finger..." item, enabled again whenever the window is closed. Either may be nullptr.
    explicit TFingerForm(TStatDialog *statDialog, QAction *fingerMenuItem,
                         QWidget *parent = nullptr);
    ~TFingerForm() override;

    QLineEdit *FingerEdit = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *HostEdit = nullptr;
    QPushButton *FingerBtn = nullptr;
    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QStatusBar *StatusBar = nullptr;

    QAction *Save = nullptr;
    QAction *Print = nullptr;
    QAction *PrinterSetup1 = nullptr;
    QAction *Close1 = nullptr;
    QAction *Copy1 = nullptr;
    QAction *Clear1 = nullptr;
    QAction *SelectAll1 = nullptr;
    QAction *ClearHistory1 = nullptr;

    // Made on first use: a file dialog watches its folder, and the print dialog the home
    // folder, from the moment it exists until the program ends.
    QFileDialog *SaveDialog = nullptr;
    QPrintDialog *PrintDialog = nullptr;
    QPageSetupDialog *PrinterSetupDialog = nullptr;

    TSockets *Sockets = nullptr;
    // Looks the host up; its resolveName may be replaced by tests.
    HostResolver *Resolver = nullptr;

    // A query was started and has not yet ended by "Stop", an error or the peer's close.
    bool ClientBusy = false;
    // Bytes received for the current query.
    qint64 ReceivedBytes = 0;

    // How long one connection attempt may take before it fails as timed out.
    int connectTimeoutMs = 15000;
    // The most bytes of one reply that are kept; the rest is dropped and the connection closed.
    qint64 replyLimitBytes = 16 * 1024 * 1024;
    // Where the name and host histories are kept.
    QString historyPath;

    // The three dialogs, replaceable so that tests need not drive them. chooseSaveFile
    // returns the chosen path or an empty text; the other two return whether the user
    // confirmed, having set up the printer they are given.
    std::function<QString()> chooseSaveFile;
    std::function<bool(QPrinter &)> choosePrinter;
    std::function<bool(QPrinter &)> setUpPrinter;

    QString statusText() const;
    const ClientHistory &history() const { return m_history; }

    // Fills in the two fields and starts the query, as "Finger" does; a query still in
    // progress is abandoned first.
    void runQuery(const QString &name, const QString &host);

    void FingerBtnClick();
    void Button1Click();
    void Button2Click();
    void SaveClick();
    void PrintClick();
    void PrinterSetup1Click();
    void Close1Click();
    void Copy1Click();
    void Clear1Click();
    void SelectAll1Click();
    void ClearHistory1Click();

    void SocketsSessionConnected(TSockets *Sender, int Socket);
    void SocketsDataAvailable(TSockets *Sender, int Socket);
    void SocketsSessionClosed(TSockets *Sender, int Socket);
    void SocketsErrorOccurred(TSockets *Sender, int Socket, int Error, const QString &Msg);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void FormClose(QCloseEvent *event);
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildTopBar();
    void buildMenus();
    void buildDialogs();
    void buildHistory();
    void setStatusText(const QString &text);
    void appendResultLine(const QString &text);
    void hideAndReleaseMenuItem();
    void releaseMenuItemAndPendingQuery();

    void rememberQuery();
    void showHistory();
    void abandonQuery();
    void closeSessionQuietly();
    void hostResolved(const QString &host, const QStringList &addresses);
    void connectToNextAddress();
    void connectAttemptFailed(const QString &text);
    void connectTimedOut();
    void showClientError(const QString &Msg);
    void returnToIdle(const QString &status);

    // Where the current query is: the window is idle, or the host is looked up, a
    // connection attempt runs, or the connection is open.
    enum class Phase { Idle, Resolving, Connecting, Connected };

    TStatDialog *m_statDialog = nullptr;
    QAction *m_fingerMenuItem = nullptr;
    QLabel *m_statusText = nullptr;
    QPrinter m_printer;
    bool m_shownBefore = false;

    Phase m_phase = Phase::Idle;
    // What the query sends, taken when it starts: later typing never goes to its host.
    QByteArray m_request;
    QString m_host;
    QStringList m_addresses;
    qsizetype m_nextAddress = 0;
    QTimer m_connectTimer;
    // While SConnect runs, the first failure it reports is kept here instead of shown.
    bool m_insideConnect = false;
    int m_attemptError = 0;
    QString m_attemptErrorText;
    ReplyDecoder m_decoder;

    ClientHistory m_history;
    QStringListModel *m_nameModel = nullptr;
    QStringListModel *m_hostModel = nullptr;
};
