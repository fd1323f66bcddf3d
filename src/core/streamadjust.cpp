#include "streamadjust.h"

#include "adjustmentrule.h"
#include "xmlinput.h"

#include <QIODevice>
#include <QTextCodec>
#include <QTextDecoder>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The first character from `c` on that is one of `targets`, or `end`. Most of a
// document is read with this, so it compares eight characters at once where the
// processor can.
template <typename... Targets>
const QChar *findAny(const QChar *c, const QChar *const end, Targets... targets)
{
#ifdef __SSE2__
    while (end - c >= 8) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c));
        __m128i found = _mm_setzero_si128();
        ((found = _mm_or_si128(found, _mm_cmpeq_epi16(eight, _mm_set1_epi16(short(targets))))),
         ...);
        const uint mask = uint(_mm_movemask_epi8(found));
        if (mask != 0)
            return c + qCountTrailingZeroBits(mask) / 2;
        c += 8;
    }
#endif
    while (c != end && ((c->unicode() != targets) && ...))
        ++c;
    return c;
}

// The last `target` in [begin, end), or null.
const QChar *findLast(const QChar *const begin, const QChar *end, char16_t target)
{
#ifdef __SSE2__
    const __m128i wanted = _mm_set1_epi16(short(target));
    while (end - begin >= 8) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i *>(end - 8));
        const uint mask = uint(_mm_movemask_epi8(_mm_cmpeq_epi16(eight, wanted)));
        if (mask != 0)
            return end - 8 + (31 - qCountLeadingZeroBits(mask)) / 2;
        end -= 8;
    }
#endif
    while (end != begin) {
        if ((--end)->unicode() == target)
            return end;
    }
    return nullptr;
}

// How the decoded characters map back to bytes.
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
    QString error;
};

// The XML declaration is read from the first bytes; it has to fit in them.
constexpr int encodingDetectionBytes = 4096;

// Whatever follows the document element (comments, processing instructions, space)
// is checked as a whole; this is far beyond any real document's epilogue.
constexpr qint64 maximumTrailingCharacters = qint64(16) << 20;

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
    return encoding;
}

// A byte order mark first, then the shape of "<?" in the first bytes, then the
// encoding the XML declaration names; UTF-8 when nothing says otherwise.
InputEncoding detectEncoding(const QByteArray &head)
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
        break;
    }
    return encoding;
}

bool isXmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r');
}

// Where the named attribute's value lies in the text of a start tag.
struct StartTagText
{
    QStringView elementName;
    int attributeCount = 0;
    int valueStart = -1; // relative to the tag's '<', inside the quotes
    int valueEnd = -1;
    bool wellFormed = false;
};

// Reads a start tag the parser has already accepted, from its '<' to its '>'.
StartTagText readStartTag(QStringView tag, QStringView attributeName)
{
    StartTagText result;
    const int size = int(tag.size());
    int pos = 1;
    while (pos < size && !isXmlSpace(tag[pos]) && tag[pos] != QLatin1Char('/') &&
           tag[pos] != QLatin1Char('>'))
        ++pos;
    result.elementName = tag.mid(1, pos - 1);
    for (;;) {
        while (pos < size && isXmlSpace(tag[pos]))
            ++pos;
        if (pos >= size)
            return result;
        if (tag[pos] == QLatin1Char('/') || tag[pos] == QLatin1Char('>')) {
            result.wellFormed = true;
            return result;
        }
        const int nameStart = pos;
        while (pos < size && !isXmlSpace(tag[pos]) && tag[pos] != QLatin1Char('='))
            ++pos;
        const QStringView name = tag.mid(nameStart, pos - nameStart);
        while (pos < size && isXmlSpace(tag[pos]))
            ++pos;
        if (pos >= size || tag[pos] != QLatin1Char('='))
            return result;
        ++pos;
        while (pos < size && isXmlSpace(tag[pos]))
            ++pos;
        if (pos >= size || (tag[pos] != QLatin1Char('"') && tag[pos] != QLatin1Char('\'')))
            return result;
        const QChar quote = tag[pos++];
        const int valueStart = pos;
        while (pos < size && tag[pos] != quote)
            ++pos;
        if (pos >= size)
            return result;
        if (name == attributeName) {
            result.valueStart = valueStart;
            result.valueEnd = pos;
        }
        ++result.attributeCount;
        ++pos;
    }
}

