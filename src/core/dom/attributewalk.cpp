// SPDX-License-Identifier: MIT
#include "dom/attributewalk.h"

#include "dom/domtraversal.h"

#include <QDomElement>

#include <numeric>

namespace xmladjust {

namespace {

void adjustElement(QDomElement element, const AdjustmentRules &rules, RuleCounts *byRule)
{
    if (element.isNull())
        return;
    const QStringList &names = rules.attributeNames();
    for (int name = 0; name < names.size(); ++name) {
        const std::optional<AdjustmentRules::Change> change =
            rules.adjustedValue(element.nodeName(), name, element.attribute(names[name]));
        if (!change)
            continue;
        element.setAttribute(names[name], change->newText);
        ++(*byRule)[change->rule];
    }
}

} // namespace

int adjustAttributes(const QDomNode &root, const AdjustmentRules &rules, RuleCounts *byRule)
{
    RuleCounts counts(rules.size(), 0);
    for (QDomNode node = root; !node.isNull(); node = nextInDocumentOrder(node, root))
        adjustElement(node.toElement(), rules, &counts);
    if (byRule)
        *byRule = counts;
    return int(std::accumulate(counts.cbegin(), counts.cend(), qint64(0)));
}

} // namespace xmladjust
