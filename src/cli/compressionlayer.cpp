// SPDX-License-Identifier: MIT
#include "compressionlayer.h"

namespace xmladjust {

CompressionLayer::CompressionLayer(QIODevice &input, QIODevice *output)
    : m_input(&input), m_output(output)
{
    const CompressionFormat format = peekCompressionFormat(input);
    if (format == CompressionFormat::None)
        return;
    m_reader = std::make_unique<DecompressingReader>(input, format);
    m_input = m_reader.get();
    if (output) {
        m_writer = std::make_unique<CompressingWriter>(*output, format);
        m_output = m_writer.get();
    }
}

QString CompressionLayer::finish()
{
    if (m_reader) {
        char byte = 0;
        const qint64 read = m_reader->read(&byte, 1);
        if (read < 0)
            return m_reader->errorString();
        if (read > 0)
            return QStringLiteral("the compressed data goes on after the document");
    }
    if (m_writer) {
        if (const Outcome written = m_writer->finish(); !written.succeeded())
            return written.failure().message;
    }
    return QString();
}

} // namespace xmladjust
