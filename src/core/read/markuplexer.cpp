// SPDX-License-Identifier: MIT
#include "read/markuplexer.h"

#include <QtAlgorithms>

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace xmladjust {

namespace {

// The first `target` from `c` on, or `end`. Most of a document is read with this.
const char *findUnit(const char *c, const char *end, char target)
{
    const void *found = std::memchr(c, target, size_t(end - c));
    return found ? static_cast<const char *>(found) : end;
}

const char16_t *findUnit(const char16_t *c, const char16_t *end, char16_t target)
{
#ifdef __SSE2__
    const __m128i wanted = _mm_set1_epi16(short(target));
    while (end - c >= 8) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i *>(c));
        const uint mask = uint(_mm_movemask_epi8(_mm_cmpeq_epi16(eight, wanted)));
        if (mask != 0)
            return c + qCountTrailingZeroBits(mask) / 2;
        c += 8;
    }
#endif
    return std::find(c, end, target);
}

template <typename Unit> bool isSpace(Unit u)
{
    return u == ' ' || u == '\t' || u == '\n' || u == '\r';
}

template <typename Unit> bool isQuote(Unit u)
{
    return u == '"' || u == '\'';
}

} // namespace

template <typename Unit>
MarkupLexer<Unit>::MarkupLexer(const std::vector<std::vector<Unit>> &attributeNames,
                               qint64 maximumAttributes, qint64 maximumMarkupLength)
    : m_maximumAttributes(maximumAttributes), m_maximumMarkupLength(maximumMarkupLength)
{
    for (size_t i = 0; i < attributeNames.size(); ++i)
        m_givenIndex.push_back(int(i));
    std::sort(m_givenIndex.begin(), m_givenIndex.end(),
              [&](int a, int b) { return attributeNames[size_t(a)] < attributeNames[size_t(b)]; });
    for (const int given : m_givenIndex)
        m_names.push_back(attributeNames[size_t(given)]);
    for (size_t i = 0; i + 1 < m_names.size(); ++i) {
        const auto differ = std::mismatch(m_names[i].cbegin(), m_names[i].cend(),
                                          m_names[i + 1].cbegin(), m_names[i + 1].cend());
        m_sharedWithNext.push_back(size_t(differ.first - m_names[i].cbegin()));
    }
}

// Matches the next unit of an attribute's name. The names that begin with the units
// matched so far follow each other in m_names, ordered by their next unit (one that
// ends there first), so the candidate only moves forward.
template <typename Unit> void MarkupLexer<Unit>::matchName(Unit u)
{
    if (m_nameMatched < 0)
        return;
    const size_t matched = size_t(m_nameMatched);
    for (size_t i = m_candidate; i < m_names.size(); ++i) {
        const std::vector<Unit> &name = m_names[i];
        if (matched < name.size() && name[matched] == u) {
            m_candidate = i;
            ++m_nameMatched;
            return;
        }
        const bool mayFollow = matched >= name.size() || name[matched] < u;
        if (!mayFollow || i + 1 == m_names.size() || m_sharedWithNext[i] < matched)
            break;
    }
    m_nameMatched = -1;
}

template <typename Unit> Position<Unit> MarkupLexer<Unit>::settledTo() const
{
    return m_state == State::Opening || inStartTag() ? m_markupStart : m_position;
}

template <typename Unit>
MarkupVerdict MarkupLexer<Unit>::read(const Unit *const begin, const Unit *const end,
                                      LocatedMarkup<Unit> *found)
{
    m_pieceBegin = begin;
    const Unit *c = begin;
    while (c != end) {
        switch (m_state) {
        case State::TagName:
        case State::BetweenAttributes:
        case State::AttributeName:
        case State::BeforeEquals:
        case State::BeforeValue:
        case State::Value:
            if (!stepInTag(c, end, found))
                return MarkupVerdict::TooManyAttributes;
            break;
        case State::DocumentType:
        case State::DocumentTypeLiteral:
        case State::SubsetOpening:
        case State::SubsetDeclaration:
            if (!stepInDocumentType(c))
                return MarkupVerdict::TooManyAttributes;
            break;
        default:
            stepOutsideTags(c, end);
            break;
        }
    }
    m_position = m_position + (end - begin);
    if (m_state != State::Content && m_position - m_markupStart > m_maximumMarkupLength)
        return MarkupVerdict::MarkupTooLong;
    return MarkupVerdict::Fine;
}

