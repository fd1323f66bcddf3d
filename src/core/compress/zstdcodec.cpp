// SPDX-License-Identifier: MIT
// Zstandard through libzstd: frame by frame, written at the library's default level
// with the content checksum the zstd tool adds by default.
#include "compress/compressioncodec.h"

#include <zstd.h>

namespace xmladjust {

namespace {

class ZstdDecompressor : public CompressionCodec
{
public:
    // The library refuses frames whose window passes its default bound (128 MiB).
    ZstdDecompressor() : m_context(ZSTD_createDCtx()) {}
    ~ZstdDecompressor() override { ZSTD_freeDCtx(m_context); }
    bool ready() const { return m_context; }

    CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                   bool) override
    {
        ZSTD_inBuffer in{input, size_t(inputSize), 0};
        ZSTD_outBuffer out{output, size_t(outputSize), 0};
        const size_t code = ZSTD_decompressStream(m_context, &out, &in);
        CodecStep result;
        result.consumed = qint64(in.pos);
        result.produced = qint64(out.pos);
        if (ZSTD_isError(code))
            result.error = QString::fromLatin1(ZSTD_getErrorName(code));
        else
            result.ended = code == 0; // a frame is whole, its checksum checked
        return result;
    }

private:
    ZSTD_DCtx *m_context;
};

class ZstdCompressor : public CompressionCodec
{
public:
    ZstdCompressor() : m_context(ZSTD_createCCtx())
    {
        if (m_context && ZSTD_isError(ZSTD_CCtx_setParameter(m_context, ZSTD_c_checksumFlag, 1))) {
            ZSTD_freeCCtx(m_context);
            m_context = nullptr;
        }
    }
    ~ZstdCompressor() override { ZSTD_freeCCtx(m_context); }
    bool ready() const { return m_context; }

    CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                   bool finish) override
    {
        ZSTD_inBuffer in{input, size_t(inputSize), 0};
        ZSTD_outBuffer out{output, size_t(outputSize), 0};
        const size_t code =
            ZSTD_compressStream2(m_context, &out, &in, finish ? ZSTD_e_end : ZSTD_e_continue);
        CodecStep result;
        result.consumed = qint64(in.pos);
        result.produced = qint64(out.pos);
        if (ZSTD_isError(code))
            result.error = QString::fromLatin1(ZSTD_getErrorName(code));
        else
            result.ended = finish && code == 0; // nothing left to flush
        return result;
    }

private:
    ZSTD_CCtx *m_context;
};

template <typename Codec> std::unique_ptr<CompressionCodec> made()
{
    auto codec = std::make_unique<Codec>();
    return codec->ready() ? std::move(codec) : nullptr;
}

} // namespace

std::unique_ptr<CompressionCodec> makeZstdDecompressor()
{
    return made<ZstdDecompressor>();
}

std::unique_ptr<CompressionCodec> makeZstdCompressor()
{
    return made<ZstdCompressor>();
}

} // namespace xmladjust