// Follows the markup ahead of the parser, to refuse what the parser would take
// hours or gigabytes over before it sees it: a start tag with a great many
// attributes (it compares them pair by pair), and a run of text or a value with a
// great many entity references (it holds their whole expansion, up to 4,096
// characters each, until the run ends). Only the outline of markup matters here;
// the parser judges everything else.
class MarkupLookahead
{
public:
    enum Verdict
    {
        Fine,
        TooManyAttributes,
        TooManyReferences,
        // What the parser misses when the input comes in pieces:
        CDataEndInText,        // "]]>" in text
        MisplacedDocumentType, // a second one, or one after the document element began
    };

    // Reads on through the text; stops at the first thing past a limit.
    Verdict scan(QStringView text)
    {
        const QChar *c = text.data();
        const QChar *const end = c + text.size();
        while (c != end) {
            c = skipInert(c, end);
            if (c == end)
                break;
            const char16_t u = (c++)->unicode();
            switch (m_state) {
            case State::Content:
                if (u == '<') {
                    m_state = State::Opening;
                } else if (u == '&') {
                    startReference(State::Content);
                } else if (u == '>' && m_run >= 2) {
                    m_offendingPosition = m_scanned + (c - text.data()) - 3;
                    return CDataEndInText;
                }
                m_run = u == ']' ? m_run + 1 : 0;
                break;
            case State::Reference:
                if (u == ';') {
                    if (!isPredefinedEntity() && ++m_references > maximumStreamReferencesPerRun)
                        return TooManyReferences;
                    m_state = m_returnState;
                } else if (m_referenceName.size() < 5) {
                    m_referenceName += char(u < 0x80 ? u : '?');
                } else {
                    m_referenceName = "?"; // longer than any predefined name
                }
                break;
            case State::Opening:
                m_run = 0;
                m_references = 0;
                m_state = u == '!'   ? State::Declaration
                          : u == '?' ? State::Instruction
                          : u == '/' ? State::EndTag
                                     : State::StartTag;
                m_elementSeen = m_elementSeen || m_state == State::StartTag;
                m_attributes = 0;
                m_returnState = State::Content;
                break;
            case State::Declaration: // after "<!": a comment, CDATA or the document type
                if (u == '-' && ++m_run == 2) {
                    m_run = 0;
                    m_state = State::Comment;
                } else if (u == '[' && m_run == 0) {
                    m_state = State::CData;
                } else if (u != '-') {
                    if (m_elementSeen || m_documentTypeSeen) {
                        m_offendingPosition = m_scanned + (c - text.data()) - 3;
                        return MisplacedDocumentType;
                    }
                    m_documentTypeSeen = true;
                    m_state = State::DocumentType;
                    m_subsetDepth = 0;
                }
                break;
            case State::Comment:
                if (u == '>' && m_run >= 2)
                    m_state = m_returnState;
                m_run = u == '-' ? m_run + 1 : 0;
                break;
            case State::CData:
                if (u == '>' && m_run >= 2)
                    m_state = State::Content;
                m_run = u == ']' ? m_run + 1 : 0;
                break;
            case State::Instruction:
                if (u == '>' && m_run > 0)
                    m_state = m_returnState;
                m_run = u == '?';
                break;
            case State::EndTag:
                if (u == '>')
                    m_state = State::Content;
                break;
            case State::StartTag:
                if (u == '"' || u == '\'') {
                    m_quote = u;
                    m_references = 0;
                    m_state = State::Value;
                    if (++m_attributes > maximumStreamAttributes)
                        return TooManyAttributes;
                } else if (u == '>') {
                    m_state = State::Content;
                }
                break;
            case State::Value:
                if (u == m_quote)
                    m_state = State::StartTag;
                else if (u == '&')
                    startReference(State::Value);
                break;
            case State::DocumentType:
                if (u == '"' || u == '\'') {
                    m_quote = u;
                    m_state = State::DocumentTypeLiteral;
                } else if (u == '[') {
                    ++m_subsetDepth;
                } else if (u == ']') {
                    --m_subsetDepth;
                } else if (u == '>' && m_subsetDepth <= 0) {
                    m_state = State::Content;
                } else if (u == '<' && m_subsetDepth > 0) {
                    m_state = State::SubsetOpening;
                }
                break;
            case State::DocumentTypeLiteral:
                if (u == m_quote)
                    m_state = State::DocumentType;
                break;
            case State::SubsetOpening: // "<" inside the internal subset
                m_run = 0;
                m_returnState = State::DocumentType;
                m_state = u == '!'   ? State::SubsetDeclaration
                          : u == '?' ? State::Instruction
                                     : State::DocumentType;
                break;
            case State::SubsetDeclaration: // "<!" inside it: a comment or a declaration
                if (u == '-' && ++m_run == 2) {
                    m_run = 0;
                    m_state = State::Comment;
                } else if (u != '-') {
                    // A declaration's quotes and closing '>' read as the document type's.
                    m_state = State::DocumentType;
                }
                break;
            }
        }
        m_scanned += text.size();
        return Fine;
    }

