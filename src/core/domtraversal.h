#ifndef DOMTRAVERSAL_H
#define DOMTRAVERSAL_H

#include <QDomNode>

// The node after `node` in document order within the subtree of `root`, or a null
// node at the end. Walking with this needs no stack, however deep the tree.
inline QDomNode nextInDocumentOrder(QDomNode node, const QDomNode &root)
{
    const QDomNode firstChild = node.firstChild();
    if (!firstChild.isNull())
        return firstChild;
    while (!node.isNull() && node != root) {
        const QDomNode sibling = node.nextSibling();
        if (!sibling.isNull())
            return sibling;
        node = node.parentNode();
    }
    return QDomNode();
}

#endif // DOMTRAVERSAL_H
