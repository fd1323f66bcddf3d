// SPDX-License-Identifier: MIT
#ifndef ELEMENTRULES_H
#define ELEMENTRULES_H

#include "read/parsersession.h"
#include "rule/adjustmentrules.h"

#include <QByteArrayList>

#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <vector>

namespace xmladjust {

// The rules as the streaming engine applies them to each element the parser reports:
// which of its attributes they look at (on the parser's side, with an object of its
// own, as read() keeps the element's values), and the new text of a value.
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
        const size_t names = m_names.size();
        // Most rules name one attribute: a call to clear one value costs more than this.
        if (names == 1)
            m_values[0] = nullptr;
        else
            std::fill(m_values.begin(), m_values.end(), nullptr);
        int count = 0;
        for (const xmlChar **attribute = attributes; attribute && *attribute; attribute += 2) {
            ++count;
            // Most attributes are none of the rules', and their first byte says so.
            if (!m_firstBytes[attribute[0][0]])
                continue;
            for (size_t name = 0; name < names; ++name) {
                if (sameLibxmlText(attribute[0], m_names[name]))
                    m_values[name] = attribute[1];
            }
        }
        return count;
    }
    // The value of attributeNames()[name] on the element read, or null.
    const xmlChar *value(int name) const { return m_values[size_t(name)]; }
    int nameCount() const { return int(m_values.size()); }
    // The default the document type gives attribute `name` on the element, or null.
    const xmlChar *declaredDefault(xmlDocPtr document, const xmlChar *element, int name) const;

    // A change the rules make: the rule, and the value's new text.
    struct Change
    {
        int rule = 0;
        NumeralText numeral; // the new text, where it is a short numeral (length > 0)
        QString text;        // otherwise
    };
    // The change the rules make to the value of attribute `name` on the element.
    std::optional<Change> change(const xmlChar *element, int name, const xmlChar *value) const;

private:
    const AdjustmentRules &m_rules;
    QByteArrayList m_namesUtf8;
    std::vector<const xmlChar *> m_names; // in m_namesUtf8
    std::array<bool, 256> m_firstBytes{}; // the first bytes of m_names
    std::vector<const xmlChar *> m_values;
};

} // namespace xmladjust

#endif // ELEMENTRULES_H
