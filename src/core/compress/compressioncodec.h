// SPDX-License-Identifier: MIT
#ifndef COMPRESSIONCODEC_H
#define COMPRESSIONCODEC_H

#include <QString>

#include <memory>

namespace xmladjust {

// What one step of a codec did.
struct CodecStep
{
    qint64 consumed = 0; // input bytes taken
    qint64 produced = 0; // output bytes made
    // A decompressor read the end of a stream (and checked its checksum); a
    // compressor has written all of its stream's end.
    bool ended = false;
    QString error; // the library's reason, when the data cannot be read or written
};

// One direction of one format's library, fed and drained in pieces of any size.
class CompressionCodec
{
public:
    virtual ~CompressionCodec() = default;
    // Takes what it can of the input and fills what it can of the output. `finish`
    // says no input follows: a compressor then writes its stream's end, over as many
    // steps as the output needs.
    virtual CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                           bool finish) = 0;
};

// The libraries' own codecs, one file each.
std::unique_ptr<CompressionCodec> makeGzipDecompressor();
std::unique_ptr<CompressionCodec> makeGzipCompressor();
std::unique_ptr<CompressionCodec> makeBzip2Decompressor();
std::unique_ptr<CompressionCodec> makeBzip2Compressor();
std::unique_ptr<CompressionCodec> makeXzDecompressor();
std::unique_ptr<CompressionCodec> makeXzCompressor();
std::unique_ptr<CompressionCodec> makeZstdDecompressor();
std::unique_ptr<CompressionCodec> makeZstdCompressor();

} // namespace xmladjust

#endif // COMPRESSIONCODEC_H
