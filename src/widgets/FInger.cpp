#include "FInger.h"

#include "Dialogs.h"
#include "HostResolver.h"
#include "RegistryFile.h"
#include "Sockets.h"
#include "Stat.h"
#include "TellwickIcon.h"

#include <QAction>
#include <QCloseEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStringListModel>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

const QString PrintJobTitle = QStringLiteral("Finger Query");

// Writes through a temporary file that replaces the target only once it is complete, so a
// failed save never leaves a half-written file where a good one was.
bool writeTextFile(const QString &path, const QString &text)
{
    // A read-only file is refused, as writing into it in place would be; the atomic
    // replace would otherwise swap it out behind its owner's back.
    const QFileInfo existing(path);
    if (existing.exists() && !existing.isWritable())
        return false;
    QSaveFile file(path);
    // Unbuffered, so that a short write shows in the result of write(): a buffered flush
    // may take a write cut short by a full disk for success, and commit the cut file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray bytes = text.toLocal8Bit();
    // Without a commit the temporary file is discarded and the target stays as it was.
    return file.write(bytes) == bytes.size() && file.commit();
}

} // namespace

TFingerForm::TFingerForm(TStatDialog *statDialog, QAction *fingerMenuItem, QWidget *parent)
    : QMainWindow(parent), m_statDialog(statDialog), m_fingerMenuItem(fingerMenuItem),
      m_printer(QPrinter::HighResolution)
{
    setWindowTitle(QStringLiteral("Finger Client"));
    setWindowIcon(TellwickIcon());
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    // Closing hides this window; it must never be what ends a tray program.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(582, 431);

    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(central);
    buildTopBar();
    column->addWidget(FingerEdit->parentWidget());

    Memo1 = new QPlainTextEdit(central);
    Memo1->setReadOnly(true);
    // Selectable and copyable, but the answer is never edited by the user.
    Memo1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setUndoRedoEnabled(false);
    QFont courier(QStringLiteral("Courier"));
    courier.setStyleHint(QFont::TypeWriter);
    courier.setFixedPitch(true);
    courier.setPixelSize(13);
    courier.setBold(true);
    Memo1->setFont(courier);
    QPalette memoPalette = Memo1->palette();
    memoPalette.setColor(QPalette::Text, Qt::black);
    Memo1->setPalette(memoPalette);
    column->addWidget(Memo1, 1);

    StatusBar = new QStatusBar(this);
    StatusBar->setSizeGripEnabled(true);
    // A label rather than a status message: menu hovering clears messages, not widgets.
    m_statusText = new QLabel(StatusBar);
    m_statusText->setTextFormat(Qt::PlainText);
    StatusBar->addWidget(m_statusText, 1);
    setStatusBar(StatusBar);

    buildMenus();
    buildDialogs();

    Sockets = new TSockets(this);
    Sockets->Port = QStringLiteral("79");
    Sockets->Timeout = 10;
    Sockets->MaximumReceiveLength = 8192;
    Sockets->OnSessionConnected = std::bind_front(&TFingerForm::SocketsSessionConnected, this);
    Sockets->OnDataAvailable = std::bind_front(&TFingerForm::SocketsDataAvailable, this);
    Sockets->OnSessionClosed = std::bind_front(&TFingerForm::SocketsSessionClosed, this);
    Sockets->OnErrorOccurred = std::bind_front(&TFingerForm::SocketsErrorOccurred, this);

    Resolver = new HostResolver(this);
    connect(Resolver, &HostResolver::resolved, this, &TFingerForm::hostResolved);
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &TFingerForm::connectTimedOut);

    buildHistory();
    FingerEdit->setFocus();
}

TFingerForm::~TFingerForm()
{
    // The socket component may still report while it goes, and the print dialogs refer to
    // the printer: all three go while the window is still whole.
    delete Sockets;
    delete PrintDialog;
    delete PrinterSetupDialog;
}

