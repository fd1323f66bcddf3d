// SPDX-License-Identifier: MIT
#ifndef ATTRIBUTEWALK_H
#define ATTRIBUTEWALK_H

#include "rule/adjustmentrules.h"

class QDomNode;

namespace xmladjust {

// Applies the rules to the node and every node below it, in document order (a node
// before its descendants), and returns how many attribute values were rewritten,
// and with `byRule` how many by each rule. Iterative, so the depth of the tree costs
// no stack.
int adjustAttributes(const QDomNode &root, const AdjustmentRules &rules,
                     RuleCounts *byRule = nullptr);

} // namespace xmladjust

#endif // ATTRIBUTEWALK_H
