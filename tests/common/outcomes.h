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

#endif // OUTCOMES_H
