#include "streamadjust.h"

#include "adjustmentrule.h"
#include "parsersession.h"
#include "starttaglocator.h"
#include "streamencoding.h"

#include <QIODevice>
#include <QTextCodec>
#include <QTextDecoder>

#include <libxml/SAX2.h>
#include <libxml/parserInternals.h>
#include <libxml/valid.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

namespace {

xmlSAXHandler streamHandler();

// The parser (libxml2) reads the document through a callback and reports each
// element; the start tags are found in the bytes ahead of it (StartTagLocator),
// paired with the elements it reports in the same order, and the values that
// qualify are written in place while every other byte is copied as it was.
//
// Markup is found in the raw bytes where the encoding allows (UTF-8 and the like);
// otherwise in text decoded by Qt's codec, with a ByteCursor mapping characters
// back to bytes. The parser reads the raw bytes, except for UTF-32, which libxml2
// does not recognise: it gets the decoded text as UTF-8, as in the window's path.
class LayoutPreservingAdjuster : public ParserSession
{
public:
    LayoutPreservingAdjuster(QIODevice &input, QIODevice *output, const AdjustmentRule &rule,
                             qint64 chunkSize)
        : ParserSession(streamHandler()), m_input(input), m_output(output), m_rule(rule),
          m_chunkSize(std::max<qint64>(chunkSize, 1)),
          m_attributeNameUtf8(rule.attributeName.toUtf8())
    {}

    static LayoutPreservingAdjuster *of(void *context)
    {
        return static_cast<LayoutPreservingAdjuster *>(ParserSession::of(context));
    }

    StreamAdjustResult run()
    {
        m_result.status = StreamAdjustResult::Adjusted;
        if (!isReady())
            return resultOfParse();
        if (!readHead() || !startReading())
            return m_result;
        parseStream(&LayoutPreservingAdjuster::onRead, this, feedsDecodedText());
        if (m_failed)
            return m_result;
        if (!verdict().isLoaded())
            return resultOfParse();
        finish();
        return m_result;
    }

    void startElement(xmlParserCtxtPtr context, const xmlChar *name, const xmlChar **attributes);
    void endElement() { m_depth = std::max(m_depth - 1, 0); }

private:
    bool fail(StreamAdjustResult::Status status, const QString &message, bool placed = true)
    {
        if (m_failed)
            return false;
        m_failed = true;
        m_result.status = status;
        m_result.errorMessage = message;
        if (placed) {
            m_result.errorLine = xmlSAX2GetLineNumber(mainContext());
            m_result.errorColumn = xmlSAX2GetColumnNumber(mainContext());
        }
        // Inside the read callback the parser is stopped by the failed read instead:
        // stopping it there frees the buffer it is about to fill.
        if (!m_reading)
            xmlStopParser(mainContext());
        return false;
    }

    bool lostTrack()
    {
        return fail(StreamAdjustResult::LayoutNotKept,
                    QStringLiteral("cannot find the attribute in the document's text"));
    }

    StreamAdjustResult resultOfParse();
    bool readHead();
    bool startReading();
    static int onRead(void *adjuster, char *buffer, int length);
    int supply(char *buffer, int length);
    bool readMore();
    bool locate(qint64 from);
    bool locateDecoded(const QString &text);
    bool admit(MarkupVerdict verdict, const QString &units);
    bool release();
    bool writeRaw(qint64 upTo);
    bool flushOutput();
    bool nameMatches(const LocatedTag &tag, const xmlChar *name) const;
    bool replace(const LocatedTag &tag, const QString &newValue);
    void countDefault(const xmlChar *element);
    void finish();

    bool feedsDecodedText() const { return m_encoding.form == ByteForm::Utf32; }
    qint64 rawEnd() const { return m_rawBase + m_raw.size(); }

    QIODevice &m_input;
    QIODevice *const m_output;
    const AdjustmentRule &m_rule;
    const qint64 m_chunkSize;
    const QByteArray m_attributeNameUtf8;
    StreamAdjustResult m_result;
    bool m_failed = false;
    bool m_reading = false; // inside the parser's read callback

    InputEncoding m_encoding;
    std::optional<StartTagLocator<char>> m_byteLocator;
    std::optional<StartTagLocator<char16_t>> m_textLocator;
    std::unique_ptr<QTextDecoder> m_decoder;
    std::optional<ByteCursor> m_cursor;
    std::deque<LocatedTag> m_tags; // found and not yet reported by the parser

