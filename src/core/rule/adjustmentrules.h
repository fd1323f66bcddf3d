// SPDX-License-Identifier: MIT
#ifndef ADJUSTMENTRULES_H
#define ADJUSTMENTRULES_H

#include "rule/adjustmentrule.h"

#include <QStringList>
#include <QVector>

#include <optional>
#include <utility>

namespace xmladjust {

// How many values each rule adjusted, in the rules' order.
using RuleCounts = QVector<qint64>;

// The rules one run applies together, in the order given. No two of them may
// change the same value (see firstOverlap()), so at most one rule applies to any
// value and the order in which they are tried does not matter.
class AdjustmentRules
{
public:
    AdjustmentRules() = default;
    // The window's single rule.
    AdjustmentRules(const AdjustmentRule &rule) : AdjustmentRules(QVector<AdjustmentRule>{rule}) {}
    explicit AdjustmentRules(const QVector<AdjustmentRule> &rules);

    const QVector<AdjustmentRule> &rules() const { return m_rules; }
    int size() const { return m_rules.size(); }

    // The attribute names the rules look at, each once, in the order first given.
    const QStringList &attributeNames() const { return m_attributeNames; }
    // Some rule looks only at elements of one name.
    bool scopedByElement() const { return m_scopedByElement; }

    struct Change
    {
        int rule = 0; // its index in rules()
        QString newText;
    };
    // The rule that changes the value of attributeNames()[attribute] on the element,
    // and the value's new text; nothing when no rule changes it.
    std::optional<Change> adjustedValue(QStringView element, int attribute, QStringView text) const;
    // The same where the value is a short plain numeral read from its bytes
    // (AdjustmentRule::adjustedNumeral()): `rule` and `newText` are set when the answer
    // is Adjusted.
    AdjustmentRule::NumeralAnswer adjustedNumeral(QStringView element, int attribute,
                                                  QLatin1String text, int *rule,
                                                  NumeralText *newText) const;

    // Two rules that could change the same value: the same attribute, on elements
    // that may be the same, with bounds some number lies within both of.
    std::optional<std::pair<int, int>> firstOverlap() const;

private:
    QVector<AdjustmentRule> m_rules;
    QStringList m_attributeNames;
    QVector<int> m_attributeOfRule; // each rule's index in m_attributeNames
    bool m_scopedByElement = false;
};

} // namespace xmladjust

#endif // ADJUSTMENTRULES_H
