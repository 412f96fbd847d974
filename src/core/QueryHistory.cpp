#include "QueryHistory.h"

#include "RegistryFile.h"

namespace {

const QString TellwickKey = QStringLiteral("HKEY_CURRENT_USER\\Software\\Tellwick");
const QString NameHistoryValue = QStringLiteral("FingerNameHistory");
const QString HostHistoryValue = QStringLiteral("FingerHostHistory");
constexpr QChar Separator = u'\t';

bool holdsControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

QueryHistory readHistory(const RegistryFile &registry, const QString &name)
{
    const auto value = registry.value(TellwickKey, name);
    if (!value || value->type == RegistryFile::ValueType::Other)
        return {};
    return QueryHistory::fromValue(value->text);
}

} // namespace

bool QueryHistory::remember(const QString &text)
{
    if (text.isEmpty() || holdsControl(text))
        return false;
    if (!m_entries.isEmpty() && m_entries.first() == text)
        return false;
    m_entries.removeIf(
        [&](const QString &entry) { return entry.compare(text, Qt::CaseInsensitive) == 0; });
    m_entries.prepend(text);
    while (m_entries.size() > MaximumEntries)
        m_entries.removeLast();
    return true;
}

QString QueryHistory::toValue() const
{
    return m_entries.join(Separator);
}

QueryHistory QueryHistory::fromValue(const QString &value)
{
    QueryHistory history;
    const QStringList stored = value.split(Separator, Qt::SkipEmptyParts);
    // Oldest first, so that the rules of remember() hold for a hand-edited value too.
    for (auto entry = stored.crbegin(); entry != stored.crend(); ++entry)
        history.remember(*entry);
    return history;
}

ClientHistory LoadClientHistory(const QString &registryPath)
{
    RegistryFile registry(registryPath);
    registry.load();
    return {readHistory(registry, NameHistoryValue), readHistory(registry, HostHistoryValue)};
}

bool SaveClientHistory(const ClientHistory &history, const QString &registryPath)
{
    RegistryFile registry(registryPath);
    const RegistryFile::LoadStatus status = registry.load();
    if (status != RegistryFile::LoadStatus::Loaded && status != RegistryFile::LoadStatus::Missing)
        return false;
    registry.createKey(TellwickKey);
    return registry.setString(TellwickKey, NameHistoryValue, history.names.toValue()) &&
           registry.setString(TellwickKey, HostHistoryValue, history.hosts.toValue()) &&
           registry.save() == RegistryFile::SaveStatus::Saved;
}
