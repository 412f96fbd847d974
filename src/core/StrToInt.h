#pragma once

#include <QStringView>

#include <optional>

// The run-time library's strict text-to-integer conversion: leading blanks, then an optional
// sign and decimal digits, or '$' and hexadecimal digits; nothing may follow; the value must
// fit a signed 32-bit integer (hexadecimal ones wrap, as in the library). Empty when the text
// is no such integer.
std::optional<qint32> StrToInt(QStringView text);
