#pragma once

#include <QByteArray>
#include <QString>

// Gives the calling process a mount namespace of its own in which /etc/hosts holds contents,
// so that name look-ups in a test resolve to its own addresses. Needs the rights of root (in
// the process's user namespace: call it after entering the private network namespace) and
// must run before any thread exists: threads made later share the new view, earlier ones
// would not. Returns false with the reason when it cannot be done.
bool usePrivateHostsFile(const QByteArray &contents, QString *whyNot);
