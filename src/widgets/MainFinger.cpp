// The finger service: its sessions and the responder.

#include "Main.h"

#include "ComputerInfo.h"
#include "DayTime.h"
#include "Dialogs.h"
#include "FingerReply.h"
#include "Sockets.h"
#include "Stat.h"
#include "TrayIcon.h"

#include <QCoreApplication>
#include <QLocale>
#include <QScopeGuard>
#include <QTimer>

#include <exception>

const FingerDetails &TMainForm::fingerDetails()
{
    // The settings change only when the person edits them; the texts in the wire encoding are
    // made again only then, not for every query.
    const TSettings &now = Settings;
    TSettings &was = m_detailsSource;
    if (!m_detailsValid || now.RealName != was.RealName || now.HPhone != was.HPhone ||
        now.OPhone != was.OPhone || now.Login != was.Login || now.Plan != was.Plan ||
        now.Project != was.Project) {
        was = now;
        m_details.RealName = now.RealName.toLocal8Bit();
        m_details.HPhone = now.HPhone.toLocal8Bit();
        m_details.OPhone = now.OPhone.toLocal8Bit();
        m_details.Login = now.Login.toLocal8Bit();
        m_details.Plan = now.Plan;
        m_details.Project = now.Project;
        m_detailsValid = true;
    }
    m_details.EnableList = now.EnableList;
    m_details.EnableInfo = now.EnableInfo;
    m_details.EnableUserInfo = now.EnableUserInfo;
    return m_details;
}

const ComputerFacts &TMainForm::computerFacts()
{
    // Gathered once at start: they do not change while the program runs.
    if (!m_factsValid) {
        m_facts = {ComputerInfo->PlatformString().toLocal8Bit(), ComputerInfo->OsVersionHi(),
                   ComputerInfo->OsVersionLo(), ComputerInfo->ComputerName().toLocal8Bit()};
        m_factsValid = true;
    }
    return m_facts;
}

QString TMainForm::queryTime()
{
    // Many queries arrive within one second: its text is made once. A locale whose long time
    // shows fractions of a second is asked every time.
    const QLocale locale = QLocale::system();
    const qint64 second = currentSecond();
    if (!m_queryTime.isNull() && second == m_queryTimeSecond && locale == m_queryTimeLocale)
        return m_queryTime;
    m_queryTime = FormatQueryTime(localNow(), locale);
    const bool fractions = locale.timeFormat(QLocale::LongFormat).contains(QLatin1Char('z'));
    m_queryTimeSecond = fractions ? -1 : second;
    m_queryTimeLocale = locale;
    return m_queryTime;
}

void TMainForm::finishQuery()
{
    QueryBusy = false;
    // A client that knocked while we were busy was never accepted: offer it again.
    Sockets->ResumeAccepting();
}

void TMainForm::SocketsSessionAvailable(TSockets *, int)
{
    if (QueryBusy) {
        log(QStringLiteral("Can not handle two queries..."));
        return;
    }
    QueryBusy = true;
    const int session = Sockets->Accept();
    log(QStringLiteral("Client session accepted, socket(%1) Peer IP=%2 Peer Port=%3")
            .arg(session)
            .arg(Sockets->PeerAddress(session), Sockets->PeerPort(session)));
    if (session == -1) {
        // Nothing was accepted, so nothing could ever free the listener.
        finishQuery();
        return;
    }
    m_session = session;
    m_requestTimer->start(requestTimeoutMs);
}

void TMainForm::sessionTimedOut()
{
    if (m_session == -1 || m_answering.contains(m_session))
        return;
    const int session = std::exchange(m_session, -1);
    log(QStringLiteral("Socket: %1 timed out.").arg(session));
    const int current = Sockets->SessionSocket;
    Sockets->SessionSocket = session;
    Sockets->Disconnect();
    if (current != session)
        Sockets->SessionSocket = current;
    finishQuery();
}

void TMainForm::SocketsSessionClosed(TSockets *, int Socket)
{
    log(QStringLiteral("Socket: %1 closed.").arg(Socket));
    // Release the descriptor, unless the responder is still at work on it: it closes it.
    if (!m_answering.contains(Socket)) {
        const int current = Sockets->SessionSocket;
        Sockets->SessionSocket = Socket;
        Sockets->Disconnect();
        if (current != Socket)
            Sockets->SessionSocket = current;
    }
    if (Socket == m_session) {
        m_session = -1;
        m_requestTimer->stop();
    }
    finishQuery();
}

