// SPDX-License-Identifier: MIT
#ifndef OUTCOMES_H
#define OUTCOMES_H

#include "result.h"

#include <QString>

// An outcome as one number for a data row: the kind of its failure, or this.
constexpr int succeeded = -1;

inline int statusOf(const xmladjust::Outcome &outcome)
{
    return outcome.succeeded() ? succeeded : int(outcome.kind());
}

inline QString messageOf(const xmladjust::Outcome &outcome)
{
    return outcome.succeeded() ? QString() : outcome.failure().message;
}

// The name of the failure's kind, as the tests' data write it; empty for a success.
inline QString kindOf(const xmladjust::Outcome &outcome)
{
    static const char *const names[] = {
        "CannotRead",          "CannotWrite",   "NotWellFormed",   "TooDeep",        "TooLarge",
        "UnsupportedEncoding", "LayoutNotKept", "Missing",         "NotRegularFile", "NotWritable",
        "ChangedMeanwhile",    "Busy",          "MetadataNotKept", "NotEnoughMemory"};
    return outcome.succeeded() ? QString() : QString(names[int(outcome.kind())]);
}

#endif // OUTCOMES_H
