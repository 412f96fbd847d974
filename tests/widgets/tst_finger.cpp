#include "FInger.h"
#include "TestFiles.h"

#include "HeldNameService.h"
#include "HostResolver.h"
#include "HostsFile.h"
#include "NetNamespace.h"
#include "RecordingDialogs.h"
#include "RegistryFile.h"
#include "Sockets.h"
#include "Stat.h"

#include <QAction>
#include <QCompleter>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

// The name look-ups of this test see these hosts (see main).
const QByteArray TestHosts = "127.0.0.1 localhost\n"
                             "::1 ip6only.tellwick.test\n";
QString hostsFileFailure;

// A finger server on port 79 of a loopback address (IPv4, or IPv6 only) that the test drives
// step by step.
class FingerServer
{
public:
    explicit FingerServer(const char *host = "127.0.0.1")
    {
        sockaddr_in address{};
        sockaddr_in6 address6{};
        const bool ipv6 = ::inet_pton(AF_INET6, host, &address6.sin6_addr) == 1;
        m_listener =
            ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int on = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (ipv6) {
            ::setsockopt(m_listener, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
            address6.sin6_family = AF_INET6;
            address6.sin6_port = htons(79);
            m_listening =
                ::bind(m_listener, reinterpret_cast<sockaddr *>(&address6), sizeof address6) != -1;
        } else {
            address.sin_family = AF_INET;
            address.sin_port = htons(79);
            ::inet_pton(AF_INET, host, &address.sin_addr);
            m_listening =
                ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != -1;
        }
        m_listening = m_listening && ::listen(m_listener, 5) != -1;
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

// The sockets this process holds.
int openSockets()
{
    int count = 0;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        if (::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target, sizeof target - 1) >
                0 &&
            QByteArray(target).startsWith("socket:"))
            ++count;
    }
    return count;
}

// Routes host to the loopback interface, where it is no local address: whatever is sent to it
// is dropped, as by a host that never answers. The route lives in the test's own namespace.
bool routeIntoTheVoid(const char *host)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    rtentry route{};
    auto *destination = reinterpret_cast<sockaddr_in *>(&route.rt_dst);
    destination->sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &destination->sin_addr);
    auto *mask = reinterpret_cast<sockaddr_in *>(&route.rt_genmask);
    mask->sin_family = AF_INET;
    mask->sin_addr.s_addr = INADDR_BROADCAST;
    route.rt_flags = RTF_UP | RTF_HOST;
    char loopback[] = "lo";
    route.rt_dev = loopback;
    const bool routed = ::ioctl(fd, SIOCADDRT, &route) == 0 || errno == EEXIST;
    ::close(fd);
    return routed;
}

enum class CancelWay { Stop, Close, NewQuery };

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
    void ipv6Hosts_data();
    void ipv6Hosts();
    void addressesTriedInTurn_data();
    void addressesTriedInTurn();
    void cancelledLookUp_data();
    void cancelledLookUp();
    void connectTimeout();
    void replyLimit();
    void history();
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
    // Each test starts without a history.
    QFile::remove(RegistryFile::defaultPath());
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
    QTest::addRow("character split over two blocks")
        << QList<QByteArray>{"Gr\xc3", "\xbc\xc3\x9f"} << QStringLiteral("Gr\nüß\n");
    QTest::addRow("Latin-1 bytes and ESC")
        << QList<QByteArray>{"Jos\xe9 \x1b[1m"} << QStringLiteral("José \u241b[1m\n");
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
    QTRY_COMPARE(dialogs->boxes.size(), 1);
    QCOMPARE(dialogs->texts(),
             QStringList{QStringLiteral("Cannot convert host address: no.such.host.invalid")});
    QCOMPARE(dialogs->boxes.first().caption, QStringLiteral("WINSOCK ERROR"));
    // Ready for the next query at once.
    QCOMPARE(form->statusText(), QStringLiteral("Error occured."));
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(!form->ClientBusy);
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QCOMPARE(stat->logText(), QString());

    FingerServer server;
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"));
    QVERIFY(server.takeQuery() != -1);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connected !"));
}

void TestFinger::ipv6Hosts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addRow("literal shorter than five characters") << QStringLiteral("::1");
    QTest::addRow("literal in brackets") << QStringLiteral("[::1]");
    QTest::addRow("name with only an IPv6 address") << QStringLiteral("ip6only.tellwick.test");
}