    // Bytes read and still needed; m_raw[0] is byte m_rawBase of the input.
    QByteArray m_raw;
    qint64 m_rawBase = 0;
    qint64 m_located = 0; // bytes given to the locator (or the decoder)
    qint64 m_fed = 0;     // bytes given to the parser
    qint64 m_copiedTo = 0;
    bool m_inputEnded = false;
    // Decoded text still needed; m_text[0] is character m_textBase of the document.
    QString m_text;
    qint64 m_textBase = 0;
    QByteArray m_decodedFeed; // UTF-8 for the parser, not yet given to it
    QByteArray m_pending;     // output not yet written

    int m_depth = 0;
};

StreamAdjustResult LayoutPreservingAdjuster::resultOfParse()
{
    const XmlLoadResult parsed = verdict();
    m_result.errorMessage = parsed.errorMessage;
    m_result.errorLine = parsed.errorLine;
    m_result.errorColumn = parsed.errorColumn;
    switch (parsed.status) {
    case XmlLoadResult::Loaded:
        m_result.status = StreamAdjustResult::Adjusted;
        break;
    case XmlLoadResult::CannotRead:
        m_result.status = StreamAdjustResult::CannotRead;
        break;
    case XmlLoadResult::TooDeep:
        m_result.status = StreamAdjustResult::TooDeep;
        break;
    case XmlLoadResult::TooLarge:
        m_result.status = StreamAdjustResult::TooLarge;
        break;
    case XmlLoadResult::UnsupportedEncoding:
        m_result.status = StreamAdjustResult::UnsupportedEncoding;
        break;
    case XmlLoadResult::NotWellFormed: {
        // Bytes that are not valid in the document's encoding.
        const int code = errorCode();
        const bool encoding =
            code == XML_ERR_UNSUPPORTED_ENCODING || code == XML_ERR_INVALID_ENCODING ||
            code == XML_I18N_CONV_FAILED ||
            (code == XML_ERR_INVALID_CHAR &&
             parsed.errorMessage.startsWith(QLatin1String("Input is not proper UTF-8")));
        m_result.status =
            encoding ? StreamAdjustResult::UnsupportedEncoding : StreamAdjustResult::NotWellFormed;
        break;
    }
    }
    return m_result;
}

bool LayoutPreservingAdjuster::readHead()
{
    m_raw.reserve(int(std::min<qint64>(m_chunkSize, defaultStreamChunkSize)) + 4096);
    if (m_output)
        m_pending.reserve(int(std::min<qint64>(m_chunkSize, defaultStreamChunkSize)) + 4096);
    while (m_raw.size() < encodingDetectionBytes) {
        const int oldSize = m_raw.size();
        m_raw.resize(encodingDetectionBytes);
        const qint64 read = m_input.read(m_raw.data() + oldSize, encodingDetectionBytes - oldSize);
        m_raw.resize(oldSize + int(std::max<qint64>(read, 0)));
        if (read < 0)
            return fail(StreamAdjustResult::CannotRead, m_input.errorString(), false);
        if (read == 0) {
            m_inputEnded = true;
            break;
        }
    }
    return true;
}

bool LayoutPreservingAdjuster::startReading()
{
    m_encoding = detectStreamEncoding(m_raw);
    if (!m_encoding.error.isEmpty()) {
        fail(StreamAdjustResult::UnsupportedEncoding, m_encoding.error, false);
        m_result.errorLine = m_result.errorColumn = 1;
        return false;
    }
    if (m_encoding.markupInBytes) {
        const QByteArray name = encodeWithoutMark(m_encoding.codec, m_rule.attributeName);
        m_byteLocator.emplace(std::vector<char>(name.cbegin(), name.cend()),
                              maximumStreamAttributes, maximumMarkupLength);
    } else {
        const QString &name = m_rule.attributeName;
        m_textLocator.emplace(std::vector<char16_t>(name.utf16(), name.utf16() + name.size()),
                              maximumStreamAttributes, maximumMarkupLength);
        // Invalid bytes become NUL, which XML never allows, so they can be found.
        if (!feedsDecodedText())
            m_decoder = std::make_unique<QTextDecoder>(
                m_encoding.codec, QTextCodec::IgnoreHeader | QTextCodec::ConvertInvalidToNull);
        m_cursor.emplace(m_encoding);
        m_located = m_encoding.byteOrderMarkLength;
    }
    return locate(m_located);
}

int LayoutPreservingAdjuster::onRead(void *adjuster, char *buffer, int length)
{
    return static_cast<LayoutPreservingAdjuster *>(adjuster)->supply(buffer, length);
}

// Gives the parser as many of the bytes it asks for as the input has, whatever the
// size of the pieces the input is read in, so that it sees the same pieces.
int LayoutPreservingAdjuster::supply(char *buffer, int length)
{
    m_reading = true;
    int given = 0;
    while (given < length && !m_failed) {
        if (feedsDecodedText()) {
            const int size = std::min(length - given, m_decodedFeed.size());
            std::memcpy(buffer + given, m_decodedFeed.constData(), size_t(size));
            m_decodedFeed.remove(0, size);
            given += size;
        } else {
            const int size = int(std::min<qint64>(length - given, m_located - m_fed));
            std::memcpy(buffer + given, m_raw.constData() + (m_fed - m_rawBase), size_t(size));
            m_fed += size;
            given += size;
        }
        if (given < length && (m_inputEnded || !readMore()))
            break;
    }
    m_reading = false;
    return m_failed ? -1 : given;
}

bool LayoutPreservingAdjuster::readMore()
{
    if (!release())
        return false;
    const int oldSize = m_raw.size();
    const qint64 size = std::min<qint64>(m_chunkSize, std::numeric_limits<int>::max() - oldSize);
    m_raw.resize(oldSize + int(size));
    const qint64 read = m_input.read(m_raw.data() + oldSize, size);
    m_raw.resize(oldSize + int(std::max<qint64>(read, 0)));
    if (read < 0)
        return fail(StreamAdjustResult::CannotRead, m_input.errorString());
    if (read == 0) {
        m_inputEnded = true;
        return true;
    }
    return locate(m_located);
}

// Finds the start tags in the bytes read from `from` on.
bool LayoutPreservingAdjuster::locate(qint64 from)
{
    const char *const bytes = m_raw.constData() - m_rawBase;
    m_located = rawEnd();
    if (m_textLocator) {
        if (m_encoding.form != ByteForm::Utf32)
            return locateDecoded(m_decoder->toUnicode(bytes + from, int(m_located - from)));
        m_located -= (m_located - from) % 4; // a unit split between reads waits for its rest
        bool valid = false;
        const QString text = decodeUtf32(bytes + from, m_located - from,
                                         m_encoding.codec->mibEnum() == 1018, &valid);
        if (!valid)
            return fail(StreamAdjustResult::NotWellFormed,
                        QStringLiteral("bytes that are not valid UTF-32"), false);
        m_decodedFeed += text.toUtf8();
        return locateDecoded(text);
    }
    return admit(m_byteLocator->read(bytes + from, bytes + m_located, m_tags),
                 QStringLiteral("bytes"));
}

bool LayoutPreservingAdjuster::admit(MarkupVerdict verdict, const QString &units)
{
    switch (verdict) {
    case MarkupVerdict::Fine:
        return true;
    case MarkupVerdict::TooManyAttributes:
        return fail(
            StreamAdjustResult::TooLarge,
            QStringLiteral("an element has more than %1 attributes").arg(maximumStreamAttributes));
    case MarkupVerdict::MarkupTooLong:
        break;
    }
    return fail(StreamAdjustResult::TooLarge,
                QStringLiteral("a single piece of markup is longer than %1 million %2")
                    .arg(maximumMarkupLength / 1000000)
                    .arg(units));
}

bool LayoutPreservingAdjuster::locateDecoded(const QString &text)
{
    const qint64 oldEnd = m_textBase + m_text.size();
    m_text += text;
    const size_t known = m_tags.size();
    const auto *units = reinterpret_cast<const char16_t *>(m_text.utf16()) - m_textBase;
    const auto verdict = m_textLocator->read(units + oldEnd, units + oldEnd + text.size(), m_tags);
    // The bytes of the values found, while the cursor can still reach them.
    const QChar *characters = m_text.constData() - m_textBase;
    for (size_t i = known; i < m_tags.size(); ++i) {
        LocatedTag &tag = m_tags[i];
        if (tag.valueStart < 0)
            continue;
        m_cursor->advance(characters + m_cursor->character(), tag.valueStart);
        tag.valueStartByte = m_cursor->byte();
        m_cursor->advance(characters + m_cursor->character(), tag.valueEnd);
        tag.valueEndByte = m_cursor->byte();
    }
    return admit(verdict, QStringLiteral("characters"));
}

// Writes out the bytes no value still to be decided lies in, and drops what no
// later step needs.
bool LayoutPreservingAdjuster::release()
{
    qint64 settled = 0;
    if (m_byteLocator) {
        settled = m_byteLocator->settledTo();
    } else {
        const qint64 character = m_textLocator->settledTo();
        m_cursor->advance(m_text.constData() + (m_cursor->character() - m_textBase), character);
        settled = m_cursor->byte();
    }
    for (const LocatedTag &tag : m_tags) {
        if (tag.valueStart >= 0) {
            settled = std::min(settled, m_byteLocator ? tag.valueStart : tag.valueStartByte);
            break;
        }
    }
    if (!writeRaw(settled) || !flushOutput())
        return false;

    qint64 keepRaw = feedsDecodedText() ? m_copiedTo : std::min(m_copiedTo, m_fed);
    if (m_byteLocator && !m_tags.empty())
        keepRaw = std::min(keepRaw, m_tags.front().nameStart);
    m_raw.remove(0, int(keepRaw - m_rawBase));
    m_rawBase = keepRaw;
    if (m_textLocator) {
        qint64 keepText = m_cursor->character();
        if (!m_tags.empty())
            keepText = std::min(keepText, m_tags.front().nameStart);
        m_text.remove(0, int(keepText - m_textBase));
        m_textBase = keepText;
    }
    return true;
}

bool LayoutPreservingAdjuster::writeRaw(qint64 upTo)
{
    if (upTo <= m_copiedTo)
        return true;
    // Counting a stateful encoding's bytes character by character (UTF-7, say) can
    // run past the bytes read; such a document cannot be kept byte for byte.
    if (upTo > rawEnd())
        return fail(StreamAdjustResult::LayoutNotKept,
                    QStringLiteral("cannot match the characters of this encoding to its bytes"),
                    false);
    if (m_output)
        m_pending.append(m_raw.constData() + (m_copiedTo - m_rawBase), int(upTo - m_copiedTo));
    m_copiedTo = upTo;
    return true;
}

// Output gathers in m_pending and goes out once for each piece of input, not in
// two small writes for every value.
bool LayoutPreservingAdjuster::flushOutput()
{
    if (!m_output || m_pending.isEmpty())
        return true;
    const bool written = m_output->write(m_pending) == m_pending.size();
    m_pending.resize(0);
    return written || fail(StreamAdjustResult::CannotWrite, m_output->errorString(), false);
}

void LayoutPreservingAdjuster::startElement(xmlParserCtxtPtr context, const xmlChar *name,
                                            const xmlChar **attributes)
{
    if (m_failed)
        return;
    if (++m_depth > maximumStreamNestingDepth) {
        refuse(context, XmlLoadResult::TooDeep,
               QStringLiteral("elements are nested deeper than %1 levels")
                   .arg(maximumStreamNestingDepth));
        return;
    }
    int count = 0;
    const xmlChar *value = nullptr;
    const auto *wanted = reinterpret_cast<const xmlChar *>(m_attributeNameUtf8.constData());
    for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
        ++count;
        if (xmlStrEqual(attribute[0], wanted))
            value = attribute[1];
    }
    // Elements an entity expands to are parsed in a context of their own; they are
    // not in the text and cannot be changed there.
    if (context != mainContext()) {
        if (!value)
            countDefault(name);
        else if (m_rule.adjustedValue(fromLibxml(value)))
            ++m_result.notInTextCount;
        return;
    }
    if (m_tags.empty()) {
        lostTrack();
        return;
    }
    const LocatedTag tag = m_tags.front();
    m_tags.pop_front();
    if (tag.attributeCount != count || (value != nullptr) != (tag.valueStart >= 0) ||
        !nameMatches(tag, name)) {
        lostTrack();
        return;
    }
    if (!value) {
        countDefault(name);
        return;
    }
    if (const std::optional<QString> newValue = m_rule.adjustedValue(fromLibxml(value))) {
        ++m_result.adjustedCount;
        replace(tag, *newValue);
    }
}

