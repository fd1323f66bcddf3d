// SPDX-License-Identifier: MIT
#include "attributewalk.h"

#include "adjustmentrule.h"
#include "domtraversal.h"

#include <QDomElement>

namespace xmladjust {

namespace {

bool adjustElement(QDomElement element, const AdjustmentRule &rule)
{
    if (element.isNull())
        return false;
    const std::optional<QString> newValue =
        rule.adjustedValue(element.attribute(rule.attributeName));
    if (!newValue)
        return false;
    element.setAttribute(rule.attributeName, *newValue);
    return true;
}

} // namespace

int adjustAttributes(const QDomNode &root, const AdjustmentRule &rule)
{
    int adjusted = 0;
    for (QDomNode node = root; !node.isNull(); node = nextInDocumentOrder(node, root)) {
        if (adjustElement(node.toElement(), rule))
            ++adjusted;
    }
    return adjusted;
}

} // namespace xmladjust