void TestFinger::ipv6Hosts()
{
    QFETCH(QString, host);
    if (host.contains(u'.') && !hostsFileFailure.isEmpty())
        QSKIP(qPrintable(hostsFileFailure));
    FingerServer server("::1");
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"), host);
    QByteArray request;
    const int session = server.takeQuery(&request);
    QCOMPARE(request, QByteArray("alice\n\r"));
    QVERIFY(FingerServer::send(session, "Login: alice"));
    FingerServer::hangUp(session);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connection closed."));
    QCOMPARE(form->Memo1->toPlainText(), QStringLiteral("Login: alice\n"));
    QVERIFY(dialogs->boxes.isEmpty());
}

void TestFinger::addressesTriedInTurn_data()
{
    QTest::addColumn<QString>("firstAddress");
    QTest::addRow("first refused") << QStringLiteral("::1");
    QTest::addRow("first unreachable") << QStringLiteral("10.1.2.3");
}

void TestFinger::addressesTriedInTurn()
{
    QFETCH(QString, firstAddress);
    FingerServer server;
    QVERIFY(server.listening());
    form->Resolver->resolveName = [&](const QString &) {
        return QStringList{firstAddress, QStringLiteral("127.0.0.1")};
    };
    startQuery(QStringLiteral("alice"), QStringLiteral("twice.tellwick.test"));
    const int session = server.takeQuery();
    QVERIFY(session != -1);
    QTRY_COMPARE(form->statusText(), QStringLiteral("Connected !"));
    // The failed first address is no error of the query.
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QCOMPARE(stat->logText(), QString());
}

void TestFinger::cancelledLookUp_data()
{
    QTest::addColumn<CancelWay>("way");
    // How long the host that was asked for must stay untouched after the look-up ends.
    QTest::addColumn<int>("watchMs");
    QTest::addRow("Stop") << CancelWay::Stop << 10000;
    QTest::addRow("Close") << CancelWay::Close << 1000;
    QTest::addRow("new query") << CancelWay::NewQuery << 1000;
}

void TestFinger::cancelledLookUp()
{
    QFETCH(CancelWay, way);
    QFETCH(int, watchMs);
    // The host of the cancelled query, and another one for the query after it.
    FingerServer cancelledHost("127.0.0.2");
    FingerServer otherHost;
    QVERIFY(cancelledHost.listening() && otherHost.listening());
    HeldNameService service;
    form->Resolver->resolveName = service.resolve({QStringLiteral("127.0.0.2")});
    const int socketsBefore = openSockets();

    startQuery(QStringLiteral("alice"), QStringLiteral("slow.tellwick.test"));
    QCOMPARE(form->statusText(), QStringLiteral("Connecting..."));
    switch (way) {
    case CancelWay::Stop:
        form->Button1->click();
        break;
    case CancelWay::Close:
        form->show();
        QVERIFY(form->close());
        break;
    case CancelWay::NewQuery:
        form->runQuery(QStringLiteral("bob"), QStringLiteral("127.0.0.1"));
        break;
    }
    if (way != CancelWay::NewQuery) {
        QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
        QVERIFY(form->FingerBtn->isEnabled());
        QVERIFY(!form->ClientBusy);
    }
    // A name typed afterwards must not go to the cancelled query's host either.
    form->FingerEdit->setText(QStringLiteral("mallory"));
    service.release.release();
    QTRY_COMPARE(service.answered.load(), 1);

    if (way == CancelWay::NewQuery) {
        QByteArray request;
        QVERIFY(otherHost.takeQuery(&request) != -1);
        QCOMPARE(request, QByteArray("bob\n\r"));
    }
    QTest::qWait(watchMs);
    QVERIFY(!cancelledHost.hasWaitingConnection());
    if (way != CancelWay::NewQuery) {
        QCOMPARE(openSockets(), socketsBefore);
        QCOMPARE(form->statusText(), QStringLiteral("Canceled."));
    }
    QCOMPARE(form->Memo1->toPlainText(), QString());
    QCOMPARE(stat->logText(), QString());
}

