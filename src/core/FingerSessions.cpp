#include "FingerSessions.h"

#include "ComputerInfo.h"
#include "Sockets.h"

#include <QTimer>

#include <exception>
#include <utility>

FingerSessions::FingerSessions(QObject *parent) : QObject(parent)
{
    m_requestTimer = new QTimer(this);
    m_requestTimer->setSingleShot(true);
    connect(m_requestTimer, &QTimer::timeout, this, &FingerSessions::timeOut);
}

void FingerSessions::wait(int session)
{
    m_waiting = session;
    m_waitingSince.start();
    m_requestTimer->start(requestTimeoutMs);
}

void FingerSessions::stopWaiting()
{
    m_waiting = -1;
    m_requestTimer->stop();
}

void FingerSessions::accepted(int session)
{
    if (session != -1)
        wait(session);
}

void FingerSessions::ended(int session)
{
    if (session != -1 && session == m_waiting)
        stopWaiting();
}

bool FingerSessions::errorEndsSession(int session, int error) const
{
    const bool waitingFailed = session != -1 && session == m_waiting;
    return (error == WinSock::WSAECONNRESET || waitingFailed) && !m_answering.contains(session);
}

int FingerSessions::clientWaiting()
{
    if (m_waiting == -1 || !m_answering.isEmpty())
        return -1;
    const qint64 left = yieldAfterMs - m_waitingSince.elapsed();
    if (left <= 0) {
        const int session = m_waiting;
        stopWaiting();
        return session;
    }
    // The listener offers the waiting client only once: the timer has to remember it.
    if (m_requestTimer->remainingTime() > left)
        m_requestTimer->start(int(left));
    return -1;
}

void FingerSessions::timeOut()
{
    if (m_waiting == -1 || m_answering.contains(m_waiting))
        return;
    const int session = std::exchange(m_waiting, -1);
    emit requestTimedOut(session);
}

FingerSessions::Answering FingerSessions::answer(int session)
{
    if (m_answering.contains(session))
        return Answering(nullptr, session);
    m_answering.insert(session);
    if (session == m_waiting)
        stopWaiting();
    return Answering(this, session);
}

FingerSessions::Answering::Answering(FingerSessions *sessions, int session)
    : m_sessions(sessions), m_session(session), m_pendingExceptions(std::uncaught_exceptions())
{
}

FingerSessions::Answering::~Answering()
{
    if (!m_sessions)
        return;
    m_sessions->m_answering.remove(m_session);
    if (std::uncaught_exceptions() > m_pendingExceptions)
        m_sessions->wait(m_session);
}

const FingerDetails &FingerSessions::details(const TSettings &settings)
{
    TSettings &was = m_detailsSource;
    if (!m_detailsValid || settings.RealName != was.RealName || settings.HPhone != was.HPhone ||
        settings.OPhone != was.OPhone || settings.Login != was.Login || settings.Plan != was.Plan ||
        settings.Project != was.Project) {
        was = settings;
        m_details.RealName = settings.RealName.toLocal8Bit();
        m_details.HPhone = settings.HPhone.toLocal8Bit();
        m_details.OPhone = settings.OPhone.toLocal8Bit();
        m_details.Login = settings.Login.toLocal8Bit();
        m_details.Plan = settings.Plan;
        m_details.Project = settings.Project;
        m_detailsValid = true;
    }
    m_details.EnableList = settings.EnableList;
    m_details.EnableInfo = settings.EnableInfo;
    m_details.EnableUserInfo = settings.EnableUserInfo;
    return m_details;
}

const ComputerFacts &FingerSessions::facts(const TComputerInfo &info)
{
    if (!m_factsValid) {
        m_facts = {info.PlatformString().toLocal8Bit(), info.OsVersionHi(), info.OsVersionLo(),
                   info.ComputerName().toLocal8Bit()};
        m_factsValid = true;
    }
    return m_facts;
}

QByteArray FingerSessions::planText(const QString &path, const QByteArray &missingText)
{
    return m_planTexts.text(path, missingText);
}

QString FingerSessions::queryTime(const LocalTimeText::Clock &clock)
{
    return m_queryTime.text(clock);
}
