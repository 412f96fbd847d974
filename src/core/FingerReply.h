#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The parts of a finger answer that need no socket and no window: how a request is read and
// which lines the reply holds. All texts are bytes in the wire encoding.

enum class RequestClass { List, User };

// List exactly for CR LF, LF CR, CR and LF; everything else, the empty request included, asks
// for a user.
RequestClass ClassifyRequest(const QByteArray &request);

// The name a user request asks for: a request of more than 3 bytes with every CR and LF
// removed, wherever they stand; a shorter one names nobody (empty).
QByteArray RequestedName(const QByteArray &request);

// What a reply may tell; texts already in the wire encoding.
struct FingerDetails
{
    QByteArray RealName, HPhone, OPhone, Login;
    QString Plan, Project; // file paths
    bool EnableList = true, EnableInfo = true, EnableUserInfo = true;
};

struct ComputerFacts
{
    QByteArray PlatformString;
    int OsVersionHi = 0;
    int OsVersionLo = 0;
    QByteArray ComputerName;
};

// A reply as it goes on the wire: every line followed by CR LF, the last one included.
struct BuiltReply
{
    QByteArray bytes;
    bool details = false; // the user's details were given (only then is the reply length logged)
};

// The reply to a request: "Finger Reply:" and the dashes, then for a list request the computer
// facts (EnableInfo) and the user or nobody (EnableList); for a user request the name asked
// for, then a refusal, "No such user logged on." or the user's details with the plan and
// project texts. Throws RuntimeError when a plan or project file exists but cannot be read.
// readPlanText gives the entry of the plan and of the project; ReadPlanText when empty.
using PlanTextReader =
    std::function<QByteArray(const QString &path, const QByteArray &missingText)>;
BuiltReply BuildFingerReply(const QByteArray &request, const FingerDetails &details,
                            const ComputerFacts &facts, const PlanTextReader &readPlanText = {});

// The most of a plan or project file that a reply carries: 4 MiB of text.
inline constexpr qsizetype PlanTextLimit = 4 * 1024 * 1024;

// The reply entry for a plan or project file: its lines, each ended with CR LF, up to the
// first NUL byte and to the size the file had when it was opened. Text past PlanTextLimit is
// left out from the end of the last whole line within the limit (a text without a line end
// there is cut at the limit). An empty path, a missing file or anything but a regular file
// gives missingText. Throws RuntimeError ("Cannot open file <path>") when the file exists but
// cannot be opened or read.
QByteArray ReadPlanText(const QString &path, const QByteArray &missingText);
