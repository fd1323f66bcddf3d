// SPDX-License-Identifier: MIT
#ifndef ATTRIBUTEWALK_H
#define ATTRIBUTEWALK_H

class QDomNode;

namespace xmladjust {

struct AdjustmentRule;

// Applies the rule to the node and every node below it, in document order (a node
// before its descendants), and returns how many attribute values were rewritten.
// Iterative, so the depth of the tree costs no stack.
int adjustAttributes(const QDomNode &root, const AdjustmentRule &rule);

} // namespace xmladjust

#endif // ATTRIBUTEWALK_H