    // Where the text that was refused begins, counted from the start of the document.
    qint64 offendingPosition() const { return m_offendingPosition; }

private:
    enum class State
    {
        Content,
        Reference, // after '&', up to ';'
        Opening,
        Declaration,
        Comment,
        CData,
        Instruction,
        EndTag,
        StartTag,
        Value,
        DocumentType,
        DocumentTypeLiteral,
        SubsetOpening,
        SubsetDeclaration
    };

    // Past the characters that change nothing in the state the text is in, for the
    // states most of a document is read in: content, tags, values.
    const QChar *skipInert(const QChar *c, const QChar *const end)
    {
        const QChar *const begin = c;
        switch (m_state) {
        case State::Content:
            c = findAny(c, end, u'<', u'&', u']', u'>');
            if (c != begin)
                m_run = 0;
            break;
        case State::StartTag:
            c = findAny(c, end, u'"', u'\'', u'>');
            break;
        case State::Value:
            c = findAny(c, end, m_quote, u'&');
            break;
        case State::EndTag:
            c = findAny(c, end, u'>');
            break;
        default:
            break;
        }
        return c;
    }

    void startReference(State returnTo)
    {
        m_returnState = returnTo;
        m_referenceName.clear();
        m_state = State::Reference;
    }

    // Character references and the five predefined entities expand to one character.
    bool isPredefinedEntity() const
    {
        return m_referenceName.startsWith('#') || m_referenceName == "lt" ||
               m_referenceName == "gt" || m_referenceName == "amp" || m_referenceName == "apos" ||
               m_referenceName == "quot";
    }

    State m_state = State::Content;
    State m_returnState = State::Content;
    char16_t m_quote = 0;
    int m_run = 0; // of '-', ']' or '?' just seen
    qint64 m_scanned = 0;
    qint64 m_offendingPosition = 0;
    bool m_elementSeen = false;
    bool m_documentTypeSeen = false;
    int m_subsetDepth = 0;
    qint64 m_attributes = 0;
    qint64 m_references = 0; // in the current run of text or attribute value
    QByteArray m_referenceName;
};

class LayoutPreservingAdjuster
{
public:
    LayoutPreservingAdjuster(QIODevice &input, QIODevice *output, const AdjustmentRule &rule,
                             qint64 chunkSize)
        : m_input(input), m_output(output), m_rule(rule),
          m_chunkSize(std::max<qint64>(chunkSize, 1))
    {
        m_reader.setNamespaceProcessing(false);
        // Reserved, so that emptying it keeps its memory for the next piece.
        if (m_output)
            m_pending.reserve(int(std::min<qint64>(m_chunkSize, defaultStreamChunkSize)) + 4096);
    }

    StreamAdjustResult run()
    {
        m_result.status = StreamAdjustResult::Adjusted;
        if (!readHead() || !startDecoding())
            return m_result;
        for (;;) {
            if (!decodeAvailable())
                return m_result;
            const qint64 read = readChunk(m_chunkSize);
            if (read < 0)
                return m_result;
            if (read == 0)
                break;
        }
        finish();
        return m_result;
    }

private:
    bool fail(StreamAdjustResult::Status status, const QString &message, qint64 line = 0,
              qint64 column = 0)
    {
        m_result.status = status;
        m_result.errorMessage = message;
        m_result.errorLine = line;
        m_result.errorColumn = column;
        return false;
    }

    bool failAtReader(StreamAdjustResult::Status status, const QString &message)
    {
        return fail(status, message, m_reader.lineNumber(), m_reader.columnNumber() + 1);
    }

    // Appends up to `size` bytes to the raw buffer: the count, 0 at the end, -1 on failure.
    qint64 readChunk(qint64 size)
    {
        const int oldSize = m_raw.size();
        m_raw.resize(oldSize + int(size));
        const qint64 read = m_input.read(m_raw.data() + oldSize, size);
        m_raw.resize(oldSize + int(std::max<qint64>(read, 0)));
        if (read < 0) {
            fail(StreamAdjustResult::CannotRead, m_input.errorString());
            return -1;
        }
        m_bytesRead += read;
        return read;
    }

