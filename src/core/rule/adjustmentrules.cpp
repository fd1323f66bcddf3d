// SPDX-License-Identifier: MIT
#include "rule/adjustmentrules.h"

#include <algorithm>
#include <limits>

namespace xmladjust {

AdjustmentRules::AdjustmentRules(const QVector<AdjustmentRule> &rules) : m_rules(rules)
{
    for (const AdjustmentRule &rule : rules) {
        if (!m_attributeNames.contains(rule.attributeName))
            m_attributeNames << rule.attributeName;
        m_attributeOfRule << m_attributeNames.indexOf(rule.attributeName);
        m_scopedByElement = m_scopedByElement || !rule.elementName.isEmpty();
    }
}

std::optional<AdjustmentRules::Change>
AdjustmentRules::adjustedValue(QStringView element, int attribute, QStringView text) const
{
    for (int i = 0; i < m_rules.size(); ++i) {
        if (m_attributeOfRule[i] != attribute || !m_rules[i].appliesTo(element))
            continue;
        if (std::optional<QString> newText = m_rules[i].adjustedValue(text))
            return Change{i, std::move(*newText)};
    }
    return std::nullopt;
}

AdjustmentRule::NumeralAnswer AdjustmentRules::adjustedNumeral(QStringView element, int attribute,
                                                               QLatin1String text, int *rule,
                                                               NumeralText *newText) const
{
    using Answer = AdjustmentRule::NumeralAnswer;
    for (int i = 0; i < m_rules.size(); ++i) {
        if (m_attributeOfRule[i] != attribute || !m_rules[i].appliesTo(element))
            continue;
        const Answer answer = m_rules[i].adjustedNumeral(text, newText);
        if (answer == Answer::Adjusted)
            *rule = i;
        if (answer != Answer::Left)
            return answer;
    }
    return Answer::Left;
}

namespace {

// The open interval of values the rule's bounds let through.
std::pair<double, double> range(const AdjustmentRule &rule)
{
    constexpr double infinity = std::numeric_limits<double>::infinity();
    return {rule.useAbove ? rule.above : -infinity, rule.useBelow ? rule.below : infinity};
}

bool overlap(const AdjustmentRule &a, const AdjustmentRule &b)
{
    if (a.attributeName != b.attributeName)
        return false;
    if (!a.elementName.isEmpty() && !b.elementName.isEmpty() && a.elementName != b.elementName)
        return false;
    const auto [aLow, aHigh] = range(a);
    const auto [bLow, bHigh] = range(b);
    // Infinity passes two rules only when neither has a bound on its side, and nan
    // only rules without bounds: such ranges meet among the finite numbers too.
    return std::max(aLow, bLow) < std::min(aHigh, bHigh);
}

} // namespace

std::optional<std::pair<int, int>> AdjustmentRules::firstOverlap() const
{
    for (int later = 1; later < m_rules.size(); ++later) {
        for (int earlier = 0; earlier < later; ++earlier) {
            if (overlap(m_rules[earlier], m_rules[later]))
                return std::make_pair(earlier, later);
        }
    }
    return std::nullopt;
}

} // namespace xmladjust
