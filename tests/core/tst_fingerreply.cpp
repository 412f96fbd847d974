#include "ExpectedReplies.h"
#include "FingerReply.h"
#include "RuntimeError.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace ExpectedReplies;

namespace {

ComputerFacts labFacts()
{
    return {"Unknown", 6, 1, "labhost"};
}

const QByteArray LabDetails = detailsBody({.realName = "Lab Us\xc3\xa9r",
                                           .homePhone = "555-0100",
                                           .officePhone = "555-0199",
                                           .plan = "a\r\nb\r\n",
                                           .project = "Build the tower.\r\n"});

QString thrownText(const std::function<void()> &call)
{
    try {
        call();
    } catch (const RuntimeError &error) {
        return error.text();
    }
    return QStringLiteral("<nothing thrown>");
}

// count lines of 63 letters, each ended with end.
QByteArray lines(qsizetype count, QByteArrayView end)
{
    QByteArray line(63, 'a');
    line.append(end);
    QByteArray text;
    text.reserve(count * line.size());
    for (qsizetype i = 0; i < count; ++i)
        text += line;
    return text;
}

} // namespace

class TestFingerReply : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void classify_data();
    void classify();
    void reply_data();
    void reply();
    void planText_data();
    void planText();
    void limitedPlanText_data();
    void limitedPlanText();
    void sizelessFile();
    void planFallback_data();
    void planFallback();
    void fifoNeverBlocks();
    void unreadableFile_data();
    void unreadableFile();
    void unreadablePlanAbandonsDetails();

private:
    QString writeFile(const QString &name, const QByteArray &content);

    QTemporaryDir m_dir;
    FingerDetails m_details;
};

QString TestFingerReply::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestFingerReply::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_details.RealName = "Lab Us\xc3\xa9r";
    m_details.HPhone = "555-0100";
    m_details.OPhone = "555-0199";
    m_details.Login = "labuser";
    m_details.Plan = writeFile("plan", "a\nb");
    m_details.Project = writeFile("project", "Build the tower.\r\n");
}

void TestFingerReply::classify_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("isList");
    QTest::addColumn<QByteArray>("name");

    QTest::addRow("CR LF") << QByteArray("\r\n") << true << QByteArray();
    QTest::addRow("LF CR") << QByteArray("\n\r") << true << QByteArray();
    QTest::addRow("lone CR") << QByteArray("\r") << true << QByteArray();
    QTest::addRow("lone LF") << QByteArray("\n") << true << QByteArray();
    QTest::addRow("empty") << QByteArray() << false << QByteArray();
    QTest::addRow("CR CR") << QByteArray("\r\r") << false << QByteArray();
    QTest::addRow("CR LF twice") << QByteArray("\r\n\r\n") << false << QByteArray();
    QTest::addRow("a CR LF, 3 bytes") << QByteArray("a\r\n") << false << QByteArray();
    QTest::addRow("abc, 3 bytes") << QByteArray("abc") << false << QByteArray();
    QTest::addRow("ab CR LF") << QByteArray("ab\r\n") << false << QByteArray("ab");
    QTest::addRow("verbose switch") << QByteArray("/W\r\n") << false << QByteArray("/W");
    QTest::addRow("no line end") << QByteArray("labuser") << false << QByteArray("labuser");
    QTest::addRow("line ends inside")
        << QByteArray("la\rb\nus\r\ner\n\r") << false << QByteArray("labuser");
    QTest::addRow("blanks and case kept")
        << QByteArray(" Lab User \r\n") << false << QByteArray(" Lab User ");
    QTest::addRow("NUL byte kept")
        << QByteArray("ab\0cd\r\n", 7) << false << QByteArray("ab\0cd", 5);
}

void TestFingerReply::classify()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, isList);
    QFETCH(QByteArray, name);

    QCOMPARE(ClassifyRequest(request) == RequestClass::List, isList);
    QCOMPARE(RequestedName(request), name);
}

