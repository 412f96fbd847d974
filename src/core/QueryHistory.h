#pragma once

#include <QString>
#include <QStringList>

// The last different texts a person gave in one field, most recent first. Texts that differ
// only in case are one entry, spelled as last given.
class QueryHistory
{
public:
    static constexpr int MaximumEntries = 10;

    const QStringList &entries() const { return m_entries; }

    // Puts text first, dropping its older spelling and whatever falls beyond the limit. Empty
    // texts and texts holding control characters (which the stored form cannot hold) are not
    // remembered. Returns whether the entries changed.
    bool remember(const QString &text);
    void clear() { m_entries.clear(); }

    // The stored form: the entries separated by TAB.
    QString toValue() const;
    static QueryHistory fromValue(const QString &value);

private:
    QStringList m_entries;
};

// The finger client's two histories, kept in the registry under values of their own.
struct ClientHistory
{
    QueryHistory names;
    QueryHistory hosts;
};

// Missing values, values of another type and a file that cannot be read give empty lists.
ClientHistory LoadClientHistory(const QString &registryPath);

// Writes the two values and keeps everything else in the file. A file that exists but could
// not be read or parsed is left alone (the settings deal with it); returns false then, and
// when the file could not be written.
bool SaveClientHistory(const ClientHistory &history, const QString &registryPath);
