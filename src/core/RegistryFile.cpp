#include "RegistryFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr QStringView Regedit4Header = u"REGEDIT4";
constexpr QStringView Regedit5Header = u"Windows Registry Editor Version 5.00";
// Far beyond any settings file; a bigger file is not read into memory but still kept.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;
constexpr qsizetype HexLineWidth = 76;

bool isBlank(const QStringList &lines)
{
    return lines.size() == 1 && lines.first().trimmed().isEmpty();
}

int hexDigitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

bool isHexNumber(QStringView digits, qsizetype maxDigits)
{
    if (digits.isEmpty() || digits.size() > maxDigits)
        return false;
    for (QChar c : digits) {
        if (hexDigitValue(c) < 0)
            return false;
    }
    return true;
}

// Reads a quoted name or text at pos, in which only \\ and \" are escapes; any other
// backslash stands for itself, as hand-written paths like "C:\plan.txt" expect.
bool readQuoted(QStringView line, qsizetype &pos, QString &out)
{
    if (pos >= line.size() || line[pos] != u'"')
        return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        const QChar c = line[pos];
        if (c == u'"') {
            ++pos;
            return true;
        }
        if (c == u'\\' && pos + 1 < line.size() &&
            (line[pos + 1] == u'\\' || line[pos + 1] == u'"')) {
            out += line[++pos];
            continue;
        }
        out += c;
    }
    return false;
}

QString quoted(const QString &text)
{
    QString out = text;
    out.replace(u'\\', QStringLiteral("\\\\"));
    out.replace(u'"', QStringLiteral("\\\""));
    return u'"' + out + u'"';
}

// 8-bit text: UTF-8 where it is valid, otherwise Latin-1, as an export from an 8-bit system
// holds it. Both read the same for ASCII.
QString eightBitText(QByteArrayView bytes)
{
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

// The file's text, decided line by line, so that one Latin-1 line (a name typed on an older
// system) leaves the UTF-8 of the others alone.
QString decodeFileText(const QByteArray &bytes)
{
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString text;
    text.reserve(bytes.size());
    for (qsizetype start = 0; start < bytes.size();) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline + 1;
        text += eightBitText(QByteArrayView(bytes).sliced(start, end - start));
        start = end;
    }
    return text;
}

// String data in hex form: UTF-16LE in version 5 files, the 8-bit text in REGEDIT4 files,
// where a UTF-16LE value pasted from a newer export still shows by its double NUL.
QString decodeText(const QByteArray &bytes, bool unicodeFile)
{
    const bool utf16 = unicodeFile || (bytes.size() >= 2 && bytes.size() % 2 == 0 &&
                                       bytes.endsWith(QByteArray(2, '\0')));
    QString text =
        utf16 ? QStringDecoder(QStringConverter::Utf16LE).decode(bytes) : eightBitText(bytes);
    const qsizetype end = text.indexOf(QChar(0));
    if (end >= 0)
        text.truncate(end);
    return text;
}

QByteArray encodeText(const QString &text, bool unicodeFile)
{
    if (unicodeFile)
        return QByteArray(QStringEncoder(QStringConverter::Utf16LE).encode(text)) +
               QByteArray(2, '\0');
    return text.toUtf8() + QByteArray(1, '\0');
}

// hex:..  or hex(N):..  with N the registry type number in hex; returns an error or nothing.
QString decodeHexData(QStringView data, bool unicodeFile, RegistryFile::ValueType &type,
                      QString &text)
{
    const qsizetype colon = data.indexOf(u':');
    if (colon < 0)
        return QStringLiteral("unknown kind of value");
    const QStringView tag = data.left(colon);
    int registryType = 3; // plain hex: is binary data
    if (tag.compare(u"hex", Qt::CaseInsensitive) != 0) {
        if (!tag.startsWith(u"hex(", Qt::CaseInsensitive) || !tag.endsWith(u')') ||
            !isHexNumber(tag.mid(4, tag.size() - 5), 8))
            return QStringLiteral("unknown kind of value");
        registryType = tag.mid(4, tag.size() - 5).toInt(nullptr, 16);
    }
    QByteArray bytes;
    const QStringView list = data.mid(colon + 1).trimmed();
    if (!list.isEmpty()) {
        for (QStringView item : list.split(u',')) {
            item = item.trimmed();
            if (!isHexNumber(item, 2))
                return QStringLiteral("bad hex byte \"%1\"").arg(item);
            bytes += char(item.toInt(nullptr, 16));
        }
    }
    type = registryType == 1   ? RegistryFile::ValueType::String
           : registryType == 2 ? RegistryFile::ValueType::ExpandString
                               : RegistryFile::ValueType::Other;
    if (type != RegistryFile::ValueType::Other)
        text = decodeText(bytes, unicodeFile);
    return {};
}

