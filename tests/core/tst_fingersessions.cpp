#include "FingerSessions.h"

#include "Sockets.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <functional>
#include <stdexcept>

namespace {

constexpr int Session = 7;
constexpr int Other = 8;
constexpr int TimeoutMs = 40;
constexpr int GraceMs = 40;

// Long past the request time-out: a timer that should have stopped would have fired.
void waitPastTimeout()
{
    QTest::qWait(TimeoutMs * 5);
}

// A reply abandoned by an exception, as an unreadable plan file ends it.
void abandonAnswer(FingerSessions &sessions)
{
    try {
        const auto answering = sessions.answer(Session);
        throw std::runtime_error("unreadable plan");
    } catch (const std::runtime_error &) {
    }
}

enum class Yield { Never, AtOnce, AtTheEndOfItsGrace };

} // namespace

class TestFingerSessions : public QObject
{
    Q_OBJECT

private slots:
    void requestTimeout_data();
    void requestTimeout();
    void silentSessionGivesWay_data();
    void silentSessionGivesWay();
    void oneAnswerPerSession();
    void errorEndsSession_data();
    void errorEndsSession();
    void detailsFollowEdits_data();
    void detailsFollowEdits();
};

void TestFingerSessions::requestTimeout_data()
{
    using Step = std::function<void(FingerSessions &)>;
    QTest::addColumn<Step>("step");
    QTest::addColumn<bool>("timesOut");

    QTest::addRow("no request") << Step([](FingerSessions &) {}) << true;
    QTest::addRow("client closed") << Step([](FingerSessions &s) { s.ended(Session); }) << false;
    QTest::addRow("another session ended")
        << Step([](FingerSessions &s) { s.ended(Other); }) << true;
    QTest::addRow("answered") << Step([](FingerSessions &s) { QVERIFY(s.answer(Session)); })
                              << false;
    QTest::addRow("answer abandoned by an error") << Step([](FingerSessions &s) {
        abandonAnswer(s);
        QCOMPARE(s.waitingSession(), Session);
        QVERIFY(!s.isAnswering(Session));
    }) << true;
}

void TestFingerSessions::requestTimeout()
{
    QFETCH(std::function<void(FingerSessions &)>, step);
    QFETCH(bool, timesOut);

    FingerSessions sessions;
    sessions.requestTimeoutMs = TimeoutMs;
    QSignalSpy timedOut(&sessions, &FingerSessions::requestTimedOut);
    sessions.accepted(Session);
    QCOMPARE(sessions.waitingSession(), Session);
    step(sessions);
    if (timesOut) {
        QTRY_COMPARE(timedOut.size(), 1);
        QCOMPARE(timedOut.first().first().toInt(), Session);
        QCOMPARE(sessions.waitingSession(), -1);
    }
    waitPastTimeout();
    QCOMPARE(timedOut.size(), timesOut ? 1 : 0);
}

void TestFingerSessions::silentSessionGivesWay_data()
{
    using Step = std::function<void(FingerSessions &)>;
    const Step nothing = [](FingerSessions &) {};
    const Step accept = [](FingerSessions &s) { s.accepted(Session); };
    QTest::addColumn<Step>("before");     // before the other client comes
    QTest::addColumn<int>("silentForMs"); // then nothing happens for so long
    QTest::addColumn<bool>("answering");  // the session is being answered when it comes
    QTest::addColumn<Step>("after");      // after it came
    QTest::addColumn<Yield>("yield");

    QTest::addRow("silent past its grace")
        << accept << GraceMs * 2 << false << nothing << Yield::AtOnce;
    QTest::addRow("silent within its grace")
        << accept << 0 << false << nothing << Yield::AtTheEndOfItsGrace;
    QTest::addRow("request arrives within its grace")
        << accept << 0 << false << Step([](FingerSessions &s) { QVERIFY(s.answer(Session)); })
        << Yield::Never;
    QTest::addRow("being answered") << accept << GraceMs * 2 << true << nothing << Yield::Never;
    QTest::addRow("no session") << nothing << GraceMs * 2 << false << nothing << Yield::Never;
    QTest::addRow("answer abandoned, silent since") << Step([accept](FingerSessions &s) {
        accept(s);
        abandonAnswer(s);
    }) << GraceMs * 2 << false << nothing << Yield::AtOnce;
}

void TestFingerSessions::silentSessionGivesWay()
{
    QFETCH(std::function<void(FingerSessions &)>, before);
    QFETCH(int, silentForMs);
    QFETCH(bool, answering);
    QFETCH(std::function<void(FingerSessions &)>, after);
    QFETCH(Yield, yield);

    FingerSessions sessions;
    // With nobody else waiting it would wait all this time.
    sessions.requestTimeoutMs = 60000;
    sessions.yieldAfterMs = GraceMs;
    QSignalSpy timedOut(&sessions, &FingerSessions::requestTimedOut);
    before(sessions);
    QTest::qWait(silentForMs);
    QElapsedTimer sinceClientCame;
    sinceClientCame.start();
    int yielding = -1;
    if (answering) {
        const auto held = sessions.answer(Session);
        yielding = sessions.clientWaiting();
    } else {
        yielding = sessions.clientWaiting();
    }
    after(sessions);

    QCOMPARE(yielding, yield == Yield::AtOnce ? Session : -1);
    if (yield == Yield::AtOnce)
        QCOMPARE(sessions.waitingSession(), -1);
    if (yield == Yield::AtTheEndOfItsGrace) {
        QTRY_COMPARE(timedOut.size(), 1);
        QCOMPARE(timedOut.first().first().toInt(), Session);
        QVERIFY2(sinceClientCame.elapsed() < GraceMs * 10, "it waited for the request time-out");
    }
    QTest::qWait(GraceMs * 3);
    QCOMPARE(timedOut.size(), yield == Yield::AtTheEndOfItsGrace ? 1 : 0);
}

