// SPDX-License-Identifier: MIT
#ifndef MARKUPLEXER_H
#define MARKUPLEXER_H

#include "read/positions.h"

#include <deque>
#include <vector>

namespace xmladjust {

// The value of an attribute looked for, inside its quotes.
template <typename Unit> struct LocatedValue
{
    int name = 0; // the attribute's index among the names looked for
    Span<Unit> span;
};

// A start tag in the document's text, in the text's units.
template <typename Unit> struct LocatedTag
{
    Position<Unit> nameStart;
    int nameLength = 0;
    int attributeCount = 0;
    int valueCount = 0; // of the attributes looked for
};

// The start tags read, and the values of the attributes looked for in them, both in
// the order written: each tag's valueCount values follow those of the tags before it.
template <typename Unit> struct LocatedMarkup
{
    std::deque<LocatedTag<Unit>> tags;
    std::deque<LocatedValue<Unit>> values;
};

// What reading a piece found beyond the bounds.
enum class MarkupVerdict
{
    Fine,
    TooManyAttributes, // in a tag, or in a tag an entity's text holds
    MarkupTooLong      // a tag, comment, instruction, CDATA section or document type
};

// Follows the outline of a document's markup as its text arrives, in pieces of any
// size or whole: comments, CDATA sections, processing instructions, the document
// type with its internal subset, tags and their quoted values. That is exact for a
// well-formed document; the parser judges everything else. It applies the bounds
// that must turn markup away before the parser holds it (attributes per tag, also
// in tags an entity's text holds, and the length of one piece of markup), and it
// can find the start tags, with the values of the named attributes in each.
//
// `Unit` is char for encodings in which every byte below 0x80 is that ASCII
// character and no other character uses such a byte (UTF-8, ISO-8859-*, EUC-JP…),
// and char16_t for decoded text.
template <typename Unit> class MarkupLexer
{
public:
    // `attributeNames`: the attributes to find, as written, in the text's units.
    MarkupLexer(const std::vector<std::vector<Unit>> &attributeNames, qint64 maximumAttributes,
                qint64 maximumMarkupLength);

    // Reads the next piece of the text; the tags completed in it are appended to
    // `found` unless it is null. Past a bound it stops.
    MarkupVerdict read(const Unit *begin, const Unit *end, LocatedMarkup<Unit> *found);

    // Where a start tag still being read begins, or the end of what was read when
    // none is: no value can be found before this any more.
    Position<Unit> settledTo() const;

private:
    // In the order of the markup they read: what lies outside tags first, then a
    // start tag, then the document type.
    enum class State : quint8
    {
        Content,
        Opening,     // after '<'
        Declaration, // after "<!", or "<!-"
        Comment,
        CData,
        Instruction,
        EndTag,
        TagName,
        BetweenAttributes,
        AttributeName,
        BeforeEquals,
        BeforeValue,
        Value,
        DocumentType,
        DocumentTypeLiteral,
        SubsetOpening,    // '<' inside the internal subset
        SubsetDeclaration // "<!" inside it
    };

    bool inStartTag() const { return m_state >= State::TagName && m_state <= State::Value; }
    Position<Unit> positionOf(const Unit *at) const { return m_position + (at - m_pieceBegin); }
    // One step each, from read()'s loop; inlined there, where nearly all the time of
    // reading a document goes, and a call for each character would double it.
    Q_ALWAYS_INLINE void stepOutsideTags(const Unit *&c, const Unit *end);
    Q_ALWAYS_INLINE void stepOpening(const Unit *&c);
    Q_ALWAYS_INLINE bool stepInTag(const Unit *&c, const Unit *end, LocatedMarkup<Unit> *found);
    Q_ALWAYS_INLINE bool stepInAttribute(const Unit *&c, const Unit *end);
    Q_ALWAYS_INLINE void stepBetweenAttributes(const Unit *&c, LocatedMarkup<Unit> *found);
    Q_ALWAYS_INLINE bool stepInDocumentType(const Unit *&c);
    Q_ALWAYS_INLINE bool stepInLiteral(Unit u);
    Q_ALWAYS_INLINE bool closes(const Unit *&c, const Unit *end, Unit mark, int marks);
    bool countAttribute(qint64 &count) { return ++count <= m_maximumAttributes; }
    Q_ALWAYS_INLINE void matchName(Unit u);

    // The names looked for, sorted, so that those sharing the units matched so far
    // follow each other, and where each was given.
    std::vector<std::vector<Unit>> m_names;
    std::vector<int> m_givenIndex;
    std::vector<size_t> m_sharedWithNext; // units m_names[i] shares with m_names[i + 1]
    const qint64 m_maximumAttributes;
    const qint64 m_maximumMarkupLength;

    State m_state = State::Content;
    State m_returnState = State::Content; // after a comment or an instruction
    Unit m_quote = 0;
    Unit m_innerQuote = 0;
    int m_run = 0; // of '-', ']' or '?' just seen
    int m_subsetDepth = 0;
    Position<Unit> m_position; // of the next piece
    const Unit *m_pieceBegin = nullptr;
    Position<Unit> m_markupStart;

    LocatedTag<Unit> m_tag;
    std::vector<LocatedValue<Unit>> m_tagValues; // of the tag being read
    qint64 m_equalsInTag = 0;
    qint64 m_nameMatched = 0;  // units of the attribute's name matched so far, -1 once not
    size_t m_candidate = 0;    // the first name they begin
    Position<Unit> m_valueStart;
    bool m_literalTag = false; // inside a tag in an entity's literal text
    qint64 m_literalEquals = 0;
};

extern template class MarkupLexer<char>;
extern template class MarkupLexer<char16_t>;

} // namespace xmladjust

#endif // MARKUPLEXER_H