bool syncFile(int fd)
{
    int result;
    do
        result = ::fsync(fd);
    while (result == -1 && errno == EINTR);
    return result == 0;
}

void syncFolder(const QString &folder)
{
    // The rename is only durable once the folder itself has reached the disk.
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1)
        return;
    while (::fsync(fd) == -1 && errno == EINTR) {
    }
    ::close(fd);
}

} // namespace

RegistryFile::RegistryFile(const QString &path) : m_path(path)
{
    clear();
}

QString RegistryFile::defaultPath()
{
    // Relative values are invalid by the XDG rules and are ignored.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty())
            home = QDir::homePath();
        config = home + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/Tellwick/registry.reg");
}

void RegistryFile::clear()
{
    m_unicodeHex = false;
    m_preamble = {Regedit4Header.toString(), QString()};
    m_sections.clear();
}

RegistryFile::LoadStatus RegistryFile::load()
{
    clear();
    m_error.clear();
    // Only a file that is not there is a missing key. A folder on the way that may not be
    // searched hides the file without making it absent.
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(m_path).constData(), &status) == -1) {
        const int cause = errno;
        if (cause == ENOENT || cause == ENOTDIR)
            return m_loadStatus = LoadStatus::Missing;
        m_error =
            QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(cause)));
        return m_loadStatus = LoadStatus::Unreadable;
    }
    // A folder or a pipe is nothing to read (a pipe would block) and nothing to replace.
    if (!S_ISREG(status.st_mode)) {
        m_error = QStringLiteral("%1: not a regular file").arg(m_path);
        return m_loadStatus = LoadStatus::Unreadable;
    }
    if (status.st_size > MaxFileSize) {
        m_error = QStringLiteral("%1: larger than 16 MB").arg(m_path);
        return m_loadStatus = LoadStatus::Unparsable;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: %2").arg(m_path, file.errorString());
        return m_loadStatus = LoadStatus::Unreadable;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error = QStringLiteral("%1: %2").arg(m_path, file.errorString());
        return m_loadStatus = LoadStatus::Unreadable;
    }
    if (bytes.size() > MaxFileSize) { // grew since it was measured
        m_error = QStringLiteral("%1: larger than 16 MB").arg(m_path);
        return m_loadStatus = LoadStatus::Unparsable;
    }
    if (!parse(decodeFileText(bytes))) {
        clear();
        return m_loadStatus = LoadStatus::Unparsable;
    }
    return m_loadStatus = LoadStatus::Loaded;
}

