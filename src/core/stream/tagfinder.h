// SPDX-License-Identifier: MIT
#ifndef TAGFINDER_H
#define TAGFINDER_H

#include "read/encoding.h"
#include "result.h"
#include "rule/adjustmentrule.h"
#include "stream/bytewindow.h"

#include <libxml/xmlstring.h>

#include <QStringList>
#include <QVarLengthArray>

#include <memory>
#include <optional>

namespace xmladjust {

// The value of an attribute looked for in a start tag.
struct FoundValue
{
    int name = 0;             // the attribute's index among the names looked for
    ByteSpan bytes;           // inside the quotes
    CharacterSpan characters; // where the text is decoded to be read
};

// A start tag found in the document's text, as the streaming engine pairs it with
// the element the parser reports.
struct FoundTag
{
    int attributeCount = 0;
    QVarLengthArray<FoundValue, 2> values; // in the order written
};

// Finds the start tags of a document in its bytes as they are read, ahead of the
// parser: in the bytes themselves where the encoding allows, otherwise in the text
// decoded from them (see create()).
class TagFinder
{
public:
    virtual ~TagFinder() = default;

    // The finder for the encoding, looking for the named attributes.
    static std::unique_ptr<TagFinder> create(const InputEncoding &encoding,
                                             const QStringList &attributeNames);

    // Reads the bytes the window holds beyond those read before, up to located().
    virtual Outcome find(const ByteWindow &window) = 0;
    BytePosition located() const { return m_located; }
    // The parser has been given all that was found, having been given the bytes
    // up to `fed`.
    virtual bool allGiven(BytePosition fed) const { return fed == m_located; }
    // Some tag found is still to be paired.
    virtual bool hasTag() const = 0;

    // Takes the next tag found, when the parser's element `name` is that tag;
    // nothing when no tag is left or it is another.
    virtual std::optional<FoundTag> takeTag(const ByteWindow &window, const xmlChar *name) = 0;
    // No value found later can begin before this.
    virtual BytePosition lexedTo() = 0;
    // No value still to be paired lies before this.
    virtual BytePosition settledTo() = 0;
    // Forgets what no later step needs; the first byte the tags found still need.
    virtual BytePosition release(const ByteWindow &window) = 0;

    // The value's bytes stand for its characters, as the tag was found.
    virtual bool valueMatches(const ByteWindow &window, const FoundValue &value) const = 0;
    // A new value, in the document's encoding.
    QByteArray encode(const QString &value) const;
    // A numeral's bytes in the document's encoding: its own where they are the
    // encoding's, otherwise encoded into `buffer`; valid while both are.
    QLatin1String encode(const NumeralText &numeral, QByteArray *buffer) const;
    // Once all of the input is read: whether the text found ends where the bytes do.
    virtual Outcome finish(const ByteWindow &window) = 0;

    // Where the parser reads the decoded text as UTF-8 rather than the bytes:
    // UTF-32, which libxml2 does not read. Takes up to `size` bytes of it.
    virtual bool feedsDecodedText() const { return false; }
    virtual QByteArray takeDecodedText(int size);

protected:
    explicit TagFinder(const InputEncoding &encoding) : m_encoding(encoding) {}

    const InputEncoding m_encoding;
    BytePosition m_located;
};

} // namespace xmladjust

#endif // TAGFINDER_H
