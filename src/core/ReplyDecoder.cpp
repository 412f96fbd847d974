#include "ReplyDecoder.h"

namespace {

// The length of the UTF-8 sequence that lead begins; 0 when no valid sequence begins so.
int sequenceLength(uchar lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether byte may stand at position index (from 1) of the sequence that lead begins. The
// second byte also rules out overlong forms, surrogates and code points above U+10FFFF.
bool continues(uchar lead, int index, uchar byte)
{
    if ((byte & 0xC0) != 0x80)
        return false;
    if (index != 1)
        return true;
    switch (lead) {
    case 0xE0:
        return byte >= 0xA0;
    case 0xED:
        return byte <= 0x9F;
    case 0xF0:
        return byte >= 0x90;
    case 0xF4:
        return byte <= 0x8F;
    default:
        return true;
    }
}

void appendVisible(QString &out, char32_t c)
{
    if (c == u'\t' || c == u'\n' || c == u'\r')
        out += QChar(c);
    else if (c < 0x20)
        out += QChar(char16_t(0x2400 + c));
    else if (c == 0x7F)
        out += QChar(char16_t(0x2421));
    else if (c >= 0x80 && c <= 0x9F)
        out += QStringLiteral("<%1>").arg(uint(c), 2, 16).toUpper();
    else if (c <= 0xFFFF)
        out += QChar(char16_t(c));
    else
        out += QString::fromUcs4(&c, 1);
}

} // namespace

QString ReplyDecoder::decode(QByteArrayView block)
{
    QByteArray joined;
    if (!m_pending.isEmpty()) {
        joined = m_pending + block.toByteArray();
        block = joined;
        m_pending.clear();
    }
    QString out;
    out.reserve(block.size());
    const qsizetype size = block.size();
    qsizetype i = 0;
    while (i < size) {
        const uchar lead = uchar(block[i]);
        const int length = sequenceLength(lead);
        if (length <= 1) {
            // ASCII, or a byte that begins no character: Latin-1.
            appendVisible(out, lead);
            ++i;
            continue;
        }
        int have = 1;
        while (have < length && i + have < size && continues(lead, have, uchar(block[i + have])))
            ++have;
        if (have == length) {
            char32_t c = lead & (0xFF >> (length + 1));
            for (int k = 1; k < length; ++k)
                c = (c << 6) | (uchar(block[i + k]) & 0x3F);
            appendVisible(out, c);
            i += length;
        } else if (i + have == size) {
            m_pending = block.sliced(i).toByteArray();
            break;
        } else {
            appendVisible(out, lead);
            ++i;
        }
    }
    return out;
}

QString ReplyDecoder::finish()
{
    QString out;
    for (const char byte : std::as_const(m_pending))
        appendVisible(out, uchar(byte));
    m_pending.clear();
    return out;
}
