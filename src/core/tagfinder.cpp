// SPDX-License-Identifier: MIT
#include "tagfinder.h"

#include "bounds.h"
#include "bytecursor.h"
#include "markupguard.h"
#include "markuplexer.h"
#include "messages.h"
#include "parsersession.h"

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
    ByteTagFinder(const InputEncoding &encoding, const QString &attributeName)
        : TagFinder(encoding), m_lexer(units(encodeWithoutMark(encoding.codec, attributeName)),
                                       maximumAttributesPerTag, maximumMarkupLength)
    {}

    Outcome find(const ByteWindow &window) override
    {
        const BytePosition from = m_located;
        m_located = window.end();
        return markupOutcome(m_lexer.read(window.at(from), window.at(m_located), &m_tags), "bytes");
    }

    std::optional<FoundTag> takeTag(const ByteWindow &window, const xmlChar *name) override
    {
        if (m_tags.empty())
            return std::nullopt;
        const LocatedTag<char> tag = m_tags.front();
        m_tags.pop_front();
        if (!nameMatches(window, tag, name))
            return std::nullopt;
        FoundTag found;
        found.attributeCount = tag.attributeCount;
        found.hasValue = tag.hasValue;
        found.value = tag.value;
        return found;
    }

    BytePosition lexedTo() override { return m_lexer.settledTo(); }

    BytePosition settledTo() override
    {
        BytePosition settled = lexedTo();
        const auto withValue =
            std::find_if(m_tags.cbegin(), m_tags.cend(),
                         [](const LocatedTag<char> &tag) { return tag.hasValue; });
        if (withValue != m_tags.cend())
            settled = std::min(settled, withValue->value.begin);
        return settled;
    }

    BytePosition release(const ByteWindow &window) override
    {
        return m_tags.empty() ? window.end() : m_tags.front().nameStart;
    }

    bool hasTag() const override { return !m_tags.empty(); }
    bool valueMatches(const ByteWindow &, const FoundTag &) const override { return true; }
    Outcome finish(const ByteWindow &) override { return {}; }

private:
    static std::vector<char> units(const QByteArray &bytes)
    {
        return std::vector<char>(bytes.cbegin(), bytes.cend());
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
    std::deque<LocatedTag<char>> m_tags; // found and not yet reported by the parser
};

// Markup read in text decoded by Qt's codec (UTF-16, UTF-32, and encodings whose
// multibyte characters use ASCII bytes), with a ByteCursor mapping its characters
// back to the bytes.
class DecodedTagFinder final : public TagFinder
{
public:
    DecodedTagFinder(const InputEncoding &encoding, const QString &attributeName)
        : TagFinder(encoding),
          m_lexer(std::vector<char16_t>(attributeName.utf16(),
                                        attributeName.utf16() + attributeName.size()),
                  maximumAttributesPerTag, maximumMarkupLength),
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
        if (m_tags.empty())
            return std::nullopt;
        const LocatedTag<char16_t> tag = m_tags.front();
        FoundTag found;
        found.attributeCount = tag.attributeCount;
        found.hasValue = tag.hasValue;
        found.value = m_valueBytes.front();
        found.valueCharacters = tag.value;
        m_tags.pop_front();
        m_valueBytes.pop_front();
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
        for (size_t i = 0; i < m_tags.size(); ++i) {
            if (m_tags[i].hasValue) {
                settled = std::min(settled, m_valueBytes[i].begin);
                break;
            }
        }
        return settled;
    }

    BytePosition release(const ByteWindow &window) override
    {
        CharacterPosition keep = m_cursor.character();
        if (!m_tags.empty())
            keep = std::min(keep, m_tags.front().nameStart);
        m_text.remove(0, int(keep - m_textBase));
        m_textBase = keep;
        return window.end(); // the parser reads the bytes from its own feed
    }

    bool valueMatches(const ByteWindow &window, const FoundTag &tag) const override
    {
        const QStringView text(textAt(tag.valueCharacters.begin), tag.valueCharacters.size());
        return encodeWithoutMark(m_encoding.codec, text) ==
               QByteArray::fromRawData(window.at(tag.value.begin), int(tag.value.size()));
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

    bool hasTag() const override { return !m_tags.empty(); }
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
        const size_t known = m_tags.size();
        const auto *begin = reinterpret_cast<const char16_t *>(textAt(oldEnd));
        const MarkupVerdict verdict = m_lexer.read(begin, begin + text.size(), &m_tags);
        for (size_t i = known; i < m_tags.size(); ++i) {
            const LocatedTag<char16_t> &tag = m_tags[i];
            ByteSpan bytes;
            if (tag.hasValue) {
                m_cursor.advance(textAt(m_cursor.character()), tag.value.begin);
                bytes.begin = m_cursor.byte();
                m_cursor.advance(textAt(m_cursor.character()), tag.value.end);
                bytes.end = m_cursor.byte();
            }
            m_valueBytes.push_back(bytes);
        }
        return markupOutcome(verdict, "characters");
    }

    MarkupLexer<char16_t> m_lexer;
    std::deque<LocatedTag<char16_t>> m_tags; // found and not yet reported by the parser
    std::deque<ByteSpan> m_valueBytes;       // of each tag in m_tags
    std::unique_ptr<QTextDecoder> m_decoder; // all but UTF-32
    ByteCursor m_cursor;
    // Decoded text still needed; m_text[0] is character m_textBase of the document.
    QString m_text;
    CharacterPosition m_textBase;
    QByteArray m_decodedFeed; // UTF-8 for the parser, not yet given to it
};

} // namespace

std::unique_ptr<TagFinder> TagFinder::create(const InputEncoding &encoding,
                                             const QString &attributeName)
{
    if (encoding.markupInBytes)
        return std::make_unique<ByteTagFinder>(encoding, attributeName);
    return std::make_unique<DecodedTagFinder>(encoding, attributeName);
}

QByteArray TagFinder::encode(const QString &value) const
{
    // Numbers are written in ASCII, which such encodings write as it is.
    const bool ascii =
        std::all_of(value.cbegin(), value.cend(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii && m_encoding.markupInBytes ? value.toLatin1()
                                             : encodeWithoutMark(m_encoding.codec, value);
}

QByteArray TagFinder::takeDecodedText(int)
{
    return {};
}

} // namespace xmladjust
