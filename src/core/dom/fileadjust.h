// SPDX-License-Identifier: MIT
#ifndef FILEADJUST_H
#define FILEADJUST_H

#include "result.h"
#include "rule/adjustmentrules.h"

#include <QString>

namespace xmladjust {

// What the window's file mode did with one file.
struct [[nodiscard]] FileAdjustResult
{
    // Why the file was left as it was, when it was.
    Outcome outcome;
    // The document was read and adjusted; a failure then came while saving it.
    bool loaded = false;
    // Values that qualified. The file was saved when there were some and the
    // outcome succeeded; with none it was not written at all.
    int adjustedCount = 0;
    RuleCounts adjustedByRule; // the same, by rule
};

// Whether the path leads to something: a path that cannot be followed for a reason
// other than a missing file (a loop of links, a folder that may not be searched)
// fails with the system's reason, as a failed reading.
Outcome checkReachable(const QString &path);

// Loads the file, adjusts it with the rules and, when some value changed, saves it
// back atomically in the serialiser's layout. A file in which nothing qualifies is
// not written at all, so it keeps its bytes and its modification time. Uses no
// widgets and shares nothing, so it may run on any thread.
FileAdjustResult adjustXmlFile(const QString &path, const AdjustmentRules &rules);

} // namespace xmladjust

#endif // FILEADJUST_H
