// SPDX-License-Identifier: MIT
#include "compress/compressingwriter.h"

#include "compress/compressioncodec.h"
#include "writeall.h"

namespace xmladjust {

namespace {

constexpr int outputChunkSize = 64 * 1024;

} // namespace

CompressingWriter::CompressingWriter(QIODevice &sink, CompressionFormat format)
    : m_sink(sink), m_codec(makeCompressor(format)), m_output(outputChunkSize, Qt::Uninitialized)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (!m_codec)
        setErrorString(QStringLiteral("out of memory"));
}

CompressingWriter::~CompressingWriter() = default;

bool CompressingWriter::compress(const char *data, qint64 size, bool finish)
{
    if (!m_codec)
        return false;
    for (qint64 taken = 0;;) {
        const CodecStep step =
            m_codec->step(data + taken, size - taken, m_output.data(), m_output.size(), finish);
        taken += step.consumed;
        if (!step.error.isEmpty()) {
            setErrorString(step.error);
            return false;
        }
        if (step.produced > 0) {
            const Outcome written = writeAllTo(
                &m_sink, QByteArray::fromRawData(m_output.constData(), int(step.produced)));
            if (!written.succeeded()) {
                setErrorString(written.failure().message);
                return false;
            }
        }
        // Done when all is taken and, at the end, the stream's end is written; a
        // step that filled the output may have more to give.
        if (finish ? step.ended : taken == size && step.produced < m_output.size())
            return true;
    }
}

qint64 CompressingWriter::writeData(const char *data, qint64 size)
{
    return compress(data, size, false) ? size : -1;
}

Outcome CompressingWriter::finish()
{
    if (!compress(nullptr, 0, true))
        return Failure{FailureKind::CannotWrite, errorString()};
    return {};
}

} // namespace xmladjust
