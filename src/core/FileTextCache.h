#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <ctime>
#include <functional>
#include <sys/types.h>

// The texts of the plan and project files, kept by the identity of the file they were read
// from: a query whose file did not change since costs one look at the file's identity instead
// of opening and reading it. Any difference in device, inode, size, type, modification or
// change time, or any failure to look, reads the file again with the reader's own rules.
//
// A file changed within the same tick of the file system's clock may keep all of its
// timestamps, so a text is only kept once the file's last change lies further back than any
// file system clock is coarse: a file changed moments ago is read at every query until then.
class FileTextCache
{
public:
    // Reads a file's text, or gives missingText; may throw, which passes through untouched.
    using Reader = std::function<QByteArray(const QString &path, const QByteArray &missingText)>;
    // The current wall-clock time; the system's when empty.
    using Clock = std::function<timespec()>;

    // How long ago a file must have changed for its text to be kept.
    static constexpr int SettledSeconds = 2;
    // Paths remembered at most: the plan and the project, and the ones just replaced.
    static constexpr qsizetype MaximumEntries = 4;

    explicit FileTextCache(Reader reader, Clock clock = {});

    QByteArray text(const QString &path, const QByteArray &missingText);

private:
    struct Identity
    {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        mode_t mode = 0;
        timespec modified{};
        timespec changed{};
        bool operator==(const Identity &other) const;
    };
    struct Entry
    {
        QString path;
        QByteArray missingText;
        Identity identity;
        QByteArray text;
    };

    timespec now() const;
    void forget(const QString &path);

    Reader m_reader;
    Clock m_clock;
    QList<Entry> m_entries; // the most recently stored last
};
