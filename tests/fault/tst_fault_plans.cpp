// Plan files of any size, read by the real program in a private network namespace: a reply
// carries at most the limit of text, the program's memory stays bounded and its event loop
// keeps answering daytime queries meanwhile. The figures are measured and printed; a case
// fails when its figure is missed.

#include "FaultTools.h"
#include "NetNamespace.h"

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <thread>

using namespace fault;
using namespace ExpectedReplies;

namespace {

constexpr quint16 FingerPort = 79;
constexpr quint16 DaytimePort = 13;
constexpr qint64 MiB = 1024 * 1024;

// Plan lines of 100 bytes with their LF, numbered from first; with CR LF when crlf.
QByteArray planLines(qint64 first, qint64 count, bool crlf = false)
{
    QByteArray text;
    text.reserve(count * 101);
    const QByteArray filling(88, 'p');
    for (qint64 i = first; i < first + count; ++i)
        text +=
            QByteArray::number(i).rightJustified(10, '0') + ' ' + filling + (crlf ? "\r\n" : "\n");
    return text;
}
constexpr qint64 PlanLineSize = 100;

// The reply to the user's request when the plan holds the first count of those lines.
QByteArray replyWithPlanLines(qint64 count)
{
    return detailsReply(login(), {.plan = planLines(0, count, true)});
}

// A field of /proc/<pid>/status in kB (VmRSS: resident now, VmHWM: the most resident so far).
qint64 statusKb(qint64 pid, const QByteArray &field)
{
    const QByteArray status = readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The processor time the process has used so far, user and system, in ms.
qint64 cpuMs(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QByteArrayList fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

// Asks for the daytime every 10 ms on a thread of its own and keeps the longest wait.
class DaytimeProbe
{
public:
    DaytimeProbe()
        : m_thread([this] {
              while (!m_stop) {
                  QElapsedTimer timer;
                  timer.start();
                  const Answer answer = query(DaytimePort, {}, 5000);
                  const qint64 took = timer.elapsed();
                  if (!answer.complete || answer.bytes.isEmpty())
                      ++m_failed;
                  m_longestMs = std::max(m_longestMs.load(), took);
                  ++m_asked;
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          })
    {
    }
    ~DaytimeProbe() { stop(); }
    DaytimeProbe(const DaytimeProbe &) = delete;
    DaytimeProbe &operator=(const DaytimeProbe &) = delete;

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    qint64 longestMs() const { return m_longestMs; }
    int asked() const { return m_asked; }
    int failed() const { return m_failed; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<qint64> m_longestMs{0};
    std::atomic<int> m_asked{0};
    std::atomic<int> m_failed{0};
    std::thread m_thread;
};

} // namespace

class TestFaultPlans : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void hugePlanReadFast();
    void sparsePlan();
    void planGrowingWhileRead();

private:
    QString planPath() const { return m_home->filePath("plan.txt"); }
    // Starts the program with the plan file and the daytime service; returns its resident
    // memory in kB once it is idle.
    qint64 startProgram();

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Program> m_program;
};

void TestFaultPlans::initTestCase()
{
    TELLWICK_REQUIRE_NETNS();
    if (Program::executable().isEmpty() || !QFile::exists(Program::executable()))
        QSKIP("TELLWICK_PROGRAM names no program");
}

void TestFaultPlans::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QVERIFY(writeFile(m_home->filePath("config/Tellwick/registry.reg"),
                      registryText({{login() + "Plan", "\"" + planPath().toUtf8() + "\""},
                                    {"EnableDayTime", "\"1\""}})));
}

void TestFaultPlans::cleanup()
{
    if (m_program) {
        QVERIFY2(m_program->isRunning(), "the program ended on its own");
        QCOMPARE(m_program->stop(), 0);
    }
    m_program.reset();
    m_home.reset();
}

qint64 TestFaultPlans::startProgram()
{
    m_program = std::make_unique<Program>(m_home->filePath("config"));
    m_program->start();
    if (!m_program->waitListening(FingerPort) || !m_program->waitListening(DaytimePort))
        return -1;
    if (query(FingerPort, "\r\n").bytes != listReply())
        return -1;
    QTest::qWait(200);
    return statusKb(m_program->processId(), "VmRSS");
}

void TestFaultPlans::hugePlanReadFast()
{
    {
        QFile plan(planPath());
        QVERIFY(plan.open(QIODevice::WriteOnly));
        constexpr qint64 LinesPerBlock = MiB / PlanLineSize;
        for (qint64 first = 0; plan.size() < 200 * MiB; first += LinesPerBlock)
            QVERIFY(plan.write(planLines(first, LinesPerBlock)) > 0);
    }
    const qint64 idleKb = startProgram();
    QVERIFY(idleKb > 0);
    const QByteArray expected = replyWithPlanLines(PlanTextLimit / PlanLineSize);

    DaytimeProbe daytime;
    const qint64 cpuBefore = cpuMs(m_program->processId());
    qint64 slowestMs = 0;
    // Few enough that the sanitizer's quarantine of freed memory stays far below the limit.
    constexpr int Reads = 5;
    for (int i = 0; i < Reads; ++i) {
        QElapsedTimer timer;
        timer.start();
        const Answer answer = query(FingerPort, login() + "\r\n");
        slowestMs = std::max(slowestMs, timer.elapsed());
        QVERIFY(answer.complete);
        QCOMPARE(answer.bytes.size(), expected.size());
        QVERIFY(answer.bytes == expected);
    }
    daytime.stop();
    const qint64 cpuPerQuery = (cpuMs(m_program->processId()) - cpuBefore) / Reads;
    const qint64 peakKb = statusKb(m_program->processId(), "VmHWM");
    qInfo("a 200 MB plan read %d times: reply %lld bytes, slowest %lld ms, program CPU time "
          "%lld ms a query (daytime queries included); resident idle %lld kB, peak %lld kB "
          "(+%lld kB); daytime asked %d times, %d failed, longest %lld ms",
          Reads, qlonglong(expected.size()), qlonglong(slowestMs), qlonglong(cpuPerQuery),
          qlonglong(idleKb), qlonglong(peakKb), qlonglong(peakKb - idleKb), daytime.asked(),
          daytime.failed(), qlonglong(daytime.longestMs()));
    QVERIFY2(peakKb - idleKb <= 200 * 1024, "more than 200 MB above idle");
    QVERIFY(daytime.asked() > 0);
    QCOMPARE(daytime.failed(), 0);
    QVERIFY2(daytime.longestMs() < 1000, "a daytime query waited 1 s or more");
}

// Its first line, then 2 GB of NUL bytes that take no room on the disk.
void TestFaultPlans::sparsePlan()
{
    {
        QFile plan(planPath());
        QVERIFY(plan.open(QIODevice::WriteOnly));
        QVERIFY(plan.write("sparse plan\n") > 0);
        QVERIFY(plan.resize(2048 * MiB));
    }
    const qint64 idleKb = startProgram();
    QVERIFY(idleKb > 0);

    QElapsedTimer timer;
    timer.start();
    const Answer answer = query(FingerPort, login() + "\r\n");
    const qint64 tookMs = timer.elapsed();
    const qint64 peakKb = statusKb(m_program->processId(), "VmHWM");
    qInfo("a 2 GB sparse plan: reply complete after %lld ms; resident idle %lld kB, peak %lld kB "
          "(+%lld kB)",
          qlonglong(tookMs), qlonglong(idleKb), qlonglong(peakKb), qlonglong(peakKb - idleKb));
    QVERIFY(answer.complete);
    QCOMPARE(answer.bytes, detailsReply(login(), {.plan = "sparse plan\r\n"}));
    QVERIFY2(tookMs <= 2000, "the reply took more than 2 s");
    QVERIFY2(peakKb - idleKb <= 100 * 1024, "more than 100 MB above idle");
}

// A writer appends to the plan as fast as it can while the plan is read: the reply ends
// where the file ended when it was opened, or at the limit, always with a whole line.
void TestFaultPlans::planGrowingWhileRead()
{
    QVERIFY(writeFile(planPath(), {}));
    const qint64 idleKb = startProgram();
    QVERIFY(idleKb > 0);

    std::atomic<bool> stop{false};
    std::atomic<qint64> written{0};
    std::thread writer([&] {
        const int fd = ::open(QFile::encodeName(planPath()).constData(), O_WRONLY | O_APPEND);
        if (fd == -1)
            return;
        constexpr qint64 LinesPerBlock = MiB / PlanLineSize;
        // A bound for the disk, should the program never answer.
        for (qint64 first = 0; !stop && written < 4096 * MiB; first += LinesPerBlock) {
            const QByteArray block = planLines(first, LinesPerBlock);
            if (::write(fd, block.constData(), size_t(block.size())) != block.size())
                break;
            written += block.size();
        }
        ::close(fd);
    });
    const auto stopWriter = qScopeGuard([&] {
        stop = true;
        writer.join();
    });
    QTRY_VERIFY(written >= MiB);

    QElapsedTimer timer;
    timer.start();
    const Answer answer = query(FingerPort, login() + "\r\n", 60000);
    const qint64 tookMs = timer.elapsed();
    const qint64 writtenThen = written;
    const qint64 base = replyWithPlanLines(0).size();
    const qint64 lines = (answer.bytes.size() - base) / (PlanLineSize + 1);
    qInfo("a plan growing at full speed (%lld MB written meanwhile): reply complete after %lld "
          "ms with %lld plan lines",
          qlonglong(writtenThen / MiB), qlonglong(tookMs), qlonglong(lines));
    QVERIFY(answer.complete);
    QVERIFY2(tookMs <= 5000, "the reply took more than 5 s");
    QVERIFY(lines * PlanLineSize >= MiB);
    QVERIFY(lines * PlanLineSize <= PlanTextLimit);
    QVERIFY(answer.bytes == replyWithPlanLines(lines));
}

TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestFaultPlans)
#include "tst_fault_plans.moc"