void TestFingerReply::reply_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("enableInfo");
    QTest::addColumn<bool>("enableList");
    QTest::addColumn<bool>("enableUserInfo");
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("gaveDetails");

    const QByteArray login = "labuser";
    const QByteArray Header = header();
    const QByteArray Info = information(labFacts());
    const QByteArray Listed = listed(login);
    const QByteArray Unlisted = unlisted();
    for (const char *request : {"\r\n", "\n\r", "\r", "\n"}) {
        const QByteArray shown = QByteArray(request).replace('\r', "CR ").replace('\n', "LF ");
        QTest::addRow("list, info and list, %s", shown.constData())
            << QByteArray(request) << true << true << true << login << Header + Info + Listed
            << false;
    }
    QTest::addRow("list, info only") << QByteArray("\r\n") << true << false << true << login
                                     << Header + Info + Unlisted << false;
    QTest::addRow("list, list only")
        << QByteArray("\r\n") << false << true << true << login << Header + Listed << false;
    QTest::addRow("list, both off")
        << QByteArray("\r\n") << false << false << true << login << Header + Unlisted << false;
    QTest::addRow("list, user details off")
        << QByteArray("\r\n") << false << true << false << login << Header + Listed << false;
    QTest::addRow("list, login with underscore")
        << QByteArray("\r\n") << false << true << true << QByteArray("lab_user")
        << Header + listed("lab_user") << false;

    auto user = [&](const char *name, const QByteArray &request, const QByteArray &body,
                    bool details) {
        QTest::addRow("%s", name) << request << true << true << true << login
                                  << userReply(RequestedName(request), body) << details;
    };
    const QByteArray nobody = "No such user logged on.\r\n";
    user("user, login", "labuser\r\n", LabDetails, true);
    user("user, login without line end", "labuser", LabDetails, true);
    user("user, login inside name", "xlabuserx\r\n", LabDetails, true);
    user("user, login with verbose switch", "labuser/W\r\n", LabDetails, true);
    user("user, other case", "LabUser\r\n", nobody, false);
    user("user, with blank", "lab user\r\n", nobody, false);
    user("user, part of login", "labuse\r\n", nobody, false);
    user("user, verbose switch", "/W\r\n", nobody, false);
    user("user, a CR LF", "a\r\n", nobody, false);
    user("user, ab CR LF", "ab\r\n", nobody, false);
    user("user, empty request", "", nobody, false);
    user("user, CR LF twice", "\r\n\r\n", nobody, false);

    QTest::addRow("restricted, login") << QByteArray("labuser\r\n") << true << true << false
                                       << login << restricted("labuser") << false;
    QTest::addRow("restricted, empty request")
        << QByteArray() << true << true << false << login << restricted("") << false;
    QTest::addRow("empty login, its name") << QByteArray("labuser\r\n") << true << true << true
                                           << QByteArray() << noSuchUser("labuser") << false;
    QTest::addRow("empty login, empty request")
        << QByteArray() << true << true << true << QByteArray() << noSuchUser("") << false;
    QTest::addRow("empty login, list") << QByteArray("\n") << false << true << true << QByteArray()
                                       << Header + "1 user logged in:\r\n\r\n"
                                       << false;
}

void TestFingerReply::reply()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, enableInfo);
    QFETCH(bool, enableList);
    QFETCH(bool, enableUserInfo);
    QFETCH(QByteArray, login);
    QFETCH(QByteArray, expected);
    QFETCH(bool, gaveDetails);

    FingerDetails details = m_details;
    details.EnableInfo = enableInfo;
    details.EnableList = enableList;
    details.EnableUserInfo = enableUserInfo;
    details.Login = login;
    const BuiltReply reply = BuildFingerReply(request, details, labFacts());
    QCOMPARE(reply.bytes, expected);
    QCOMPARE(reply.details, gaveDetails);
}

void TestFingerReply::planText_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("entry");

    QTest::addRow("empty") << QByteArray() << QByteArray();
    QTest::addRow("one line, no line end") << QByteArray("a") << QByteArray("a\r\n");
    QTest::addRow("LF lines, no final line end") << QByteArray("a\nb") << QByteArray("a\r\nb\r\n");
    QTest::addRow("LF lines") << QByteArray("a\nb\n") << QByteArray("a\r\nb\r\n");
    QTest::addRow("CR LF lines") << QByteArray("a\r\nb\r\n") << QByteArray("a\r\nb\r\n");
    QTest::addRow("lone CR lines") << QByteArray("a\rb\r") << QByteArray("a\r\nb\r\n");
    QTest::addRow("LF CR is two line ends") << QByteArray("a\n\rb") << QByteArray("a\r\n\r\nb\r\n");
    QTest::addRow("mixed line ends")
        << QByteArray("a\r\nb\nc\rd") << QByteArray("a\r\nb\r\nc\r\nd\r\n");
    QTest::addRow("empty lines kept")
        << QByteArray("\na\n\n\nb\n\n") << QByteArray("\r\na\r\n\r\n\r\nb\r\n\r\n");
    QTest::addRow("only a line end") << QByteArray("\n") << QByteArray("\r\n");
    QTest::addRow("only a CR") << QByteArray("\r") << QByteArray("\r\n");
    QTest::addRow("blanks and tabs kept") << QByteArray(" a\t \n") << QByteArray(" a\t \r\n");
    QTest::addRow("8-bit bytes kept")
        << QByteArray("caf\xc3\xa9\n\xff\xfe") << QByteArray("caf\xc3\xa9\r\n\xff\xfe\r\n");
    QTest::addRow("NUL in the middle") << QByteArray("ab\0cd\nef", 8) << QByteArray("ab\r\n");
    QTest::addRow("NUL after a line end") << QByteArray("ab\n\0cd", 6) << QByteArray("ab\r\n");
    QTest::addRow("NUL between CR and LF") << QByteArray("ab\r\0\ncd", 7) << QByteArray("ab\r\n");
    QTest::addRow("NUL first") << QByteArray("\0ab", 3) << QByteArray();
}

