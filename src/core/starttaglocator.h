#ifndef STARTTAGLOCATOR_H
#define STARTTAGLOCATOR_H

#include <QtGlobal>

#include <deque>
#include <vector>

// A start tag in the document's text. Positions count the text's units (bytes, or
// UTF-16 code units of decoded text) from the start of the document.
struct LocatedTag
{
    qint64 nameStart = 0;
    int nameLength = 0;
    int attributeCount = 0;
    // The value of the attribute looked for, inside its quotes; -1 when the tag has
    // none. The byte positions are filled by the caller where units are not bytes.
    qint64 valueStart = -1;
    qint64 valueEnd = -1;
    qint64 valueStartByte = -1;
    qint64 valueEndByte = -1;
};

// What reading a piece found beyond the bounds.
enum class MarkupVerdict
{
    Fine,
    TooManyAttributes, // in a tag, or in a tag an entity's text holds
    MarkupTooLong      // a tag, comment, instruction, CDATA section or document type
};

// Finds the start tags of a document, and in each the value of one attribute, as
// the text arrives in pieces of any size. It follows only the outline of markup
// (comments, CDATA sections, processing instructions, the document type with its
// internal subset, quoted values), which is exact for a well-formed document; the
// parser judges everything else, and the caller checks each tag found against the
// one the parser reports. It also applies the bounds that must turn markup away
// before the parser holds it.
//
// `Unit` is char for encodings in which every byte below 0x80 is that ASCII
// character and no other character uses such a byte (UTF-8, ISO-8859-*, EUC-JP…),
// and char16_t for decoded text.
template <typename Unit> class StartTagLocator
{
public:
    // `attributeName`: the attribute as written, in the text's units.
    StartTagLocator(std::vector<Unit> attributeName, qint64 maximumAttributes,
                    qint64 maximumMarkupLength);

    // Reads the next piece of the text; the tags completed in it are appended to
    // `found`. Past a bound it stops.
    MarkupVerdict read(const Unit *begin, const Unit *end, std::deque<LocatedTag> &found);

    // Where a start tag still being read begins, or the end of what was read when
    // none is: no value can be found before this any more.
    qint64 settledTo() const;

private:
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

    bool closes(const Unit *&c, const Unit *end, Unit mark, int marks);
    bool countAttribute(qint64 &count);

    const std::vector<Unit> m_attributeName;
    const qint64 m_maximumAttributes;
    const qint64 m_maximumMarkupLength;

    State m_state = State::Content;
    State m_returnState = State::Content; // after a comment or an instruction
    Unit m_quote = 0;
    Unit m_innerQuote = 0;
    int m_run = 0; // of '-', ']' or '?' just seen
    int m_subsetDepth = 0;
    qint64 m_position = 0; // of the next unit to read
    qint64 m_markupStart = 0;

    LocatedTag m_tag;
    qint64 m_equalsInTag = 0;
    qint64 m_nameMatched = 0;  // units of the attribute's name matched so far, -1 once not
    bool m_literalTag = false; // inside a tag in an entity's literal text
    qint64 m_literalEquals = 0;
};

extern template class StartTagLocator<char>;
extern template class StartTagLocator<char16_t>;

#endif // STARTTAGLOCATOR_H
