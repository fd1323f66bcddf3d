// SPDX-License-Identifier: MIT
#ifndef STREAMADJUST_H
#define STREAMADJUST_H

#include "result.h"
#include "rule/adjustmentrules.h"

class QIODevice;

namespace xmladjust {

// Bytes read at a time. Each piece passes through the engine's buffer and the
// parser's own; at this size they stay in the processor's cache together.
constexpr qint64 defaultStreamChunkSize = 64 * 1024;

struct [[nodiscard]] StreamAdjustResult
{
    // Whether the whole document was read and is well-formed, or why not.
    Outcome outcome;
    qint64 adjustedCount = 0; // values that qualified and were rewritten
    RuleCounts adjustedByRule; // the same, by rule
    // Qualifying values that are not written in the document's text (defaults from
    // the document type, or markup an entity expands to) and so stay as they are.
    qint64 notInTextCount = 0;
    bool bytesChanged = false; // some new value text differs from the old

    bool succeeded() const { return outcome.succeeded(); }
};

// How the streaming engine runs: libxml2's parse on one thread and the work on the
// bytes (finding the tags, copying, writing) on another, or both on the caller's.
enum class StreamThreads
{
    One,
    Two
};

// Reads an XML document from the input, judged by the same parser and bounds as the
// window's path, and writes it to the output (unless the output is null) byte for
// byte as it was, except that the text of each qualifying attribute value, inside
// its quotes, is replaced by the adjusted number (in one pass for all the rules). Memory does not
// grow with the size of the document, only with its largest piece of markup and its depth. The
// output receives bytes while the input is read, so a caller that must not show a
// document that fails half-way writes to a temporary place and keeps it only when
// the result succeeded. Both ways of running give the same bytes, counts and
// failures; with two threads the input and the output are used on the caller's.
StreamAdjustResult adjustXmlStream(QIODevice &input, QIODevice *output,
                                   const AdjustmentRules &rules,
                                   qint64 chunkSize = defaultStreamChunkSize,
                                   StreamThreads threads = StreamThreads::Two);

} // namespace xmladjust

#endif // STREAMADJUST_H
