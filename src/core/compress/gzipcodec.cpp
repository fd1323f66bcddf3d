// SPDX-License-Identifier: MIT
// gzip through zlib: one member at a time, its header and CRC-32 as zlib reads and
// writes them, at zlib's default level.
#include "compress/compressioncodec.h"

#include <zlib.h>

namespace xmladjust {

namespace {

// zlib's own window, with 16 added for a gzip header and trailer instead of zlib's.
constexpr int gzipWindowBits = 15 + 16;

QString zlibReason(const z_stream &stream, int code)
{
    if (stream.msg)
        return QString::fromLatin1(stream.msg);
    return code == Z_MEM_ERROR ? QStringLiteral("out of memory")
                               : QStringLiteral("zlib error %1").arg(code);
}

class GzipCodec : public CompressionCodec
{
public:
    explicit GzipCodec(bool compress) : m_compress(compress)
    {
        m_ready = compress ? deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                                          gzipWindowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK
                           : inflateInit2(&m_stream, gzipWindowBits) == Z_OK;
    }
    ~GzipCodec() override
    {
        if (m_ready)
            m_compress ? deflateEnd(&m_stream) : inflateEnd(&m_stream);
    }
    bool ready() const { return m_ready; }

    CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                   bool finish) override
    {
        // zlib counts in unsigned int; pieces this program passes are far smaller.
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input));
        m_stream.avail_in = uInt(qMin<qint64>(inputSize, 1 << 30));
        m_stream.next_out = reinterpret_cast<Bytef *>(output);
        m_stream.avail_out = uInt(qMin<qint64>(outputSize, 1 << 30));
        const uInt inputBefore = m_stream.avail_in, outputBefore = m_stream.avail_out;
        const int code = m_compress ? deflate(&m_stream, finish ? Z_FINISH : Z_NO_FLUSH)
                                    : inflate(&m_stream, Z_NO_FLUSH);
        CodecStep result;
        result.consumed = inputBefore - m_stream.avail_in;
        result.produced = outputBefore - m_stream.avail_out;
        result.ended = code == Z_STREAM_END;
        // Z_BUF_ERROR is no error: only that no progress was possible this time.
        if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR)
            result.error = zlibReason(m_stream, code);
        return result;
    }

private:
    z_stream m_stream = {};
    bool m_compress;
    bool m_ready = false;
};

std::unique_ptr<CompressionCodec> made(bool compress)
{
    auto codec = std::make_unique<GzipCodec>(compress);
    return codec->ready() ? std::move(codec) : nullptr;
}

} // namespace

std::unique_ptr<CompressionCodec> makeGzipDecompressor()
{
    return made(false);
}

std::unique_ptr<CompressionCodec> makeGzipCompressor()
{
    return made(true);
}

} // namespace xmladjust
