// The finger service: its sessions and the responder.

#include "Main.h"

#include "ComputerInfo.h"
#include "Dialogs.h"
#include "FingerReply.h"
#include "FingerSessions.h"
#include "NoiseLimit.h"
#include "Sockets.h"
#include "Stat.h"
#include "TrayIcon.h"

#include <QCoreApplication>
#include <QScopeGuard>

namespace {

// Closes a session other than the one the listener may be working on, which stays its
// SessionSocket.
void disconnectSession(TSockets *sockets, int session)
{
    const int current = sockets->SessionSocket;
    sockets->SessionSocket = session;
    sockets->Disconnect();
    if (current != session)
        sockets->SessionSocket = current;
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
        // A session that is still silent gives way; this client is served in its place.
        const int yielding = fingerSessions->clientWaiting();
        if (yielding == -1) {
            log(QStringLiteral("Can not handle two queries..."));
            return;
        }
        sessionTimedOut(yielding);
    }
    QueryBusy = true;
    const int session = Sockets->Accept();
    if (session != -1 && refusePeer(Sockets, session)) {
        finishQuery();
        return;
    }
    log(QStringLiteral("Client session accepted, socket(%1) Peer IP=%2 Peer Port=%3")
            .arg(session)
            .arg(Sockets->PeerAddress(session), Sockets->PeerPort(session)));
    if (session == -1) {
        // Nothing was accepted, so nothing could ever free the listener.
        finishQuery();
        return;
    }
    fingerSessions->accepted(session);
}

void TMainForm::sessionTimedOut(int session)
{
    log(QStringLiteral("Socket: %1 timed out.").arg(session));
    disconnectSession(Sockets, session);
    finishQuery();
}

void TMainForm::SocketsSessionClosed(TSockets *, int Socket)
{
    log(QStringLiteral("Socket: %1 closed.").arg(Socket));
    // Release the descriptor, unless the responder is still at work on it: it closes it.
    if (!fingerSessions->isAnswering(Socket))
        disconnectSession(Sockets, Socket);
    fingerSessions->ended(Socket);
    finishQuery();
}

void TMainForm::SocketsErrorOccurred(TSockets *, int Socket, int Error, const QString &Msg)
{
    // The clean-up comes first: the box below waits for the person at the desktop.
    if (fingerSessions->errorEndsSession(Socket, Error)) {
        Sockets->SessionSocket = Socket;
        Sockets->Disconnect();
        fingerSessions->ended(Socket);
        finishQuery();
    }
    // A stranger can reset a thousand sessions a second: each text is shown a few times a
    // second at most, then how many more there were.
    m_remoteNoise->pass(Msg, [this](const QString &text) { showSessionError(text); });
}

void TMainForm::showSessionError(const QString &text)
{
    // One box at a time: errors that arrive while it is open go to the log instead.
    if (m_errorBoxOpen) {
        log(text);
        return;
    }
    m_errorBoxOpen = true;
    const auto boxClosed = qScopeGuard([this] { m_errorBoxOpen = false; });
    showPlainMessage(text);
}

void TMainForm::recordQuery(int session, const QByteArray &request)
{
    const QString requestText = QString::fromLocal8Bit(request);
    const QString peer = Sockets->PeerAddress(session);
    if (m_statDialog)
        m_statDialog->AppendQueryRow(peer, fingerSessions->queryTime(now), requestText);
    const QString number = QString::number(session);
    // Four lines with nothing in between: one append, the same log.
    log(QStringList{QStringLiteral("Starting send on socket(") + number +
                        QStringLiteral(") Peer IP=") + peer + QStringLiteral(" Peer Port=") +
                        Sockets->PeerPort(session),
                    QStringLiteral("Socket(") + number + QStringLiteral("), sent: ") + requestText,
                    QStringLiteral("Buffer Len: ") + QString::number(request.size()),
                    QStringLiteral("Sending data to Socket: ") + number});
    TrayIcon->setToolTip(QStringLiteral("Latest from: ") + peer);
}

void TMainForm::SocketsDataAvailable(TSockets *, int Socket)
{
    if (Socket == -1) {
        log(QStringLiteral("Error: Data from socket -1"));
        return;
    }
    const auto answering = fingerSessions->answer(Socket);
    if (!answering)
        return;

    if (Settings.Beep)
        beep();
    Sockets->SessionSocket = Socket;
    const QByteArray request = Sockets->GetText();
    recordQuery(Socket, request);
    Sockets->SessionSocket = Socket;

    QCoreApplication::processEvents();

    const QString number = QString::number(Socket);
    if (ClassifyRequest(request) == RequestClass::List)
        log(QStringLiteral("Sending user list to socket") + number + QLatin1Char(':'));
    else
        log(QStringLiteral("Socket(") + number + QStringLiteral("), asked for: ") +
            QString::fromLocal8Bit(RequestedName(request)));
    const BuiltReply reply = BuildFingerReply(
        request, fingerSessions->details(Settings), fingerSessions->facts(*ComputerInfo),
        [this](const QString &path, const QByteArray &missingText) {
            return fingerSessions->planText(path, missingText);
        });
    if (reply.details)
        log(QStringLiteral("Data len: ") + QString::number(reply.bytes.size()));

    int sent = 0;
    Sockets->SSend(Socket, reply.bytes, sent, 100);
    // The loop above may have accepted another session and moved SessionSocket to it.
    Sockets->SessionSocket = Socket;
    Sockets->Disconnect();
    finishQuery();
}
