// SPDX-License-Identifier: MIT
#ifndef COMPRESSINGWRITER_H
#define COMPRESSINGWRITER_H

#include "compress/compressionformat.h"
#include "result.h"

#include <QByteArray>
#include <QIODevice>

namespace xmladjust {

// Compresses what is written to it into one stream of the format, written on to the
// sink as it fills, so that memory stays the same whatever its size. finish() writes
// the stream's end; without it the sink holds no whole stream.
class CompressingWriter : public QIODevice
{
public:
    CompressingWriter(QIODevice &sink, CompressionFormat format);
    ~CompressingWriter() override;

    bool isSequential() const override { return true; }
    Outcome finish();

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool compress(const char *data, qint64 size, bool finish);

    QIODevice &m_sink;
    std::unique_ptr<CompressionCodec> m_codec;
    QByteArray m_output;
};

} // namespace xmladjust

#endif // COMPRESSINGWRITER_H
