// The real program under load, hostile clients and damaged settings, in a private network
// namespace: it must answer every client exactly, never hang, and never lose its settings.

#include "FaultTools.h"
#include "LoopbackClient.h"
#include "NetNamespace.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <pwd.h>
#include <sys/stat.h>

using namespace fault;
using namespace ExpectedReplies;

namespace {

constexpr quint16 FingerPort = 79;
constexpr quint16 DaytimePort = 13;

// A client that sends part of a request and then neither sends nor closes.
class StalledClient
{
public:
    explicit StalledClient(const QByteArray &part) : m_fd(connectTo(FingerPort))
    {
        if (m_fd != -1)
            ::send(m_fd, part.constData(), size_t(part.size()), MSG_NOSIGNAL);
    }
    ~StalledClient()
    {
        if (m_fd != -1)
            ::close(m_fd);
    }
    StalledClient(const StalledClient &) = delete;
    StalledClient &operator=(const StalledClient &) = delete;
    bool connected() const { return m_fd != -1; }

private:
    int m_fd = -1;
};

} // namespace

class TestFaultProgram : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void moreClientsThanTheListenQueue();
    void thousandSequentialQueries();
    void hostileClientsLeaveTheServiceWorking();
    void hugePlanToASlowReader();
    void oddRequests_data();
    void oddRequests();
    void damagedSettingsFile_data();
    void damagedSettingsFile();
    void latin1SettingsAreFollowed_data();
    void latin1SettingsAreFollowed();
    void unreadableSettingsKeepFingerOff();

private:
    QString configHome() const { return m_home->path() + "/config"; }
    QString registryPath() const { return configHome() + "/Tellwick/registry.reg"; }
    void writeRegistry(const QByteArray &text);
    // Starts the program and waits for its finger port.
    void startProgram();

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Program> m_program;
};

void TestFaultProgram::initTestCase()
{
    TELLWICK_REQUIRE_NETNS();
    if (Program::executable().isEmpty() || !QFile::exists(Program::executable()))
        QSKIP("TELLWICK_PROGRAM names no program");
}

void TestFaultProgram::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QVERIFY(QDir().mkpath(configHome() + "/Tellwick"));
}

void TestFaultProgram::cleanup()
{
    if (m_program) {
        QVERIFY2(m_program->isRunning(), "the program ended on its own");
        QCOMPARE(m_program->stop(), 0);
    }
    m_program.reset();
    m_home.reset();
}

void TestFaultProgram::writeRegistry(const QByteArray &text)
{
    QVERIFY(writeFile(registryPath(), text));
}

void TestFaultProgram::startProgram()
{
    m_program = std::make_unique<Program>(configHome());
    m_program->start();
    QVERIFY2(m_program->waitListening(FingerPort), "the finger port never opened");
}

void TestFaultProgram::moreClientsThanTheListenQueue()
{
    startProgram();
    // All of them wait in the listen queue and are served in turn.
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 50; ++i) {
        LoopbackClient::Options options;
        options.request = i % 2 ? QByteArray("\r\n") : login() + "\r\n";
        options.receiveTimeoutMs = 60000;
        clients.push_back(std::make_unique<LoopbackClient>(FingerPort, options));
    }
    for (int i = 0; i < 50; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(clients[i]->isFinished(), 90000);
        QCOMPARE(clients[i]->ending(), LoopbackClient::Ending::Closed);
        QCOMPARE(clients[i]->received(), i % 2 ? listReply() : detailsReply(login()));
    }
}

void TestFaultProgram::thousandSequentialQueries()
{
    startProgram();
    const QByteArray requests[] = {"\r\n", login() + "\r\n", "nobody\r\n"};
    const QByteArray replies[] = {listReply(), detailsReply(login()), noSuchUser("nobody")};
    for (int i = 0; i < 1000; ++i) {
        const Answer answer = query(FingerPort, requests[i % 3]);
        QVERIFY2(answer.connected, qPrintable(QString("query %1 was not accepted").arg(i)));
        QVERIFY2(answer.complete, qPrintable(QString("query %1 did not end").arg(i)));
        QCOMPARE(answer.bytes, replies[i % 3]);
    }
}

// Resets show a message box that nobody answers here: the services go on meanwhile.
void TestFaultProgram::hostileClientsLeaveTheServiceWorking()
{
    startProgram();
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 200; ++i) {
        LoopbackClient::Options options;
        (i % 2 ? options.resetAtOnce : options.leaveSilently) = true;
        clients.push_back(std::make_unique<LoopbackClient>(FingerPort, options));
    }
    std::vector<std::unique_ptr<StalledClient>> stalled;
    for (int i = 0; i < 20; ++i) {
        stalled.push_back(std::make_unique<StalledClient>(login().left(2)));
        QVERIFY(stalled.back()->connected());
    }
    for (const auto &client : clients)
        QTRY_VERIFY_WITH_TIMEOUT(client->isFinished(), 60000);

    // Whatever the storm left behind, a normal query is answered as soon as it arrives.
    const Answer answer = query(FingerPort, "\r\n", 10000);
    QVERIFY(answer.complete);
    QCOMPARE(answer.bytes, listReply());
    const Answer details = query(FingerPort, login() + "\r\n", 10000);
    QCOMPARE(details.bytes, detailsReply(login()));
    QVERIFY(m_program->isRunning());
}