    bool readHead()
    {
        while (m_raw.size() < encodingDetectionBytes) {
            const qint64 read = readChunk(encodingDetectionBytes - m_raw.size());
            if (read < 0)
                return false;
            if (read == 0)
                break;
        }
        return true;
    }

    bool startDecoding()
    {
        const InputEncoding encoding = detectEncoding(m_raw);
        if (!encoding.error.isEmpty())
            return fail(StreamAdjustResult::UnsupportedEncoding, encoding.error, 1, 1);
        m_codec = encoding.codec;
        m_form = encoding.form;
        if (m_form == ByteForm::Other)
            m_lengths.assign(0x10000, 0);
        // Invalid bytes become NUL, which XML never allows, so they can be found.
        m_decoder = std::make_unique<QTextDecoder>(m_codec, QTextCodec::IgnoreHeader |
                                                                QTextCodec::ConvertInvalidToNull);
        // The byte order mark is copied with the bytes that follow it.
        m_decodedTo = m_cursorByte = encoding.byteOrderMarkLength;
        return true;
    }

    // The raw bytes not yet decoded go to the decoder and the parser, a chunk at a time.
    bool decodeAvailable()
    {
        const qint64 rawEnd = m_rawBase + m_raw.size();
        while (m_decodedTo < rawEnd) {
            const qint64 size = std::min(m_chunkSize, rawEnd - m_decodedTo);
            QString piece = m_heldCharacter;
            m_heldCharacter.clear();
            piece += m_decoder->toUnicode(m_raw.constData() + (m_decodedTo - m_rawBase), int(size));
            m_decodedTo += size;
            // A pair of surrogates split between chunks waits for its second half.
            if (!piece.isEmpty() && piece.at(piece.size() - 1).isHighSurrogate()) {
                m_heldCharacter = piece.right(1);
                piece.chop(1);
            }
            if (!acceptText(piece))
                return false;
        }
        return true;
    }

    bool acceptText(const QString &piece)
    {
        // NUL stands for bytes the decoder could not read, or is a NUL character; XML
        // allows neither, and the parser would lose count of its place on it. Half a
        // surrogate pair can only come from UTF-16 or UTF-32.
        int invalid = piece.indexOf(QChar(0));
        if (m_form == ByteForm::Utf16 || m_form == ByteForm::Utf32) {
            const int surrogate = firstLoneSurrogate(piece);
            if (surrogate >= 0 && (invalid < 0 || surrogate < invalid))
                invalid = surrogate;
        }
        const QString valid = invalid < 0 ? piece : piece.left(invalid);
        m_text += valid;
        if (m_documentEnded) {
            if (m_text.size() - (m_tailStart - m_textBase) > maximumTrailingCharacters)
                return fail(StreamAdjustResult::NotWellFormed,
                            QStringLiteral("too much content after the document element"),
                            m_tailLine, m_tailColumn);
        } else {
            if (m_textBase + m_text.size() - m_lastTokenEnd > maximumTokenCharacters)
                return failAtReader(StreamAdjustResult::TooLarge,
                                    QStringLiteral("a single run of text or markup is longer than "
                                                   "%1 million characters")
                                        .arg(maximumTokenCharacters / 1000000));
            switch (m_lookahead.scan(valid)) {
            case MarkupLookahead::Fine:
                break;
            case MarkupLookahead::TooManyAttributes:
                return failAtReader(StreamAdjustResult::TooLarge,
                                    QStringLiteral("an element has more than %1 attributes")
                                        .arg(maximumStreamAttributes));
            case MarkupLookahead::TooManyReferences:
                return failAtReader(StreamAdjustResult::TooLarge,
                                    QStringLiteral("more than %1 entity references in one run of "
                                                   "text or one value")
                                        .arg(maximumStreamReferencesPerRun));
            case MarkupLookahead::CDataEndInText:
                // The parser's own words, which it uses when it sees the sequence whole.
                return failAtLookahead(QStringLiteral("Sequence ']]>' not allowed in content."));
            case MarkupLookahead::MisplacedDocumentType:
                return failAtLookahead(QStringLiteral("a document type declaration may come only "
                                                      "once, before the document element"));
            }
            m_reader.addData(valid);
            if (!parseAvailable())
                return false;
            if (!m_documentEnded)
                noteLastTagOpening(m_reader.characterOffset());
        }
        if (invalid >= 0)
            return failAtInvalidText(m_textBase + m_text.size(), piece.at(invalid));
        return release();
    }

