#include "FileTextCache.h"

#include <QFile>

#include <sys/stat.h>
#include <utility>

namespace {

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

bool FileTextCache::Identity::operator==(const Identity &other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           mode == other.mode && sameTime(modified, other.modified) &&
           sameTime(changed, other.changed);
}

FileTextCache::FileTextCache(Reader reader, Clock clock)
    : m_reader(std::move(reader)), m_clock(std::move(clock))
{
}

timespec FileTextCache::now() const
{
    if (m_clock)
        return m_clock();
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    return time;
}

void FileTextCache::forget(const QString &path)
{
    m_entries.removeIf([&path](const Entry &entry) { return entry.path == path; });
}

QByteArray FileTextCache::text(const QString &path, const QByteArray &missingText)
{
    const QByteArray name = QFile::encodeName(path);
    // Names no file can have, and paths that are no file at all, cost the reader nothing.
    if (name.isEmpty() || name.contains('\0'))
        return m_reader(path, missingText);

    // Taken before the file is looked at: whatever changes the file from here on gives it a
    // change time no earlier than this, less one tick of the file system's clock.
    const timespec lookedAt = now();
    struct stat info
    {
    };
    if (::stat(name.constData(), &info) == -1) {
        forget(path);
        return m_reader(path, missingText);
    }
    const Identity identity{info.st_dev,  info.st_ino,  info.st_size,
                            info.st_mode, info.st_mtim, info.st_ctim};
    for (const Entry &entry : std::as_const(m_entries)) {
        if (entry.path == path && entry.missingText == missingText && entry.identity == identity)
            return entry.text;
    }

    forget(path);
    QByteArray text = m_reader(path, missingText);
    // The text was read after the identity was taken: if the file changed in between, its
    // identity differs from the one kept and the next query reads it again. Only a change
    // within the same clock tick as the last one could hide, hence the settled files alone.
    const bool settled = info.st_ctim.tv_sec < lookedAt.tv_sec - SettledSeconds;
    if (S_ISREG(info.st_mode) && settled) {
        if (m_entries.size() >= MaximumEntries)
            m_entries.removeFirst();
        m_entries.append({path, missingText, identity, text});
    }
    return text;
}
