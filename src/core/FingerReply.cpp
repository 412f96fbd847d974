#include "FingerReply.h"

#include "RuntimeError.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Dashes[] = "-------------------------";
static_assert(sizeof(Dashes) == 26, "the dashes are 25 hyphen-minus characters");

constexpr char LineEnd[] = "\r\n";

RuntimeError cannotOpen(const QString &path)
{
    return RuntimeError(QStringLiteral("Cannot open file %1").arg(path));
}

bool isMissing(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { ::close(m_fd); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }

private:
    int m_fd = -1;
};

// Reads to the end of the file or to its first NUL byte, whichever comes first; nothing after
// a NUL byte is ever used, so nothing after it is read.
QByteArray readUpToNul(int fd, off_t sizeHint, const QString &path)
{
    // Plan files are small: a few kilobytes suffice until a file turns out larger.
    constexpr qsizetype MinimumChunk = 4096;
    // One byte more than the size, so that a file that did not change is read with one call
    // and the end is seen without growing the buffer.
    QByteArray data(std::max<qsizetype>(qsizetype(sizeHint) + 1, MinimumChunk), Qt::Uninitialized);
    qsizetype used = 0;
    for (;;) {
        if (used == data.size())
            data.resize(data.size() * 2);
        const ssize_t got = ::read(fd, data.data() + used, size_t(data.size() - used));
        if (got == -1) {
            if (errno == EINTR)
                continue;
            throw cannotOpen(path);
        }
        if (got == 0)
            break;
        if (const void *nul = std::memchr(data.constData() + used, '\0', size_t(got))) {
            used = static_cast<const char *>(nul) - data.constData();
            break;
        }
        used += got;
    }
    data.truncate(used);
    return data;
}

// Every line, whether it ended with CR LF, a lone CR, a lone LF or the end of the text, is
// given back followed by CR LF; an empty text has no lines.
QByteArray withCrLfLineEnds(const QByteArray &text)
{
    QByteArray entry;
    entry.reserve(text.size() + 2);
    const char *p = text.constData();
    const char *const end = p + text.size();
    while (p != end) {
        const char *lineEnd = std::find_if(p, end, [](char c) { return c == '\r' || c == '\n'; });
        entry.append(p, lineEnd - p);
        entry.append(LineEnd);
        if (lineEnd == end)
            break;
        p = lineEnd + 1;
        if (*lineEnd == '\r' && p != end && *p == '\n')
            ++p;
    }
    return entry;
}

} // namespace

RequestClass ClassifyRequest(const QByteArray &request)
{
    if (request == "\r\n" || request == "\n\r" || request == "\r" || request == "\n")
        return RequestClass::List;
    return RequestClass::User;
}

QByteArray RequestedName(const QByteArray &request)
{
    if (request.size() <= 3)
        return {};
    QByteArray name = request;
    name.removeIf([](char c) { return c == '\r' || c == '\n'; });
    return name;
}

BuiltReply BuildFingerReply(const QByteArray &request, const FingerDetails &details,
                            const ComputerFacts &facts, const PlanTextReader &readPlanText)
{
    BuiltReply reply;
    QByteArray &bytes = reply.bytes;
    // Enough for every reply but the details with a plan or a project.
    bytes.reserve(256);
    // Each line is appended piece by piece: no line is made on its own first.
    const auto line = [&bytes](std::initializer_list<QByteArrayView> pieces) {
        for (const QByteArrayView piece : pieces)
            bytes.append(piece);
        bytes.append(LineEnd);
    };
    line({"Finger Reply:"});
    line({Dashes});

    if (ClassifyRequest(request) == RequestClass::List) {
        if (details.EnableInfo) {
            line({"Information: "});
            line({"OS Type: ", facts.PlatformString});
            line({"OS Version: ", QByteArray::number(facts.OsVersionHi), ".",
                  QByteArray::number(facts.OsVersionLo)});
            line({"Computer Name: ", facts.ComputerName});
            line({Dashes});
        }
        if (details.EnableList) {
            line({"1 user logged in:"});
            line({details.Login});
        } else {
            line({"No Users logged in"});
        }
        return reply;
    }

    const QByteArray name = RequestedName(request);
    line({"Information on user: ", name});
    if (!details.EnableUserInfo) {
        line({"That information is restricted."});
        return reply;
    }
    // QByteArray::contains finds the empty text everywhere; an empty Login names nobody.
    if (details.Login.isEmpty() || !name.contains(details.Login)) {
        line({"No such user logged on."});
        return reply;
    }
    line({"Real Name: ", details.RealName});
    line({"Home Phone: ", details.HPhone});
    line({"Office Phone: ", details.OPhone});
    const auto planText = [&readPlanText](const QString &path, const QByteArray &missingText) {
        return readPlanText ? readPlanText(path, missingText) : ReadPlanText(path, missingText);
    };
    line({"Plan:"});
    line({planText(details.Plan, QByteArrayLiteral("No Plan."))});
    line({});
    line({"Project:"});
    line({planText(details.Project, QByteArrayLiteral("No Project."))});
    reply.details = true;
    return reply;
}

QByteArray ReadPlanText(const QString &path, const QByteArray &missingText)
{
    const QByteArray name = QFile::encodeName(path);
    // No file can have a name that is empty or holds a NUL byte.
    if (name.isEmpty() || name.contains('\0'))
        return missingText;

    // Only a regular file is read: opening or reading a FIFO, a device or a socket may block
    // the responder, and with it the whole program, for as long as the other side likes.
    struct stat info
    {
    };
    if (::stat(name.constData(), &info) == -1) {
        if (isMissing(errno))
            return missingText;
        throw cannotOpen(path);
    }
    if (!S_ISREG(info.st_mode))
        return missingText;

    int fd = -1;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        if (isMissing(errno))
            return missingText;
        throw cannotOpen(path);
    }
    const FileDescriptor file(fd);
    // The name may have been replaced since it was looked at: judge what was opened.
    if (::fstat(file.get(), &info) == -1)
        throw cannotOpen(path);
    if (!S_ISREG(info.st_mode))
        return missingText;

    return withCrLfLineEnds(readUpToNul(file.get(), info.st_size, path));
}