void TestFaultProgram::hugePlanToASlowReader()
{
    // 5 MB of plan: the reply carries the lines that end within the limit.
    QByteArrayList planLines;
    QByteArray plan;
    for (int i = 0; plan.size() < 5 * 1024 * 1024; ++i) {
        const QByteArray line = "plan line " + QByteArray::number(i) + ' ' + QByteArray(60, 'p');
        if (plan.size() + line.size() + 1 <= PlanTextLimit)
            planLines << line;
        plan += line + '\n';
    }
    const QString planPath = m_home->filePath("plan.txt");
    QVERIFY(writeFile(planPath, plan));
    writeRegistry(registryText({{login() + "Plan", "\"" + planPath.toUtf8() + "\""}}));
    startProgram();

    // 4 MB in pieces of 64 kB with a pause of a quarter of a second: some 16 seconds.
    LoopbackClient::Options slow;
    slow.request = login() + "\r\n";
    slow.readChunk = 64 * 1024;
    slow.pauseBetweenReadsMs = 250;
    slow.receiveTimeoutMs = 60000;
    LoopbackClient reader(FingerPort, slow);

    // Other clients are served while the reader takes its time.
    QTest::qWait(1000);
    for (int i = 0; i < 5; ++i) {
        const Answer answer = query(FingerPort, "\r\n", 20000);
        QVERIFY(answer.complete);
        QCOMPARE(answer.bytes, listReply());
    }
    QVERIFY2(!reader.isFinished(), "the reader should still be reading");

    QTRY_VERIFY_WITH_TIMEOUT(reader.isFinished(), 120000);
    QCOMPARE(reader.ending(), LoopbackClient::Ending::Closed);
    const QByteArray expected = detailsReply(login(), {.plan = crlfLines(planLines)});
    QCOMPARE(reader.received().size(), expected.size());
    QVERIFY(reader.received() == expected);
}

void TestFaultProgram::oddRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("read"); // how much of it the program reads: its first receive

    QTest::addRow("1 byte") << QByteArray("a") << 1;
    QTest::addRow("3 bytes") << QByteArray("abc") << 3;
    QTest::addRow("8191 bytes") << QByteArray(8191, 'n') << 8191;
    QTest::addRow("8192 bytes") << QByteArray(8192, 'n') << 8192;
    QTest::addRow("8193 bytes") << QByteArray(8193, 'n') << 8192;
    QTest::addRow("100000 bytes") << QByteArray(100000, 'n') << 8192;
    QTest::addRow("zero bytes") << QByteArray(16, '\0') << 16;
    QTest::addRow("zero byte inside") << QByteArray("ab\0cdef\r\n", 9) << 9;
    QTest::addRow("markup") << QByteArray("<b>x</b><img src=/etc/passwd>\r\n") << 31;
    QByteArray junk(4096, Qt::Uninitialized);
    QRandomGenerator generator(1288);
    for (char &c : junk)
        c = char(1 + generator.bounded(255)); // no NUL, so that all of it is a name
    QTest::addRow("binary junk") << junk << 4096;
    QTest::addRow("only line ends") << QByteArray("\r\n\r\n\n\r") << 6;
}

void TestFaultProgram::oddRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, read);
    startProgram();
    const Answer answer = query(FingerPort, request);
    QVERIFY(answer.complete);
    if (read == request.size()) {
        QCOMPARE(answer.bytes, replyTo(request));
    } else {
        // One receive takes what has arrived, at most 8192 bytes: the name is a prefix.
        const QByteArray head = header() + "Information on user: ";
        QVERIFY(answer.bytes.startsWith(head));
        const qsizetype nameLength = answer.bytes.size() - head.size() -
                                     qsizetype(strlen("\r\nNo such user logged on.\r\n"));
        QVERIFY(nameLength > 3 && nameLength <= read);
        QCOMPARE(answer.bytes, replyTo(request.left(nameLength)));
    }
    // Still up, and still answering.
    QCOMPARE(query(FingerPort, "\r\n").bytes, listReply());
}

void TestFaultProgram::damagedSettingsFile_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("readOnlyFolder");
    QTest::addColumn<bool>("listens");

    const QByteArray valid = registryText({{"Beep", "\"0\""}, {"Enable", "\"1\""}});
    QTest::addRow("missing") << false << QByteArray() << false << true;
    QTest::addRow("empty") << true << QByteArray() << false << true;
    // A file that cannot be read keeps finger off, and so nothing is handed out unasked.
    QTest::addRow("truncated in a line") << true << valid.left(valid.size() - 9) << false << false;
    QTest::addRow("over 16 MB") << true << valid + "; " + QByteArray(16 << 20, 'x') + "\r\n"
                                << false << false;
    // 8-bit text that is not UTF-8 is read as Latin-1.
    QTest::addRow("not UTF-8") << true << registryText({{"Beep", "\"\xff\xfe\x80\""}}) << false
                               << true;
    // The value of another type stops the start-up work before any listener opens.
    QTest::addRow("value of another type")
        << true << registryText({{"Enable", "dword:00000001"}}) << false << false;
    QTest::addRow("read-only folder") << true << valid << true << true;
    QTest::addRow("switched off") << true << registryText({{"Enable", "\"0\""}}) << false << false;
}

