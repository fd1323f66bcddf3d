// SPDX-License-Identifier: MIT
#include "compress/decompressingreader.h"

#include "compress/compressioncodec.h"

namespace xmladjust {

namespace {

constexpr int sourceChunkSize = 64 * 1024;

} // namespace

DecompressingReader::DecompressingReader(QIODevice &source, CompressionFormat format)
    : m_source(source), m_format(format)
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

DecompressingReader::~DecompressingReader() = default;

// Adds the next piece of the source to what is still to be decompressed.
bool DecompressingReader::readSource()
{
    m_input.remove(0, m_position);
    m_position = 0;
    const int kept = m_input.size();
    m_input.resize(kept + sourceChunkSize);
    const qint64 read = m_source.read(m_input.data() + kept, sourceChunkSize);
    m_input.resize(kept + int(qMax<qint64>(read, 0)));
    if (read < 0) {
        setErrorString(m_source.errorString());
        return false;
    }
    m_sourceEnded = read == 0;
    return true;
}

qint64 DecompressingReader::readData(char *data, qint64 maxSize)
{
    bool hungry = pending() == 0;
    for (;;) {
        if (hungry && !m_sourceEnded && !readSource())
            return -1;
        hungry = false;
        if (m_streamEnded) {
            if (pending() == 0 && m_sourceEnded)
                return 0; // the end, every stream whole
            if (pending() == 0) {
                hungry = true;
                continue;
            }
            // The next stream, which must be one of the same format.
            m_codec = makeDecompressor(m_format);
            if (!m_codec) {
                setErrorString(QStringLiteral("out of memory"));
                return -1;
            }
            m_streamEnded = false;
        }
        const CodecStep step = m_codec->step(m_input.constData() + m_position, pending(), data,
                                             maxSize, m_sourceEnded);
        m_position += int(step.consumed);
        if (!step.error.isEmpty()) {
            setErrorString(step.error);
            return -1;
        }
        m_streamEnded = step.ended;
        if (step.produced > 0)
            return step.produced;
        if (step.ended || step.consumed > 0)
            continue;
        if (m_sourceEnded) {
            setErrorString(QStringLiteral("the compressed data ends before its stream does "
                                          "(truncated)"));
            return -1;
        }
        hungry = true;
    }
}

} // namespace xmladjust
