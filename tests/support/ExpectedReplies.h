#pragma once

// The replies a finger client must get, written out line by line from the protocol rather
// than taken from the program: the tests compare what the reply builder makes, and what the
// running service sends, with these.

#include "FingerReply.h"

#include <QByteArray>
#include <QByteArrayList>

namespace ExpectedReplies {

inline const QByteArray Dashes = "-------------------------";

// Every entry followed by CR LF, the last one included.
inline QByteArray crlfLines(const QByteArrayList &entries)
{
    QByteArray bytes;
    for (const QByteArray &entry : entries)
        bytes += entry + "\r\n";
    return bytes;
}

// What opens every reply.
inline QByteArray header()
{
    return crlfLines({"Finger Reply:", Dashes});
}

// The computer facts of a list reply (EnableInfo).
inline QByteArray information(const ComputerFacts &facts)
{
    return crlfLines({"Information: ", "OS Type: " + facts.PlatformString,
                      "OS Version: " + QByteArray::number(facts.OsVersionHi) + "." +
                          QByteArray::number(facts.OsVersionLo),
                      "Computer Name: " + facts.ComputerName, Dashes});
}

// The end of a list reply: the user (EnableList), or nobody.
inline QByteArray listed(const QByteArray &login)
{
    return crlfLines({"1 user logged in:", login});
}

inline QByteArray unlisted()
{
    return crlfLines({"No Users logged in"});
}

// A reply to a user request: the name asked for, then body.
inline QByteArray userReply(const QByteArray &name, const QByteArray &body)
{
    return header() + crlfLines({"Information on user: " + name}) + body;
}

inline QByteArray noSuchUser(const QByteArray &name)
{
    return userReply(name, crlfLines({"No such user logged on."}));
}

inline QByteArray restricted(const QByteArray &name)
{
    return userReply(name, crlfLines({"That information is restricted."}));
}

// The user's details, those of the default settings unless given. plan and project are the
// reply entries: a file's lines, each ended with CR LF, or the text for no file.
struct Details
{
    QByteArray realName = "Unknown";
    QByteArray homePhone = "-";
    QByteArray officePhone = "-";
    QByteArray plan = "No Plan.";
    QByteArray project = "No Project.";
};

inline QByteArray detailsBody(const Details &details)
{
    return crlfLines({"Real Name: " + details.realName, "Home Phone: " + details.homePhone,
                      "Office Phone: " + details.officePhone, "Plan:", details.plan, "",
                      "Project:", details.project});
}

inline QByteArray detailsReply(const QByteArray &name, const Details &details = {})
{
    return userReply(name, detailsBody(details));
}

} // namespace ExpectedReplies
