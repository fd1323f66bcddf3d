#ifndef STREAMADJUST_H
#define STREAMADJUST_H

#include "xmlinput.h"

#include <QString>

class QIODevice;
struct AdjustmentRule;

// The streaming engine keeps only the current markup in memory, so its depth bound
// is about the parser's stack of open elements, a few dozen bytes a level.
constexpr int maximumStreamNestingDepth = 100000;

// The parser holds a whole tag, comment, processing instruction, CDATA section or
// document type in memory; one longer than this (in bytes, or in characters where
// the text has to be decoded to be read) is refused before the parser holds it.
constexpr qint64 maximumMarkupLength = 256000000;

// The same bound as the window's path, for the same reason.
constexpr qint64 maximumStreamAttributes = maximumAttributesPerTag;

// Bytes read at a time. Each piece passes through the engine's buffer and the
// parser's own; at this size they stay in the processor's cache together.
constexpr qint64 defaultStreamChunkSize = 64 * 1024;

struct StreamAdjustResult
{
    enum Status
    {
        Adjusted,            // the whole document was read and is well-formed
        CannotRead,          // the input failed
        CannotWrite,         // the output failed
        UnsupportedEncoding, // an encoding this program cannot read, or bytes not valid in it
        NotWellFormed,
        TooDeep,
        TooLarge,     // past one of the limits above
        LayoutNotKept // the values could not be placed in the bytes exactly; nothing is written
    };
    Status status = NotWellFormed;
    qint64 adjustedCount = 0; // values that qualified and were rewritten
    // Qualifying values that are not written in the document's text (defaults from
    // the document type, or markup an entity expands to) and so stay as they are.
    qint64 notInTextCount = 0;
    bool bytesChanged = false; // some new value text differs from the old
    QString errorMessage;
    qint64 errorLine = 0; // 1-based, 0 when the error has no place in the document
    qint64 errorColumn = 0;

    bool succeeded() const { return status == Adjusted; }
};

// Reads an XML document from the input, judged by the same parser and bounds as the
// window's path, and writes it to the output (unless the output is null) byte for
// byte as it was, except that the text of each qualifying attribute value, inside
// its quotes, is replaced by the adjusted number. Memory
// does not grow with the size of the document, only with its largest piece of
// markup and its depth. The output receives bytes while the input is read, so a
// caller that must not show a document that fails half-way writes to a temporary
// place and keeps it only when the result succeeded.
StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output, const AdjustmentRule &rule,
                                   qint64 chunkSize = defaultStreamChunkSize);

#endif // STREAMADJUST_H
