// SPDX-License-Identifier: MIT
#ifndef POSITIONS_H
#define POSITIONS_H

#include <QtGlobal>

namespace xmladjust {

// A place in a document, counted from its start in one kind of unit: bytes of the
// file as it is, or UTF-16 code units of the text decoded from it. The two are
// distinct types, so using one where the other is meant does not compile.
template <typename Unit> class Position
{
public:
    constexpr Position() = default;
    constexpr explicit Position(qint64 offset) : m_offset(offset) {}

    constexpr qint64 offset() const { return m_offset; }

    friend constexpr Position operator+(Position at, qint64 units)
    {
        return Position(at.m_offset + units);
    }
    friend constexpr Position operator-(Position at, qint64 units)
    {
        return Position(at.m_offset - units);
    }
    friend constexpr qint64 operator-(Position a, Position b) { return a.m_offset - b.m_offset; }
    friend constexpr bool operator==(Position a, Position b) { return a.m_offset == b.m_offset; }
    friend constexpr bool operator!=(Position a, Position b) { return a.m_offset != b.m_offset; }
    friend constexpr bool operator<(Position a, Position b) { return a.m_offset < b.m_offset; }
    friend constexpr bool operator<=(Position a, Position b) { return a.m_offset <= b.m_offset; }
    friend constexpr bool operator>(Position a, Position b) { return a.m_offset > b.m_offset; }
    friend constexpr bool operator>=(Position a, Position b) { return a.m_offset >= b.m_offset; }

private:
    qint64 m_offset = 0;
};

using BytePosition = Position<char>;
using CharacterPosition = Position<char16_t>; // in UTF-16 code units

// The units [begin, end).
template <typename Unit> struct Span
{
    Position<Unit> begin;
    Position<Unit> end;

    constexpr qint64 size() const { return end - begin; }
};

using ByteSpan = Span<char>;
using CharacterSpan = Span<char16_t>;

} // namespace xmladjust

#endif // POSITIONS_H
