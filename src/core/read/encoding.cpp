// SPDX-License-Identifier: MIT
#include "read/encoding.h"

#include "messages.h"

#include <QHash>
#include <QRegularExpression>
#include <QTextCodec>
#include <QTextDecoder>
#include <QVector>

#include <libxml/xmlerror.h>

#include <algorithm>
#include <mutex>

namespace xmladjust {

namespace {

constexpr int utf8Mib = 106;

// UTF-32 written here: Qt's own encoder leaves four bytes unwritten at the end for
// each character beyond the BMP, and the file could not be read again. "UTF-32" itself is written
// as Qt writes it, with a byte order mark, in this machine's byte order.
QByteArray encodeUtf32(const QString &text, int mib)
{
    const bool bigEndian = mib == 1018 || (mib == 1017 && Q_BYTE_ORDER == Q_BIG_ENDIAN);
    QVector<uint> codePoints = text.toUcs4();
    if (mib == 1017)
        codePoints.prepend(QChar::ByteOrderMark);
    QByteArray bytes;
    bytes.reserve(codePoints.size() * 4);
    for (const uint codePoint : qAsConst(codePoints)) {
        for (int i = 0; i < 4; ++i)
            bytes += char(codePoint >> (8 * (bigEndian ? 3 - i : i)));
    }
    return bytes;
}

// "<?xm" in EBCDIC. The characters of a declaration are the same in every EBCDIC
// code page, so it is read in IBM037 to learn which page the document names.
constexpr char ebcdicOpening[] = "\x4c\x6f\xa7\x94";
constexpr int ibm037Mib = 2028;

} // namespace

bool startsAsEbcdic(const QByteArray &head)
{
    return head.startsWith(ebcdicOpening);
}

UnicodeSignature unicodeSignature(const QByteArray &head)
{
    struct Signature
    {
        const char *bytes;
        int size;
        UnicodeSignature signature;
    };
    // Longer marks first: FF FE begins both UTF-32LE's mark and UTF-16LE's.
    static const Signature signatures[] = {
        {"\xef\xbb\xbf", 3, {utf8Mib, 3}},
        {"\xff\xfe\x00\x00", 4, {1019, 4}},
        {"\x00\x00\xfe\xff", 4, {1018, 4}},
        {"\xff\xfe", 2, {1014, 2}},
        {"\xfe\xff", 2, {1013, 2}},
        {"<\x00\x00\x00", 4, {1019, 0}},
        {"\x00\x00\x00<", 4, {1018, 0}},
        {"<\x00", 2, {1014, 0}},
        {"\x00<", 2, {1013, 0}},
    };
    for (const Signature &known : signatures) {
        if (head.startsWith(QByteArray::fromRawData(known.bytes, known.size)))
            return known.signature;
    }
    return {};
}

DocumentEncoding documentEncoding(const QByteArray &head)
{
    const UnicodeSignature signature = unicodeSignature(head);
    DocumentEncoding encoding;
    encoding.byteOrderMarkLength = signature.byteOrderMarkLength;
    if (signature.mib != 0) {
        encoding.codec = codecForMib(signature.mib);
        return encoding;
    }
    const QByteArray start = head.mid(signature.byteOrderMarkLength, declarationSearchBytes);
    if (signature.mib == 0 && startsAsEbcdic(start)) {
        // Without a name no code page can be chosen, nor would XML allow it.
        encoding.declaredName =
            declaredEncoding(codecForMib(ibm037Mib)->toUnicode(start).toLatin1());
        if (encoding.declaredName.isEmpty())
            encoding.declaredName = QStringLiteral("EBCDIC"); // and no codec
        else
            encoding.codec = codecForName(encoding.declaredName.toLatin1());
        return encoding;
    }
    encoding.declaredName = declaredEncoding(start);
    encoding.codec = encoding.declaredName.isEmpty()
                         ? codecForMib(utf8Mib)
                         : codecForName(encoding.declaredName.toLatin1());
    return encoding;
}

QString declaredEncoding(const QByteArray &head)
{
    // Only a real declaration counts: an instruction such as <?xmlr encoding="…"?>
    // is none, and the serialiser would not honour it when writing the file back.
    if (!head.startsWith("<?xml") || head.size() < 6 || !QChar::isSpace(uchar(head[5])))
        return {};
    const int end = head.indexOf("?>");
    if (end < 0)
        return {};
    return encodingInDeclaration(QString::fromLatin1(head.left(end)));
}

QString encodingInDeclaration(const QString &declaration)
{
    static const QRegularExpression encoding(
        QStringLiteral("(?:^|\\s)encoding\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)')"));
    const QRegularExpressionMatch match = encoding.match(declaration);
    return match.captured(1) + match.captured(2);
}

namespace {

// The name as a family and byte order: case, '-' and '_' do not matter.
QString encodingKey(const QString &name)
{
    QString key = name.toUpper();
    key.remove(QLatin1Char('-'));
    key.remove(QLatin1Char('_'));
    return key;
}

// The names a declaration may give the encoding a byte order mark shows.
bool namesMarkedEncoding(const QString &declared, int mib)
{
    const QString key = encodingKey(declared);
    switch (mib) {
    case utf8Mib:
        return key == QLatin1String("UTF8");
    case 1013:
    case 1014:
        return key == QLatin1String("UTF16") || key == QLatin1String("ISO10646UCS2") ||
               key == QLatin1String("UCS2") ||
               key == QLatin1String(mib == 1013 ? "UTF16BE" : "UTF16LE");
    default:
        return key == QLatin1String("UTF32") || key == QLatin1String("ISO10646UCS4") ||
               key == QLatin1String("UCS4") ||
               key == QLatin1String(mib == 1018 ? "UTF32BE" : "UTF32LE");
    }
}

} // namespace

MarkConflict markConflict(const QByteArray &head)
{
    const UnicodeSignature signature = unicodeSignature(head);
    if (signature.byteOrderMarkLength == 0)
        return {};
    QTextCodec *codec = codecForMib(signature.mib);
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QByteArray start = head.mid(signature.byteOrderMarkLength, declarationSearchBytes);
    const QString text = codec->toUnicode(start.constData(), int(start.size()), &state);
    const QString declared = declaredEncoding(text.toLatin1());
    if (declared.isEmpty() || namesMarkedEncoding(declared, signature.mib))
        return {};
    return {QString::fromLatin1(codec->name()), declared};
}

bool isWideUnicode(int mib)
{
    return mib == 1013 || mib == 1014 || mib == 1015 || isUtf32(mib);
}

bool isUtf32(int mib)
{
    return mib >= 1017 && mib <= 1019;
}

bool holdsEveryCharacter(const QTextCodec *codec)
{
    const int mib = codec->mibEnum();
    return mib == utf8Mib || mib == 114 /* GB18030 */ || isWideUnicode(mib);
}

bool isUnicodeEncoding(const QTextCodec *codec)
{
    return codec->mibEnum() == utf8Mib || isWideUnicode(codec->mibEnum());
}

namespace {
std::mutex codecLookup;
}

QTextCodec *codecForMib(int mib)
{
    const std::lock_guard<std::mutex> lock(codecLookup);
    return QTextCodec::codecForMib(mib);
}

QTextCodec *codecForName(const QByteArray &name)
{
    const std::lock_guard<std::mutex> lock(codecLookup);
    return QTextCodec::codecForName(name);
}

// Checked once per codec, over every character of the Basic Multilingual Plane.
bool writesAsciiOnlyAsAscii(QTextCodec *codec)
{
    static std::mutex mutex;
    static QHash<QTextCodec *, bool> known;
    const std::lock_guard<std::mutex> lock(mutex);
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

InputEncoding detectStreamEncoding(const QByteArray &head)
{
    const DocumentEncoding found = documentEncoding(head);
    InputEncoding encoding;
    if (const MarkConflict conflict = markConflict(head); conflict.exists()) {
        encoding.error =
            failureOf(Reason::MarkContradictsDeclaration, {conflict.shown, conflict.declared})
                .message;
        encoding.errorKind = FailureKind::NotWellFormed;
        return encoding;
    }
    encoding.codec = found.codec;
    encoding.byteOrderMarkLength = found.byteOrderMarkLength;
    if (!found.codec) {
        encoding.error = failureOf(Reason::UnknownEncoding, {found.declaredName}).message;
        return encoding;
    }
    const int mib = found.codec->mibEnum();
    if (!found.declaredName.isEmpty() && isWideUnicode(mib)) {
        encoding.error = failureOf(Reason::DeclaredWideWithoutMark, {found.declaredName}).message;
        return encoding;
    }
    if (mib == utf8Mib) {
        encoding.form = ByteForm::Utf8;
    } else if (mib == 1013 || mib == 1014) {
        encoding.form = ByteForm::Utf16;
        encoding.markupInBytes = false;
    } else if (isUtf32(mib)) {
        encoding.form = ByteForm::Utf32;
        encoding.markupInBytes = false;
        encoding.parserReadsDecoded = true;
    } else if (mib == 4) { // ISO-8859-1
        encoding.form = ByteForm::Latin1;
    } else {
        encoding.form = ByteForm::Other;
        encoding.markupInBytes = writesAsciiOnlyAsAscii(found.codec);
        encoding.parserReadsDecoded = startsAsEbcdic(head);
    }
    return encoding;
}

bool isEncodingError(int libxmlCode, const QString &message)
{
    switch (libxmlCode) {
    case XML_ERR_UNSUPPORTED_ENCODING:
    case XML_ERR_INVALID_ENCODING:
    case XML_I18N_CONV_FAILED:
        return true;
    case XML_ERR_INVALID_CHAR: // also a character XML does not allow
        return message.startsWith(QLatin1String("Input is not proper UTF-8"));
    default:
        return false;
    }
}

QString decodeXmlBytes(const QByteArray &bytes)
{
    QTextCodec *codec = documentEncoding(bytes).codec;
    QTextDecoder decoder(codec ? codec : codecForMib(utf8Mib));
    return decoder.toUnicode(bytes);
}

QString decodeUtf32(const char *bytes, qint64 size, bool bigEndian, bool *valid)
{
    QString text;
    text.reserve(int(size / 4));
    *valid = size % 4 == 0;
    for (const auto *unit = reinterpret_cast<const uchar *>(bytes); *valid && size >= 4;
         unit += 4, size -= 4) {
        const char32_t c =
            bigEndian ? char32_t(unit[0]) << 24 | char32_t(unit[1]) << 16 | unit[2] << 8 | unit[3]
                      : char32_t(unit[3]) << 24 | char32_t(unit[2]) << 16 | unit[1] << 8 | unit[0];
        *valid = c <= 0x10ffff && (c < 0xd800 || c > 0xdfff);
        if (QChar::requiresSurrogates(c)) {
            text += QChar(QChar::highSurrogate(c));
            text += QChar(QChar::lowSurrogate(c));
        } else {
            text += QChar(ushort(c));
        }
    }
    return text;
}

QByteArray encodeWithoutMark(QTextCodec *codec, QStringView text)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    return codec->fromUnicode(text.data(), int(text.size()), &state);
}

QByteArray encodeDocument(const QString &text, QTextCodec *codec)
{
    const int mib = codec->mibEnum();
    if (isUtf32(mib))
        return encodeUtf32(text, mib);
    // Qt writes the mark only when asked to; XML requires it on "UTF-16".
    QTextCodec::ConverterState state(mib == 1015 ? QTextCodec::DefaultConversion
                                                 : QTextCodec::IgnoreHeader);
    return codec->fromUnicode(text.constData(), text.size(), &state);
}

} // namespace xmladjust
