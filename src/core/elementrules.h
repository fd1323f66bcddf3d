// SPDX-License-Identifier: MIT
#ifndef ELEMENTRULES_H
#define ELEMENTRULES_H

#include "adjustmentrules.h"

#include <QByteArrayList>

#include <libxml/tree.h>

#include <algorithm>
#include <vector>

namespace xmladjust {

struct FoundTag;

// The rules as the streaming engine applies them to each element the parser reports:
// which of its attributes they look at, and the new text of a value.
class ElementRules
{
public:
    explicit ElementRules(const AdjustmentRules &rules);

    const AdjustmentRules &rules() const { return m_rules; }

    // Reads the parser's attributes of an element (name, value, ..., null) and returns
    // how many there are; value() then gives those the rules look at. Inline, as it
    // runs for every element.
    int read(const xmlChar **attributes)
    {
        std::fill(m_values.begin(), m_values.end(), nullptr);
        m_present = 0;
        int count = 0;
        for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
            ++count;
            for (size_t name = 0; name < m_names.size(); ++name) {
                if (xmlStrEqual(attribute[0], m_names[name])) {
                    m_values[name] = attribute[1];
                    ++m_present;
                }
            }
        }
        return count;
    }
    // The value of attributeNames()[name] on the element read, or null.
    const xmlChar *value(int name) const { return m_values[size_t(name)]; }
    int nameCount() const { return int(m_values.size()); }
    // The tag found in the text has values for the same attributes.
    bool sameValues(const FoundTag &tag) const;

    // The change the rules make to the value of attribute `name` on the element.
    std::optional<AdjustmentRules::Change> change(const xmlChar *element, int name,
                                                  const xmlChar *value) const;
    // Whether the rules would change the default the document type gives attribute
    // `name` on the element.
    bool changesDefault(xmlDocPtr document, const xmlChar *element, int name) const;

private:
    const AdjustmentRules &m_rules;
    QByteArrayList m_namesUtf8;
    std::vector<const xmlChar *> m_names; // in m_namesUtf8
    std::vector<const xmlChar *> m_values;
    int m_present = 0; // values of the element read
};

} // namespace xmladjust

#endif // ELEMENTRULES_H
