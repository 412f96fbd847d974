#include "FingerAddress.h"

#include <QUrl>

#include <arpa/inet.h>

namespace {

bool isIpv6Literal(const QString &text)
{
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.toLatin1().constData(), &address) == 1;
}

// A name with a line end or another control character would send more than one request line.
bool hasControlCharacter(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

// A host as written after the '@': a name or IPv4 address, or an IPv6 literal, bracketed or
// not. Returns it without brackets, or empty when it is no host.
QString plainHost(QString host)
{
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
        return isIpv6Literal(host) ? host : QString();
    }
    if (host.contains(QLatin1Char(':')))
        return isIpv6Literal(host) ? host : QString();
    for (QChar c : std::as_const(host))
        if (c.isSpace() || c == QLatin1Char('/') || c == QLatin1Char('[') || c == QLatin1Char(']'))
            return QString();
    return host;
}

std::optional<FingerAddress> checked(FingerAddress address)
{
    if (address.host.isEmpty() || hasControlCharacter(address.name) ||
        hasControlCharacter(address.host))
        return std::nullopt;
    return address;
}

std::optional<FingerAddress> parseUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.hasQuery() || url.hasFragment() || url.port(79) != 79)
        return std::nullopt;
    QString path = url.path(QUrl::FullyDecoded);
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    const QString user = url.userName(QUrl::FullyDecoded);
    // finger://name@host/other names two users.
    if (!user.isEmpty() && !path.isEmpty())
        return std::nullopt;
    if (!url.password().isNull())
        return std::nullopt;
    return checked({user.isEmpty() ? path : user, url.host(QUrl::FullyDecoded)});
}

std::optional<FingerAddress> parsePlain(QStringView text)
{
    const qsizetype at = text.lastIndexOf(QLatin1Char('@'));
    if (at == -1)
        return std::nullopt;
    return checked({text.left(at).toString(), plainHost(text.mid(at + 1).toString())});
}

} // namespace

std::optional<FingerAddress> parseFingerAddress(const QString &text)
{
    const QLatin1String scheme("finger:");
    if (!text.startsWith(scheme, Qt::CaseInsensitive))
        return parsePlain(text);
    const QStringView rest = QStringView(text).mid(scheme.size());
    // finger:name@host, without an authority, reads as the plain form.
    return rest.startsWith(QLatin1String("//")) ? parseUrl(text) : parsePlain(rest);
}