void TestFingerReply::planText()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, entry);

    QCOMPARE(ReadPlanText(writeFile("plantext", content), "No Plan."), entry);
}

void TestFingerReply::limitedPlanText_data()
{
    // Made when a row runs: every row holds some megabytes.
    using Text = std::function<QByteArray()>;
    QTest::addColumn<Text>("content");
    QTest::addColumn<Text>("entry");

    // Lines of 64 bytes fill the limit exactly.
    constexpr qsizetype Full = PlanTextLimit / 64;
    static_assert(Full * 64 == PlanTextLimit);
    QTest::addRow("exactly the limit")
        << Text([] { return lines(Full, "\n"); }) << Text([] { return lines(Full, "\r\n"); });
    QTest::addRow("a line past the limit") << Text([] { return lines(Full, "\n") + "b\n"; })
                                           << Text([] { return lines(Full, "\r\n"); });
    QTest::addRow("limit inside a line")
        << Text([] { return lines(Full - 1, "\n") + QByteArray(100, 'c') + "\n"; })
        << Text([] { return lines(Full - 1, "\r\n"); });
    QTest::addRow("limit inside a line without a line end")
        << Text([] { return lines(Full - 1, "\n") + QByteArray(100, 'c'); })
        << Text([] { return lines(Full - 1, "\r\n"); });
    QTest::addRow("CR at the limit, its LF past it")
        << Text([] { return lines(Full, "\r") + "\nmore\n"; })
        << Text([] { return lines(Full, "\r\n"); });
    QTest::addRow("one line longer than the limit")
        << Text([] { return QByteArray(PlanTextLimit + 100, 'x') + "\n"; })
        << Text([] { return QByteArray(PlanTextLimit, 'x') + "\r\n"; });
    QTest::addRow("NUL past the limit")
        << Text([] { return lines(Full, "\n") + QByteArray("b\0c", 3); })
        << Text([] { return lines(Full, "\r\n"); });
    QTest::addRow("NUL before the limit, far past the first read")
        << Text([] { return lines(Full / 2, "\n") + '\0' + lines(Full, "\n"); })
        << Text([] { return lines(Full / 2, "\r\n"); });
    // Files are read in pieces of 64 KiB: a line end split between two is still one.
    constexpr qsizetype Piece = 64 * 1024;
    QTest::addRow("CR LF split between pieces")
        << Text([] { return QByteArray(Piece - 1, 'a') + "\r\nb"; })
        << Text([] { return QByteArray(Piece - 1, 'a') + "\r\nb\r\n"; });
    QTest::addRow("CR, CR split between pieces")
        << Text([] { return QByteArray(Piece - 1, 'a') + "\r\rb"; })
        << Text([] { return QByteArray(Piece - 1, 'a') + "\r\n\r\nb\r\n"; });
}

void TestFingerReply::limitedPlanText()
{
    QFETCH(std::function<QByteArray()>, content);
    QFETCH(std::function<QByteArray()>, entry);

    const QString path = writeFile("limited", content());
    const QByteArray read = ReadPlanText(path, "No Plan.");
    // QCOMPARE would print megabytes.
    QCOMPARE(read.size(), entry().size());
    QVERIFY(read == entry());
}

