#include "FileTextCache.h"
#include "FingerReply.h"
#include "RuntimeError.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

enum class Edit { None, SameSizeKeptTimes, SameSizeNewNanoseconds, Replaced, Grown, Removed };

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

struct stat statOf(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) == -1)
        qFatal("cannot stat %s", qPrintable(path));
    return info;
}

// Gives the file the modification time given: the same second, perhaps other nanoseconds.
void setModified(const QString &path, timespec modified)
{
    const timespec times[2] = {modified, modified};
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == -1)
        qFatal("cannot set the times of %s", qPrintable(path));
}

timespec anHourAhead()
{
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    time.tv_sec += 3600;
    return time;
}

} // namespace

class TestFileTextCache : public QObject
{
    Q_OBJECT

private slots:
    void change_data();
    void change();
    void failedReadIsNotKept();

private:
    QTemporaryDir m_dir;
};

void TestFileTextCache::change_data()
{
    QTest::addColumn<Edit>("edit");
    // Settled: the clock runs an hour ahead, so the file's last change counts as long past.
    QTest::addColumn<bool>("settled");
    QTest::addColumn<QByteArray>("secondText");
    QTest::addColumn<int>("reads");

    const QByteArray oldText = "first\r\n";
    const QByteArray newText = "other\r\n";
    QTest::addRow("unchanged, settled") << Edit::None << true << oldText << 1;
    QTest::addRow("unchanged, just written") << Edit::None << false << oldText << 2;
    // A same-size edit in the same second whose modification time is put back: only the
    // change time, perhaps within the same clock tick, tells. A fresh file is never kept.
    QTest::addRow("same size, times kept, just written")
        << Edit::SameSizeKeptTimes << false << newText << 2;
    QTest::addRow("same size, same second, settled")
        << Edit::SameSizeNewNanoseconds << true << newText << 2;
    QTest::addRow("replaced by a new inode, settled") << Edit::Replaced << true << newText << 2;
    QTest::addRow("grown, settled") << Edit::Grown << true << QByteArray("first\r\nmore\r\n") << 2;
    QTest::addRow("removed, settled") << Edit::Removed << true << QByteArray("No Plan.") << 2;
}

void TestFileTextCache::change()
{
    QFETCH(Edit, edit);
    QFETCH(bool, settled);
    QFETCH(QByteArray, secondText);
    QFETCH(int, reads);

    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    writeFile(path, "first\n");
    int readCount = 0;
    FileTextCache cache(
        [&readCount](const QString &file, const QByteArray &missingText) {
            ++readCount;
            return ReadPlanText(file, missingText);
        },
        settled ? FileTextCache::Clock(anHourAhead) : FileTextCache::Clock());
    QCOMPARE(cache.text(path, "No Plan."), QByteArray("first\r\n"));

    const struct stat before = statOf(path);
    switch (edit) {
    case Edit::None:
        break;
    case Edit::SameSizeKeptTimes:
        writeFile(path, "other\n");
        setModified(path, before.st_mtim);
        break;
    case Edit::SameSizeNewNanoseconds:
        writeFile(path, "other\n");
        setModified(path, {before.st_mtim.tv_sec, (before.st_mtim.tv_nsec + 1) % 1000000000});
        break;
    case Edit::Replaced: {
        const QString replacement = path + QStringLiteral(".new");
        writeFile(replacement, "other\n");
        setModified(replacement, before.st_mtim);
        QVERIFY(::rename(QFile::encodeName(replacement).constData(),
                         QFile::encodeName(path).constData()) == 0);
        QCOMPARE_NE(statOf(path).st_ino, before.st_ino);
        break;
    }
    case Edit::Grown:
        writeFile(path, "first\nmore\n");
        break;
    case Edit::Removed:
        QVERIFY(QFile::remove(path));
        break;
    }

    QCOMPARE(cache.text(path, "No Plan."), secondText);
    QCOMPARE(readCount, reads);
}

void TestFileTextCache::failedReadIsNotKept()
{
    const QString path = m_dir.filePath(QStringLiteral("failing"));
    writeFile(path, "text\n");
    int readCount = 0;
    FileTextCache cache(
        [&readCount](const QString &file, const QByteArray &missingText) -> QByteArray {
            if (++readCount == 1)
                throw RuntimeError(QStringLiteral("Cannot open file ") + file);
            return ReadPlanText(file, missingText);
        },
        anHourAhead);
    QVERIFY_THROWS_EXCEPTION(RuntimeError, cache.text(path, "No Plan."));
    QCOMPARE(cache.text(path, "No Plan."), QByteArray("text\r\n"));
    QCOMPARE(cache.text(path, "No Plan."), QByteArray("text\r\n"));
    QCOMPARE(readCount, 2);
}

QTEST_GUILESS_MAIN(TestFileTextCache)
#include "tst_filetextcache.moc"
