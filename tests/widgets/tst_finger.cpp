#include "FInger.h"
#include "TestFiles.h"

#include "NetNamespace.h"
#include "RecordingDialogs.h"
#include "Sockets.h"
#include "Stat.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

// A finger server on 127.0.0.1:79 that the test drives step by step on its own thread.
class FingerServer
{
public:
    FingerServer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(79);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_listening =
            ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != -1 &&
            ::listen(m_listener, 5) != -1;
    }
    ~FingerServer()
    {
        for (int fd : m_sessions)
            ::close(fd);
        ::close(m_listener);
    }
    bool listening() const { return m_listening; }

    // Accepts connections until one brings a whole request (up to LF CR or the client's
    // half-close); those given up on the way are dropped. Returns the session or -1.
    int takeQuery(QByteArray *request = nullptr)
    {
        int fd = -1;
        QByteArray received;
        const bool done = QTest::qWaitFor([&] {
            if (fd == -1) {
                fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd == -1)
                    return false;
                m_sessions.push_back(fd);
                received.clear();
            }
            char buffer[512];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0)
                received.append(buffer, n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                fd = -1;
            return fd != -1 && received.endsWith("\n\r");
        });
        if (request)
            *request = received;
        return done ? fd : -1;
    }

    bool hasWaitingConnection()
    {
        return QTest::qWaitFor(
            [&] {
                const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd != -1)
                    m_sessions.push_back(fd);
                return fd != -1;
            },
            500);
    }

    static bool send(int fd, const QByteArray &bytes)
    {
        return ::send(fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL) == bytes.size();
    }

    static void hangUp(int fd) { ::shutdown(fd, SHUT_RDWR); }

private:
    int m_listener = -1;
    bool m_listening = false;
    std::vector<int> m_sessions;
};

// What a PDF written by QPrinter shows: the glyphs of its content streams, mapped back to
// characters through the fonts' ToUnicode tables.
QString pdfText(const QByteArray &pdf)
{
    const QString latin = QString::fromLatin1(pdf);
    QHash<int, QChar> toUnicode;
    static const QRegularExpression range(
        QStringLiteral("<([0-9A-F]{4})> <[0-9A-F]{4}> \\[([^\\]]*)\\]"));
    static const QRegularExpression code(QStringLiteral("<([0-9A-F]{4})>"));
    for (const auto &match : range.globalMatch(latin)) {
        int glyph = match.captured(1).toInt(nullptr, 16);
        for (const auto &unicode : code.globalMatch(match.captured(2)))
            toUnicode[glyph++] = QChar(unicode.captured(1).toUShort(nullptr, 16));
    }
    QString text;
    static const QRegularExpression stream(QStringLiteral("/FlateDecode\\s*>>\\s*stream\\r?\\n"));
    static const QRegularExpression shown(QStringLiteral("<([0-9A-F]{4})> Tj"));
    for (const auto &match : stream.globalMatch(latin)) {
        const qsizetype end = pdf.indexOf("endstream", match.capturedEnd());
        // qUncompress wants the expected size in front; it is only a first guess.
        QByteArray zipped("\x00\x10\x00\x00", 4);
        zipped += pdf.mid(match.capturedEnd(), end - match.capturedEnd());
        for (const auto &glyph : shown.globalMatch(QString::fromLatin1(qUncompress(zipped))))
            text += toUnicode.value(glyph.captured(1).toInt(nullptr, 16));
    }
    return text;
}

enum class CloseWay { CloseButton, FileClose, CloseBox };

} // namespace

class TestFinger : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { TELLWICK_REQUIRE_NETNS(); }
    void init();
    void cleanup();

    void hostLength_data();
    void hostLength();
    void request_data();
    void request();
    void answer_data();
    void answer();
    void stopWhileIdle();
    void stopWhileConnecting();
    void failedConnection_data();
    void failedConnection();
    void unresolvableHost();
    void keyboard();
    void closingDuringQuery_data();
    void closingDuringQuery();
    void save();
    void saveFailure_data();
    void saveFailure();
    void print();

