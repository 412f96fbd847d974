#include "FInger.h"

#include "Dialogs.h"
#include "Sockets.h"
#include "Stat.h"
#include "TellwickIcon.h"

#include <QAction>
#include <QCloseEvent>
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
    if (host.size() < 5) {
        showPlainMessage(QStringLiteral("Give a real host name, please !"));
        return;
    }
    Memo1->clear();

    // The connection of the last query, if the host closed it or it failed, is still open:
    // close it quietly, so that each query has its own connection and none is left behind.
    if (Sockets->SessionSocket != -1) {
        Sockets->QuietErrors = true;
        Sockets->Disconnect();
        Sockets->QuietErrors = false;
        Sockets->TakeLastError();
    }

    // The busy state is set before connecting: a failure that the socket layer reports while
    // it connects has then the last word, and the window returns to idle.
    ClientBusy = true;
    FingerBtn->setEnabled(false);
    setStatusText(QStringLiteral("Connecting..."));
    Sockets->IPAddr = host;
    Sockets->SConnect();
}

void TFingerForm::SocketsSessionConnected(TSockets *, int Socket)
{
    Sockets->SessionSocket = Socket;
    Sockets->SetText(FingerEdit->text().toLocal8Bit() + "\n\r");
    setStatusText(QStringLiteral("Connected !"));
    ReceivedBytes = 0;
}

void TFingerForm::SocketsDataAvailable(TSockets *, int Socket)
{
    setStatusText(QStringLiteral("Reciving Data"));
    Sockets->SessionSocket = Socket;
    const QByteArray block = Sockets->GetText();
    appendResultLine(QString::fromLocal8Bit(block));
    ReceivedBytes += block.size();
    setStatusText(QStringLiteral("Received: %1 bytes.").arg(ReceivedBytes));
}

void TFingerForm::SocketsSessionClosed(TSockets *, int)
{
    FingerBtn->setEnabled(true);
    setStatusText(QStringLiteral("Connection closed."));
    ClientBusy = false;
}

void TFingerForm::SocketsErrorOccurred(TSockets *, int, int, const QString &Msg)
{
    ClientBusy = false;
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
    // A query whose host could not be resolved never got a socket; there is nothing to
    // close then, and "Stop" still returns the window to idle.
    if (Sockets->SessionSocket != -1)
        Sockets->Disconnect();
    ClientBusy = false;
    FingerBtn->setEnabled(true);
    setStatusText(QStringLiteral("Canceled."));
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
    if (m_fingerMenuItem)
        m_fingerMenuItem->setEnabled(true);
    hide();
}

void TFingerForm::FormClose(QCloseEvent *event)
{
    if (m_fingerMenuItem)
        m_fingerMenuItem->setEnabled(true);
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
