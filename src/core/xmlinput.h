#ifndef XMLINPUT_H
#define XMLINPUT_H

#include <QByteArray>
#include <QString>

class QDomDocument;

// Documents nested deeper than this are refused: the DOM's serialiser and destructor
// need stack for every level.
constexpr int maximumNestingDepth = 1000;

// The DOM needs some forty times a document's size in memory, and its strings cannot
// pass 2 GiB; larger files are refused rather than left to exhaust memory.
constexpr qint64 maximumXmlFileSize = qint64(256) << 20;

// Entity references may expand to at most this many characters in all, which
// keeps a small document from growing past what memory and strings can hold.
constexpr qint64 maximumEntityExpansionTotal = 64000000;

// The parser compares every attribute of a tag with every other, so a tag with a
// great many would take hours; more than this are refused before it sees them.
constexpr qint64 maximumAttributesPerTag = 10000;

struct XmlLoadResult
{
    enum Status
    {
        Loaded,
        CannotRead,
        NotWellFormed,
        TooDeep,
        TooLarge,
        UnsupportedEncoding // well-formed, but in an encoding this program cannot write
    };
    Status status = NotWellFormed;
    QString errorMessage; // the system's or the parser's reason
    int errorLine = 0;
    int errorColumn = 0;

    bool isLoaded() const { return status == Loaded; }
};

// The Unicode encoding that a byte order mark, or else the shape of "<?" in the
// first bytes, shows (a MIB enum: 106 UTF-8, 1013/1014 UTF-16BE/LE, 1018/1019
// UTF-32BE/LE), with the length of the mark; a MIB of 0 when they show none.
struct UnicodeSignature
{
    int mib = 0;
    int byteOrderMarkLength = 0;
};
UnicodeSignature unicodeSignature(const QByteArray &head);

// The encoding named by the XML declaration at the start of ASCII-compatible bytes
// (after any byte order mark); empty when they hold no declaration or it names none.
QString declaredEncoding(const QByteArray &head);

// Decodes a file's bytes by their byte order mark or first bytes, then the encoding
// named in the XML declaration. Invalid bytes become U+FFFD.
QString decodeXmlBytes(const QByteArray &bytes);

// Decodes whole UTF-32 units; false in `valid` when `size` is no multiple of four
// or a unit is no Unicode character (beyond U+10FFFF, or half a surrogate pair).
QString decodeUtf32(const char *bytes, qint64 size, bool bigEndian, bool *valid);

// Where the first half of a surrogate pair without its other half stands, or -1.
// XML allows no such character.
int firstLoneSurrogate(const QString &text);

// The encoding named by `encoding="..."` in the text of an XML declaration (the
// whole declaration, or its data without "<?xml"); empty when it names none.
QString encodingInDeclaration(const QString &declaration);

// Drops a leading byte order mark and turns CRLF and lone CR into LF, as XML requires
// of a parser before it looks at the text.
QString normalizeXmlText(QString text);

// The XML declaration at the start of a document (file bytes, or text as UTF-8) as
// the DOM keeps it: "version='1.0' encoding='...' standalone='...'", with what the
// declaration gives; a null string when the document has none.
QString declarationAsDomKeepsIt(const QByteArray &bytes, bool utf8Text);

// Parses the text into the document, after the guards. The text is taken as it
// stands: an encoding its declaration names does not apply.
XmlLoadResult loadXmlText(QDomDocument &document, const QString &text);

// Parses the bytes of a file into the document, after the guards. Bytes that are not
// valid in the file's encoding are refused, as XML requires.
XmlLoadResult loadXmlBytes(QDomDocument &document, const QByteArray &bytes);

// Reads and parses the regular file at the path.
XmlLoadResult loadXmlFile(QDomDocument &document, const QString &path);

#endif // XMLINPUT_H
