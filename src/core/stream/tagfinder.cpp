// SPDX-License-Identifier: MIT
#include "stream/tagfinder.h"

#include "bounds.h"
#include "messages.h"
#include "read/markupguard.h"
#include "read/markuplexer.h"
#include "read/parsersession.h"
#include "stream/bytecursor.h"

#include <QTextCodec>
#include <QTextDecoder>

#include <algorithm>
#include <cstring>
#include <deque>

namespace xmladjust {

namespace {

// Markup read in the document's own bytes (UTF-8, Latin-1 and the like).
class ByteTagFinder final : public TagFinder
{
public:
    ByteTagFinder(const InputEncoding &encoding, const QStringList &attributeNames)
        : TagFinder(encoding),
          m_lexer(units(encoding, attributeNames), maximumAttributesPerTag, maximumMarkupLength)
    {}

    Outcome find(const ByteWindow &window) override
    {
        const BytePosition from = m_located;
        m_located = window.end();
        return markupOutcome(m_lexer.read(window.at(from), window.at(m_located), &m_found),
                             "bytes");
    }

    std::optional<FoundTag> takeTag(const ByteWindow &window, const xmlChar *name) override
    {
        if (m_found.tags.empty())
            return std::nullopt;
        const LocatedTag<char> tag = m_found.tags.front();
        m_found.tags.pop_front();
        FoundTag found;
        found.attributeCount = tag.attributeCount;
        for (int i = 0; i < tag.valueCount; ++i) {
            const LocatedValue<char> &value = m_found.values.front();
            found.values.append({value.name, value.span, {}});
            m_found.values.pop_front();
        }
        if (!nameMatches(window, tag, name))
            return std::nullopt;
        return found;
    }

    BytePosition lexedTo() override { return m_lexer.settledTo(); }

    BytePosition settledTo() override
    {
        BytePosition settled = lexedTo();
        if (!m_found.values.empty())
            settled = std::min(settled, m_found.values.front().span.begin);
        return settled;
    }

    BytePosition release(const ByteWindow &window) override
    {
        return m_found.tags.empty() ? window.end() : m_found.tags.front().nameStart;
    }

    bool hasTag() const override { return !m_found.tags.empty(); }
    bool valueMatches(const ByteWindow &, const FoundValue &) const override { return true; }
    Outcome finish(const ByteWindow &) override { return {}; }

private:
    static std::vector<std::vector<char>> units(const InputEncoding &encoding,
                                                const QStringList &names)
    {
        std::vector<std::vector<char>> encoded;
        for (const QString &name : names) {
            const QByteArray bytes = encodeWithoutMark(encoding.codec, name);
            encoded.emplace_back(bytes.cbegin(), bytes.cend());
        }
        return encoded;
    }

    bool nameMatches(const ByteWindow &window, const LocatedTag<char> &tag,
                     const xmlChar *name) const
    {
        const char *written = window.at(tag.nameStart);
        if (m_encoding.form != ByteForm::Utf8)
            return m_encoding.codec->toUnicode(written, tag.nameLength) == fromLibxml(name);
        const int length = xmlStrlen(name);
        return tag.nameLength == length && std::memcmp(written, name, size_t(length)) == 0;
    }

    MarkupLexer<char> m_lexer;
    LocatedMarkup<char> m_found; // not yet reported by the parser
};

// Markup read in text decoded by Qt's codec (UTF-16, UTF-32, and encodings whose
// multibyte characters use ASCII bytes), with a ByteCursor mapping its characters
// back to the bytes.
class DecodedTagFinder final : public TagFinder
{
public:
    DecodedTagFinder(const InputEncoding &encoding, const QStringList &attributeNames)
        : TagFinder(encoding),
          m_lexer(units(attributeNames), maximumAttributesPerTag, maximumMarkupLength),
          m_cursor(encoding)
    {
        // Qt's decoders of these codecs seldom report a byte they cannot decode; libxml2,
        // which reads the bytes themselves, refuses it, and where Qt's reading and the
        // bytes part ways, the cursor does not meet the bytes' end.
        if (encoding.form != ByteForm::Utf32)
            m_decoder = std::make_unique<QTextDecoder>(
                encoding.codec, QTextCodec::IgnoreHeader | QTextCodec::ConvertInvalidToNull);
        m_located = BytePosition(encoding.byteOrderMarkLength);
    }

    Outcome find(const ByteWindow &window) override
    {
        const BytePosition from = m_located;
        m_located = window.end();
        if (m_decoder) {
            const QString text = m_decoder->toUnicode(window.at(from), int(m_located - from));
            if (feedsDecodedText())
                m_decodedFeed += text.toUtf8();
            return locate(text);
        }
        m_located = m_located - (m_located - from) % 4; // a unit split between reads waits
        bool valid = false;
        const QString text = decodeUtf32(window.at(from), m_located - from,
                                         m_encoding.codec->mibEnum() == 1018, &valid);
        if (!valid)
            return failureOf(Reason::NotValidUtf32);
        m_decodedFeed += text.toUtf8();
        return locate(text);
    }

    std::optional<FoundTag> takeTag(const ByteWindow &, const xmlChar *name) override
    {
        if (m_found.tags.empty())
            return std::nullopt;
        const LocatedTag<char16_t> tag = m_found.tags.front();
        m_found.tags.pop_front();
        FoundTag found;
        found.attributeCount = tag.attributeCount;
        for (int i = 0; i < tag.valueCount; ++i) {
            const LocatedValue<char16_t> &value = m_found.values.front();
            found.values.append({value.name, m_valueBytes.front(), value.span});
            m_found.values.pop_front();
            m_valueBytes.pop_front();
        }
        if (QStringView(textAt(tag.nameStart), tag.nameLength) != fromLibxml(name))
            return std::nullopt;
        return found;
    }

