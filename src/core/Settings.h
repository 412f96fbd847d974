#pragma once

#include <QString>

// The program-wide settings. The six switches are shared by every user of the computer; the
// five user details are kept per Login, which prefixes their value names.
struct TSettings
{
    QString RealName, HPhone, OPhone, Plan, Project, Login;
    bool Enable = true, EnableList = true, EnableInfo = true, EnableUserInfo = true,
         EnableDayTime = true, Beep = true;
    // Never stored: the file was there but could not be read, so the next save keeps a copy of
    // whatever it holds by then before replacing it.
    bool keepFileOnSave = false;
};

extern TSettings Settings;

// A-Z become a-z (no other case mapping); every blank but one in the last position becomes
// an underscore.
QString DeriveLogin(const QString &loginName);

// Settings from and to RegistryFile::defaultPath().
QString LoadSettings();
void SaveSettings();

// Reads every field but Login, which must be set. Missing values give the defaults, and so does
// a missing file. Throws RuntimeError "Invalid data type for '<name>'" at the first value that
// is not a string, keeping the fields read before it.
// A file that exists but cannot be read or parsed gives the defaults with Enable off, so that
// nothing the person switched off is handed out before they decide, and is left as it is. The
// result then tells the person what happened, naming the file and the cause; otherwise it is
// empty.
QString LoadSettings(TSettings &settings, const QString &registryPath);

// Writes every field but Login, keeping all other keys and values of the file. The file is
// replaced as a whole or not at all. Throws RuntimeError "Failed to create key Tellwick" when
// the file's folder cannot be created or an unusable old file cannot be kept aside, and
// "Failed to set data for '<name>'" when the file cannot be written (naming the first value,
// since none of them was written).
void SaveSettings(TSettings &settings, const QString &registryPath);