void TestFinger::connectTimeout()
{
    const char *silentHost = "192.0.2.2";
    QVERIFY(routeIntoTheVoid(silentHost));
    form->connectTimeoutMs = 500;
    const int socketsBefore = openSockets();
    QElapsedTimer clock;
    clock.start();
    startQuery(QStringLiteral("alice"), QString::fromLatin1(silentHost));
    QTest::qWait(200);
    QCOMPARE(form->statusText(), QStringLiteral("Connecting..."));
    QTRY_COMPARE(form->statusText(), QStringLiteral("Error occured."));
    QVERIFY(clock.elapsed() >= 500);
    const QString line = QStringLiteral("Finger Client Error:Connection timed out");
    QCOMPARE(form->Memo1->toPlainText(), line + '\n');
    QCOMPARE(stat->logText(), line + "\r\n");
    QVERIFY(form->FingerBtn->isEnabled());
    QCOMPARE(openSockets(), socketsBefore);
}

void TestFinger::replyLimit()
{
    FingerServer server;
    QVERIFY(server.listening());
    startQuery(QStringLiteral("alice"));
    const int session = server.takeQuery();
    QVERIFY(session != -1);

    const qint64 limit = form->replyLimitBytes;
    QCOMPARE(limit, 16 * 1024 * 1024);
    const QByteArray reply(20 * 1024 * 1024, 'x');
    qint64 sent = 0;
    QSocketNotifier writable(session, QSocketNotifier::Write);
    connect(&writable, &QSocketNotifier::activated, [&] {
        const ssize_t n =
            ::send(session, reply.constData() + sent, size_t(reply.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        // Done, or the client has stopped reading.
        if (n <= 0 || sent == reply.size())
            writable.setEnabled(false);
    });
    // An event loop of its own, which wakes for each socket event: a polling wait would
    // take a pause between the thousands of blocks.
    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    connect(&check, &QTimer::timeout, [&] {
        if (form->statusText().contains(QStringLiteral("cut")) || clock.elapsed() > 120000)
            loop.quit();
    });
    check.start(10);
    loop.exec();
    QCOMPARE(form->statusText(), QStringLiteral("Received: %1 bytes. Reply cut at %1 bytes: the "
                                                "rest was dropped.")
                                     .arg(limit));
    QCOMPARE(form->ReceivedBytes, limit);
    QCOMPARE(form->Memo1->toPlainText().count(u'x'), limit);
    QVERIFY(form->FingerBtn->isEnabled());
    QVERIFY(!form->ClientBusy);
    // The client has closed its side: the server reads the end of the stream.
    QVERIFY(QTest::qWaitFor([&] {
        char byte;
        return ::recv(session, &byte, 1, MSG_DONTWAIT) == 0;
    }));
}

void TestFinger::history()
{
    const QStringList hosts{"127.0.0.1", "LOCALHOST", "localhost"};
    for (const QString &host : hosts)
        form->runQuery(QStringLiteral("alice"), host);
    form->runQuery(QStringLiteral("Bob"), QStringLiteral("::1"));
    QTRY_VERIFY(!form->ClientBusy);
    const QStringList names{"Bob", "alice"};
    const QStringList hostsKept{"::1", "localhost", "127.0.0.1"};
    QCOMPARE(form->history().names.entries(), names);
    QCOMPARE(form->history().hosts.entries(), hostsKept);
    QCOMPARE(form->HostEdit->completer()->model()->rowCount(), hostsKept.size());

    // A new run finds them again.
    form.reset();
    form = std::make_unique<TFingerForm>(stat.get(), fingerItem.get());
    QCOMPARE(form->history().names.entries(), names);
    QCOMPARE(form->history().hosts.entries(), hostsKept);
    QCOMPARE(form->FingerEdit->completer()->model()->rowCount(), names.size());

    form->ClearHistory1->trigger();
    QCOMPARE(form->FingerEdit->completer()->model()->rowCount(), 0);
    form.reset();
    form = std::make_unique<TFingerForm>(stat.get(), fingerItem.get());
    QVERIFY(form->history().names.entries().isEmpty());
    QVERIFY(form->history().hosts.entries().isEmpty());
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

int main(int argc, char *argv[])
{
    enterPrivateNetworkNamespaceOnce();
    // Before any thread exists, so that the look-up threads see the test's hosts too.
    usePrivateHostsFile(TestHosts, &hostsFileFailure);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestFinger test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_finger.moc"
