// SPDX-License-Identifier: MIT
#ifndef DOMTRAVERSAL_H
#define DOMTRAVERSAL_H

#include <QDomNode>

namespace xmladjust {

// The node after `node` in document order within the subtree of `root`, or a null
// node at the end. Walking with this needs no stack, however deep the tree. With
// `depth`, it is kept as the level of the returned node relative to `node`'s.
inline QDomNode nextInDocumentOrder(QDomNode node, const QDomNode &root, int *depth = nullptr)
{
    int level = depth ? *depth : 0;
    QDomNode next = node.firstChild();
    if (!next.isNull()) {
        ++level;
    } else {
        while (!node.isNull() && node != root) {
            next = node.nextSibling();
            if (!next.isNull())
                break;
            node = node.parentNode();
            --level;
        }
    }
    if (depth)
        *depth = level;
    return next;
}

} // namespace xmladjust

#endif // DOMTRAVERSAL_H