bool RegistryFile::parse(const QString &text)
{
    if (text.trimmed().isEmpty())
        return true;
    QStringList lines = text.split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
    }
    auto fail = [this](qsizetype lineIndex, const QString &reason) {
        m_error = QStringLiteral("%1, line %2: %3").arg(m_path).arg(lineIndex + 1).arg(reason);
        return false;
    };

    const QString header = lines.first().trimmed();
    if (header == Regedit5Header)
        m_unicodeHex = true;
    else if (header != Regedit4Header)
        return fail(0, QStringLiteral("not a registry file"));
    m_preamble = {lines.first()};

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString trimmed = lines[i].trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';')) {
            Entry verbatim;
            verbatim.lines = {lines[i]};
            if (m_sections.empty())
                m_preamble += lines[i];
            else
                m_sections.back().entries.push_back(std::move(verbatim));
            continue;
        }
        if (trimmed.startsWith(u'[')) {
            if (!trimmed.endsWith(u']'))
                return fail(i, QStringLiteral("unterminated key name"));
            m_sections.push_back({trimmed.mid(1, trimmed.size() - 2), lines[i], {}});
            continue;
        }
        if (!trimmed.startsWith(u'"') && !trimmed.startsWith(u'@'))
            return fail(i, QStringLiteral("unexpected text"));
        if (m_sections.empty())
            return fail(i, QStringLiteral("value outside any key"));

        const qsizetype first = i;
        Entry entry;
        entry.lines = {lines[i]};
        QString line = trimmed;
        while (line.endsWith(u'\\')) {
            if (++i >= lines.size())
                return fail(first, QStringLiteral("value cut off after a continued line"));
            entry.lines += lines[i];
            line.chop(1);
            line += lines[i].trimmed();
        }

        qsizetype pos = 0;
        if (line.startsWith(u'@'))
            pos = 1;
        else if (!readQuoted(line, pos, entry.name))
            return fail(first, QStringLiteral("unterminated value name"));
        while (pos < line.size() && line[pos].isSpace())
            ++pos;
        if (pos >= line.size() || line[pos] != u'=')
            return fail(first, QStringLiteral("'=' missing after the value name"));
        const QStringView data = QStringView(line).mid(pos + 1).trimmed();

        if (data.startsWith(u'"')) {
            qsizetype end = 0;
            if (!readQuoted(data, end, entry.text))
                return fail(first, QStringLiteral("unterminated text"));
            if (end != data.size())
                return fail(first, QStringLiteral("unexpected text after the closing quote"));
            entry.kind = Kind::String;
        } else if (data == u"-") {
            entry.kind = Kind::Deleted;
        } else if (data.startsWith(u"dword:", Qt::CaseInsensitive)) {
            if (!isHexNumber(data.mid(6), 8))
                return fail(first, QStringLiteral("bad dword value"));
            entry.kind = Kind::Other;
        } else {
            ValueType type = ValueType::Other;
            const QString error = decodeHexData(data, m_unicodeHex, type, entry.text);
            if (!error.isEmpty())
                return fail(first, error);
            entry.kind = type == ValueType::String         ? Kind::String
                         : type == ValueType::ExpandString ? Kind::ExpandString
                                                           : Kind::Other;
        }
        m_sections.back().entries.push_back(std::move(entry));
    }
    return true;
}

RegistryFile::Section *RegistryFile::lastSection(const QString &keyPath)
{
    for (auto it = m_sections.rbegin(); it != m_sections.rend(); ++it) {
        if (it->path.compare(keyPath, Qt::CaseInsensitive) == 0)
            return &*it;
    }
    return nullptr;
}

const RegistryFile::Entry *RegistryFile::findValue(const QString &keyPath,
                                                   const QString &name) const
{
    // A key may appear more than once; as when the file is imported, the last value wins.
    for (auto section = m_sections.rbegin(); section != m_sections.rend(); ++section) {
        if (section->path.compare(keyPath, Qt::CaseInsensitive) != 0)
            continue;
        for (auto entry = section->entries.rbegin(); entry != section->entries.rend(); ++entry) {
            if (entry->kind != Kind::Verbatim &&
                entry->name.compare(name, Qt::CaseInsensitive) == 0)
                return &*entry;
        }
    }
    return nullptr;
}

RegistryFile::Entry *RegistryFile::findValue(const QString &keyPath, const QString &name)
{
    return const_cast<Entry *>(std::as_const(*this).findValue(keyPath, name));
}

void RegistryFile::createKey(const QString &keyPath)
{
    if (lastSection(keyPath))
        return;
    // Keep keys apart by a blank line, as an export does.
    if (m_sections.empty()) {
        if (!m_preamble.last().trimmed().isEmpty())
            m_preamble += QString();
    } else {
        auto &entries = m_sections.back().entries;
        if (entries.empty() || !isBlank(entries.back().lines)) {
            Entry blank;
            blank.lines = {QString()};
            entries.push_back(std::move(blank));
        }
    }
    Entry blank;
    blank.lines = {QString()};
    m_sections.push_back({keyPath, u'[' + keyPath + u']', {}});
    m_sections.back().entries.push_back(std::move(blank));
}

std::optional<RegistryFile::Value> RegistryFile::value(const QString &keyPath,
                                                       const QString &name) const
{
    const Entry *entry = findValue(keyPath, name);
    if (!entry || entry->kind == Kind::Deleted)
        return std::nullopt;
    switch (entry->kind) {
    case Kind::String:
        return Value{ValueType::String, entry->text};
    case Kind::ExpandString:
        return Value{ValueType::ExpandString, entry->text};
    default:
        return Value{ValueType::Other, QString()};
    }
}

