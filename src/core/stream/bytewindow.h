// SPDX-License-Identifier: MIT
#ifndef BYTEWINDOW_H
#define BYTEWINDOW_H

#include "read/positions.h"

#include <QByteArray>

class QIODevice;

namespace xmladjust {

// The bytes of a document that are read and still needed, and the writer that
// copies them out unchanged except for the spans replaced by new bytes. Bytes go
// out in order; a byte once copied or replaced is never written again.
class ByteWindow
{
public:
    // `output` may be null: then nothing is written, but positions move as if it were.
    ByteWindow(QIODevice &input, QIODevice *output, qint64 chunkSize);

    // Reads the next piece, of at most `size` bytes, onto the end: the count read,
    // 0 at the end of the input, -1 when reading failed (see inputError()).
    qint64 readMore(qint64 size);
    qint64 readMore() { return readMore(m_chunkSize); }
    bool inputEnded() const { return m_inputEnded; }

    BytePosition begin() const { return m_base; }
    BytePosition end() const { return m_stored + m_bytes.size(); }
    // The byte at `at`, which must lie in [begin(), end()]; valid until the next
    // readMore() or discardBefore().
    const char *at(BytePosition at) const { return m_bytes.constData() + (at - m_stored); }

    // Everything before this has been copied or replaced.
    BytePosition copied() const { return m_copied; }
    // The span lies within the bytes read and not yet copied.
    bool holds(ByteSpan span) const
    {
        return span.begin >= m_copied && span.begin >= m_base && span.end <= end() &&
               span.end >= span.begin;
    }
    // Copies the bytes up to `upTo` as they are; false when they are not all read.
    bool copyTo(BytePosition upTo);
    // Copies up to the span, then writes `bytes` in its place; false when the
    // window does not hold the span.
    bool replace(ByteSpan span, const char *bytes, qint64 length);
    // Writes out what was copied or replaced; false when writing failed (see outputError()).
    bool flush();
    // Forgets the bytes before `keep`, which no later step needs.
    void discardBefore(BytePosition keep);

    QString inputError() const;
    QString outputError() const;

private:
    QIODevice &m_input;
    QIODevice *const m_output;
    const qint64 m_chunkSize;
    QByteArray m_bytes; // m_bytes[0] is byte m_stored of the input
    BytePosition m_stored;
    BytePosition m_base; // the first byte still needed
    BytePosition m_copied;
    QByteArray m_pending; // output not yet written
    bool m_inputEnded = false;
};

} // namespace xmladjust

#endif // BYTEWINDOW_H
