// SPDX-License-Identifier: MIT
#ifndef DECOMPRESSINGREADER_H
#define DECOMPRESSINGREADER_H

#include "compress/compressionformat.h"

#include <QByteArray>
#include <QIODevice>

namespace xmladjust {

// Reads a compressed source as the bytes it holds, in pieces, so that memory stays
// the same whatever they decompress to. Streams written one after another (as
// parallel compressors write them) are read as one. The end is reported only after
// the last stream's checksum was checked; compressed data that is broken or cut
// short makes a read fail with the library's reason.
class DecompressingReader : public QIODevice
{
public:
    DecompressingReader(QIODevice &source, CompressionFormat format);
    ~DecompressingReader() override;

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    bool readSource();
    qint64 pending() const { return m_input.size() - m_position; }

    QIODevice &m_source;
    CompressionFormat m_format;
    std::unique_ptr<CompressionCodec> m_codec;
    QByteArray m_input;
    int m_position = 0;
    bool m_sourceEnded = false;
    bool m_streamEnded = true; // no stream begun yet
};

} // namespace xmladjust

#endif // DECOMPRESSINGREADER_H