private:
    void startQuery(const QString &user, const QString &host = QStringLiteral("127.0.0.1"))
    {
        form->FingerEdit->setText(user);
        form->HostEdit->setText(host);
        form->FingerBtnClick();
    }

    std::unique_ptr<RecordingDialogs> dialogs;
    std::unique_ptr<TStatDialog> stat;
    std::unique_ptr<QAction> fingerItem;
    std::unique_ptr<TFingerForm> form;
};

void TestFinger::init()
{
    dialogs = std::make_unique<RecordingDialogs>();
    stat = std::make_unique<TStatDialog>();
    fingerItem = std::make_unique<QAction>(QStringLiteral("Finger..."));
    form = std::make_unique<TFingerForm>(stat.get(), fingerItem.get());
}

void TestFinger::cleanup()
{
    form.reset();
    fingerItem.reset();
    stat.reset();
    dialogs.reset();
}

void TestFinger::hostLength_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("tried");
    QTest::addRow("empty") << QString() << false;
    QTest::addRow("four characters") << QStringLiteral("127.") << false;
    QTest::addRow("five characters") << QStringLiteral("127.1") << true;
}

void TestFinger::hostLength()
{
    QFETCH(QString, host);
    QFETCH(bool, tried);
    FingerServer server;
    QVERIFY(server.listening());
    form->Memo1->setPlainText(QStringLiteral("earlier answer"));

    startQuery(QStringLiteral("alice"), host);

    QCOMPARE(server.hasWaitingConnection(), tried);
    QCOMPARE(form->ClientBusy, tried);
    QCOMPARE(form->FingerBtn->isEnabled(), !tried);
    if (tried) {
        QVERIFY(dialogs->boxes.isEmpty());
        QCOMPARE(form->Memo1->toPlainText(), QString());
    } else {
        QCOMPARE(dialogs->texts(), QStringList{QStringLiteral("Give a real host name, please !")});
        QCOMPARE(dialogs->boxes.first().caption, QStringLiteral("Tellwick"));
        QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("earlier answer"));
        QCOMPARE(form->statusText(), QString());
    }
}

void TestFinger::request_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("sent");
    QTest::addRow("user name") << QStringLiteral("alice") << QByteArray("alice\n\r");
    QTest::addRow("empty asks for the list") << QString() << QByteArray("\n\r");
    QTest::addRow("blanks kept") << QStringLiteral(" a b ") << QByteArray(" a b \n\r");
    QTest::addRow("locale bytes") << QStringLiteral("jörg") << QByteArray("j\xc3\xb6rg\n\r");
}

void TestFinger::request()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, sent);
    FingerServer server;
    QVERIFY(server.listening());
    startQuery(user);
    QByteArray request;
    QVERIFY(server.takeQuery(&request) != -1);
    QCOMPARE(request, sent);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connected !"));
}

void TestFinger::answer_data()
{
    QTest::addColumn<QList<QByteArray>>("blocks");
    QTest::addColumn<QString>("result");
    QTest::addRow("three blocks") << QList<QByteArray>{"Login: alice\r\n", "Name: Al",
                                                       "ice\r\nPlan:\r\n"}
                                  << QStringLiteral("Login: alice\n\nName: Al\nice\nPlan:\n\n");
    QTest::addRow("markup stays characters") << QList<QByteArray>{"<b>bold</b><img src=x>&amp;"}
                                             << QStringLiteral("<b>bold</b><img src=x>&amp;\n");
    QTest::addRow("bytes counted, not characters") << QList<QByteArray>{"Gr\xc3\xbc\xc3\x9f"
                                                                        "e"}
                                                   << QStringLiteral("Grüße\n");
}

void TestFinger::answer()
{
    QFETCH(QList<QByteArray>, blocks);
    QFETCH(QString, result);
    FingerServer server;
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"));
    const int session = server.takeQuery();
    QVERIFY(session != -1);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connected !"));

    qsizetype sum = 0;
    for (const QByteArray &block : blocks) {
        QVERIFY(FingerServer::send(session, block));
        sum += block.size();
        QTRY_COMPARE(form->statusText(), QStringLiteral("Received: %1 bytes.").arg(sum));
    }
    FingerServer::hangUp(session);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connection closed."));
    QCOMPARE(form->Memo1->toPlainText(), result);
    QCOMPARE(form->ReceivedBytes, sum);
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(!form->ClientBusy);
    QCOMPARE(stat->logText(), QString());
}

