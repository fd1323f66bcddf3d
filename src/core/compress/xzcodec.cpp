// SPDX-License-Identifier: MIT
// xz through liblzma: concatenated streams read as one, written at liblzma's default
// preset with the CRC64 check, as the xz tool writes them.
#include "compress/compressioncodec.h"

#include <lzma.h>

namespace xmladjust {

namespace {

// A stream may ask for a dictionary of up to 4 GiB; more than this is refused
// rather than allocated (the xz tool's presets use at most 64 MiB).
constexpr uint64_t decoderMemoryLimit = uint64_t(256) << 20;

// liblzma names its errors by code alone.
QString xzReason(lzma_ret code)
{
    switch (code) {
    case LZMA_MEM_ERROR:
        return QStringLiteral("out of memory");
    case LZMA_MEMLIMIT_ERROR:
        return QStringLiteral("the xz data needs more than %1 MiB of memory to read")
            .arg(decoderMemoryLimit >> 20);
    case LZMA_FORMAT_ERROR:
        return QStringLiteral("not xz data (the file format is not recognized)");
    case LZMA_OPTIONS_ERROR:
        return QStringLiteral("the xz data uses options this library does not support");
    case LZMA_DATA_ERROR:
        return QStringLiteral("the xz data is corrupt (a check does not match)");
    case LZMA_BUF_ERROR:
        return QStringLiteral("the xz data ends unexpectedly (truncated)");
    default:
        return QStringLiteral("xz error %1").arg(int(code));
    }
}

class XzCodec : public CompressionCodec
{
public:
    explicit XzCodec(bool compress)
    {
        m_ready = (compress ? lzma_easy_encoder(&m_stream, LZMA_PRESET_DEFAULT, LZMA_CHECK_CRC64)
                            : lzma_stream_decoder(&m_stream, decoderMemoryLimit,
                                                  LZMA_CONCATENATED)) == LZMA_OK;
    }
    ~XzCodec() override { lzma_end(&m_stream); }
    bool ready() const { return m_ready; }

    CodecStep step(const char *input, qint64 inputSize, char *output, qint64 outputSize,
                   bool finish) override
    {
        m_stream.next_in = reinterpret_cast<const uint8_t *>(input);
        m_stream.avail_in = size_t(inputSize);
        m_stream.next_out = reinterpret_cast<uint8_t *>(output);
        m_stream.avail_out = size_t(outputSize);
        const lzma_ret code = lzma_code(&m_stream, finish ? LZMA_FINISH : LZMA_RUN);
        CodecStep result;
        result.consumed = inputSize - qint64(m_stream.avail_in);
        result.produced = outputSize - qint64(m_stream.avail_out);
        result.ended = code == LZMA_STREAM_END;
        // Without progress and before the end, LZMA_BUF_ERROR only asks for more input.
        const bool waiting = code == LZMA_BUF_ERROR && !finish;
        if (code != LZMA_OK && code != LZMA_STREAM_END && !waiting)
            result.error = xzReason(code);
        return result;
    }

private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
    bool m_ready = false;
};

std::unique_ptr<CompressionCodec> made(bool compress)
{
    auto codec = std::make_unique<XzCodec>(compress);
    return codec->ready() ? std::move(codec) : nullptr;
}

} // namespace

std::unique_ptr<CompressionCodec> makeXzDecompressor()
{
    return made(false);
}

std::unique_ptr<CompressionCodec> makeXzCompressor()
{
    return made(true);
}

} // namespace xmladjust
