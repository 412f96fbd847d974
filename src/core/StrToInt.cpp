#include "StrToInt.h"

#include <climits>

std::optional<qint32> StrToInt(QStringView text)
{
    qsizetype at = 0;
    const qsizetype size = text.size();
    while (at < size && text[at] == QLatin1Char(' '))
        ++at;
    if (at < size && text[at] == QLatin1Char('$')) {
        if (++at == size)
            return std::nullopt;
        quint64 value = 0;
        for (; at < size; ++at) {
            const char16_t c = text[at].unicode();
            int digit;
            if (c >= u'0' && c <= u'9')
                digit = c - u'0';
            else if (c >= u'a' && c <= u'f')
                digit = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F')
                digit = c - u'A' + 10;
            else
                return std::nullopt;
            value = value * 16 + quint64(digit);
            if (value > 0xFFFFFFFFu)
                return std::nullopt;
        }
        return int(quint32(value));
    }
    bool negative = false;
    if (at < size && (text[at] == QLatin1Char('+') || text[at] == QLatin1Char('-'))) {
        negative = text[at] == QLatin1Char('-');
        ++at;
    }
    if (at == size)
        return std::nullopt;
    qint64 value = 0;
    for (; at < size; ++at) {
        const char16_t c = text[at].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > qint64(INT_MAX) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return std::nullopt;
    return int(value);
}
