// SPDX-License-Identifier: MIT
#ifndef BOUNDS_H
#define BOUNDS_H

#include <QtGlobal>

namespace xmladjust {

// The bounds past which a document is refused, before it can exhaust memory or
// time. libxml2 runs without its own (XML_PARSE_HUGE); these replace them.

// Documents nested deeper than this are refused by the window's path: the DOM's
// serialiser and destructor need stack for every level.
constexpr int maximumNestingDepth = 1000;

// The streaming engine keeps only the current markup in memory, so its depth bound
// is about the parser's stack of open elements, a few dozen bytes a level.
constexpr int maximumStreamNestingDepth = 100000;

// The DOM's strings cannot pass 2 GiB, and it needs many times a document's size in
// memory (below); larger files are refused rather than left to exhaust memory.
constexpr qint64 maximumXmlFileSize = qint64(256) << 20;

// The memory the window's path takes at its peak (the file's bytes, the DOM, and the
// text and bytes it writes back), for each byte of the file. Measured on the densest
// markup it meets, OSM-like files of short elements with many short attributes
// (`generate_corpus osm`, 30 MiB: `xmladjust-cli --reformat` peaked at 996 MiB on
// Qt 5.15 and 1969 MiB on Qt 6.4): QDom spends about a hundred bytes on every node and
// attribute, and Qt 6's larger strings and attribute hashes double that. A file that
// would need more than the memory available is refused before it is read, rather
// than left to swap or to be killed.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
constexpr qint64 domBytesPerFileByte = 70;
#else
constexpr qint64 domBytesPerFileByte = 35;
#endif

// Entity references may expand to at most this many characters in all, which
// keeps a small document from growing past what memory and strings can hold.
constexpr qint64 maximumEntityExpansionTotal = 64000000;

// The parser compares every attribute of a tag with every other, so a tag with a
// great many would take hours; more than this are refused before it sees them.
constexpr qint64 maximumAttributesPerTag = 10000;

// The parser holds a whole tag, comment, processing instruction, CDATA section or
// document type in memory; the streaming engine refuses one longer than this (in
// bytes, or in characters where the text has to be decoded to be read) before the
// parser holds it.
constexpr qint64 maximumMarkupLength = 256000000;

// How long a run waits for another run of this program to let go of the file it
// wants to replace, before it refuses.
constexpr int fileLockWaitMilliseconds = 3000;

// The command line's increment and thresholds are numbers a person types: past this
// many characters they are refused, since every sum is as long as the increment and
// the window's path holds all of them at once.
constexpr int maximumNumberLength = 300;

} // namespace xmladjust

#endif // BOUNDS_H
