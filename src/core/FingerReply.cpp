#include "FingerReply.h"

#include "RuntimeError.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

// Makes the reply entry while the file is read: every line, whether it ended with CR LF, a
// lone CR, a lone LF or the end of the text, followed by CR LF; an empty text has no lines.
class PlanEntry
{
public:
    explicit PlanEntry(qsizetype expectedSize) { m_entry.reserve(expectedSize); }

    // The next piece of the text; it holds no NUL byte.
    void add(QByteArrayView text)
    {
        const char *p = text.data();
        const char *const end = p + text.size();
        // A CR LF split between two pieces is one line end.
        if (std::exchange(m_afterCr, false) && p != end && *p == '\n')
            ++p;
        while (p != end) {
            const char *lineEnd =
                std::find_if(p, end, [](char c) { return c == '\r' || c == '\n'; });
            m_entry.append(p, lineEnd - p);
            if (lineEnd == end)
                break;
            m_entry.append(LineEnd);
            m_wholeLines = m_entry.size();
            p = lineEnd + 1;
            if (*lineEnd == '\r') {
                if (p == end)
                    m_afterCr = true;
                else if (*p == '\n')
                    ++p;
            }
        }
    }

    // The text went on past the limit: its last line is dropped unless it is the only one.
    void cutToWholeLines()
    {
        if (m_wholeLines > 0)
            m_entry.truncate(m_wholeLines);
    }

    QByteArray take()
    {
        if (m_entry.size() > m_wholeLines)
            m_entry.append(LineEnd);
        return std::move(m_entry);
    }

private:
    QByteArray m_entry;
    qsizetype m_wholeLines = 0; // the entry's length up to the end of its last whole line
    bool m_afterCr = false;
};

// Reads in pieces up to the first NUL byte, the limit or the size the file had when it was
// opened, whichever comes first: a file that grows while it is read is not followed.
QByteArray readPlanEntry(int fd, off_t size, const QString &path)
{
    // One byte past the limit tells whether the text goes on. Files that report no size
    // (those of the kernel's /proc) are read up to the limit.
    constexpr qsizetype PastLimit = PlanTextLimit + 1;
    const qsizetype bound = size > 0 ? qsizetype(std::min<off_t>(size, PastLimit)) : PastLimit;
    constexpr qsizetype PieceSize = 64 * 1024;
    const std::unique_ptr<char[]> piece(new char[PieceSize]);

    const qsizetype textSize = std::min(bound, PlanTextLimit);
    // Room for CR LF line ends in place of LF in a text of lines of some 30 bytes.
    PlanEntry entry(textSize + textSize / 32 + 2);
    qsizetype read = 0;
    while (read < bound) {
        const ssize_t got = ::read(fd, piece.get(), size_t(std::min(PieceSize, bound - read)));
        if (got == -1) {
            if (errno == EINTR)
                continue;
            throw cannotOpen(path);
        }
        if (got == 0)
            break;
        QByteArrayView text(piece.get(), got);
        const qsizetype nul = text.indexOf('\0');
        if (nul != -1)
            text.truncate(nul);
        if (read + text.size() > PlanTextLimit) {
            entry.add(text.first(PlanTextLimit - read));
            entry.cutToWholeLines();
            break;
        }
        entry.add(text);
        read += got;
        if (nul != -1)
            break;
    }
    return entry.take();
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
    // The two texts beside the reply and no more copies: room for both is made at once.
    const QByteArray plan = planText(details.Plan, QByteArrayLiteral("No Plan."));
    const QByteArray project = planText(details.Project, QByteArrayLiteral("No Project."));
    bytes.reserve(bytes.size() + plan.size() + project.size() + 32);
    line({"Plan:"});
    line({plan});
    line({});
    line({"Project:"});
    line({project});
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

    return readPlanEntry(file.get(), info.st_size, path);
}