bool LayoutPreservingAdjuster::nameMatches(const LocatedTag &tag, const xmlChar *name) const
{
    const int length = xmlStrlen(name);
    if (m_byteLocator) {
        const char *written = m_raw.constData() + (tag.nameStart - m_rawBase);
        if (m_encoding.form == ByteForm::Utf8)
            return tag.nameLength == length && std::memcmp(written, name, size_t(length)) == 0;
        return m_encoding.codec->toUnicode(written, tag.nameLength) == fromLibxml(name);
    }
    return QStringView(m_text.constData() + (tag.nameStart - m_textBase), tag.nameLength) ==
           fromLibxml(name);
}

// A default the document type gives the attribute, where the element lacks it.
void LayoutPreservingAdjuster::countDefault(const xmlChar *element)
{
    const xmlDocPtr document = mainContext()->myDoc;
    if (!document || !document->intSubset)
        return;
    const auto *wanted = reinterpret_cast<const xmlChar *>(m_attributeNameUtf8.constData());
    const int colon = m_attributeNameUtf8.indexOf(':');
    xmlAttributePtr declaration = nullptr;
    if (colon > 0) {
        const QByteArray prefix = m_attributeNameUtf8.left(colon);
        declaration = xmlGetDtdQAttrDesc(document->intSubset, element, wanted + colon + 1,
                                         reinterpret_cast<const xmlChar *>(prefix.constData()));
    } else {
        declaration = xmlGetDtdAttrDesc(document->intSubset, element, wanted);
    }
    if (declaration && declaration->defaultValue &&
        m_rule.adjustedValue(fromLibxml(declaration->defaultValue)))
        ++m_result.notInTextCount;
}

