// SPDX-License-Identifier: MIT
#ifndef MESSAGES_H
#define MESSAGES_H

#include "result.h"

#include <QStringList>

namespace xmladjust {

// The reasons this program gives in its own words; each has one kind and one
// message, both in the table in messages.def.
enum class Reason
{
#define XMLADJUST_REASON(name, kind, message) name,
#include "messages.def"
#undef XMLADJUST_REASON
};

// The failure for the reason, its message filled in with the arguments.
Failure failureOf(Reason reason, const QStringList &arguments = {});

} // namespace xmladjust

#endif // MESSAGES_H