void TFingerForm::buildTopBar()
{
    auto *bar = new QWidget(centralWidget());
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(8, 6, 8, 6);
    row->setSpacing(4);

    FingerEdit = new QLineEdit(bar);
    FingerEdit->setMinimumWidth(89);
    FingerEdit->setToolTip(QStringLiteral("Type a user name here"));
    row->addWidget(FingerEdit, 89);

    Label1 = new QLabel(QStringLiteral("@"), bar);
    Label1->setTextFormat(Qt::PlainText);
    QFont bold = Label1->font();
    bold.setBold(true);
    Label1->setFont(bold);
    QPalette labelPalette = Label1->palette();
    labelPalette.setColor(QPalette::WindowText, Qt::black);
    Label1->setPalette(labelPalette);
    row->addWidget(Label1);

    HostEdit = new QLineEdit(bar);
    HostEdit->setMinimumWidth(113);
    HostEdit->setToolTip(QStringLiteral("Type the host computers name here"));
    row->addWidget(HostEdit, 113);

    const auto addButton = [&](const QString &caption, const QString &hint, int width) {
        auto *button = new QPushButton(caption, bar);
        button->setMinimumWidth(width);
        button->setToolTip(hint);
        // A focused button takes Enter itself; elsewhere Enter goes to "Finger".
        button->setAutoDefault(true);
        row->addWidget(button);
        return button;
    };
    FingerBtn = addButton(QStringLiteral("Finger"), QStringLiteral("Clich here to finger"), 41);
    Button1 =
        addButton(QStringLiteral("Stop"), QStringLiteral("Click here to abort a finger query"), 49);
    Button2 = addButton(QStringLiteral("Close"), QStringLiteral("Click here to close window"), 49);
    row->addStretch(300);

    connect(FingerBtn, &QPushButton::clicked, this, &TFingerForm::FingerBtnClick);
    connect(Button1, &QPushButton::clicked, this, &TFingerForm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFingerForm::Button2Click);
}

void TFingerForm::buildMenus()
{
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    Save = file->addAction(QStringLiteral("&Save..."), this, &TFingerForm::SaveClick);
    Save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    Print = file->addAction(QStringLiteral("Print..."), this, &TFingerForm::PrintClick);
    Print->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    PrinterSetup1 =
        file->addAction(QStringLiteral("Printer Setup..."), this, &TFingerForm::PrinterSetup1Click);
    file->addSeparator();
    Close1 = file->addAction(QStringLiteral("&Close"), this, &TFingerForm::Close1Click);

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    Copy1 = edit->addAction(QStringLiteral("&Copy"), this, &TFingerForm::Copy1Click);
    Copy1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    Clear1 = edit->addAction(QStringLiteral("C&lear"), this, &TFingerForm::Clear1Click);
    edit->addSeparator();
    SelectAll1 =
        edit->addAction(QStringLiteral("Select &All"), this, &TFingerForm::SelectAll1Click);
    SelectAll1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    edit->addSeparator();
    ClearHistory1 =
        edit->addAction(QStringLiteral("Clear History"), this, &TFingerForm::ClearHistory1Click);
}

// Each field offers its history: as completion while typing, and whole on the Down key.
void TFingerForm::buildHistory()
{
    historyPath = RegistryFile::defaultPath();
    m_history = LoadClientHistory(historyPath);
    const auto offer = [this](QLineEdit *field, QStringListModel *&model,
                              const QueryHistory &entries) {
        model = new QStringListModel(entries.entries(), this);
        auto *completer = new QCompleter(model, field);
        completer->setCaseSensitivity(Qt::CaseInsensitive);
        completer->setCompletionMode(QCompleter::PopupCompletion);
        field->setCompleter(completer);
        field->installEventFilter(this);
    };
    offer(FingerEdit, m_nameModel, m_history.names);
    offer(HostEdit, m_hostModel, m_history.hosts);
}

