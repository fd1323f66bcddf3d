// SPDX-License-Identifier: MIT
#ifndef RULES_H
#define RULES_H

#include "rule/adjustmentrules.h"

#include <QHash>
#include <QStringList>

// The rule that the command line's arguments name.
inline xmladjust::AdjustmentRule ruleFor(const QString &attribute, const QString &increment,
                                         const QString &above = {}, const QString &below = {},
                                         const QString &element = {})
{
    xmladjust::AdjustmentRule rule;
    rule.attributeName = attribute;
    rule.elementName = element;
    rule.increment =
        xmladjust::DecimalNumber::fromNumeral(increment).value_or(xmladjust::DecimalNumber());
    rule.useAbove = !above.isEmpty();
    rule.above = above.toDouble();
    rule.useBelow = !below.isEmpty();
    rule.below = below.toDouble();
    return rule;
}

// The rules of a case's arguments (option, value, ...): each --attribute starts a
// rule, and the options after it are its own (a single rule's may come in any order).
inline xmladjust::AdjustmentRules rulesFor(const QStringList &arguments)
{
    QList<QHash<QString, QString>> given;
    const bool several = arguments.count("--attribute") > 1;
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        if (given.isEmpty() || (several && arguments[i] == "--attribute"))
            given.append(QHash<QString, QString>());
        given.last().insert(arguments[i], arguments[i + 1]);
    }
    QVector<xmladjust::AdjustmentRule> rules;
    for (const QHash<QString, QString> &options : qAsConst(given))
        rules << ruleFor(options["--attribute"], options["--add"], options["--above"],
                         options["--below"], options["--element"]);
    return xmladjust::AdjustmentRules(rules);
}

#endif // RULES_H