void TMainForm::SocketsErrorOccurred(TSockets *, int Socket, int Error, const QString &Msg)
{
    // The clean-up comes first, so that a remote peer can never make the service wait for
    // the person at the desktop: a reset, or any failure of the waiting session, frees the
    // listener at once. A session whose reply is being built is closed by the responder.
    const bool sessionFailed = Socket != -1 && Socket == m_session;
    if ((Error == WinSock::WSAECONNRESET || sessionFailed) && !m_answering.contains(Socket)) {
        Sockets->SessionSocket = Socket;
        Sockets->Disconnect();
        if (sessionFailed) {
            m_session = -1;
            m_requestTimer->stop();
        }
        finishQuery();
    }
    // One box at a time: errors that arrive while it is open go to the log instead.
    if (m_errorBoxOpen) {
        log(Msg);
        return;
    }
    m_errorBoxOpen = true;
    const auto boxClosed = qScopeGuard([this] { m_errorBoxOpen = false; });
    showPlainMessage(Msg);
}

void TMainForm::SocketsDataAvailable(TSockets *, int Socket)
{
    QByteArrayList reply;
    if (Socket == -1) {
        log(QStringLiteral("Error: Data from socket -1"));
        return;
    }
    // While the message loop runs below, more data of the same session may be announced:
    // that session gets one reply only.
    if (m_answering.contains(Socket))
        return;
    m_answering.insert(Socket);
    if (Socket == m_session) {
        m_session = -1;
        m_requestTimer->stop();
    }
    const int pendingExceptions = std::uncaught_exceptions();
    const auto leave = qScopeGuard([this, Socket, pendingExceptions] {
        m_answering.remove(Socket);
        // A reply abandoned by an error (an unreadable plan file) leaves the session open:
        // let the request timer free the listener if the client never leaves.
        if (std::uncaught_exceptions() > pendingExceptions) {
            m_session = Socket;
            m_requestTimer->start(requestTimeoutMs);
        }
    });

    if (Settings.Beep)
        beep();
    Sockets->SessionSocket = Socket;
    const QByteArray request = Sockets->GetText();
    const QString requestText = QString::fromLocal8Bit(request);
    const QString peer = Sockets->PeerAddress(Socket);
    if (m_statDialog)
        m_statDialog->AppendQueryRow(peer, queryTime(), requestText);
    const QString number = QString::number(Socket);
    // Four lines with nothing in between: one append, the same log.
    log(QStringList{QStringLiteral("Starting send on socket(") + number +
                        QStringLiteral(") Peer IP=") + peer + QStringLiteral(" Peer Port=") +
                        Sockets->PeerPort(Socket),
                    QStringLiteral("Socket(") + number + QStringLiteral("), sent: ") + requestText,
                    QStringLiteral("Buffer Len: ") + QString::number(request.size()),
                    QStringLiteral("Sending data to Socket: ") + number});
    TrayIcon->setToolTip(QStringLiteral("Latest from: ") + peer);
    Sockets->SessionSocket = Socket;
    const RequestClass requestClass = ClassifyRequest(request);
    reply += ReplyHeaderLines();

    QCoreApplication::processEvents();

    bool details = false;
    if (requestClass == RequestClass::List) {
        log(QStringLiteral("Sending user list to socket") + number + QLatin1Char(':'));
        reply += ListReplyLines(fingerDetails(), computerFacts());
    } else {
        const QByteArray name = RequestedName(request);
        log(QStringLiteral("Socket(") + number + QStringLiteral("), asked for: ") +
            QString::fromLocal8Bit(name));
        UserReply user = UserReplyLines(name, fingerDetails());
        reply += std::move(user.lines);
        details = user.details;
    }
    // The reply is joined once, for its length and for the wire.
    const QByteArray bytes = JoinReplyLines(reply);
    if (details)
        log(QStringLiteral("Data len: ") + QString::number(bytes.size()));

    int sent = 0;
    Sockets->SSend(Socket, bytes, sent, 100);
    // The loop above may have accepted another session and moved SessionSocket to it.
    Sockets->SessionSocket = Socket;
    Sockets->Disconnect();
    finishQuery();
}
