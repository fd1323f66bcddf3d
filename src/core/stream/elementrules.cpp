// SPDX-License-Identifier: MIT
#include "stream/elementrules.h"

#include "read/parsersession.h"

#include <libxml/valid.h>

#include <algorithm>

namespace xmladjust {

ElementRules::ElementRules(const AdjustmentRules &rules)
    : m_rules(rules), m_values(size_t(rules.attributeNames().size()))
{
    for (const QString &name : rules.attributeNames())
        m_namesUtf8 << name.toUtf8();
    for (const QByteArray &name : qAsConst(m_namesUtf8)) {
        m_names.push_back(reinterpret_cast<const xmlChar *>(name.constData()));
        if (!name.isEmpty())
            m_firstBytes[static_cast<unsigned char>(name.at(0))] = true;
    }
}

std::optional<ElementRules::Change> ElementRules::change(const xmlChar *element, int name,
                                                         const xmlChar *value) const
{
    // The element's name is read only where some rule asks for it.
    const QString elementName = m_rules.scopedByElement() ? fromLibxml(element) : QString();
    Change change;
    switch (m_rules.adjustedNumeral(elementName, name,
                                    QLatin1String(reinterpret_cast<const char *>(value)),
                                    &change.rule, &change.numeral)) {
    case AdjustmentRule::NumeralAnswer::Adjusted:
        return change;
    case AdjustmentRule::NumeralAnswer::Left:
        return std::nullopt;
    case AdjustmentRule::NumeralAnswer::NotShort:
        break;
    }
    std::optional<AdjustmentRules::Change> changed =
        m_rules.adjustedValue(elementName, name, fromLibxml(value));
    if (!changed)
        return std::nullopt;
    change.rule = changed->rule;
    change.text = std::move(changed->newText);
    return change;
}

const xmlChar *ElementRules::declaredDefault(xmlDocPtr document, const xmlChar *element,
                                             int name) const
{
    if (!document || !document->intSubset)
        return nullptr;
    const QByteArray &nameUtf8 = m_namesUtf8[name];
    const auto *wanted = reinterpret_cast<const xmlChar *>(nameUtf8.constData());
    const int colon = nameUtf8.indexOf(':');
    xmlAttributePtr declaration = nullptr;
    if (colon > 0) {
        const QByteArray prefix = nameUtf8.left(colon);
        declaration = xmlGetDtdQAttrDesc(document->intSubset, element, wanted + colon + 1,
                                         reinterpret_cast<const xmlChar *>(prefix.constData()));
    } else {
        declaration = xmlGetDtdAttrDesc(document->intSubset, element, wanted);
    }
    return declaration ? declaration->defaultValue : nullptr;
}

} // namespace xmladjust