bool LayoutPreservingAdjuster::replace(const LocatedTag &tag, const QString &newValue)
{
    const qint64 start = m_byteLocator ? tag.valueStart : tag.valueStartByte;
    const qint64 end = m_byteLocator ? tag.valueEnd : tag.valueEndByte;
    if (start < m_copiedTo || start < m_rawBase || end > rawEnd() || end < start)
        return lostTrack();
    const QByteArray oldBytes =
        QByteArray::fromRawData(m_raw.constData() + (start - m_rawBase), int(end - start));
    if (m_textLocator) {
        const QStringView oldText(m_text.constData() + (tag.valueStart - m_textBase),
                                  tag.valueEnd - tag.valueStart);
        if (encodeWithoutMark(m_encoding.codec, oldText) != oldBytes)
            return fail(StreamAdjustResult::LayoutNotKept,
                        QStringLiteral("the bytes of a value do not match its characters in "
                                       "this encoding"));
    }
    // Numbers are written in ASCII, which such encodings write as it is.
    const bool ascii =
        std::all_of(newValue.cbegin(), newValue.cend(), [](QChar c) { return c.unicode() < 0x80; });
    const QByteArray newBytes = ascii && m_encoding.markupInBytes
                                    ? newValue.toLatin1()
                                    : encodeWithoutMark(m_encoding.codec, newValue);
    if (newBytes == oldBytes)
        return true;
    m_result.bytesChanged = true;
    if (!writeRaw(start))
        return false;
    if (m_output)
        m_pending += newBytes;
    m_copiedTo = end;
    return true;
}