void TestFinger::stopWhileIdle()
{
    startQuery(QStringLiteral("alice"));
    QTRY_COMPARE(form->statusText(), QStringLiteral("Error occured."));
    const QString result = form->Memo1->toPlainText();

    form->Button1Click();
    QCOMPARE(form->statusText(), QString());
    QCOMPARE(form->Memo1->toPlainText(), result);
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(dialogs->boxes.isEmpty());
}

void TestFinger::stopWhileConnecting()
{
    FingerServer server;
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"));
    form->Button1Click();
    QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(!form->ClientBusy);
    // The stopped connection raises nothing any more.
    QTest::qWait(200);
    QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
    QCOMPARE(form->Memo1->toPlainText(), QString());

    startQuery(QStringLiteral("bob"));
    QByteArray request;
    const int session = server.takeQuery(&request);
    QCOMPARE(request, QByteArray("bob\n\r"));
    QVERIFY(FingerServer::send(session, "Login: bob"));
    FingerServer::hangUp(session);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connection closed."));
    QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Login: bob\n"));
    QCOMPARE(stat->logText(), QString());
    QVERIFY(dialogs->boxes.isEmpty());
}

void TestFinger::failedConnection_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("error");
    QTest::addRow("refused") << QStringLiteral("127.0.0.1") << QStringLiteral("Connection refused");
    // Reported while connecting, before the socket layer returns.
    QTest::addRow("no route") << QStringLiteral("10.1.2.3")
                              << SocketErrorText(WinSock::WSAENETUNREACH);
}

void TestFinger::failedConnection()
{
    QFETCH(QString, host);
    QFETCH(QString, error);
    startQuery(QStringLiteral("alice"), host);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Error occured."));
    QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Finger Client Error:") + error + '\n');
    QCOMPARE(stat->logText(), QStringLiteral("Finger Client Error:") + error + "\r\n");
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(!form->ClientBusy);
    QVERIFY(dialogs->boxes.isEmpty());
}

void TestFinger::unresolvableHost()
{
    startQuery(QStringLiteral("alice"), QStringLiteral("no.such.host.invalid"));
    QCOMPARE(dialogs->texts(), QStringList{QStringLiteral("Cannot convert host address")});
    QCOMPARE(dialogs->boxes.first().caption, QStringLiteral("WINSOCK ERROR"));

    form->Button1Click();
    QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
    QVERIFY(form->FingerBtn->isEnabled());
    QCOMPARE(dialogs->boxes.size(), 1);
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QCOMPARE(stat->logText(), QString());

    FingerServer server;
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"));
    QVERIFY(server.takeQuery() != -1);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connected !"));
}

void TestFinger::keyboard()
{
    FingerServer server;
    QVERIFY(server.listening());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    QCOMPARE(form->focusWidget(), form->FingerEdit);

    form->HostEdit->setText(QStringLiteral("127.0.0.1"));
    QTest::keyClick(form->HostEdit, Qt::Key_Return);
    QCOMPARE(form->statusText(), QStringLiteral("Connecting..."));
    QTest::keyClick(form->HostEdit, Qt::Key_Escape);
    QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
}

void TestFinger::closingDuringQuery_data()
{
    QTest::addColumn<CloseWay>("way");
    QTest::addRow("Close button") << CloseWay::CloseButton;
    QTest::addRow("File/Close") << CloseWay::FileClose;
    QTest::addRow("close box") << CloseWay::CloseBox;
}

void TestFinger::closingDuringQuery()
{
    QFETCH(CloseWay, way);
    FingerServer server;
    QVERIFY(server.listening());
    fingerItem->setEnabled(false);
    form->show();
    startQuery(QStringLiteral("alice"));
    const int session = server.takeQuery();
    QVERIFY(session != -1);

    switch (way) {
    case CloseWay::CloseButton:
        form->Button2->click();
        break;
    case CloseWay::FileClose:
        form->Close1->trigger();
        break;
    case CloseWay::CloseBox:
        QVERIFY(form->close());
        break;
    }
    QVERIFY(form->isHidden());
    QVERIFY(fingerItem->isEnabled());

    QVERIFY(FingerServer::send(session, "Plan: none"));
    FingerServer::hangUp(session);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connection closed."));
    form->show();
    QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Plan: none\n"));
}

