#pragma once

#include <QString>

#include <optional>

// Whom to ask and where: the user name sent to the host (empty asks for the list of users)
// and the host, an IPv6 literal without its brackets.
struct FingerAddress
{
    QString name;
    QString host;

    bool operator==(const FingerAddress &) const = default;
};

// Reads a finger address as links and people write it: finger://host/name,
// finger://name@host (either with an IPv6 literal in brackets, port 79 at most) and plain
// name@host, split at the last '@' so that name@host1@host2 asks host2 for name@host1.
// Empty when the text is none of these, or holds a control character that would change the
// query sent.
std::optional<FingerAddress> parseFingerAddress(const QString &text);