void TestFaultProgram::damagedSettingsFile()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, contents);
    QFETCH(bool, readOnlyFolder);
    QFETCH(bool, listens);
    if (exists)
        writeRegistry(contents);
    const QString folder = configHome() + "/Tellwick";
    if (readOnlyFolder)
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
    const auto restore = qScopeGuard([&] { ::chmod(QFile::encodeName(folder).constData(), 0755); });

    m_program = std::make_unique<Program>(configHome());
    m_program->start();
    if (listens) {
        QVERIFY(m_program->waitListening(FingerPort));
        QCOMPARE(query(FingerPort, "\r\n").bytes, listReply());
    } else {
        // It keeps running without a finger listener (a box tells why, or nothing is on).
        QTest::qWait(1500);
        QVERIFY(m_program->isRunning());
        QCOMPARE(connectTo(FingerPort), -1);
    }
    QCOMPARE(m_program->stop(), 0);
    m_program.reset();

    // Reading never writes: the file is exactly as it was, or still absent.
    QCOMPARE(QFile::exists(registryPath()), exists);
    if (exists)
        QCOMPARE(readFile(registryPath()), contents);
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), exists ? 1 : 0);
}

void TestFaultProgram::latin1SettingsAreFollowed_data()
{
    QTest::addColumn<bool>("userInfo");
    QTest::addRow("list and user information off") << false;
    QTest::addRow("user information on") << true;
}

void TestFaultProgram::latin1SettingsAreFollowed()
{
    QFETCH(bool, userInfo);
    // The name as a REGEDIT4 export from an 8-bit system holds it.
    const QByteArray contents = registryText({{"EnableList", "\"0\""},
                                              {"EnableUserInfo", userInfo ? "\"1\"" : "\"0\""},
                                              {login() + "RealName", "\"Caf\xe9\""}});
    writeRegistry(contents);
    startProgram();

    QCOMPARE(query(FingerPort, "\r\n").bytes, header() + information(machineFacts()) + unlisted());
    // The wire carries the locale's encoding, UTF-8.
    const QByteArray details =
        userInfo ? detailsReply(login(), {.realName = "Caf\xc3\xa9"}) : restricted(login());
    QCOMPARE(query(FingerPort, login() + "\r\n").bytes, details);

    QCOMPARE(m_program->stop(), 0);
    m_program.reset();
    QCOMPARE(readFile(registryPath()), contents);
}

// The switches the person turned off sit in a file the program may not read (root's, mode
// 600). The program runs as nobody with the right to open ports below 1024, so only the
// settings rule keeps finger closed.
void TestFaultProgram::unreadableSettingsKeepFingerOff()
{
    if (::geteuid() != 0)
        QSKIP("running the program as another user needs root");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (setpriv.isEmpty())
        QSKIP("setpriv (util-linux) is missing");
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        QSKIP("there is no user nobody");
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;

    const QByteArray contents = registryText(
        {{"EnableList", "\"0\""}, {"EnableUserInfo", "\"0\""}, {"nobodyRealName", "\"Caf\xe9\""}});
    writeRegistry(contents);
    const QByteArray file = QFile::encodeName(registryPath());
    QCOMPARE(::chmod(file.constData(), 0600), 0);
    for (const QString &folder : {m_home->path(), configHome(), configHome() + "/Tellwick"})
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);

    Program program(configHome());
    QCOMPARE(::chown(QFile::encodeName(program.runtimeFolder()).constData(), uid, gid), 0);
    program.setWrapper({setpriv, QStringLiteral("--reuid=%1").arg(uid),
                        QStringLiteral("--regid=%1").arg(gid), "--clear-groups",
                        "--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service", "--"});
    program.keepStandardError();
    program.start();
    // Daytime opens: the program is up and could have opened the finger port too.
    QVERIFY2(program.waitListening(DaytimePort), "the daytime port never opened");
    const Answer answer = query(FingerPort, "nobody\r\n");
    QVERIFY2(!answer.connected, answer.bytes.constData());
    QCOMPARE(program.stop(), 0);

    const QByteArray errors = program.standardError();
    QVERIFY2(errors.contains(file + ": Permission denied"), errors.constData());
    QCOMPARE(readFile(registryPath()), contents);
    struct stat status
    {
    };
    QCOMPARE(::stat(file.constData(), &status), 0);
    QCOMPARE(status.st_mode & 07777, mode_t(0600));
    QCOMPARE(status.st_uid, uid_t(0));
    QCOMPARE(QDir(configHome() + "/Tellwick").entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestFaultProgram)
#include "tst_fault_program.moc"
