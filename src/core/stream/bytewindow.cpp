// SPDX-License-Identifier: MIT
#include "stream/bytewindow.h"

#include "writeall.h"

#include <QIODevice>

#include <algorithm>
#include <limits>

namespace xmladjust {

namespace {

// Room kept ahead in the buffers, so that a piece and what is carried over fit.
constexpr int reserveBytes = 64 * 1024 + 4096;

} // namespace

ByteWindow::ByteWindow(QIODevice &input, QIODevice *output, qint64 chunkSize)
    : m_input(input), m_output(output), m_chunkSize(std::max<qint64>(chunkSize, 1))
{
    m_bytes.reserve(int(std::min<qint64>(m_chunkSize + 4096, reserveBytes)));
    if (m_output)
        m_pending.reserve(int(std::min<qint64>(m_chunkSize + 4096, reserveBytes)));
}

qint64 ByteWindow::readMore(qint64 size)
{
    const int oldSize = m_bytes.size();
    size = std::min<qint64>(size, std::numeric_limits<int>::max() - oldSize);
    m_bytes.resize(oldSize + int(size));
    const qint64 read = m_input.read(m_bytes.data() + oldSize, size);
    m_bytes.resize(oldSize + int(std::max<qint64>(read, 0)));
    if (read == 0)
        m_inputEnded = true;
    return read;
}

bool ByteWindow::copyTo(BytePosition upTo)
{
    if (upTo <= m_copied)
        return true;
    if (upTo > end())
        return false;
    if (m_output)
        m_pending.append(at(m_copied), int(upTo - m_copied));
    m_copied = upTo;
    return true;
}

bool ByteWindow::replace(ByteSpan span, const char *bytes, qint64 length)
{
    if (!holds(span))
        return false;
    copyTo(span.begin);
    if (m_output)
        m_pending.append(bytes, int(length));
    m_copied = span.end;
    return true;
}

// Output gathers and goes out once for each piece of input, not in two small
// writes for every value.
bool ByteWindow::flush()
{
    if (!m_output || m_pending.isEmpty())
        return true;
    const bool written = writeAllTo(m_output, m_pending).succeeded();
    m_pending.resize(0);
    return written;
}

// The bytes no longer needed are dropped once they are as many as those kept (and
// a piece at least), so that each byte is moved a bounded number of times however
// far the reading runs ahead of what is released.
void ByteWindow::discardBefore(BytePosition keep)
{
    m_base = std::clamp(keep, m_base, end());
    const qint64 unneeded = m_base - m_stored;
    if (unneeded >= std::max<qint64>(end() - m_base, reserveBytes)) {
        m_bytes.remove(0, int(unneeded));
        m_stored = m_base;
    }
}

QString ByteWindow::inputError() const
{
    return m_input.errorString();
}

QString ByteWindow::outputError() const
{
    return m_output ? m_output->errorString() : QString();
}

} // namespace xmladjust
