#include "WinSock.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

using namespace WinSock;

namespace {

struct WinSockError
{
    int code;
    const char *text;
    // The errno values that stand for the code on this system; 0 for none.
    int errnos[2];
};

// One line per code, sorted by code, so that a look-up of a text can search it.
constexpr WinSockError winSockErrors[] = {
    {WSAEINTR, "Interrupted system call", {EINTR}},
    {WSAEBADF, "Bad file number", {}},
    {WSAEACCES, "Permission denied", {EACCES, EPERM}},
    {WSAEFAULT, "Bad address", {EFAULT}},
    {WSAEINVAL, "Invalid argument", {EINVAL}},
    {WSAEMFILE, "Too many open files", {EMFILE, ENFILE}},
    {WSAEWOULDBLOCK, "Operation would block", {EAGAIN, EINPROGRESS}},
    // Another blocking call of this thread is in progress.
    {WSAEINPROGRESS, "Operation now in progress", {EBUSY}},
    {WSAEALREADY, "Operation already in progress", {EALREADY}},
    {WSAENOTSOCK, "Socket operation on non-socket", {EBADF, ENOTSOCK}},
    {WSAEDESTADDRREQ, "Destination address required", {EDESTADDRREQ}},
    {WSAEMSGSIZE, "Message too long", {EMSGSIZE}},
    {WSAEPROTOTYPE, "Protocol wrong type for socket", {EPROTOTYPE}},
    {WSAENOPROTOOPT, "Protocol not available", {ENOPROTOOPT}},
    {WSAEPROTONOSUPPORT, "Protocol not supported", {EPROTONOSUPPORT}},
    {WSAESOCKTNOSUPPORT, "Socket type not supported", {ESOCKTNOSUPPORT}},
    {WSAEOPNOTSUPP, "Operation not supported on socket", {EOPNOTSUPP}},
    {WSAEPFNOSUPPORT, "Protocol family not supported", {EPFNOSUPPORT}},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol family", {EAFNOSUPPORT}},
    {WSAEADDRINUSE, "Address already in use", {EADDRINUSE}},
    {WSAEADDRNOTAVAIL, "Can't assign requested address", {EADDRNOTAVAIL}},
    {WSAENETDOWN, "Network is down", {ENETDOWN}},
    {WSAENETUNREACH, "Network is unreachable", {ENETUNREACH}},
    {WSAENETRESET, "Network dropped connection on reset", {ENETRESET}},
    {WSAECONNABORTED, "Software caused connection abort", {ECONNABORTED, EPROTO}},
    {WSAECONNRESET, "Connection reset by peer", {ECONNRESET}},
    {WSAENOBUFS, "No buffer space available", {ENOBUFS, ENOMEM}},
    {WSAEISCONN, "Socket is already connected", {EISCONN}},
    {WSAENOTCONN, "Socket is not connected", {ENOTCONN}},
    {WSAESHUTDOWN, "Can't send after socket shutdown", {EPIPE, ESHUTDOWN}},
    {WSAETOOMANYREFS, "Too many references: can't splice", {ETOOMANYREFS}},
    {WSAETIMEDOUT, "Connection timed out", {ETIMEDOUT}},
    {WSAECONNREFUSED, "Connection refused", {ECONNREFUSED}},
    {WSAELOOP, "Too many levels of symbolic links", {ELOOP}},
    {WSAENAMETOOLONG, "File name too long", {ENAMETOOLONG}},
    {WSAEHOSTDOWN, "Host is down", {EHOSTDOWN}},
    {WSAEHOSTUNREACH, "No route to host", {EHOSTUNREACH}},
    {WSAENOTEMPTY, "Directory not empty", {ENOTEMPTY}},
    {WSAEPROCLIM, "Too many processes", {}},
    {WSAEUSERS, "Too many users", {EUSERS}},
    {WSAEDQUOT, "Disc quota exceeded", {EDQUOT}},
    {WSAESTALE, "Stale NFS file handle", {ESTALE}},
    {WSAEREMOTE, "Too many levels of remote in path", {EREMOTE}},
    {WSASYSNOTREADY, "Network sub-system is unusable", {}},
    {WSAVERNOTSUPPORTED, "WinSock DLL cannot support this application", {}},
    {WSANOTINITIALISED, "WinSock not initialized", {}},
    {WSAHOST_NOT_FOUND, "Host not found", {}},
    {WSATRY_AGAIN, "Non-authoritative host not found", {}},
    {WSANO_RECOVERY, "Non-recoverable error", {}},
    {WSANO_DATA, "No Data", {}},
};

static_assert(std::size(winSockErrors) == 50);
static_assert(std::is_sorted(std::begin(winSockErrors), std::end(winSockErrors),
                             [](const WinSockError &a, const WinSockError &b) {
                                 return a.code < b.code;
                             }));
// Two slots are enough only because the two names of "would block" are one number here.
static_assert(EWOULDBLOCK == EAGAIN);

constexpr bool eachErrnoHasOneCode()
{
    for (const WinSockError &entry : winSockErrors)
        for (const int errnoValue : entry.errnos)
            for (const WinSockError &other : winSockErrors)
                for (const int otherErrno : other.errnos)
                    if (errnoValue != 0 && errnoValue == otherErrno && &entry != &other)
                        return false;
    return true;
}
static_assert(eachErrnoHasOneCode());

} // namespace

QString SocketErrorText(int code)
{
    const auto found =
        std::lower_bound(std::begin(winSockErrors), std::end(winSockErrors), code,
                         [](const WinSockError &entry, int wanted) { return entry.code < wanted; });
    if (found != std::end(winSockErrors) && found->code == code)
        return QString::fromLatin1(found->text);
    return QStringLiteral("Not a WinSock error");
}

int winSockError(int errnoValue)
{
    if (errnoValue != 0) {
        for (const WinSockError &entry : winSockErrors)
            if (std::find(std::begin(entry.errnos), std::end(entry.errnos), errnoValue) !=
                std::end(entry.errnos))
                return entry.code;
    }
    return WSASYSNOTREADY;
}
