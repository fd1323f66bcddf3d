#include "messages.h"

#include <iterator>

namespace xmladjust {

namespace {

struct Entry
{
    Reason reason;
    FailureKind kind;
    const char *message;
};

using K = FailureKind;

const Entry table[] = {
    {Reason::OutOfMemory, K::TooLarge, "out of memory"},
    {Reason::NotWellFormed, K::NotWellFormed, "not well-formed"},
    {Reason::NulCharacter, K::NotWellFormed, "a NUL character, which XML does not allow"},
    {Reason::HalfSurrogate, K::NotWellFormed, "half of a surrogate pair, which XML does not allow"},
    {Reason::NotValidUtf32, K::NotWellFormed, "bytes that are not valid UTF-32"},
    {Reason::ContentAfterEnd, K::NotWellFormed, "content after the end of the document"},
    {Reason::UndeclaredEntityInValue, K::NotWellFormed,
     "a reference to the entity \"%1\" in a value, which is not declared in the document; "
     "external declarations are never read"},
    {Reason::ExternalEntity, K::NotWellFormed,
     "a reference to the external entity \"%1\"; external entities are never read"},
    {Reason::NestedTooDeep, K::TooDeep, "elements are nested deeper than %1 levels"},
    {Reason::ExpansionTooLarge, K::TooLarge,
     "entity references would expand to more than %1 million characters"},
    {Reason::TooManyAttributes, K::TooLarge, "a tag with more than %1 attributes"},
    {Reason::MarkupTooLong, K::TooLarge, "a single piece of markup is longer than %1 million %2"},
    {Reason::FileTooLarge, K::TooLarge, "larger than %1 MiB"},
    {Reason::UnknownEncoding, K::UnsupportedEncoding, "unsupported encoding \"%1\""},
    {Reason::DeclaredWideWithoutMark, K::UnsupportedEncoding,
     "the declaration names %1, but the document is not written in it (it has no byte order "
     "mark)"},
    {Reason::InvalidBytes, K::UnsupportedEncoding, "bytes that are not valid %1"},
    {Reason::EndsInsideCharacter, K::UnsupportedEncoding, "the input ends inside a character"},
    {Reason::EncodingNotWritable, K::UnsupportedEncoding,
     "the encoding \"%1\" is one this program cannot write"},
    {Reason::CharacterNotWritable, K::UnsupportedEncoding,
     "U+%1 stands where no character reference can, and the encoding \"%2\" cannot write it "
     "back as itself"},
    {Reason::SubsetNotKept, K::UnsupportedEncoding,
     "the internal DTD subset could not be read back to be kept"},
    {Reason::AttributeNotFound, K::LayoutNotKept,
     "cannot find the attribute in the document's text"},
    {Reason::CharactersNotMatched, K::LayoutNotKept,
     "cannot match the characters of this encoding to its bytes"},
    {Reason::ValueBytesNotMatched, K::LayoutNotKept,
     "the bytes of a value do not match its characters in this encoding"},
    {Reason::NoSuchFile, K::Missing, "no such file"},
    {Reason::IsDirectory, K::NotRegularFile, "is a directory"},
    {Reason::NotRegularFile, K::NotRegularFile, "not a regular file"},
    {Reason::NotWritable, K::NotWritable, "permission denied: the file is not writable"},
    {Reason::NothingToReplace, K::CannotWrite, "nothing to replace"},
    {Reason::RemovedMeanwhile, K::Missing, "the file was removed meanwhile"},
    {Reason::ChangedMeanwhile, K::ChangedMeanwhile, "the file was changed meanwhile"},
};

static_assert(std::size(table) == size_t(Reason::ChangedMeanwhile) + 1,
              "every reason has one entry");

} // namespace

Failure failureOf(Reason reason, const QStringList &arguments)
{
    const Entry &entry = table[size_t(reason)];
    Q_ASSERT(entry.reason == reason);
    Failure failure;
    failure.kind = entry.kind;
    failure.message = QString::fromUtf8(entry.message);
    // In one pass, so that an argument holding "%2" is not filled in itself.
    if (arguments.size() == 2)
        failure.message = failure.message.arg(arguments[0], arguments[1]);
    else if (arguments.size() == 1)
        failure.message = failure.message.arg(arguments[0]);
    return failure;
}

} // namespace xmladjust