    // Reads the parser's tokens until it needs more text.
    bool parseAvailable()
    {
        for (;;) {
            const QXmlStreamReader::TokenType token = m_reader.readNext();
            if (m_reader.hasError()) {
                if (m_reader.error() == QXmlStreamReader::PrematureEndOfDocumentError)
                    return true;
                return failAtReader(StreamAdjustResult::NotWellFormed, m_reader.errorString());
            }
            m_lastTokenEnd = std::max(m_lastTokenEnd, m_reader.characterOffset());
            if (!countExpansion(token))
                return false;
            switch (token) {
            case QXmlStreamReader::StartElement:
                if (++m_depth > maximumStreamNestingDepth)
                    return failAtReader(StreamAdjustResult::TooDeep,
                                        QStringLiteral("elements are nested deeper than %1 levels")
                                            .arg(maximumStreamNestingDepth));
                if (!adjustElement())
                    return false;
                break;
            case QXmlStreamReader::EndElement:
                --m_depth;
                noteMarkupEnd();
                break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
            case QXmlStreamReader::DTD:
                noteMarkupEnd();
                break;
            case QXmlStreamReader::EndDocument:
                // The parser stops at the end of the document element when its input
                // runs out there; what follows is checked separately at the end.
                m_documentEnded = true;
                m_tailStart = m_reader.characterOffset();
                m_tailLine = m_reader.lineNumber();
                m_tailColumn = m_reader.columnNumber() + 1;
                noteLastTagOpening(m_tailStart);
                return true;
            default:
                break;
            }
        }
    }

    // What the parser reports can outgrow the text it was given only through entity
    // references; the excess is their expansion, which is bounded as in the window.
    bool countExpansion(QXmlStreamReader::TokenType token)
    {
        if (token == QXmlStreamReader::Characters) {
            m_reportedCharacters += m_reader.text().size();
        } else if (token == QXmlStreamReader::StartElement) {
            m_reportedCharacters += m_reader.qualifiedName().size();
            // Const, so that walking the parser's list does not copy it.
            const QXmlStreamAttributes attributes = m_reader.attributes();
            for (const QXmlStreamAttribute &attribute : attributes)
                m_reportedCharacters += attribute.qualifiedName().size() + attribute.value().size();
        } else {
            return true;
        }
        if (m_reportedCharacters - (m_textBase + m_text.size()) <= maximumStreamEntityExpansion)
            return true;
        return failAtReader(StreamAdjustResult::TooLarge,
                            QStringLiteral("entity references would expand to more than %1 "
                                           "million characters")
                                .arg(maximumStreamEntityExpansion / 1000000));
    }

    QChar charAt(qint64 position) const { return m_text.at(int(position - m_textBase)); }

    // The last '<' before `end`: a start tag the parser has just reported begins
    // there, since '<' cannot occur unescaped inside attribute values.
    void noteLastTagOpening(qint64 end)
    {
        end = std::min(end, m_textBase + m_text.size());
        const QChar *const text = m_text.constData();
        if (m_scannedTo < end) {
            if (const QChar *opening =
                    findLast(text + (m_scannedTo - m_textBase), text + (end - m_textBase), u'<')) {
                m_lastTagOpening = m_textBase + (opening - text);
                m_tagOpeningDone = false;
            }
        }
        m_scannedTo = std::max(m_scannedTo, end);
    }

    // A token that ends in '>' after the last '<' closes the markup that '<' opened,
    // so its text is no longer needed. Elements an entity expands to end otherwise.
    void noteMarkupEnd()
    {
        const qint64 end = m_reader.characterOffset();
        noteLastTagOpening(end);
        if (m_lastTagOpening >= m_textBase && m_lastTagOpening < end &&
            charAt(end - 1) == QLatin1Char('>'))
            m_tagOpeningDone = true;
    }

    bool failAtLookahead(const QString &message)
    {
        qint64 line = 0;
        qint64 column = 0;
        positionOf(m_lookahead.offendingPosition(), &line, &column);
        return fail(StreamAdjustResult::NotWellFormed, message, line, column);
    }

    bool lostTrack()
    {
        return failAtReader(StreamAdjustResult::LayoutNotKept,
                            QStringLiteral("cannot find the attribute in the document's text"));
    }

