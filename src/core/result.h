// SPDX-License-Identifier: MIT
#ifndef RESULT_H
#define RESULT_H

#include <QString>

#include <optional>

namespace xmladjust {

// What kind of thing went wrong; the window and the command line say it each in
// their own words.
enum class FailureKind
{
    CannotRead,          // the input failed (the system's reason)
    CannotWrite,         // the output failed (the system's reason)
    NotWellFormed,       // not XML (the parser's reason, with its place)
    TooDeep,             // elements nested past this program's bound
    TooLarge,            // past one of this program's other bounds
    UnsupportedEncoding, // an encoding this program cannot read or write back
    LayoutNotKept,       // the values could not be placed in the bytes exactly
    Missing,             // no file at the path
    NotRegularFile,      // a directory, device or pipe
    NotWritable,         // the file may not be replaced
    ChangedMeanwhile,    // another program changed or removed the file meanwhile
    Busy,                // another run of this program held the file too long
    MetadataNotKept,     // the file's owner, mode or attributes could not be kept
    NotEnoughMemory      // the document would not fit in the memory available
};

struct Failure
{
    FailureKind kind = FailureKind::NotWellFormed;
    QString message; // this program's reason (see messages.h), the system's or the parser's
    // 1-based place in the document; 0 when the failure has none.
    qint64 line = 0;
    qint64 column = 0;
};

// Success, or the one failure that ended the work.
class [[nodiscard]] Outcome
{
public:
    Outcome() = default;
    Outcome(Failure failure) : m_failure(std::move(failure)) {}

    bool succeeded() const { return !m_failure.has_value(); }
    // Only for an outcome that did not succeed.
    const Failure &failure() const
    {
        Q_ASSERT(m_failure);
        return *m_failure;
    }
    FailureKind kind() const { return failure().kind; }

private:
    std::optional<Failure> m_failure;
};

} // namespace xmladjust

#endif // RESULT_H
