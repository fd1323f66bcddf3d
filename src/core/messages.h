#ifndef MESSAGES_H
#define MESSAGES_H

#include "result.h"

#include <QStringList>

namespace xmladjust {

// The reasons this program gives in its own words; each has one kind and one
// message, both in the table in messages.cpp.
enum class Reason
{
    // Reading
    OutOfMemory,
    NotWellFormed,
    NulCharacter,
    HalfSurrogate,
    NotValidUtf32,
    ContentAfterEnd,
    UndeclaredEntityInValue, // %1: the entity
    ExternalEntity,          // %1: the entity
                             // Bounds
    NestedTooDeep,           // %1: levels
    ExpansionTooLarge,       // %1: millions of characters
    TooManyAttributes,       // %1: attributes
    MarkupTooLong,           // %1: millions, %2: "bytes" or "characters"
    FileTooLarge,            // %1: MiB
                             // Encodings
    UnknownEncoding,         // %1: its name
    DeclaredWideWithoutMark, // %1: its name
    InvalidBytes,            // %1: the encoding
    EndsInsideCharacter,
    EncodingNotWritable,  // %1: its name
    CharacterNotWritable, // %1: the code point, %2: the encoding
    SubsetNotKept,
    // Keeping the layout
    AttributeNotFound,
    CharactersNotMatched,
    ValueBytesNotMatched,
    // Files
    NoSuchFile,
    IsDirectory,
    NotRegularFile,
    NotWritable,
    NothingToReplace,
    RemovedMeanwhile,
    ChangedMeanwhile
};

// The failure for the reason, its message filled in with the arguments.
Failure failureOf(Reason reason, const QStringList &arguments = {});

} // namespace xmladjust

#endif // MESSAGES_H
