// libFuzzer target: the registry file reader. Whatever the file holds, loading never fails
// hard, and a file that cannot be read leaves finger off; a file that loads is written back so that
// it loads again to the same values, and an untouched file is written back exactly as it was read.

#include "RegistryFile.h"
#include "RuntimeError.h"
#include "Settings.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

const QString Key = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");
const QString Names[] = {
    QStringLiteral("Enable"),  QStringLiteral("Beep"), QStringLiteral("labRealName"),
    QStringLiteral("labPlan"), QStringLiteral(""),     QStringLiteral("Enable\"List")};

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "fuzz_registryfile: %s\n", what);
        std::abort();
    }
}

QString pathFor(const char *role)
{
    return QDir::tempPath() +
           QStringLiteral("/fuzz_registryfile-%1-%2.reg").arg(::getpid()).arg(QLatin1String(role));
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

bool sameValue(const std::optional<RegistryFile::Value> &a,
               const std::optional<RegistryFile::Value> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    return !a || (a->type == b->type && a->text == b->text);
}

// The text as the reader takes it: UTF-8, and Latin-1 on a line that is not UTF-8.
QString eightBitText(const QByteArray &bytes)
{
    QStringList lines;
    for (const QByteArray &line : bytes.split('\n'))
        lines += line.isValidUtf8() ? QString::fromUtf8(line) : QString::fromLatin1(line);
    return lines.join(u'\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString input = pathFor("in");
    check(writeAll(input, bytes), "cannot write the input file");

    // The settings are read from any file without a crash; a value of another type is the
    // one reported failure.
    TSettings settings;
    settings.Login = QStringLiteral("lab");
    try {
        const QString problem = LoadSettings(settings, input);
        check(problem.isEmpty() || !settings.Enable, "a file that is not read leaves finger off");
    } catch (const RuntimeError &error) {
        check(error.text().startsWith(QStringLiteral("Invalid data type for '")),
              "only a value of another type fails the load");
    }

    RegistryFile registry(input);
    if (registry.load() != RegistryFile::LoadStatus::Loaded)
        return 0;

    // Untouched, the file is written back as it was read (line ends aside).
    const QString text = registry.toText();
    QString original = eightBitText(bytes);
    original.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (!original.endsWith(u'\n') && !original.trimmed().isEmpty())
        original += u'\n';
    if (!original.trimmed().isEmpty())
        check(text == original || text.trimmed() == original.trimmed(), "untouched file kept");

    // Changed, it loads again to the same values.
    // A string ends at its first NUL, as in the registry: only texts without one round-trip.
    registry.setString(Key, QStringLiteral("labRealName"),
                       QString::fromUtf8(bytes.left(40)).remove(QChar(0)));
    registry.setString(Key, QStringLiteral("Beep"), QStringLiteral("line\r\nbreak\\\"quote"));
    const QString output = pathFor("out");
    check(writeAll(output, registry.toText().toUtf8()), "cannot write the output file");
    RegistryFile again(output);
    check(again.load() == RegistryFile::LoadStatus::Loaded, "written file loads again");
    for (const QString &name : Names)
        check(sameValue(registry.value(Key, name), again.value(Key, name)), "same values");
    return 0;
}
