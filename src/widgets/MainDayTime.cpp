// The daytime service.

#include "Main.h"

#include "DayTime.h"
#include "Sockets.h"

#include <QLocale>

void TMainForm::Sockets1SessionAvailable(TSockets *, int)
{
    const int session = Sockets1->Accept();
    log(QStringLiteral("Daytime req, socket(%1) Peer IP=%2 Peer Port=%3")
            .arg(session)
            .arg(Sockets1->PeerAddress(session), Sockets1->PeerPort(session)));
}

QByteArray TMainForm::dayTimeReply()
{
    // The reply changes once a minute: within a second it is made once.
    const QLocale locale = QLocale::system();
    const qint64 second = currentSecond();
    if (m_dayTime.isNull() || second != m_dayTimeSecond || locale != m_dayTimeLocale) {
        m_dayTime = FormatDayTime(localNow(), locale).toLocal8Bit();
        m_dayTimeSecond = second;
        m_dayTimeLocale = locale;
    }
    return m_dayTime;
}

void TMainForm::Sockets1DataNeeded(TSockets *, int Socket)
{
    Sockets1->SessionSocket = Socket;
    log(QStringLiteral("DayTime req:") + QString::number(Socket));
    Sockets1->SetText(dayTimeReply());
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
    log(QStringLiteral("Daytime error: ") + Msg + QStringLiteral(" :") + QString::number(Error));
}
