// The one query slot under clients that connect and send nothing: the real program, in a
// private network namespace, must go on answering honest clients within seconds. The figures
// are measured and printed; a case fails when its figure is missed.

#include "FaultTools.h"
#include "NetNamespace.h"

#include <QRandomGenerator>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace fault;

namespace {

constexpr quint16 FingerPort = 79;

// Holds a connection, sending nothing, until the server closes it or stop is set.
void holdSilently(int fd, const std::atomic<bool> &stop)
{
    char byte;
    while (!stop) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready == 1 && ::recv(fd, &byte, 1, 0) <= 0)
            return;
    }
}

// A client that connects, holds its connection silently until the server drops it, and
// connects again at once, until stopped.
class SilentClient
{
public:
    explicit SilentClient(bool reconnect)
        : m_thread([this, reconnect] {
              do {
                  const int fd = connectTo(FingerPort);
                  if (fd == -1) {
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      continue;
                  }
                  holdSilently(fd, m_stop);
                  ::close(fd);
              } while (reconnect && !m_stop);
          })
    {
    }
    ~SilentClient()
    {
        m_stop = true;
        m_thread.join();
    }
    SilentClient(const SilentClient &) = delete;
    SilentClient &operator=(const SilentClient &) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// How long one honest list query took until the whole reply had come, or -1 when it did not
// come within the limit or was not the list.
qint64 timedListQuery(int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    const Answer answer = query(FingerPort, "\r\n", limitMs);
    return answer.complete && answer.bytes == listReply() ? timer.elapsed() : -1;
}

struct Figures
{
    qsizetype queries = 0;
    double withinPercent = 0; // answered within the limit of the case
    qint64 medianMs = -1;
    qint64 longestMs = -1; // -1 also when one was never answered
};

Figures figuresOf(std::vector<qint64> waits, qint64 withinMs)
{
    Figures figures;
    figures.queries = qsizetype(waits.size());
    if (waits.empty())
        return figures;
    const auto within = std::count_if(waits.begin(), waits.end(),
                                      [withinMs](qint64 ms) { return ms >= 0 && ms <= withinMs; });
    figures.withinPercent = 100.0 * double(within) / double(waits.size());
    std::sort(waits.begin(), waits.end());
    figures.medianMs = waits[waits.size() / 2];
    figures.longestMs = waits.front() == -1 ? -1 : waits.back();
    return figures;
}

void print(const char *name, const Figures &figures, qint64 withinMs)
{
    qInfo("%s: %lld honest queries, %.1f%% answered within %lld ms, median %lld ms, longest "
          "%lld ms (-1: one never answered)",
          name, qlonglong(figures.queries), figures.withinPercent, qlonglong(withinMs),
          qlonglong(figures.medianMs), qlonglong(figures.longestMs));
}

} // namespace

class TestFaultFairness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void oneSilentClientReconnecting();
    void eightSilentConnectionsAtOnce();

private:
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<Program> m_program;
};

void TestFaultFairness::initTestCase()
{
    TELLWICK_REQUIRE_NETNS();
    if (Program::executable().isEmpty() || !QFile::exists(Program::executable()))
        QSKIP("TELLWICK_PROGRAM names no program");
}

void TestFaultFairness::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    m_program = std::make_unique<Program>(m_home->path());
    m_program->start();
    QVERIFY2(m_program->waitListening(FingerPort), "the finger port never opened");
}

void TestFaultFairness::cleanup()
{
    QVERIFY2(m_program->isRunning(), "the program ended on its own");
    QCOMPARE(m_program->stop(), 0);
    m_program.reset();
    m_home.reset();
}

// The silent client takes the slot again whenever an honest query was answered; every honest
// query then waits for it to give way.
void TestFaultFairness::oneSilentClientReconnecting()
{
    constexpr qint64 RunMs = 60000;
    constexpr qint64 WithinMs = 5000;
    std::vector<qint64> waits;
    {
        const SilentClient silent(true);
        QRandomGenerator pauses(79);
        QElapsedTimer run;
        run.start();
        while (run.elapsed() < RunMs) {
            QTest::qWait(int(pauses.bounded(300)));
            waits.push_back(timedListQuery(40000));
        }
    }
    const Figures figures = figuresOf(waits, WithinMs);
    print("one silent client reconnecting for 60 s", figures, WithinMs);
    QVERIFY(figures.queries >= 10);
    QVERIFY2(figures.withinPercent >= 90, "fewer than 90% answered within 5 s");
    QVERIFY2(figures.longestMs != -1, "an honest query was never answered");
}

// Eight connections that each hold the slot until they are dropped, while honest clients
// arrive every half second, each on its own.
void TestFaultFairness::eightSilentConnectionsAtOnce()
{
    constexpr int Honest = 50;
    constexpr int EveryMs = 500;
    constexpr qint64 WithinMs = 10000;
    std::vector<qint64> waits(Honest, -1);
    {
        std::vector<std::unique_ptr<SilentClient>> silent;
        for (int i = 0; i < 8; ++i)
            silent.push_back(std::make_unique<SilentClient>(false));
        std::vector<std::thread> honest;
        for (int i = 0; i < Honest; ++i) {
            honest.emplace_back([&waits, i] { waits[size_t(i)] = timedListQuery(40000); });
            QTest::qWait(EveryMs);
        }
        for (std::thread &client : honest)
            client.join();
    }
    const Figures figures = figuresOf(waits, WithinMs);
    print("eight silent connections at once", figures, WithinMs);
    QVERIFY2(figures.withinPercent >= 60, "fewer than 60% answered within 10 s");
    QVERIFY2(figures.longestMs != -1, "an honest query was never answered");
    QVERIFY2(figures.longestMs <= 35000, "an honest query waited over 35 s");
}

TELLWICK_GUILESS_TEST_MAIN_IN_NETNS(TestFaultFairness)
#include "tst_fault_fairness.moc"
