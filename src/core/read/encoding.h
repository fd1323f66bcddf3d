// SPDX-License-Identifier: MIT
#ifndef ENCODING_H
#define ENCODING_H

#include "result.h"

#include <QByteArray>
#include <QString>

class QTextCodec;

namespace xmladjust {

// Which encoding a document is written in, as both readers decide it, and how a
// document is written back in it.

// The XML declaration must lie within the first bytes to be read from them.
constexpr int declarationSearchBytes = 4096;

// The Unicode encoding that a byte order mark, or else the shape of "<?" in the
// first bytes, shows (a MIB enum: 106 UTF-8, 1013/1014 UTF-16BE/LE, 1018/1019
// UTF-32BE/LE), with the length of the mark; a MIB of 0 when they show none.
struct UnicodeSignature
{
    int mib = 0;
    int byteOrderMarkLength = 0;
};
UnicodeSignature unicodeSignature(const QByteArray &head);

// The first bytes are "<?xm" in EBCDIC, whose markup is no ASCII either.
bool startsAsEbcdic(const QByteArray &head);

// A byte order mark or the first bytes first, then the encoding the XML
// declaration names, then UTF-8. In EBCDIC the declaration must name the code page.
struct DocumentEncoding
{
    QTextCodec *codec = nullptr; // null when the declaration names an unknown encoding
    int byteOrderMarkLength = 0;
    QString declaredName; // the name in the declaration, when it decided
};
DocumentEncoding documentEncoding(const QByteArray &head);

// The encoding named by the XML declaration at the start of ASCII-compatible bytes;
// empty when they hold no declaration or it names none.
QString declaredEncoding(const QByteArray &head);

// The encoding named by `encoding="..."` in the text of an XML declaration (the
// whole declaration, or its data without "<?xml"); empty when it names none.
QString encodingInDeclaration(const QString &declaration);

// A byte order mark and a declaration that name different encodings, which XML
// makes a fatal error (libxml2 lets the mark decide); both names empty when there is
// no mark, no declared encoding, or they agree.
struct MarkConflict
{
    QString shown;    // the encoding the mark shows
    QString declared; // the one the declaration names
    bool exists() const { return !declared.isEmpty(); }
};
MarkConflict markConflict(const QByteArray &head);

// Qt's codec of that number or name (null when it has none). Qt guards its list of
// codecs with a lock ThreadSanitizer cannot see; looked up through these, under a
// std::mutex, the lookups of several threads are seen in their order.
QTextCodec *codecForMib(int mib);
QTextCodec *codecForName(const QByteArray &name);

// UTF-16 or UTF-32: their markup is not ASCII bytes, so only a byte order mark or
// the first bytes can show them.
bool isWideUnicode(int mib);
bool isUtf32(int mib);
// Every character can be written in it (a Unicode encoding, or GB18030).
bool holdsEveryCharacter(const QTextCodec *codec);
// UTF-8, UTF-16 or UTF-32.
bool isUnicodeEncoding(const QTextCodec *codec);
// Every byte below 0x80 is that ASCII character, and no other character is written
// with such a byte, so markup can be found in the bytes themselves.
bool writesAsciiOnlyAsAscii(QTextCodec *codec);

// Whether libxml2's fatal error (its code and message) is about the encoding: one it
// cannot read, or bytes that are not valid in it.
bool isEncodingError(int libxmlCode, const QString &message);

// Decodes a file's bytes in the encoding the window reads them in. Invalid bytes
// become U+FFFD.
QString decodeXmlBytes(const QByteArray &bytes);

// Decodes whole UTF-32 units; false in `valid` when `size` is no multiple of four
// or a unit is no Unicode character (beyond U+10FFFF, or half a surrogate pair).
QString decodeUtf32(const char *bytes, qint64 size, bool bigEndian, bool *valid);

// How the streaming engine reads a document's bytes.
enum class ByteForm
{
    Utf8,
    Utf16,
    Utf32,
    Latin1,
    Other // measured character by character
};

struct InputEncoding
{
    QTextCodec *codec = nullptr;
    ByteForm form = ByteForm::Utf8;
    int byteOrderMarkLength = 0;
    // Markup can be found in the bytes themselves (see writesAsciiOnlyAsAscii()).
    bool markupInBytes = true;
    // The parser is given the text decoded here: UTF-32, which libxml2 does not read,
    // and EBCDIC, whose code page libxml2 applies only after the first bytes.
    bool parserReadsDecoded = false;
    QString error; // why the document cannot be read; empty when it can
    FailureKind errorKind = FailureKind::UnsupportedEncoding;
};

// The streaming engine's reading of the first bytes (documentEncoding()), refusing a mark the
// declaration contradicts, an unknown encoding and a declared UTF-16 or UTF-32 that no byte order
// mark or first bytes show.
InputEncoding detectStreamEncoding(const QByteArray &head);

// The text in the codec's bytes, without a byte order mark.
QByteArray encodeWithoutMark(QTextCodec *codec, QStringView text);

// The text as a file in the codec: with the byte order mark XML requires of
// "UTF-16" and "UTF-32" (and none on the forms that name their byte order).
QByteArray encodeDocument(const QString &text, QTextCodec *codec);

} // namespace xmladjust

#endif // ENCODING_H