    bool adjustElement()
    {
        const qint64 end = m_reader.characterOffset();
        noteMarkupEnd();
        const QXmlStreamAttributes attributes = m_reader.attributes();
        const QXmlStreamAttribute *named = nullptr;
        int writtenAttributes = 0;
        for (const QXmlStreamAttribute &attribute : attributes) {
            if (attribute.qualifiedName() == m_rule.attributeName)
                named = &attribute;
            if (!attribute.isDefault())
                ++writtenAttributes;
        }
        if (!named)
            return true;

        const std::optional<QString> newValue = m_rule.adjustedValue(named->value());
        if (end - 1 < m_textBase)
            return lostTrack();
        const QChar last = charAt(end - 1);
        // Elements an entity expands to are reported with the parser still just past
        // the entity reference; they are not in the text and cannot be changed there.
        if (last == QLatin1Char(';')) {
            if (newValue)
                ++m_result.notInTextCount;
            return true;
        }
        if (last != QLatin1Char('>') || m_lastTagOpening < m_textBase || m_lastTagOpening >= end)
            return lostTrack();

        const QStringView tag(m_text.constData() + (m_lastTagOpening - m_textBase),
                              end - m_lastTagOpening);
        const StartTagText tagText = readStartTag(tag, m_rule.attributeName);
        if (!tagText.wellFormed || tagText.elementName != m_reader.qualifiedName() ||
            tagText.attributeCount != writtenAttributes ||
            (tagText.valueStart >= 0) == named->isDefault())
            return lostTrack();
        if (!newValue)
            return true;
        if (named->isDefault()) {
            ++m_result.notInTextCount;
            return true;
        }
        ++m_result.adjustedCount;
        return replace(m_lastTagOpening + tagText.valueStart, m_lastTagOpening + tagText.valueEnd,
                       *newValue);
    }

    QByteArray encode(QStringView text) const
    {
        QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
        return m_codec->fromUnicode(text.data(), int(text.size()), &state);
    }

    // The bytes the characters were decoded from.
    qint64 encodedLength(const QChar *begin, const QChar *end)
    {
        switch (m_form) {
        case ByteForm::Latin1:
            return end - begin;
        case ByteForm::Utf16:
            return 2 * (end - begin);
        case ByteForm::Utf8: {
            // A byte for each character, and what the few beyond ASCII take more;
            // four characters are tested for ASCII at once.
            qint64 length = end - begin;
            for (const QChar *c = begin; c != end;) {
                if (end - c >= 4) {
                    quint64 four;
                    std::memcpy(&four, c, sizeof four);
                    if ((four & Q_UINT64_C(0xff80ff80ff80ff80)) == 0) {
                        c += 4;
                        continue;
                    }
                }
                const ushort u = (c++)->unicode();
                if (u >= 0x80)
                    length += u < 0x800                   ? 1
                              : QChar::isHighSurrogate(u) ? 3
                              : QChar::isLowSurrogate(u)  ? -1
                                                          : 2;
            }
            return length;
        }
        case ByteForm::Utf32: {
            qint64 length = 0;
            for (const QChar *c = begin; c != end; ++c)
                length += c->isLowSurrogate() ? 0 : 4;
            return length;
        }
        case ByteForm::Other:
            break;
        }
        qint64 length = 0;
        for (const QChar *c = begin; c != end; ++c) {
            if (c->isHighSurrogate() && c + 1 != end) {
                length += encode(QStringView(c, 2)).size();
                ++c;
                continue;
            }
            quint8 &known = m_lengths[c->unicode()];
            if (known == 0)
                known = quint8(std::clamp<int>(encode(QStringView(c, 1)).size(), 1, 255));
            length += known;
        }
        return length;
    }

    void advanceCursor(qint64 position)
    {
        const QChar *text = m_text.constData() - m_textBase;
        m_cursorByte += encodedLength(text + m_cursorCharacter, text + position);
        m_cursorCharacter = position;
    }

    bool writeRaw(qint64 upTo)
    {
        if (upTo <= m_copiedTo)
            return true;
        // Counting a stateful encoding's bytes character by character (UTF-7, say) can
        // run past the bytes decoded so far; such a document cannot be kept byte for byte.
        if (upTo > m_decodedTo)
            return fail(
                StreamAdjustResult::LayoutNotKept,
                QStringLiteral("cannot match the characters of this encoding to its bytes"));
        if (m_output)
            m_pending.append(m_raw.constData() + (m_copiedTo - m_rawBase), int(upTo - m_copiedTo));
        m_copiedTo = upTo;
        return true;
    }

