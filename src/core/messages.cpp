// SPDX-License-Identifier: MIT
#include "messages.h"

namespace xmladjust {

namespace {

struct Entry
{
    FailureKind kind;
    const char *message;
};

const Entry table[] = {
#define XMLADJUST_REASON(name, kind, message) {FailureKind::kind, message},
#include "messages.def"
#undef XMLADJUST_REASON
};

} // namespace

Failure failureOf(Reason reason, const QStringList &arguments)
{
    const Entry &entry = table[size_t(reason)];
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