bool TFingerForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Down &&
        static_cast<QKeyEvent *>(event)->modifiers() == Qt::NoModifier) {
        if (auto *field = qobject_cast<QLineEdit *>(watched); field && field->completer()) {
            field->completer()->setCompletionPrefix(QString());
            field->completer()->complete();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFingerForm::rememberQuery()
{
    const bool names = m_history.names.remember(FingerEdit->text());
    const bool hosts = m_history.hosts.remember(HostEdit->text());
    if (!names && !hosts)
        return;
    showHistory();
    // Kept at once, as a person expects of a history, not only when the settings are saved.
    SaveClientHistory(m_history, historyPath);
}

void TFingerForm::showHistory()
{
    m_nameModel->setStringList(m_history.names.entries());
    m_hostModel->setStringList(m_history.hosts.entries());
}

void TFingerForm::ClearHistory1Click()
{
    m_history.names.clear();
    m_history.hosts.clear();
    showHistory();
    SaveClientHistory(m_history, historyPath);
}

void TFingerForm::buildDialogs()
{
    m_printer.setDocName(PrintJobTitle);

    chooseSaveFile = [this] {
        if (!SaveDialog) {
            SaveDialog = new QFileDialog(this);
            SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
            SaveDialog->setFileMode(QFileDialog::AnyFile);
            SaveDialog->setDefaultSuffix(QString());
            SaveDialog->selectFile(QStringLiteral("FingerResult"));
        }
        if (SaveDialog->exec() != QDialog::Accepted)
            return QString();
        return SaveDialog->selectedFiles().value(0);
    };
    choosePrinter = [this](QPrinter &) {
        if (!PrintDialog)
            PrintDialog = new QPrintDialog(&m_printer, this);
        return PrintDialog->exec() == QDialog::Accepted;
    };
    setUpPrinter = [this](QPrinter &printer) {
        // It also warns when made while the printer is only a PDF file, which it is on a
        // system that has no printers.
        if (!PrinterSetupDialog)
            PrinterSetupDialog = new QPageSetupDialog(&printer, this);
        return PrinterSetupDialog->exec() == QDialog::Accepted;
    };
}

QString TFingerForm::statusText() const
{
    return m_statusText->text();
}

void TFingerForm::setStatusText(const QString &text)
{
    m_statusText->setText(text);
}

// Adds one line to the result: the text as it came, then a line break. The text is inserted
// as characters only, so nothing a remote host sends is ever read as markup.
void TFingerForm::appendResultLine(const QString &text)
{
    QTextCursor end(Memo1->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text + QLatin1Char('\n'));
}

void TFingerForm::FingerBtnClick()
{
    const QString host = HostEdit->text();
    // An IPv6 literal may be shorter than any real host name ("::1").
    if (host.size() < 5 && !isIpv6Literal(host)) {
        showPlainMessage(QStringLiteral("Give a real host name, please !"));
        return;
    }
    // Nothing of an earlier query goes on: not its look-up, nor its connection.
    abandonQuery();
    Memo1->clear();
    rememberQuery();

    m_request = FingerEdit->text().toLocal8Bit() + "\n\r";
    m_host = host;
    m_phase = Phase::Resolving;
    ClientBusy = true;
    FingerBtn->setEnabled(false);
    setStatusText(QStringLiteral("Connecting..."));
    Resolver->lookUp(unbracketedHost(host));
}

void TFingerForm::runQuery(const QString &name, const QString &host)
{
    FingerEdit->setText(name);
    HostEdit->setText(host);
    FingerBtnClick();
}

// Abandons the current query for good: a look-up's result is dropped when it comes, and a
// connection attempt or session is closed, so that nothing more is sent or reported for it.
void TFingerForm::abandonQuery()
{
    Resolver->cancel();
    m_connectTimer.stop();
    m_addresses.clear();
    m_nextAddress = 0;
    // The connection of the last query, also one the host closed or that failed, is closed
    // too, so that each query has its own connection and none is left behind.
    closeSessionQuietly();
    m_phase = Phase::Idle;
}

void TFingerForm::closeSessionQuietly()
{
    if (Sockets->SessionSocket == -1)
        return;
    Sockets->QuietErrors = true;
    Sockets->Disconnect();
    Sockets->QuietErrors = false;
    Sockets->TakeLastError();
}

void TFingerForm::returnToIdle(const QString &status)
{
    m_connectTimer.stop();
    m_phase = Phase::Idle;
    ClientBusy = false;
    FingerBtn->setEnabled(true);
    setStatusText(status);
}

void TFingerForm::hostResolved(const QString &, const QStringList &addresses)
{
    if (m_phase != Phase::Resolving)
        return;
    if (addresses.isEmpty()) {
        returnToIdle(QStringLiteral("Error occured."));
        Dialogs::current().messageBox(QStringLiteral("WINSOCK ERROR"),
                                      QStringLiteral("Cannot convert host address: %1").arg(m_host),
                                      Dialogs::Icon::None, Dialogs::Buttons::OkCancel);
        return;
    }
    m_addresses = addresses;
    m_nextAddress = 0;
    m_phase = Phase::Connecting;
    connectToNextAddress();
}

// Tries the host's addresses in turn until one connects; only the failure of the last one is
// shown.
void TFingerForm::connectToNextAddress()
{
    while (m_nextAddress < m_addresses.size()) {
        Sockets->IPAddr = m_addresses.at(m_nextAddress++);
        m_attemptError = 0;
        m_insideConnect = true;
        Sockets->SConnect();
        m_insideConnect = false;
        if (m_attemptError == 0) {
            m_connectTimer.start(connectTimeoutMs);
            return;
        }
        if (m_nextAddress < m_addresses.size())
            closeSessionQuietly();
    }
    showClientError(m_attemptErrorText);
}

void TFingerForm::connectAttemptFailed(const QString &text)
{
    m_connectTimer.stop();
    if (m_nextAddress < m_addresses.size()) {
        closeSessionQuietly();
        connectToNextAddress();
        return;
    }
    showClientError(text);
}

void TFingerForm::connectTimedOut()
{
    if (m_phase != Phase::Connecting)
        return;
    // The attempt is closed first, so that it can never connect and send after all; the
    // time-out then takes the way of any failed connection attempt.
    const int attempt = Sockets->SessionSocket;
    closeSessionQuietly();
    Sockets->ReportError(attempt, QStringLiteral("FD_CONNECT"), WinSock::WSAETIMEDOUT);
}

void TFingerForm::SocketsSessionConnected(TSockets *, int Socket)
{
    // A late word from an attempt that was given up.
    if (m_phase != Phase::Connecting || Socket != Sockets->SessionSocket)
        return;
    m_connectTimer.stop();
    m_phase = Phase::Connected;
    m_decoder = ReplyDecoder();
    Sockets->SessionSocket = Socket;
    Sockets->SetText(m_request);
    setStatusText(QStringLiteral("Connected !"));
    ReceivedBytes = 0;
}

void TFingerForm::SocketsDataAvailable(TSockets *, int Socket)
{
    setStatusText(QStringLiteral("Reciving Data"));
    Sockets->SessionSocket = Socket;
    const QByteArray block = Sockets->GetText();
    const qint64 room = qMax<qint64>(replyLimitBytes - ReceivedBytes, 0);
    const bool cut = block.size() > room;
    const QByteArrayView kept = cut ? QByteArrayView(block).first(room) : QByteArrayView(block);
    QString text = m_decoder.decode(kept);
    if (cut)
        text += m_decoder.finish();
    appendResultLine(text);
    ReceivedBytes += kept.size();
    setStatusText(QStringLiteral("Received: %1 bytes.").arg(ReceivedBytes));
    if (cut) {
        closeSessionQuietly();
        returnToIdle(QStringLiteral("Received: %1 bytes. Reply cut at %2 bytes: the rest was "
                                    "dropped.")
                         .arg(ReceivedBytes)
                         .arg(replyLimitBytes));
    }
}

void TFingerForm::SocketsSessionClosed(TSockets *, int)
{
    if (const QString rest = m_decoder.finish(); !rest.isEmpty())
        appendResultLine(rest);
    FingerBtn->setEnabled(true);
    setStatusText(QStringLiteral("Connection closed."));
    ClientBusy = false;
    m_phase = Phase::Idle;
}

void TFingerForm::SocketsErrorOccurred(TSockets *, int, int Error, const QString &Msg)
{
    if (m_insideConnect) {
        if (m_attemptError == 0) {
            m_attemptError = Error;
            m_attemptErrorText = Msg;
        }
        return;
    }
    if (m_phase == Phase::Connecting) {
        connectAttemptFailed(Msg);
        return;
    }
    showClientError(Msg);
}

void TFingerForm::showClientError(const QString &Msg)
{
    m_connectTimer.stop();
    m_phase = Phase::Idle;
    ClientBusy = false;
    if (const QString rest = m_decoder.finish(); !rest.isEmpty())
        appendResultLine(rest);
    const QString line = QStringLiteral("Finger Client Error:") + Msg;
    if (m_statDialog)
        m_statDialog->AppendLog(line);
    appendResultLine(line);
    FingerBtn->setEnabled(true);
    setStatusText(QStringLiteral("Error occured."));
}

void TFingerForm::Button1Click()
{
    if (!ClientBusy) {
        setStatusText(QString());
        return;
    }
    abandonQuery();
    returnToIdle(QStringLiteral("Canceled."));
}

void TFingerForm::Button2Click()
{
    hideAndReleaseMenuItem();
}

void TFingerForm::Close1Click()
{
    hideAndReleaseMenuItem();
}

void TFingerForm::hideAndReleaseMenuItem()
{
    releaseMenuItemAndPendingQuery();
    hide();
}

// A query that has not reached its host yet goes with the window; an answer that is already
// arriving keeps arriving while the window is hidden.
void TFingerForm::releaseMenuItemAndPendingQuery()
{
    if (m_fingerMenuItem)
        m_fingerMenuItem->setEnabled(true);
    if (m_phase == Phase::Resolving || m_phase == Phase::Connecting) {
        abandonQuery();
        returnToIdle(QStringLiteral("Canceled."));
    }
}

void TFingerForm::FormClose(QCloseEvent *event)
{
    releaseMenuItemAndPendingQuery();
    // Accepting hides the window; it is never destroyed before the program ends.
    event->accept();
}

void TFingerForm::closeEvent(QCloseEvent *event)
{
    FormClose(event);
}

void TFingerForm::SaveClick()
{
    const QString path = chooseSaveFile();
    if (path.isEmpty())
        return;
    if (!writeTextFile(path, Memo1->toPlainText()))
        showPlainMessage(QStringLiteral("Could not save. Error occured."));
}

void TFingerForm::PrintClick()
{
    if (!choosePrinter(m_printer))
        return;
    m_printer.setDocName(PrintJobTitle);
    QTextDocument document;
    document.setDefaultFont(Memo1->font());
    document.setPlainText(Memo1->toPlainText());
    document.print(&m_printer);
}

void TFingerForm::PrinterSetup1Click()
{
    setUpPrinter(m_printer);
}

void TFingerForm::Copy1Click()
{
    Memo1->copy();
}

void TFingerForm::Clear1Click()
{
    Memo1->clear();
    setStatusText(QString());
}

void TFingerForm::SelectAll1Click()
{
    Memo1->selectAll();
}

void TFingerForm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shownBefore)
        return;
    m_shownBefore = true;
    if (const QScreen *display = screen())
        move(display->availableGeometry().center() - rect().center());
    FingerEdit->setFocus();
}

void TFingerForm::keyPressEvent(QKeyEvent *event)
{
    // What the focused control does not take: Enter presses "Finger", Esc presses "Stop".
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::NoModifier) {
        switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            FingerBtn->click();
            return;
        case Qt::Key_Escape:
            Button1->click();
            return;
        default:
            break;
        }
    }
    QMainWindow::keyPressEvent(event);
}
