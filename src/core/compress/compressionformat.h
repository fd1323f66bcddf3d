// SPDX-License-Identifier: MIT
#ifndef COMPRESSIONFORMAT_H
#define COMPRESSIONFORMAT_H

#include <QString>

#include <memory>

class QIODevice;

namespace xmladjust {

class CompressionCodec;

// The compressed formats a document may come in, known by their first bytes.
enum class CompressionFormat
{
    None,
    Gzip,
    Bzip2,
    Xz,
    Zstd
};

// The format the input starts in. Its first bytes are peeked at, so they stay to be
// read; a pipe is waited on until enough of them have come or it ended.
CompressionFormat peekCompressionFormat(QIODevice &input);

// A fresh decompressor or compressor of the format (not None), or null when its
// library could not set one up.
std::unique_ptr<CompressionCodec> makeDecompressor(CompressionFormat format);
std::unique_ptr<CompressionCodec> makeCompressor(CompressionFormat format);

} // namespace xmladjust

#endif // COMPRESSIONFORMAT_H
