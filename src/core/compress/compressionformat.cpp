// SPDX-License-Identifier: MIT
#include "compress/compressionformat.h"

#include "compress/compressioncodec.h"

#include <QIODevice>

namespace xmladjust {

namespace {

// The longest signature below.
constexpr int signatureLength = 6;

CompressionFormat formatOf(const QByteArray &head)
{
    if (head.startsWith("\x1f\x8b"))
        return CompressionFormat::Gzip;
    // "BZh" and the block size, 1 to 9 hundred kilobytes.
    if (head.size() >= 4 && head.startsWith("BZh") && head[3] >= '1' && head[3] <= '9')
        return CompressionFormat::Bzip2;
    if (head.startsWith(QByteArray("\xfd"
                                   "7zXZ\x00",
                                   6)))
        return CompressionFormat::Xz;
    if (head.startsWith("\x28\xb5\x2f\xfd"))
        return CompressionFormat::Zstd;
    return CompressionFormat::None;
}

} // namespace

CompressionFormat peekCompressionFormat(QIODevice &input)
{
    // Read and put back a byte at a time: a pipe may give fewer than asked for, and
    // an unbuffered device cannot be peeked at past what it gave.
    QByteArray head;
    for (char byte = 0; head.size() < signatureLength && input.getChar(&byte);)
        head += byte;
    for (int i = head.size(); i-- > 0;)
        input.ungetChar(head[i]);
    return formatOf(head);
}

std::unique_ptr<CompressionCodec> makeDecompressor(CompressionFormat format)
{
    switch (format) {
    case CompressionFormat::Gzip:
        return makeGzipDecompressor();
    case CompressionFormat::Bzip2:
        return makeBzip2Decompressor();
    case CompressionFormat::Xz:
        return makeXzDecompressor();
    case CompressionFormat::Zstd:
        return makeZstdDecompressor();
    case CompressionFormat::None:
        break;
    }
    return nullptr;
}

std::unique_ptr<CompressionCodec> makeCompressor(CompressionFormat format)
{
    switch (format) {
    case CompressionFormat::Gzip:
        return makeGzipCompressor();
    case CompressionFormat::Bzip2:
        return makeBzip2Compressor();
    case CompressionFormat::Xz:
        return makeXzCompressor();
    case CompressionFormat::Zstd:
        return makeZstdCompressor();
    case CompressionFormat::None:
        break;
    }
    return nullptr;
}

} // namespace xmladjust
