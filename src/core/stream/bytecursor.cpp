// SPDX-License-Identifier: MIT
#include "stream/bytecursor.h"

#include <algorithm>

namespace xmladjust {

ByteCursor::ByteCursor(const InputEncoding &encoding)
    : m_codec(encoding.codec), m_form(encoding.form), m_byte(encoding.byteOrderMarkLength)
{
    if (m_form == ByteForm::Other)
        m_lengths.assign(0x10000, 0);
}

void ByteCursor::advance(const QChar *text, CharacterPosition position)
{
    if (position <= m_character)
        return;
    m_byte = m_byte + encodedLength(text, text + (position - m_character));
    m_character = position;
}

qint64 ByteCursor::encodedLength(const QChar *begin, const QChar *end)
{
    switch (m_form) {
    case ByteForm::Utf16:
        return 2 * (end - begin);
    case ByteForm::Utf32: {
        qint64 length = 0;
        for (const QChar *c = begin; c != end; ++c)
            length += c->isLowSurrogate() ? 0 : 4;
        return length;
    }
    default: // read in bytes, without a cursor, or measured here
        break;
    }
    qint64 length = 0;
    for (const QChar *c = begin; c != end; ++c) {
        if (c->isHighSurrogate() && c + 1 != end) {
            length += encodeWithoutMark(m_codec, QStringView(c, 2)).size();
            ++c;
            continue;
        }
        quint8 &known = m_lengths[c->unicode()];
        if (known == 0)
            known = quint8(
                std::clamp<int>(encodeWithoutMark(m_codec, QStringView(c, 1)).size(), 1, 255));
        length += known;
    }
    return length;
}

} // namespace xmladjust
