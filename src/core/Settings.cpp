#include "Settings.h"

#include "RegistryFile.h"
#include "RuntimeError.h"
#include "StrToInt.h"

#include <optional>
#include <utility>

TSettings Settings;

namespace {

const QString TellwickKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");

// A switch longer than two characters that begins with "0x" is hexadecimal.
std::optional<qint32> switchNumber(const QString &text)
{
    if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X'))
        return StrToInt(QLatin1Char('$') + text.mid(2));
    return StrToInt(text);
}

QString invalidDataType(const QString &name)
{
    return QStringLiteral("Invalid data type for '%1'").arg(name);
}

void readSwitch(const RegistryFile &registry, const QString &name, bool &field)
{
    const auto value = registry.value(TellwickKey, name);
    if (!value) {
        field = true;
        return;
    }
    if (value->type == RegistryFile::ValueType::Other)
        throw RuntimeError(invalidDataType(name));
    const auto number = switchNumber(value->text);
    field = number ? *number != 0 : true;
}

void readString(const RegistryFile &registry, const QString &name, const QString &fallback,
                QString &field)
{
    const auto value = registry.value(TellwickKey, name);
    if (!value) {
        field = fallback;
        return;
    }
    if (value->type == RegistryFile::ValueType::Other)
        throw RuntimeError(invalidDataType(name));
    field = value->text;
}

QString switchText(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace

QString DeriveLogin(const QString &loginName)
{
    QString login = loginName;
    for (qsizetype i = 0; i < login.size(); ++i) {
        const QChar c = login[i];
        if (c >= u'A' && c <= u'Z')
            login[i] = QChar(c.unicode() - 'A' + 'a');
        else if (c == u' ' && i + 1 < login.size())
            login[i] = u'_';
    }
    return login;
}

QString LoadSettings(TSettings &settings, const QString &registryPath)
{
    RegistryFile registry(registryPath);
    const auto status = registry.load();
    // Each field takes its value as it is read, so a failure keeps what was read before it.
    readSwitch(registry, QStringLiteral("Enable"), settings.Enable);
    readSwitch(registry, QStringLiteral("EnableList"), settings.EnableList);
    readSwitch(registry, QStringLiteral("EnableInfo"), settings.EnableInfo);
    readSwitch(registry, QStringLiteral("EnableUserInfo"), settings.EnableUserInfo);
    readSwitch(registry, QStringLiteral("EnableDayTime"), settings.EnableDayTime);
    readSwitch(registry, QStringLiteral("Beep"), settings.Beep);
    const QString &login = settings.Login;
    readString(registry, login + QStringLiteral("RealName"), QStringLiteral("Unknown"),
               settings.RealName);
    readString(registry, login + QStringLiteral("HPhone"), QStringLiteral("-"), settings.HPhone);
    readString(registry, login + QStringLiteral("OPhone"), QStringLiteral("-"), settings.OPhone);
    readString(registry, login + QStringLiteral("Plan"), QString(), settings.Plan);
    readString(registry, login + QStringLiteral("Project"), QString(), settings.Project);

    if (status != RegistryFile::LoadStatus::Unreadable &&
        status != RegistryFile::LoadStatus::Unparsable)
        return {};
    // Nothing was read, so the fields hold the defaults: with finger on, they would hand out
    // everything the person may have switched off.
    settings.Enable = false;
    settings.keepFileOnSave = true;
    return QStringLiteral("Cannot read the settings file %1.\r\n"
                          "Finger is off until you switch it on, and the file is left as it is.")
        .arg(registry.errorString());
}

void SaveSettings(TSettings &settings, const QString &registryPath)
{
    // Read the file afresh so that whatever else it holds now is written back.
    RegistryFile registry(registryPath);
    registry.load();
    if (settings.keepFileOnSave)
        registry.keepCopyOnSave();
    registry.createKey(TellwickKey);

    const QString &login = settings.Login;
    const std::pair<QString, QString> values[] = {
        {QStringLiteral("Enable"), switchText(settings.Enable)},
        {QStringLiteral("EnableList"), switchText(settings.EnableList)},
        {QStringLiteral("EnableInfo"), switchText(settings.EnableInfo)},
        {QStringLiteral("EnableUserInfo"), switchText(settings.EnableUserInfo)},
        {QStringLiteral("EnableDayTime"), switchText(settings.EnableDayTime)},
        {QStringLiteral("Beep"), switchText(settings.Beep)},
        {login + QStringLiteral("RealName"), settings.RealName},
        {login + QStringLiteral("HPhone"), settings.HPhone},
        {login + QStringLiteral("OPhone"), settings.OPhone},
        {login + QStringLiteral("Plan"), settings.Plan},
        {login + QStringLiteral("Project"), settings.Project},
    };
    const auto failedToSet = [](const QString &name) {
        return RuntimeError(QStringLiteral("Failed to set data for '%1'").arg(name));
    };
    for (const auto &[name, text] : values) {
        if (!registry.setString(TellwickKey, name, text))
            throw failedToSet(name);
    }

    switch (registry.save()) {
    case RegistryFile::SaveStatus::Saved:
        settings.keepFileOnSave = false;
        return;
    case RegistryFile::SaveStatus::FolderFailed:
    case RegistryFile::SaveStatus::BackupFailed:
        throw RuntimeError(QStringLiteral("Failed to create key %1").arg(u"Tellwick"));
    case RegistryFile::SaveStatus::WriteFailed:
        // The file is written whole: nothing was stored, from the first value on.
        throw failedToSet(values[0].first);
    }
}

QString LoadSettings()
{
    return LoadSettings(Settings, RegistryFile::defaultPath());
}

void SaveSettings()
{
    SaveSettings(Settings, RegistryFile::defaultPath());
}