void TestFingerReply::sizelessFile()
{
    // Files of the kernel's process file system report size 0 and still have text.
    const QString path = QStringLiteral("/proc/version");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        QSKIP("no /proc/version to read");
    const QByteArray content = file.readAll();
    QVERIFY(!content.isEmpty());
    QCOMPARE(ReadPlanText(path, "No Plan."), QByteArray(content).replace("\n", "\r\n"));
}

void TestFingerReply::planFallback_data()
{
    QTest::addColumn<QString>("path");

    const QString plan = writeFile("fallback-plan", "text\n");
    QTest::addRow("empty path") << QString();
    QTest::addRow("missing file") << m_dir.filePath("no-such-plan");
    QTest::addRow("missing folder") << m_dir.filePath("no-such-folder/plan");
    QTest::addRow("file used as folder") << plan + "/plan";
    QTest::addRow("directory") << m_dir.path();
    QTest::addRow("root directory") << QStringLiteral("/");
    QTest::addRow("character device") << QStringLiteral("/dev/null");
    QTest::addRow("endless device") << QStringLiteral("/dev/zero");
    QTest::addRow("NUL in the path") << plan + QChar(0);

    const QString dangling = m_dir.filePath("dangling");
    QVERIFY(::symlink(qPrintable(m_dir.filePath("gone")), qPrintable(dangling)) == 0);
    QTest::addRow("dangling link") << dangling;
    const QString toDirectory = m_dir.filePath("to-directory");
    QVERIFY(::symlink(qPrintable(m_dir.path()), qPrintable(toDirectory)) == 0);
    QTest::addRow("link to a directory") << toDirectory;
}

void TestFingerReply::planFallback()
{
    QFETCH(QString, path);

    QCOMPARE(ReadPlanText(path, "No Plan."), QByteArray("No Plan."));
    QCOMPARE(ReadPlanText(path, "No Project."), QByteArray("No Project."));
}

void TestFingerReply::fifoNeverBlocks()
{
    const QString fifo = m_dir.filePath("fifo");
    QVERIFY(::mkfifo(qPrintable(fifo), 0600) == 0);

    // Without a writer, opening or reading the FIFO would wait for ever; a watchdog lets a
    // writer come and go so that such a fault fails the test instead of hanging it.
    auto read = std::async(std::launch::async, [&] { return ReadPlanText(fifo, "No Plan."); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        const int writer = ::open(qPrintable(fifo), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer != -1)
            ::close(writer);
        read.wait();
        QFAIL("reading the FIFO blocked");
    }
    QCOMPARE(read.get(), QByteArray("No Plan."));
}

void TestFingerReply::unreadableFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("needsNonRoot");

    const QString locked = writeFile("locked", "secret\n");
    QVERIFY(::chmod(qPrintable(locked), 0) == 0);
    QTest::addRow("no read permission") << locked << true;

    const QString loop = m_dir.filePath("loop");
    QVERIFY(::symlink(qPrintable(m_dir.filePath("loop")), qPrintable(loop)) == 0);
    QTest::addRow("link loop") << loop << false;

    // Opens as a regular file, but reading from offset 0 fails: the first page is never mapped.
    QTest::addRow("read error") << QStringLiteral("/proc/self/mem") << false;
}

void TestFingerReply::unreadableFile()
{
    QFETCH(QString, path);
    QFETCH(bool, needsNonRoot);

    if (needsNonRoot && ::geteuid() == 0)
        QSKIP("permissions do not stop root from reading; the other rows make reading fail");
    if (!QFile::exists(path) && !QFileInfo(path).isSymLink())
        QSKIP("this system does not have the file");
    QCOMPARE(thrownText([&] { ReadPlanText(path, "No Plan."); }),
             QStringLiteral("Cannot open file ") + path);
}

void TestFingerReply::unreadablePlanAbandonsDetails()
{
    FingerDetails details = m_details;
    details.Project = m_dir.filePath("loop-project");
    QVERIFY(::symlink(qPrintable(details.Project), qPrintable(details.Project)) == 0);
    QCOMPARE(thrownText([&] { BuildFingerReply("labuser\r\n", details, labFacts()); }),
             QStringLiteral("Cannot open file ") + details.Project);

    // Files are read only when the details are given.
    QCOMPARE(BuildFingerReply("nobody\r\n", details, labFacts()).bytes, noSuchUser("nobody"));
    details.EnableUserInfo = false;
    QCOMPARE(BuildFingerReply("labuser\r\n", details, labFacts()).bytes, restricted("labuser"));
}

QTEST_GUILESS_MAIN(TestFingerReply)
#include "tst_fingerreply.moc"