// One step through a comment ("-->"), CDATA section ("]]>") or instruction ("?>"):
// true when it reads the '>' that follows `marks` or more of `mark`.
template <typename Unit>
bool MarkupLexer<Unit>::closes(const Unit *&c, const Unit *end, Unit mark, int marks)
{
    if (m_run == 0)
        c = findUnit(c, end, mark);
    if (c == end)
        return false;
    const Unit u = *c++;
    const bool closed = u == '>' && m_run >= marks;
    m_run = u == mark ? m_run + 1 : 0;
    return closed;
}

// Content, and the markup in it that holds no attributes.
template <typename Unit> void MarkupLexer<Unit>::stepOutsideTags(const Unit *&c, const Unit *end)
{
    switch (m_state) {
    case State::Content:
        c = findUnit(c, end, Unit('<'));
        if (c != end) {
            m_markupStart = positionOf(c++);
            m_state = State::Opening;
        }
        break;
    case State::Opening:
        stepOpening(c);
        break;
    case State::Declaration:
        if (*c == '-') {
            ++c;
            if (++m_run == 2) {
                m_state = State::Comment;
                m_returnState = State::Content;
                m_run = 0;
            }
        } else if (*c == '[' && m_run == 0) {
            m_state = State::CData;
            ++c;
        } else {
            m_state = State::DocumentType; // or a fault the parser reports
            m_subsetDepth = 0;
        }
        break;
    case State::Comment:
        if (closes(c, end, Unit('-'), 2))
            m_state = m_returnState;
        break;
    case State::CData:
        if (closes(c, end, Unit(']'), 2))
            m_state = State::Content;
        break;
    case State::Instruction:
        if (closes(c, end, Unit('?'), 1))
            m_state = m_returnState;
        break;
    default: // State::EndTag
        c = findUnit(c, end, Unit('>'));
        if (c != end) {
            ++c;
            m_state = State::Content;
        }
        break;
    }
}

// After '<'.
template <typename Unit> void MarkupLexer<Unit>::stepOpening(const Unit *&c)
{
    if (*c == '!') {
        m_state = State::Declaration;
        m_run = 0;
        ++c;
    } else if (*c == '?') {
        m_state = State::Instruction;
        m_returnState = State::Content;
        m_run = 0;
        ++c;
    } else if (*c == '/') {
        m_state = State::EndTag;
        ++c;
    } else {
        m_tag = LocatedTag<Unit>();
        m_tagValues.clear();
        m_tag.nameStart = positionOf(c);
        m_equalsInTag = 0;
        m_state = State::TagName;
    }
}

// A start tag; false past the bound on attributes.
template <typename Unit>
bool MarkupLexer<Unit>::stepInTag(const Unit *&c, const Unit *end, LocatedMarkup<Unit> *found)
{
    switch (m_state) {
    case State::TagName:
        while (c != end && !isSpace(*c) && *c != '/' && *c != '>')
            ++c;
        if (c != end) {
            m_tag.nameLength = int(positionOf(c) - m_tag.nameStart);
            m_state = State::BetweenAttributes;
        }
        return true;
    case State::BetweenAttributes:
        stepBetweenAttributes(c, found);
        return true;
    case State::Value:
        c = findUnit(c, end, m_quote);
        if (c != end) {
            if (m_nameMatched >= 0)
                m_tagValues.push_back(
                    {m_givenIndex[m_candidate], Span<Unit>{m_valueStart, positionOf(c)}});
            ++m_tag.attributeCount;
            ++c;
            m_state = State::BetweenAttributes;
        }
        return true;
    default:
        return stepInAttribute(c, end);
    }
}