void TestFingerSessions::oneAnswerPerSession()
{
    FingerSessions sessions;
    {
        const auto first = sessions.answer(Session);
        QVERIFY(first);
        QVERIFY(sessions.isAnswering(Session));
        // More data announced while the reply is on its way.
        const auto second = sessions.answer(Session);
        QVERIFY(!second);
        QVERIFY(sessions.answer(Other));
        QVERIFY(sessions.isAnswering(Session));
    }
    QVERIFY(!sessions.isAnswering(Session));
    // A new session with the same number (the descriptor was reused) is answered again.
    QVERIFY(sessions.answer(Session));
}

void TestFingerSessions::errorEndsSession_data()
{
    QTest::addColumn<int>("socket");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("answering");
    QTest::addColumn<bool>("ends");

    const int reset = WinSock::WSAECONNRESET;
    const int aborted = WinSock::WSAECONNABORTED;
    QTest::addRow("reset of the waiting session") << Session << reset << false << true;
    QTest::addRow("reset of another session") << Other << reset << false << true;
    QTest::addRow("other error of the waiting session") << Session << aborted << false << true;
    QTest::addRow("other error of another session") << Other << aborted << false << false;
    QTest::addRow("other error without a session") << -1 << aborted << false << false;
    QTest::addRow("reset of a session being answered") << Session << reset << true << false;
    QTest::addRow("error of a session being answered") << Session << aborted << true << false;
}

void TestFingerSessions::errorEndsSession()
{
    QFETCH(int, socket);
    QFETCH(int, error);
    QFETCH(bool, answering);
    QFETCH(bool, ends);

    FingerSessions sessions;
    sessions.accepted(Session);
    if (answering) {
        const auto held = sessions.answer(socket);
        QCOMPARE(sessions.errorEndsSession(socket, error), ends);
    } else {
        QCOMPARE(sessions.errorEndsSession(socket, error), ends);
    }
}

void TestFingerSessions::detailsFollowEdits_data()
{
    using Edit = std::function<void(TSettings &)>;
    QTest::addColumn<Edit>("edit");
    QTest::addColumn<QByteArray>("realName");
    QTest::addColumn<QByteArray>("hPhone");
    QTest::addColumn<QByteArray>("oPhone");
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QString>("plan");
    QTest::addColumn<QString>("project");

    const QByteArray name = "Ada";
    const QByteArray phone = "-";
    const QByteArray login = "ada";
    QTest::addRow("nothing") << Edit([](TSettings &) {}) << name << phone << phone << login << "p"
                             << "q";
    QTest::addRow("real name, 8-bit") << Edit([](TSettings &s) { s.RealName = "Ad\u00e9"; })
                                      << QByteArray("Ad\xc3\xa9") << phone << phone << login << "p"
                                      << "q";
    QTest::addRow("home phone") << Edit([](TSettings &s) { s.HPhone = "1"; }) << name
                                << QByteArray("1") << phone << login << "p"
                                << "q";
    QTest::addRow("office phone") << Edit([](TSettings &s) { s.OPhone = "2"; }) << name << phone
                                  << QByteArray("2") << login << "p"
                                  << "q";
    QTest::addRow("login") << Edit([](TSettings &s) { s.Login = "bob"; }) << name << phone << phone
                           << QByteArray("bob") << "p"
                           << "q";
    QTest::addRow("plan") << Edit([](TSettings &s) { s.Plan = "/plan"; }) << name << phone << phone
                          << login << "/plan"
                          << "q";
    QTest::addRow("project") << Edit([](TSettings &s) { s.Project = "/project"; }) << name << phone
                             << phone << login << "p"
                             << "/project";
    QTest::addRow("emptied") << Edit([](TSettings &s) { s.RealName.clear(); }) << QByteArray()
                             << phone << phone << login << "p"
                             << "q";
}

void TestFingerSessions::detailsFollowEdits()
{
    QFETCH(std::function<void(TSettings &)>, edit);
    QFETCH(QByteArray, realName);
    QFETCH(QByteArray, hPhone);
    QFETCH(QByteArray, oPhone);
    QFETCH(QByteArray, login);
    QFETCH(QString, plan);
    QFETCH(QString, project);

    TSettings settings;
    settings.RealName = "Ada";
    settings.HPhone = settings.OPhone = "-";
    settings.Login = "ada";
    settings.Plan = "p";
    settings.Project = "q";
    FingerSessions sessions;
    QCOMPARE(sessions.details(settings).RealName, QByteArray("Ada"));

    edit(settings);
    // The switches are read at every query, whatever else changed.
    settings.EnableList = false;
    settings.EnableUserInfo = false;
    const FingerDetails &details = sessions.details(settings);
    QCOMPARE(details.RealName, realName);
    QCOMPARE(details.HPhone, hPhone);
    QCOMPARE(details.OPhone, oPhone);
    QCOMPARE(details.Login, login);
    QCOMPARE(details.Plan, plan);
    QCOMPARE(details.Project, project);
    QVERIFY(!details.EnableList);
    QVERIFY(details.EnableInfo);
    QVERIFY(!details.EnableUserInfo);
}

QTEST_GUILESS_MAIN(TestFingerSessions)
#include "tst_fingersessions.moc"
