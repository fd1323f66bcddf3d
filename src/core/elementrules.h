// SPDX-License-Identifier: MIT
#ifndef ELEMENTRULES_H
#define ELEMENTRULES_H

#include "adjustmentrules.h"

#include <QByteArrayList>
#include <QVarLengthArray>

#include <libxml/tree.h>

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
    // how many there are; value() then gives those the rules look at.
    int read(const xmlChar **attributes);
    // The value of attributeNames()[name] on the element read, or null.
    const xmlChar *value(int name) const { return m_values[name]; }
    int nameCount() const { return m_values.size(); }
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
    QVarLengthArray<const xmlChar *, 4> m_values;
};

} // namespace xmladjust

#endif // ELEMENTRULES_H
