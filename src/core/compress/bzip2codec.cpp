// SPDX-License-Identifier: MIT
// bzip2 through libbz2: one stream at a time, with its block and stream CRCs, in
// blocks of 900 kB as the bzip2 tool writes them by default.
#include "compress/compressioncodec.h"

#include <bzlib.h>

namespace xmladjust {

namespace {

constexpr int blockSize100k = 9;

// libbz2 names its errors by code alone.
QString bzip2Reason(int code)
{
    switch (code) {
    case BZ_DATA_ERROR:
        return QStringLiteral("data integrity error in the bzip2 data (a CRC does not match)");
    case BZ_DATA_ERROR_MAGIC:
        return QStringLiteral("not bzip2 data (the stream's magic number is wrong)");
    case BZ_MEM_ERROR:
        return QStringLiteral("out of memory");
    default:
        return QStringLiteral("bzip2 error %1").arg(code);
    }
}

class Bzip2Codec : public CompressionCodec
{
public:
    explicit Bzip2Codec(bool compress) : m_compress(compress)
    {
        m_ready = compress ? BZ2_bzCompressInit(&m_stream, blockSize100k, 0, 0) == BZ_OK
                           : BZ2_bzDecompressInit(&m_stream, 0, 0) == BZ_OK;
    }
    ~Bzip2Codec() override
    {
        if (m_ready)
            m_compress ? BZ2_bzCompressEnd(&m_stream) : BZ2_bzDecompressEnd(&m_stream);
    }
    bool ready() const { return m_ready; }

    CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                   bool finish) override
    {
        // Asked to run on nothing, libbz2 calls it a wrong parameter.
        if (m_compress && !finish && inputSize == 0)
            return {};
        m_stream.next_in = const_cast<char *>(input);
        m_stream.avail_in = unsigned(qMin<qint64>(inputSize, 1 << 30));
        m_stream.next_out = output;
        m_stream.avail_out = unsigned(qMin<qint64>(outputSize, 1 << 30));
        const unsigned inputBefore = m_stream.avail_in, outputBefore = m_stream.avail_out;
        const int code = m_compress ? BZ2_bzCompress(&m_stream, finish ? BZ_FINISH : BZ_RUN)
                                    : BZ2_bzDecompress(&m_stream);
        CodecStep result;
        result.consumed = inputBefore - m_stream.avail_in;
        result.produced = outputBefore - m_stream.avail_out;
        result.ended = code == BZ_STREAM_END;
        if (code < 0)
            result.error = bzip2Reason(code);
        return result;
    }

private:
    bz_stream m_stream = {};
    bool m_compress;
    bool m_ready = false;
};

std::unique_ptr<CompressionCodec> made(bool compress)
{
    auto codec = std::make_unique<Bzip2Codec>(compress);
    return codec->ready() ? std::move(codec) : nullptr;
}

} // namespace

std::unique_ptr<CompressionCodec> makeBzip2Decompressor()
{
    return made(false);
}

std::unique_ptr<CompressionCodec> makeBzip2Compressor()
{
    return made(true);
}

} // namespace xmladjust
