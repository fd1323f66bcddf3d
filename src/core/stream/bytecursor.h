// SPDX-License-Identifier: MIT
#ifndef BYTECURSOR_H
#define BYTECURSOR_H

#include "read/encoding.h"
#include "read/positions.h"

#include <vector>

namespace xmladjust {

// Follows text decoded from a document, from its start, giving the byte at which
// each of its characters begins in the document's encoding; for the encodings whose
// markup is not read in the bytes themselves (UTF-16, UTF-32, and the others
// character by character). It moves forward only.
class ByteCursor
{
public:
    explicit ByteCursor(const InputEncoding &encoding);

    CharacterPosition character() const { return m_character; }
    BytePosition byte() const { return m_byte; }
    // Moves to `position`, reading the characters [character(), position) at `text`.
    void advance(const QChar *text, CharacterPosition position);

private:
    qint64 encodedLength(const QChar *begin, const QChar *end);

    QTextCodec *m_codec;
    ByteForm m_form;
    std::vector<quint8> m_lengths; // bytes per character, 0 until known; ByteForm::Other
    CharacterPosition m_character;
    BytePosition m_byte;
};

} // namespace xmladjust

#endif // BYTECURSOR_H
