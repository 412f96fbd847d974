#pragma once

#include <QString>
#include <stdexcept>

// A failure that the program shows in the default error box ("<text>.") and then goes on:
// the run-time library's conversion and range errors, registry failures, unreadable files.
class RuntimeError : public std::runtime_error
{
public:
    explicit RuntimeError(const QString &text)
        : std::runtime_error(text.toStdString()), m_text(text)
    {
    }

    const QString &text() const { return m_text; }

private:
    QString m_text;
};
