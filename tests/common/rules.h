// SPDX-License-Identifier: MIT
#ifndef RULES_H
#define RULES_H

#include "adjustmentrule.h"

#include <QStringList>

// The rule that the command line's arguments name.
inline xmladjust::AdjustmentRule ruleFor(const QString &attribute, const QString &increment,
                                         const QString &above = {}, const QString &below = {})
{
    xmladjust::AdjustmentRule rule;
    rule.attributeName = attribute;
    rule.increment =
        xmladjust::DecimalNumber::fromNumeral(increment).value_or(xmladjust::DecimalNumber());
    rule.useAbove = !above.isEmpty();
    rule.above = above.toDouble();
    rule.useBelow = !below.isEmpty();
    rule.below = below.toDouble();
    return rule;
}

#endif // RULES_H
