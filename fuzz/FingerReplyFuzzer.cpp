// libFuzzer target: how a request is classified and answered, and how a plan file becomes a
// reply entry. The first byte chooses the switches and what the rest of the input is: a request
// as it came off the wire, or the text of a plan file.

#include "FingerReply.h"
#include "RuntimeError.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_fingerreply: %s\n", what);
    std::abort();
}

void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

// The plan entry written out from the rule: lines end at CR LF, a lone CR or a lone LF; each
// line is given back with CR LF; nothing from the first NUL byte on is used.
QByteArray expectedPlanEntry(QByteArray text)
{
    const qsizetype nul = text.indexOf('\0');
    if (nul != -1)
        text.truncate(nul);
    QByteArray entry;
    QByteArray line;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        entry += line + "\r\n";
        line.clear();
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
    }
    if (!line.isEmpty())
        entry += line + "\r\n";
    return entry;
}

QString planPath()
{
    static const QString path =
        QDir::tempPath() + QStringLiteral("/fuzz_fingerreply-%1.plan").arg(::getpid());
    return path;
}

void fuzzRequest(const QByteArray &request, FingerDetails details)
{
    const bool list = request == "\r\n" || request == "\n\r" || request == "\r" || request == "\n";
    check((ClassifyRequest(request) == RequestClass::List) == list, "classification");

    const ComputerFacts facts{"Unknown", 6, 1, "labhost"};
    const BuiltReply reply = BuildFingerReply(request, details, facts);
    const QByteArray &bytes = reply.bytes;
    const QByteArray header = "Finger Reply:\r\n-------------------------\r\n";
    check(bytes.startsWith(header) && bytes.endsWith("\r\n"), "reply header and end");
    if (list) {
        check(bytes.endsWith(details.EnableList ? "\r\n" + details.Login + "\r\n"
                                                : QByteArray("\r\nNo Users logged in\r\n")),
              "list reply ends with the user or nobody");
        check(!reply.details, "no details in a list reply");
        return;
    }
    const QByteArray name = RequestedName(request);
    const qsizetype lineEnds = request.count('\r') + request.count('\n');
    check(request.size() <= 3 ? name.isEmpty() : name.size() == request.size() - lineEnds,
          "requested name keeps every byte but CR and LF");
    check(!name.contains('\r') && !name.contains('\n'), "no line end in the name");
    const QByteArray asked = header + "Information on user: " + name + "\r\n";
    check(bytes.startsWith(asked), "name repeated");
    const bool login = !details.Login.isEmpty() && name.contains(details.Login);
    check(reply.details == (details.EnableUserInfo && login), "details only for the login");
    if (!reply.details) {
        const QByteArray refusal = details.EnableUserInfo ? "No such user logged on.\r\n"
                                                          : "That information is restricted.\r\n";
        check(bytes == asked + refusal, "one refusal line after the name");
    }
}

void fuzzPlan(const QByteArray &text)
{
    QFile file(planPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        fail("cannot write the plan file");
    file.close();
    try {
        check(ReadPlanText(planPath(), "No Plan.") == expectedPlanEntry(text), "plan entry");
    } catch (const RuntimeError &) {
        fail("a readable plan file was reported as unreadable");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t flags = data[0];
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    if (flags & 0x80) {
        fuzzPlan(rest);
        return 0;
    }
    FingerDetails details;
    details.RealName = "Ada Lovelace";
    details.HPhone = details.OPhone = "-";
    details.Login = (flags & 0x08) ? QByteArray() : QByteArray("lab_user");
    details.EnableList = flags & 0x01;
    details.EnableInfo = flags & 0x02;
    details.EnableUserInfo = flags & 0x04;
    fuzzRequest(rest, details);
    return 0;
}
