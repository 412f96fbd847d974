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

namespace {

FingerDetails fingerDetails()
{
    FingerDetails details;
    details.RealName = Settings.RealName.toLocal8Bit();
    details.HPhone = Settings.HPhone.toLocal8Bit();
    details.OPhone = Settings.OPhone.toLocal8Bit();
    details.Login = Settings.Login.toLocal8Bit();
    details.Plan = Settings.Plan;
    details.Project = Settings.Project;
    details.EnableList = Settings.EnableList;
    details.EnableInfo = Settings.EnableInfo;
    details.EnableUserInfo = Settings.EnableUserInfo;
    return details;
}

} // namespace

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
        m_statDialog->AppendQueryRow(peer, FormatQueryTime(now(), QLocale::system()), requestText);
    log(QStringLiteral("Starting send on socket(%1) Peer IP=%2 Peer Port=%3")
            .arg(Socket)
            .arg(peer, Sockets->PeerPort(Socket)));
    log(QStringLiteral("Socket(%1), sent: ").arg(Socket) + requestText);
    log(QStringLiteral("Buffer Len: %1").arg(request.size()));
    log(QStringLiteral("Sending data to Socket: %1").arg(Socket));
    TrayIcon->setToolTip(QStringLiteral("Latest from: ") + peer);
    Sockets->SessionSocket = Socket;
    const RequestClass requestClass = ClassifyRequest(request);
    reply += ReplyHeaderLines();

    QCoreApplication::processEvents();

    if (requestClass == RequestClass::List) {
        log(QStringLiteral("Sending user list to socket%1:").arg(Socket));
        const ComputerFacts facts{ComputerInfo->PlatformString().toLocal8Bit(),
                                  ComputerInfo->OsVersionHi(), ComputerInfo->OsVersionLo(),
                                  ComputerInfo->ComputerName().toLocal8Bit()};
        reply += ListReplyLines(fingerDetails(), facts);
    } else {
        const QByteArray name = RequestedName(request);
        log(QStringLiteral("Socket(%1), asked for: ").arg(Socket) + QString::fromLocal8Bit(name));
        const UserReply user = UserReplyLines(name, fingerDetails());
        reply += user.lines;
        if (user.details)
            log(QStringLiteral("Data len: %1").arg(JoinReplyLines(reply).size()));
    }

    int sent = 0;
    Sockets->SSend(Socket, JoinReplyLines(reply), sent, 100);
    // The loop above may have accepted another session and moved SessionSocket to it.
    Sockets->SessionSocket = Socket;
    Sockets->Disconnect();
    finishQuery();
}
