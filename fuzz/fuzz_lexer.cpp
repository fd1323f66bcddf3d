// SPDX-License-Identifier: MIT
// The markup lexer alone, on any bytes: the one both paths apply their bounds with.
//
// Promises held on every input: no crash, no sanitizer report, no hang; reading the
// text in pieces of any size finds the same tags and gives the same verdict as
// reading it whole (but for the bound on one piece of markup, judged at the end of
// each piece); the same text as bytes and decoded (Latin-1, one character a byte)
// reads alike; what the lexer calls settled never moves back and never passes what
// it was given.

#include "fuzzinput.h"
#include "read/markuplexer.h"

#include <QStringList>

#include <deque>

namespace {

using namespace fuzz;

// Small bounds, so that inputs of a few kilobytes reach them.
constexpr qint64 fuzzAttributes = 20;
constexpr qint64 fuzzMarkupLength = 2000;

template <typename Unit> struct Reading
{
    LocatedMarkup<Unit> found;
    MarkupVerdict verdict = MarkupVerdict::Fine;
    qint64 read = 0; // units given before the verdict
};

// Reads `units` in pieces of `piece` units (all of them at once for 0).
template <typename Unit>
Reading<Unit> readIn(const std::vector<std::vector<Unit>> &names, const Unit *units, qint64 size,
                     qint64 piece)
{
    MarkupLexer<Unit> lexer(names, fuzzAttributes, fuzzMarkupLength);
    Reading<Unit> reading;
    Position<Unit> settled;
    while (reading.read < size && reading.verdict == MarkupVerdict::Fine) {
        const qint64 length = piece == 0 ? size : std::min(piece, size - reading.read);
        reading.verdict =
            lexer.read(units + reading.read, units + reading.read + length, &reading.found);
        reading.read += length;
        if (reading.verdict != MarkupVerdict::Fine)
            break;
        const Position<Unit> now = lexer.settledTo();
        require(settled <= now && now.offset() <= reading.read,
                "what is settled never moves back, nor past what was read");
        settled = now;
    }
    return reading;
}

template <typename A, typename B> bool sameTags(const A &a, const B &b)
{
    if (a.tags.size() != b.tags.size() || a.values.size() != b.values.size())
        return false;
    for (size_t i = 0; i < a.tags.size(); ++i) {
        if (a.tags[i].nameStart.offset() != b.tags[i].nameStart.offset() ||
            a.tags[i].nameLength != b.tags[i].nameLength ||
            a.tags[i].attributeCount != b.tags[i].attributeCount ||
            a.tags[i].valueCount != b.tags[i].valueCount)
            return false;
    }
    for (size_t i = 0; i < a.values.size(); ++i) {
        if (a.values[i].name != b.values[i].name ||
            a.values[i].span.begin.offset() != b.values[i].span.begin.offset() ||
            a.values[i].span.end.offset() != b.values[i].span.end.offset())
            return false;
    }
    return true;
}

// Reading in pieces finds what reading whole does. The length of one piece of markup
// is judged at the end of each piece given, so a text with markup past that bound
// may be refused sooner in pieces, and only then may the two differ.
template <typename Unit>
void samePromises(const Reading<Unit> &whole, const Reading<Unit> &inPieces, const char *what)
{
    if (whole.verdict == MarkupVerdict::MarkupTooLong ||
        inPieces.verdict == MarkupVerdict::MarkupTooLong)
        return;
    require(whole.verdict == inPieces.verdict && sameTags(whole.found, inPieces.found),
            "the verdict and the tags do not depend on how the text arrives", what);
}

void checkLexer(const FuzzCase &fuzzCase, size_t size)
{
    const QByteArray &bytes = fuzzCase.document;
    // The rule's name and names that may share its first letters, which the lexer
    // tells apart unit by unit.
    QStringList given = {fuzzCase.rule.attributeName, QStringLiteral("x"), QStringLiteral("xy"),
                         QStringLiteral("lat")};
    given.removeDuplicates();
    std::vector<std::vector<char>> names;
    std::vector<std::vector<char16_t>> wideNames;
    for (const QString &name : given) {
        const QByteArray bytes = name.toLatin1();
        names.emplace_back(bytes.cbegin(), bytes.cend());
        wideNames.emplace_back(bytes.cbegin(), bytes.cend());
    }

    const Reading<char> whole = readIn(names, bytes.constData(), bytes.size(), 0);
    const Reading<char> inPieces = readIn(names, bytes.constData(), bytes.size(), 1 + size % 13);
    samePromises(whole, inPieces, "the text in bytes");

    // Latin-1 gives one character a byte, so decoded text has the same markup at the
    // same places.
    const QString text = QString::fromLatin1(bytes.constData(), bytes.size());
    const auto *units = reinterpret_cast<const char16_t *>(text.utf16());
    const Reading<char16_t> decoded = readIn(wideNames, units, text.size(), 0);
    require(decoded.verdict == whole.verdict && decoded.read == whole.read &&
                sameTags(whole.found, decoded.found),
            "bytes and decoded text read alike");
    samePromises(decoded, readIn(wideNames, units, text.size(), 1 + size % 5), "decoded text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (const std::optional<FuzzCase> fuzzCase = readCase(data, size))
        checkLexer(*fuzzCase, size);
    return 0;
}
