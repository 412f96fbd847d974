// The daytime service.

#include "Main.h"

#include "DayTime.h"
#include "NoiseLimit.h"
#include "Sockets.h"

void TMainForm::Sockets1SessionAvailable(TSockets *, int)
{
    const int session = Sockets1->Accept();
    if (session != -1 && refusePeer(Sockets1, session))
        return;
    log(QStringLiteral("Daytime req, socket(%1) Peer IP=%2 Peer Port=%3")
            .arg(session)
            .arg(Sockets1->PeerAddress(session), Sockets1->PeerPort(session)));
}

void TMainForm::Sockets1DataNeeded(TSockets *, int Socket)
{
    Sockets1->SessionSocket = Socket;
    log(QStringLiteral("DayTime req:") + QString::number(Socket));
    // The reply changes once a minute: within a second it is made once.
    Sockets1->SetText(m_dayTime.bytes(now));
    Sockets1->Disconnect();
    log(QStringLiteral("DayTime Closed."));
}

void TMainForm::Sockets1SessionClosed(TSockets *, int Socket)
{
    // The session is closed by the writable notification that always follows an accept.
    log(QStringLiteral("Socket: %1 closed.").arg(Socket));
}

void TMainForm::Sockets1ErrorOccurred(TSockets *, int, int Error, const QString &Msg)
{
    // Peers cause these (resets, accepts that fail while descriptors are short): a few a
    // second at most, then how many more there were.
    m_remoteNoise->pass(QStringLiteral("Daytime error: ") + Msg + QStringLiteral(" :") +
                            QString::number(Error),
                        [this](const QString &line) { log(line); });
}
