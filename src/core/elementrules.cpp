// SPDX-License-Identifier: MIT
#include "elementrules.h"

#include "parsersession.h"
#include "tagfinder.h"

#include <libxml/valid.h>

#include <algorithm>

namespace xmladjust {

ElementRules::ElementRules(const AdjustmentRules &rules)
    : m_rules(rules), m_values(rules.attributeNames().size())
{
    for (const QString &name : rules.attributeNames())
        m_namesUtf8 << name.toUtf8();
}

int ElementRules::read(const xmlChar **attributes)
{
    std::fill(m_values.begin(), m_values.end(), nullptr);
    int count = 0;
    for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
        ++count;
        for (int name = 0; name < m_namesUtf8.size(); ++name) {
            if (xmlStrEqual(attribute[0],
                            reinterpret_cast<const xmlChar *>(m_namesUtf8[name].constData())))
                m_values[name] = attribute[1];
        }
    }
    return count;
}

bool ElementRules::sameValues(const FoundTag &tag) const
{
    const auto present = std::count_if(m_values.cbegin(), m_values.cend(),
                                       [](const xmlChar *value) { return value != nullptr; });
    return present == tag.values.size() &&
           std::all_of(tag.values.cbegin(), tag.values.cend(),
                       [this](const FoundValue &found) { return m_values[found.name]; });
}

std::optional<AdjustmentRules::Change> ElementRules::change(const xmlChar *element, int name,
                                                            const xmlChar *value) const
{
    // The element's name is read only where some rule asks for it.
    const QString elementName = m_rules.scopedByElement() ? fromLibxml(element) : QString();
    return m_rules.adjustedValue(elementName, name, fromLibxml(value));
}

bool ElementRules::changesDefault(xmlDocPtr document, const xmlChar *element, int name) const
{
    if (!document || !document->intSubset)
        return false;
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
    return declaration && declaration->defaultValue &&
           change(element, name, declaration->defaultValue).has_value();
}

} // namespace xmladjust