    BytePosition lexedTo() override
    {
        m_cursor.advance(textAt(m_cursor.character()), m_lexer.settledTo());
        return m_cursor.byte();
    }

    BytePosition settledTo() override
    {
        BytePosition settled = lexedTo();
        if (!m_valueBytes.empty())
            settled = std::min(settled, m_valueBytes.front().begin);
        return settled;
    }

    BytePosition release(const ByteWindow &window) override
    {
        CharacterPosition keep = m_cursor.character();
        if (!m_found.tags.empty())
            keep = std::min(keep, m_found.tags.front().nameStart);
        m_text.remove(0, int(keep - m_textBase));
        m_textBase = keep;
        return window.end(); // the parser reads the bytes from its own feed
    }

    bool valueMatches(const ByteWindow &window, const FoundValue &value) const override
    {
        const QStringView text(textAt(value.characters.begin), value.characters.size());
        return encodeWithoutMark(m_encoding.codec, text) ==
               QByteArray::fromRawData(window.at(value.bytes.begin), int(value.bytes.size()));
    }

    Outcome finish(const ByteWindow &window) override
    {
        m_cursor.advance(textAt(m_cursor.character()), m_textBase + m_text.size());
        if (m_decoder && m_decoder->hasFailure())
            return failureOf(Reason::InvalidBytes, {QString::fromLatin1(m_encoding.codec->name())});
        if (m_cursor.byte() == window.end())
            return {};
        return failureOf(m_encoding.form == ByteForm::Other ? Reason::CharactersNotMatched
                                                            : Reason::EndsInsideCharacter);
    }

    bool hasTag() const override { return !m_found.tags.empty(); }
    bool feedsDecodedText() const override { return m_encoding.parserReadsDecoded; }
    bool allGiven(BytePosition fed) const override
    {
        return feedsDecodedText() ? m_decodedFeed.isEmpty() : TagFinder::allGiven(fed);
    }

    QByteArray takeDecodedText(int size) override
    {
        const QByteArray taken = m_decodedFeed.left(size);
        m_decodedFeed.remove(0, taken.size());
        return taken;
    }

private:
    static std::vector<std::vector<char16_t>> units(const QStringList &names)
    {
        std::vector<std::vector<char16_t>> units;
        for (const QString &name : names)
            units.emplace_back(name.utf16(), name.utf16() + name.size());
        return units;
    }

    const QChar *textAt(CharacterPosition at) const
    {
        return m_text.constData() + (at - m_textBase);
    }

    // Finds the tags in the text decoded from the latest bytes, and the bytes of
    // their values while the cursor can still reach them.
    Outcome locate(const QString &text)
    {
        const CharacterPosition oldEnd = m_textBase + m_text.size();
        m_text += text;
        const size_t known = m_found.values.size();
        const auto *begin = reinterpret_cast<const char16_t *>(textAt(oldEnd));
        const MarkupVerdict verdict = m_lexer.read(begin, begin + text.size(), &m_found);
        for (size_t i = known; i < m_found.values.size(); ++i) {
            const CharacterSpan characters = m_found.values[i].span;
            ByteSpan bytes;
            m_cursor.advance(textAt(m_cursor.character()), characters.begin);
            bytes.begin = m_cursor.byte();
            m_cursor.advance(textAt(m_cursor.character()), characters.end);
            bytes.end = m_cursor.byte();
            m_valueBytes.push_back(bytes);
        }
        return markupOutcome(verdict, "characters");
    }

    MarkupLexer<char16_t> m_lexer;
    LocatedMarkup<char16_t> m_found;         // not yet reported by the parser
    std::deque<ByteSpan> m_valueBytes;       // of each value in m_found
    std::unique_ptr<QTextDecoder> m_decoder; // all but UTF-32
    ByteCursor m_cursor;
    // Decoded text still needed; m_text[0] is character m_textBase of the document.
    QString m_text;
    CharacterPosition m_textBase;
    QByteArray m_decodedFeed; // UTF-8 for the parser, not yet given to it
};

} // namespace

std::unique_ptr<TagFinder> TagFinder::create(const InputEncoding &encoding,
                                             const QStringList &attributeNames)
{
    if (encoding.markupInBytes)
        return std::make_unique<ByteTagFinder>(encoding, attributeNames);
    return std::make_unique<DecodedTagFinder>(encoding, attributeNames);
}

QByteArray TagFinder::encode(const QString &value) const
{
    // Numbers are written in ASCII, which such encodings write as it is.
    const bool ascii =
        std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii && m_encoding.markupInBytes ? value.toLatin1()
                                             : encodeWithoutMark(m_encoding.codec, value);
}

QLatin1String TagFinder::encode(const NumeralText &numeral, QByteArray *buffer) const
{
    if (m_encoding.markupInBytes)
        return numeral.view();
    *buffer = encodeWithoutMark(m_encoding.codec, QString(numeral.view()));
    return QLatin1String(buffer->constData(), buffer->size()); // NULs too
}

QByteArray TagFinder::takeDecodedText(int)
{
    return {};
}

} // namespace xmladjust
