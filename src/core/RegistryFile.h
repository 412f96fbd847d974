#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

// The per-user registry, kept in one file in registry-export form:
//
//     REGEDIT4
//
//     [HKEY_CURRENT_USER\Software\Tellwick]
//     "Enable"="1"
//
// The file is the user's data. Everything this class does not change (other keys, other
// values, comments, the spelling of hex data) is written back as it was read; a save replaces
// the file atomically; and a file that could not be read or parsed is copied aside before it
// is ever replaced. Key paths and value names match without regard to case, as in the
// registry itself. The text is 8-bit: UTF-8, and Latin-1 on any line that is not UTF-8; a
// save writes it all as UTF-8.
class RegistryFile
{
public:
    enum class LoadStatus {
        Loaded,
        Missing,    // no file: an empty registry
        Unreadable, // the file exists but cannot be read: an empty registry, kept on save
        Unparsable, // not registry-export text: an empty registry, copied aside on save
    };
    enum class SaveStatus {
        Saved,
        FolderFailed, // the folder of the file could not be created
        BackupFailed, // the unusable old file could not be copied aside: nothing written
        WriteFailed,  // the new file could not be written: the old one is untouched
    };
    // The two string kinds are REG_SZ and REG_EXPAND_SZ; everything else is Other.
    enum class ValueType { String, ExpandString, Other };

    struct Value
    {
        ValueType type = ValueType::String;
        QString text; // empty for Other
    };

    explicit RegistryFile(const QString &path);

    // ${XDG_CONFIG_HOME:-$HOME/.config}/Tellwick/registry.reg
    static QString defaultPath();

    const QString &path() const { return m_path; }

    // Never fails: whatever the file holds, the result is a usable (possibly empty) registry.
    LoadStatus load();

    void createKey(const QString &keyPath);

    std::optional<Value> value(const QString &keyPath, const QString &name) const;
    // Creates the key when missing. False for a name that the file cannot hold (line breaks).
    bool setString(const QString &keyPath, const QString &name, const QString &text);

    SaveStatus save();
    // Makes the next save keep a copy of the file it replaces, whatever the last load found:
    // for a file that was unusable once and may have been mended since.
    void keepCopyOnSave() { m_keepCopyOnSave = true; }

    // What went wrong in the last load or save, for a person reading it.
    const QString &errorString() const { return m_error; }

    // The whole file as save() writes it.
    QString toText() const;

private:
    enum class Kind { Verbatim, String, ExpandString, Other, Deleted };

    // One line of a section body, or one value with its continuation lines.
    struct Entry
    {
        Kind kind = Kind::Verbatim;
        QString name; // empty for the key's unnamed value, written @=
        QString text;
        QStringList lines; // as read; emptied when the value changes, then written anew
    };

    struct Section
    {
        QString path;
        QString headerLine;
        std::vector<Entry> entries;
    };

    void clear();
    bool parse(const QString &text);
    QString formatValue(const Entry &entry) const;
    bool keepCopyOfOldFile();
    Section *lastSection(const QString &keyPath);
    Entry *findValue(const QString &keyPath, const QString &name);
    const Entry *findValue(const QString &keyPath, const QString &name) const;

    QString m_path;
    LoadStatus m_loadStatus = LoadStatus::Missing;
    bool m_keepCopyOnSave = false;
    QString m_error;
    bool m_unicodeHex = false; // "Windows Registry Editor Version 5.00" files hold UTF-16LE
    QStringList m_preamble;    // the header line and whatever precedes the first key
    std::vector<Section> m_sections;
};
