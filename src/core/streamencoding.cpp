#include "streamencoding.h"

#include "xmlinput.h"

#include <QHash>
#include <QMutex>
#include <QTextCodec>

#include <algorithm>
#include <cstring>

namespace {

bool isWideUnicode(const QTextCodec *codec)
{
    const int mib = codec->mibEnum();
    return mib >= 1013 && mib <= 1019;
}

InputEncoding unicodeEncoding(int mib, int byteOrderMarkLength)
{
    InputEncoding encoding;
    encoding.codec = QTextCodec::codecForMib(mib);
    encoding.form = mib == 106                     ? ByteForm::Utf8
                    : (mib == 1013 || mib == 1014) ? ByteForm::Utf16
                                                   : ByteForm::Utf32;
    encoding.byteOrderMarkLength = byteOrderMarkLength;
    encoding.markupInBytes = mib == 106;
    return encoding;
}

// Checked once per codec, over every character of the Basic Multilingual Plane.
bool writesAsciiOnlyAsAscii(QTextCodec *codec)
{
    static QMutex mutex;
    static QHash<QTextCodec *, bool> known;
    const QMutexLocker lock(&mutex);
    const auto found = known.constFind(codec);
    if (found != known.constEnd())
        return *found;
    bool keeps = true;
    for (char byte = 0; keeps && byte >= 0; ++byte) {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        keeps = codec->toUnicode(&byte, 1, &state) == QString(QLatin1Char(byte));
    }
    for (uint u = 0x80; keeps && u <= 0xffff; ++u) {
        const QChar c(u);
        if (c.isSurrogate() || !codec->canEncode(c))
            continue;
        const QByteArray bytes = encodeWithoutMark(codec, QStringView(&c, 1));
        keeps = std::none_of(bytes.cbegin(), bytes.cend(), [](char b) { return uchar(b) < 0x80; });
    }
    known.insert(codec, keeps);
    return keeps;
}

} // namespace

QByteArray encodeWithoutMark(QTextCodec *codec, QStringView text)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return codec->fromUnicode(text.data(), int(text.size()), &state);
}

InputEncoding detectStreamEncoding(const QByteArray &head)
{
    if (const UnicodeSignature signature = unicodeSignature(head); signature.mib != 0)
        return unicodeEncoding(signature.mib, signature.byteOrderMarkLength);

    const QString name = declaredEncoding(head);
    if (name.isEmpty())
        return unicodeEncoding(106, 0);
    InputEncoding encoding;
    encoding.codec = QTextCodec::codecForName(name.toLatin1());
    if (!encoding.codec) {
        encoding.error = QStringLiteral("unsupported encoding \"%1\"").arg(name);
        return encoding;
    }
    if (isWideUnicode(encoding.codec)) {
        encoding.error =
            QStringLiteral("the declaration names %1, but the document is not written in it "
                           "(it has no byte order mark)")
                .arg(name);
        return encoding;
    }
    switch (encoding.codec->mibEnum()) {
    case 106:
        encoding.form = ByteForm::Utf8;
        break;
    case 4: // ISO-8859-1
        encoding.form = ByteForm::Latin1;
        break;
    default:
        encoding.form = ByteForm::Other;
        encoding.markupInBytes = writesAsciiOnlyAsAscii(encoding.codec);
        break;
    }
    return encoding;
}

ByteCursor::ByteCursor(const InputEncoding &encoding)
    : m_codec(encoding.codec), m_form(encoding.form), m_byte(encoding.byteOrderMarkLength)
{
    if (m_form == ByteForm::Other)
        m_lengths.assign(0x10000, 0);
}

void ByteCursor::advance(const QChar *text, qint64 position)
{
    if (position <= m_character)
        return;
    m_byte += encodedLength(text, text + (position - m_character));
    m_character = position;
}

qint64 ByteCursor::encodedLength(const QChar *begin, const QChar *end)
{
    switch (m_form) {
    case ByteForm::Utf16:
        return 2 * (end - begin);
    case ByteForm::Utf32: {
        qint64 length = 0;
        for (const QChar *c = begin; c != end; ++c)
            length += c->isLowSurrogate() ? 0 : 4;
        return length;
    }
    default: // read in bytes, without a cursor, or measured here
        break;
    }
    qint64 length = 0;
    for (const QChar *c = begin; c != end; ++c) {
        if (c->isHighSurrogate() && c + 1 != end) {
            length += encodeWithoutMark(m_codec, QStringView(c, 2)).size();
            ++c;
            continue;
        }
        quint8 &known = m_lengths[c->unicode()];
        if (known == 0)
            known = quint8(
                std::clamp<int>(encodeWithoutMark(m_codec, QStringView(c, 1)).size(), 1, 255));
        length += known;
    }
    return length;
}