// An attribute's name, up to the quote that opens its value.
template <typename Unit> bool MarkupLexer<Unit>::stepInAttribute(const Unit *&c, const Unit *end)
{
    switch (m_state) {
    case State::AttributeName:
        for (; c != end && *c != '=' && !isSpace(*c); ++c) {
            if (*c == '>' || *c == '<' || *c == '/') {
                m_state = State::BetweenAttributes; // a fault the parser reports
                return true;
            }
            matchName(*c);
        }
        // A name looked for matched whole, or none.
        if (c != end && m_nameMatched >= 0 && size_t(m_nameMatched) != m_names[m_candidate].size())
            m_nameMatched = -1;
        if (c != end)
            m_state = State::BeforeEquals; // which reads the '='
        return true;
    case State::BeforeEquals:
        if (isSpace(*c)) {
            ++c;
        } else if (*c == '=') {
            ++c;
            m_state = State::BeforeValue;
            return countAttribute(m_equalsInTag);
        } else {
            m_state = State::BetweenAttributes;
        }
        return true;
    default: // State::BeforeValue
        if (isSpace(*c)) {
            ++c;
        } else if (isQuote(*c)) {
            m_quote = *c++;
            m_valueStart = positionOf(c);
            m_state = State::Value;
        } else {
            m_state = State::BetweenAttributes;
        }
        return true;
    }
}

template <typename Unit>
void MarkupLexer<Unit>::stepBetweenAttributes(const Unit *&c, LocatedMarkup<Unit> *found)
{
    if (isSpace(*c) || *c == '/') {
        ++c;
    } else if (*c == '>') {
        ++c;
        if (found) {
            m_tag.valueCount = int(m_tagValues.size());
            found->tags.push_back(m_tag);
            for (const LocatedValue<Unit> &value : m_tagValues)
                found->values.push_back(value);
        }
        m_state = State::Content;
    } else if (*c == '<') {
        m_state = State::Content; // a fault the parser reports
    } else {
        m_nameMatched = m_names.empty() ? -1 : 0;
        m_candidate = 0;
        m_state = State::AttributeName;
    }
}

// The document type declaration with its internal subset; false past the bound on
// attributes in an entity's text.
template <typename Unit> bool MarkupLexer<Unit>::stepInDocumentType(const Unit *&c)
{
    const Unit u = *c;
    switch (m_state) {
    case State::DocumentType:
        ++c;
        if (isQuote(u)) {
            m_quote = u;
            m_literalTag = false;
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
        return true;
    case State::DocumentTypeLiteral:
        ++c;
        return stepInLiteral(u);
    case State::SubsetOpening:
        m_run = 0;
        m_returnState = State::DocumentType;
        m_state = u == '!'   ? State::SubsetDeclaration
                  : u == '?' ? State::Instruction
                             : State::DocumentType;
        if (u == '!' || u == '?')
            ++c;
        return true;
    default: // State::SubsetDeclaration
        if (u == '-') {
            ++c;
            if (++m_run == 2) {
                m_run = 0;
                m_state = State::Comment;
            }
        } else {
            // A declaration's quotes and closing '>' read as the document type's.
            m_state = State::DocumentType;
        }
        return true;
    }
}

// A unit of a literal in the document type: an entity's text may hold tags, whose
// attributes are bounded too.
template <typename Unit> bool MarkupLexer<Unit>::stepInLiteral(Unit u)
{
    if (u == m_quote) {
        m_state = State::DocumentType;
    } else if (u == '<') {
        m_literalTag = true;
        m_literalEquals = 0;
        m_innerQuote = 0;
    } else if (m_literalTag) {
        if (m_innerQuote != 0) {
            if (u == m_innerQuote)
                m_innerQuote = 0;
        } else if (isQuote(u)) {
            m_innerQuote = u;
        } else if (u == '=') {
            return countAttribute(m_literalEquals);
        } else if (u == '>') {
            m_literalTag = false;
        }
    }
    return true;
}

template class MarkupLexer<char>;
template class MarkupLexer<char16_t>;

} // namespace xmladjust
