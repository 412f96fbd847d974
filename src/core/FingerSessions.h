#pragma once

#include "DayTime.h"
#include "FileTextCache.h"
#include "FingerReply.h"
#include "Settings.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>

class QTimer;
class TComputerInfo;

// The bookkeeping of the finger service: which session waits for its request and for how
// long, which sessions are being answered, and what every reply needs, made again only when
// its source changes.
class FingerSessions : public QObject
{
    Q_OBJECT

public:
    explicit FingerSessions(QObject *parent = nullptr);

    // How long an accepted session may take to deliver its request.
    int requestTimeoutMs = 30000;
    // How long it may keep the one query slot, sending nothing, while another client waits.
    int yieldAfterMs = 2000;

    // A session was accepted: it waits for its request until the request time-out.
    void accepted(int session);
    // The session is gone (its client closed it, or it failed): it waits no more.
    void ended(int session);
    int waitingSession() const { return m_waiting; }
    // Another client waits to be accepted while the service is busy. A session that has sent
    // nothing for yieldAfterMs gives way to it: that session is returned, it waits no more,
    // and the caller closes it. One that has waited less gives way when it has
    // (requestTimedOut); a query being answered never does. -1: the client has to wait.
    int clientWaiting();
    bool isAnswering(int session) const { return m_answering.contains(session); }
    // A socket error ends the session at once, so that a remote peer can never make the
    // service wait for the person at the desktop: a reset, or any failure of the session that
    // waits for its request. Never a session being answered: its responder closes it.
    bool errorEndsSession(int session, int error) const;

    // The responder's hold on a session while it answers: more data of the same session,
    // announced while the message loop runs in the middle of a reply, finds the session held
    // and gets no second reply. A reply abandoned by an exception (an unreadable plan file)
    // leaves the session open: it waits again, so that the request time-out frees the
    // listener if the client never leaves.
    class [[nodiscard]] Answering
    {
    public:
        Answering(const Answering &) = delete;
        Answering &operator=(const Answering &) = delete;
        ~Answering();
        // False when the session was being answered already.
        explicit operator bool() const { return m_sessions != nullptr; }

    private:
        friend class FingerSessions;
        Answering(FingerSessions *sessions, int session);

        FingerSessions *m_sessions;
        int m_session;
        int m_pendingExceptions;
    };
    Answering answer(int session);

    // What a reply tells, in the wire encoding. The texts are made again only when the person
    // has edited them; the switches are read every time.
    const FingerDetails &details(const TSettings &settings);
    // Gathered once: the facts do not change while the program runs.
    const ComputerFacts &facts(const TComputerInfo &info);
    // The entry of a plan or project file, read again only when the file has changed.
    QByteArray planText(const QString &path, const QByteArray &missingText);
    // The query table's time column for the clock's current time.
    QString queryTime(const LocalTimeText::Clock &clock);

signals:
    // The session that waited for its request sent none in time; it waits no more.
    void requestTimedOut(int session);

private:
    void wait(int session);
    void stopWaiting();
    void timeOut();

    int m_waiting = -1;
    QTimer *m_requestTimer = nullptr;
    QElapsedTimer m_waitingSince;
    QSet<int> m_answering;
    TSettings m_detailsSource;
    FingerDetails m_details;
    bool m_detailsValid = false;
    ComputerFacts m_facts;
    bool m_factsValid = false;
    LocalTimeText m_queryTime{FormatQueryTime, true};
    FileTextCache m_planTexts{ReadPlanText};
};