bool RegistryFile::setString(const QString &keyPath, const QString &name, const QString &text)
{
    if (name.contains(u'\n') || name.contains(u'\r')) {
        m_error = QStringLiteral("A value name cannot hold a line break");
        return false;
    }
    if (Entry *entry = findValue(keyPath, name)) {
        // An unchanged value keeps its lines exactly as they were.
        if (entry->kind == Kind::String && entry->text == text)
            return true;
        entry->kind = Kind::String;
        entry->text = text;
        entry->lines.clear();
        return true;
    }
    createKey(keyPath);
    auto &entries = lastSection(keyPath)->entries;
    auto insertAt = entries.end();
    while (insertAt != entries.begin() && std::prev(insertAt)->kind == Kind::Verbatim &&
           isBlank(std::prev(insertAt)->lines))
        --insertAt;
    Entry entry;
    entry.kind = Kind::String;
    entry.name = name;
    entry.text = text;
    entries.insert(insertAt, std::move(entry));
    return true;
}

QString RegistryFile::formatValue(const Entry &entry) const
{
    const QString name = entry.name.isEmpty() ? QStringLiteral("@") : quoted(entry.name);
    if (!entry.text.contains(u'\n') && !entry.text.contains(u'\r') &&
        !entry.text.contains(QChar(0)))
        return name + u'=' + quoted(entry.text);

    // A line break cannot stand inside a quoted text: such a string goes in hex form, which
    // keeps its type (REG_SZ) and wraps as an export does.
    const QByteArray bytes = encodeText(entry.text, m_unicodeHex);
    QString out = name + QStringLiteral("=hex(1):");
    qsizetype lineStart = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        QString item = QString::number(quint8(bytes[i]), 16).rightJustified(2, u'0');
        if (i + 1 < bytes.size())
            item += u',';
        if (out.size() - lineStart + item.size() > HexLineWidth) {
            out += QStringLiteral("\\\n  ");
            lineStart = out.size() - 2;
        }
        out += item;
    }
    return out;
}

QString RegistryFile::toText() const
{
    QString out;
    auto put = [&out](const QString &line) {
        out += line;
        out += u'\n';
    };
    for (const QString &line : m_preamble)
        put(line);
    for (const Section &section : m_sections) {
        put(section.headerLine);
        for (const Entry &entry : section.entries) {
            if (entry.lines.isEmpty())
                put(formatValue(entry));
            for (const QString &line : entry.lines)
                put(line);
        }
    }
    return out;
}

bool RegistryFile::keepCopyOfOldFile()
{
    const QFileInfo old(m_path);
    if (!old.exists())
        return true; // gone since it was read: nothing left to lose
    if (!old.isFile()) {
        m_error = QStringLiteral("%1 is not a regular file").arg(m_path);
        return false;
    }
    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss");
    for (int n = 0; n < 100; ++n) {
        QString copy = m_path + QStringLiteral(".bad-") + stamp;
        if (n > 0)
            copy += u'-' + QString::number(n);
        if (QFileInfo::exists(copy) || QFileInfo(copy).isSymLink())
            continue;
        QFile file(m_path);
        if (file.copy(copy))
            return true;
        m_error = QStringLiteral("Cannot keep a copy of %1: %2").arg(m_path, file.errorString());
        return false;
    }
    m_error = QStringLiteral("Cannot keep a copy of %1: no free name").arg(m_path);
    return false;
}

RegistryFile::SaveStatus RegistryFile::save()
{
    m_error.clear();
    if ((m_keepCopyOnSave || m_loadStatus == LoadStatus::Unreadable ||
         m_loadStatus == LoadStatus::Unparsable) &&
        !keepCopyOfOldFile())
        return SaveStatus::BackupFailed;

    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("Cannot create the folder %1").arg(folder);
        return SaveStatus::FolderFailed;
    }
    // A temporary file beside the old one, synced, then renamed over it: a crash or a full disk
    // leaves the old file or the new one, never a mix. Unbuffered and synced by hand because
    // QSaveFile overlooks a short write, a failing flush and a failing sync, and would then
    // rename a cut-off file into place.
    QSaveFile file(m_path);
    const QByteArray bytes = toText().toUtf8();
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                         file.write(bytes) == bytes.size() && syncFile(file.handle()) &&
                         file.commit();
    if (!written) {
        const QString reason = file.error() != QFileDevice::NoError
                                   ? file.errorString()
                                   : QString::fromLocal8Bit(std::strerror(errno));
        m_error = QStringLiteral("Cannot write %1: %2").arg(m_path, reason);
        return SaveStatus::WriteFailed;
    }
    syncFolder(folder);
    m_loadStatus = LoadStatus::Loaded;
    m_keepCopyOnSave = false;
    return SaveStatus::Saved;
}