    // Output gathers in m_pending and goes out once for each piece of input, not in
    // two small writes for every value. A write that fails shows here, as it showed
    // before when the output's own buffer was written out.
    bool flushOutput()
    {
        if (!m_output || m_pending.isEmpty())
            return true;
        const bool written = m_output->write(m_pending) == m_pending.size();
        m_pending.resize(0);
        return written || fail(StreamAdjustResult::CannotWrite, m_output->errorString());
    }

    // In UTF-8 and Latin-1 a character below 0x80 is the one byte of the same value;
    // numbers are nearly always written in those alone, and need no encoder then.
    bool isAsciiForm() const { return m_form == ByteForm::Utf8 || m_form == ByteForm::Latin1; }

    static bool isAscii(QStringView text)
    {
        for (const QChar c : text) {
            if (c.unicode() >= 0x80)
                return false;
        }
        return true;
    }

    // The text is exactly the bytes at `bytes`, `size` of them.
    bool encodesTo(QStringView text, const char *bytes, qint64 size) const
    {
        if (isAsciiForm() && isAscii(text)) {
            if (text.size() != size)
                return false;
            for (qsizetype i = 0; i < text.size(); ++i) {
                if (text[i].unicode() != uchar(bytes[i]))
                    return false;
            }
            return true;
        }
        return encode(text) == QByteArray::fromRawData(bytes, int(size));
    }

    bool writeText(QStringView text)
    {
        if (!m_output)
            return true;
        char ascii[64];
        if (isAsciiForm() && text.size() <= qsizetype(sizeof ascii) && isAscii(text)) {
            for (qsizetype i = 0; i < text.size(); ++i)
                ascii[i] = char(text[i].unicode());
            m_pending.append(ascii, int(text.size()));
        } else {
            m_pending.append(encode(text));
        }
        return true;
    }

    // Replaces the characters [start, end) of the text, a whole attribute value.
    bool replace(qint64 start, qint64 end, const QString &newValue)
    {
        if (start < m_cursorCharacter)
            return lostTrack();
        advanceCursor(start);
        const qint64 byteStart = m_cursorByte;
        advanceCursor(end);
        const qint64 byteEnd = m_cursorByte;
        const QStringView oldValue(m_text.constData() + (start - m_textBase), end - start);
        // The old value's bytes must be exactly where the count of bytes put them.
        if (byteStart < m_copiedTo || byteEnd > m_rawBase + m_raw.size() ||
            !encodesTo(oldValue, m_raw.constData() + (byteStart - m_rawBase), byteEnd - byteStart))
            return fail(StreamAdjustResult::LayoutNotKept,
                        QStringLiteral("the bytes of a value do not match its characters in "
                                       "this encoding"),
                        m_reader.lineNumber(), m_reader.columnNumber() + 1);
        if (oldValue == newValue)
            return true;
        m_result.bytesChanged = true;
        if (!writeRaw(byteStart) || !writeText(newValue))
            return false;
        m_copiedTo = byteEnd;
        return true;
    }

    // Drops the text and bytes that no later tag can reach, writing the bytes out.
    bool release()
    {
        // Until its markup is read, a tag may be reported whose '<' was seen already.
        const qint64 keepFrom = m_documentEnded         ? m_tailStart
                                : m_tagOpeningDone      ? m_scannedTo
                                : m_lastTagOpening >= 0 ? m_lastTagOpening
                                                        : m_textBase;
        if (m_cursorCharacter < keepFrom)
            advanceCursor(keepFrom);
        const qint64 textFrom = std::min(keepFrom, m_cursorCharacter);
        m_text.remove(0, int(textFrom - m_textBase));
        m_textBase = textFrom;
        if (!writeRaw(m_cursorByte) || !flushOutput())
            return false;
        m_raw.remove(0, int(m_copiedTo - m_rawBase));
        m_rawBase = m_copiedTo;
        return true;
    }

    // Line and column of a text position after the parser's, or before it on its line.
    void positionOf(qint64 position, qint64 *line, qint64 *column) const
    {
        *line = m_reader.lineNumber();
        qint64 lineStart = m_reader.characterOffset() - m_reader.columnNumber();
        for (qint64 pos = std::max(m_reader.characterOffset(), m_textBase); pos < position; ++pos) {
            const QChar c = charAt(pos);
            if (c == QLatin1Char('\n') ||
                (c == QLatin1Char('\r') &&
                 (pos + 1 >= position || charAt(pos + 1) != QLatin1Char('\n')))) {
                ++*line;
                lineStart = pos + 1;
            }
        }
        *column = position - lineStart + 1;
    }

