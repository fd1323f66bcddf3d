// SPDX-License-Identifier: MIT
#include "file/filenames.h"

#include <QFile>

#include <QtGlobal>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>

namespace xmladjust {

namespace {

constexpr char16_t escapeBase = 0xDC00;

// The length of the valid UTF-8 sequence at the start of the bytes, and its code point,
// or 0 where the first byte begins none.
int validSequence(const unsigned char *bytes, int available, char32_t *codePoint)
{
    const unsigned char lead = bytes[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    int length = 0;
    char32_t value = 0, minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, value = lead & 0x1F, minimum = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, value = lead & 0x0F, minimum = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, value = lead & 0x07, minimum = 0x10000;
    if (length == 0 || length > available)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *codePoint = value;
    return length;
}

// UTF-8 that keeps the bytes it cannot read, as Python's "surrogateescape" does. Names
// and arguments come whole, so no state is carried from one call to the next.
class EscapingUtf8Codec : public QTextCodec
{
public:
    QByteArray name() const override { return QByteArrayLiteral("UTF-8 keeping invalid bytes"); }
    int mibEnum() const override { return -106; } // none of IANA's: not to be found as UTF-8

protected:
    QString convertToUnicode(const char *input, int length, ConverterState *) const override
    {
        const auto *bytes = reinterpret_cast<const unsigned char *>(input);
        QString text;
        text.reserve(length);
        for (int i = 0; i < length;) {
            char32_t codePoint = 0;
            const int taken = validSequence(bytes + i, length - i, &codePoint);
            if (taken == 0) {
                text += QChar(char16_t(escapeBase + bytes[i]));
                ++i;
                continue;
            }
            if (QChar::requiresSurrogates(codePoint)) {
                text += QChar(QChar::highSurrogate(codePoint));
                text += QChar(QChar::lowSurrogate(codePoint));
            } else {
                text += QChar(char16_t(codePoint));
            }
            i += taken;
        }
        return text;
    }

    QByteArray convertFromUnicode(const QChar *input, int length, ConverterState *) const override
    {
        QByteArray bytes;
        bytes.reserve(length);
        for (int i = 0; i < length; ++i) {
            const char16_t unit = input[i].unicode();
            if (unit >= escapeBase + 0x80 && unit <= escapeBase + 0xFF) {
                bytes += char(unit - escapeBase);
                continue;
            }
            if (input[i].isHighSurrogate() && i + 1 < length && input[i + 1].isLowSurrogate()) {
                bytes += QString(input + i, 2).toUtf8();
                ++i;
                continue;
            }
            bytes += input[i].isSurrogate() ? QByteArray("?") : QString(input[i]).toUtf8();
        }
        return bytes;
    }
};

} // namespace

void keepFileNamesExact()
{
    const QTextCodec *locale = QTextCodec::codecForLocale();
    if (!locale || locale->mibEnum() != 106)
        return;
    // Qt keeps every codec made until it ends.
    QTextCodec::setCodecForLocale(new EscapingUtf8Codec);
}

} // namespace xmladjust

#else

namespace xmladjust {

// Qt 6 reads and writes every name as UTF-8 with no hook for another codec.
void keepFileNamesExact() {}

} // namespace xmladjust

#endif

namespace xmladjust {

int firstInexactArgument(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray bytes(argv[i]);
        if (QFile::encodeName(QFile::decodeName(bytes)) != bytes)
            return i;
    }
    return 0;
}

} // namespace xmladjust