void LayoutPreservingAdjuster::finish()
{
    const bool allFed = feedsDecodedText() ? m_decodedFeed.isEmpty() : m_fed == m_located;
    if (!m_inputEnded || !allFed) {
        fail(StreamAdjustResult::NotWellFormed,
             QStringLiteral("content after the end of the document"));
        return;
    }
    if (!m_tags.empty()) {
        lostTrack();
        return;
    }
    if (m_textLocator) {
        m_cursor->advance(m_text.constData() + (m_cursor->character() - m_textBase),
                          m_textBase + m_text.size());
        if (m_decoder && m_decoder->hasFailure()) {
            fail(StreamAdjustResult::UnsupportedEncoding,
                 QStringLiteral("bytes that are not valid %1")
                     .arg(QString::fromLatin1(m_encoding.codec->name())),
                 false);
            return;
        }
        if (m_cursor->byte() != rawEnd()) {
            if (m_encoding.form == ByteForm::Other)
                fail(StreamAdjustResult::LayoutNotKept,
                     QStringLiteral("cannot match the characters of this encoding to its bytes"),
                     false);
            else
                fail(StreamAdjustResult::UnsupportedEncoding,
                     QStringLiteral("the input ends inside a character"), false);
            return;
        }
    }
    if (writeRaw(rawEnd()))
        flushOutput();
}

void onStartElement(void *context, const xmlChar *name, const xmlChar **attributes)
{
    LayoutPreservingAdjuster::of(context)->startElement(static_cast<xmlParserCtxtPtr>(context),
                                                        name, attributes);
}

void onEndElement(void *context, const xmlChar *)
{
    LayoutPreservingAdjuster::of(context)->endElement();
}

xmlSAXHandler streamHandler()
{
    xmlSAXHandler handler = ParserSession::baseHandler();
    handler.startElement = onStartElement;
    handler.endElement = onEndElement;
    return handler;
}

} // namespace

StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output, const AdjustmentRule &rule,
                                   qint64 chunkSize)
{
    return LayoutPreservingAdjuster(input, output, rule, chunkSize).run();
}