    // The text stops at `position` with `offending`: NUL for bytes not valid in the
    // encoding (or a NUL character), or half a surrogate pair.
    bool failAtInvalidText(qint64 position, QChar offending)
    {
        qint64 line = 0;
        qint64 column = 0;
        if (!m_documentEnded)
            positionOf(position, &line, &column);
        if (offending.isSurrogate())
            return fail(StreamAdjustResult::NotWellFormed,
                        QStringLiteral("half of a surrogate pair, which XML does not allow"), line,
                        column);
        if (!m_decoder->hasFailure())
            return fail(StreamAdjustResult::NotWellFormed,
                        QStringLiteral("a NUL character, which XML does not allow"), line, column);
        return fail(
            StreamAdjustResult::UnsupportedEncoding,
            QStringLiteral("bytes that are not valid %1").arg(QString::fromLatin1(m_codec->name())),
            line, column);
    }

    void finish()
    {
        if (!m_heldCharacter.isEmpty()) {
            fail(StreamAdjustResult::UnsupportedEncoding,
                 QStringLiteral("the input ends inside a character"));
            return;
        }
        if (!m_documentEnded) {
            // All the input is in; the parser still waits for the rest of the document.
            if (!m_reader.hasError())
                m_reader.readNext();
            failAtReader(StreamAdjustResult::NotWellFormed, m_reader.errorString());
            return;
        }
        if (!checkTrailingContent())
            return;
        advanceCursor(m_textBase + m_text.size());
        if (m_cursorByte != m_bytesRead) {
            if (m_form == ByteForm::Other)
                fail(StreamAdjustResult::LayoutNotKept,
                     QStringLiteral("cannot match the characters of this encoding to its bytes"));
            else
                fail(StreamAdjustResult::UnsupportedEncoding,
                     QStringLiteral("the input ends inside a character"));
            return;
        }
        if (writeRaw(m_bytesRead))
            flushOutput();
    }

    // After the document element only comments, processing instructions and space.
    bool checkTrailingContent()
    {
        const QString opening = QStringLiteral("<_/>");
        QXmlStreamReader trailing(opening + m_text.midRef(int(m_tailStart - m_textBase)));
        trailing.setNamespaceProcessing(false);
        while (!trailing.atEnd())
            trailing.readNext();
        if (!trailing.hasError())
            return true;
        const qint64 line = m_tailLine + trailing.lineNumber() - 1;
        const qint64 column = trailing.lineNumber() == 1
                                  ? m_tailColumn + trailing.columnNumber() - opening.size()
                                  : trailing.columnNumber() + 1;
        return fail(StreamAdjustResult::NotWellFormed, trailing.errorString(), line, column);
    }

    QIODevice &m_input;
    QIODevice *const m_output;
    const AdjustmentRule &m_rule;
    const qint64 m_chunkSize;
    StreamAdjustResult m_result;
    QXmlStreamReader m_reader;
    MarkupLookahead m_lookahead;

    QTextCodec *m_codec = nullptr;
    ByteForm m_form = ByteForm::Utf8;
    std::unique_ptr<QTextDecoder> m_decoder;
    std::vector<quint8> m_lengths; // bytes per character, 0 until known; ByteForm::Other

    // Bytes read and not yet written; m_raw[0] is byte m_rawBase of the input.
    QByteArray m_raw;
    QByteArray m_pending; // output not yet written
    qint64 m_rawBase = 0;
    qint64 m_bytesRead = 0;
    qint64 m_decodedTo = 0;
    qint64 m_copiedTo = 0;

    // Decoded text still needed; m_text[0] is character m_textBase of the document.
    QString m_text;
    qint64 m_textBase = 0;
    QString m_heldCharacter;
    // The byte offset where a character of the text begins.
    qint64 m_cursorCharacter = 0;
    qint64 m_cursorByte = 0;

    qint64 m_lastTagOpening = -1;
    bool m_tagOpeningDone = false; // the markup opened there has been reported whole
    qint64 m_scannedTo = 0;
    int m_depth = 0;
    qint64 m_lastTokenEnd = 0;
    qint64 m_reportedCharacters = 0;

    bool m_documentEnded = false;
    qint64 m_tailStart = 0;
    qint64 m_tailLine = 0;
    qint64 m_tailColumn = 0;
};

} // namespace

StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output, const AdjustmentRule &rule,
                                   qint64 chunkSize)
{
    return LayoutPreservingAdjuster(input, output, rule, chunkSize).run();
}