void TestFinger::save()
{
    // No file dialog, and so nothing that watches a folder, before the first "Save...".
    QVERIFY(!form->findChild<QFileDialog *>());
    QStringList proposed;
    for (int i = 0; i < 2; ++i) {
        QTimer::singleShot(0, form.get(), [&] {
            const QList<QFileDialog *> made = form->findChildren<QFileDialog *>();
            for (QFileDialog *dialog : made) {
                proposed << QFileInfo(dialog->selectedFiles().value(0)).fileName();
                dialog->reject();
            }
        });
        form->SaveClick();
    }
    // One dialog, made once, proposing the name every time.
    QCOMPARE(proposed, (QStringList{"FingerResult", "FingerResult"}));
    QVERIFY(dialogs->boxes.isEmpty());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("FingerResult"));
    QVERIFY(writeFile(path, "an older and longer result"));
    form->Memo1->setPlainText(QStringLiteral("Login: <b>alice</b>\nPlan:\n"));
    form->chooseSaveFile = [&] { return path; };

    form->SaveClick();
    QVERIFY(dialogs->boxes.isEmpty());
    QCOMPARE(readFile(path), QByteArray("Login: <b>alice</b>\nPlan:\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("FingerResult")});

    // A cancelled dialog writes nothing.
    form->Memo1->clear();
    form->chooseSaveFile = [] { return QString(); };
    form->SaveClick();
    QCOMPARE(readFile(path), QByteArray("Login: <b>alice</b>\nPlan:\n"));
}

void TestFinger::saveFailure_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("diskFull");
    QTest::addRow("path is a folder") << QStringLiteral("folder") << false;
    QTest::addRow("folder missing") << QStringLiteral("missing/FingerResult") << false;
    QTest::addRow("disk full over an existing file") << QStringLiteral("FingerResult") << true;
}

void TestFinger::saveFailure()
{
    QFETCH(QString, target);
    QFETCH(bool, diskFull);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("folder/kept")), "kept"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("FingerResult")), "earlier result"));
    form->Memo1->setPlainText(QString(4096, QLatin1Char('x')));
    const QString path = dir.filePath(target);
    form->chooseSaveFile = [&] { return path; };

    // A file size limit fails the writes as a full disk would.
    rlimit original{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (diskFull) {
        rlimit small = original;
        small.rlim_cur = 100;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    form->SaveClick();
    ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(dialogs->texts(), QStringList{QStringLiteral("Could not save. Error occured.")});
    QCOMPARE(readFile(dir.filePath(QStringLiteral("FingerResult"))), QByteArray("earlier result"));
    QCOMPARE(readFile(dir.filePath(QStringLiteral("folder/kept"))), QByteArray("kept"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("FingerResult")});
    QCOMPARE(form->Memo1->toPlainText().size(), 4096);
}

void TestFinger::print()
{
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("result.pdf"));
    form->Memo1->setPlainText(QStringLiteral("Login: alice <b>x</b>\nPlan: none"));
    bool asked = false;
    form->choosePrinter = [&](QPrinter &printer) {
        asked = true;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return false;
    };
    form->PrintClick();
    QVERIFY(asked);
    QVERIFY(!QFile::exists(pdf));

    form->choosePrinter = [&](QPrinter &printer) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return true;
    };
    form->PrintClick();
    const QByteArray bytes = readFile(pdf);
    // The document information's title, in UTF-16 with its byte order mark.
    QByteArray title = QByteArray("/Title (") + "\xfe\xff";
    for (char c : QByteArray("Finger Query"))
        title += QByteArray(1, '\0') + c;
    QVERIFY(bytes.contains(title + ')'));
    // The font draws blank and tab with one glyph, which its table names as tab.
    const QString text = pdfText(bytes).replace(QLatin1Char('\t'), QLatin1Char(' '));
    QVERIFY2(text.contains(QStringLiteral("Login: alice <b>x</b>")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Plan: none")), qPrintable(text));
}

TELLWICK_TEST_MAIN_IN_NETNS(TestFinger)
#include "tst_finger.moc"
