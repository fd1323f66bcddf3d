// SPDX-License-Identifier: MIT
#ifndef DOMCOMPARE_H
#define DOMCOMPARE_H

// Walks two DOM documents side by side and holds them to being the same tree, but
// for the values of one attribute, which are handed to a check of their own.

#include "dom/domtraversal.h"
#include "fuzzinput.h"

#include <QDomDocument>
#include <QDomNamedNodeMap>
#include <QStringList>

#include <functional>

namespace fuzz {

enum class TextComparison
{
    Exact,
    IgnoringIndentation // the window's text mode indents by one space a level
};

using NamedValueCheck = std::function<void(const QString &before, const QString &after)>;

inline QString describe(const QDomNode &node)
{
    return QStringLiteral("%1 <%2> \"%3\"")
        .arg(int(node.nodeType()))
        .arg(node.nodeName(), node.nodeValue().left(200));
}

// The attributes of an element keyed by name; the DOM keeps them in a hash.
inline void compareAttributes(const QDomElement &a, const QDomElement &b,
                              const QString &attributeName, const NamedValueCheck &checkNamed)
{
    const QDomNamedNodeMap first = a.attributes();
    const QDomNamedNodeMap second = b.attributes();
    require(first.count() == second.count(), "no attribute appears or disappears",
            describe(a) + QLatin1String(" / ") + describe(b));
    for (int i = 0; i < first.count(); ++i) {
        const QDomAttr attribute = first.item(i).toAttr();
        require(b.hasAttribute(attribute.name()), "no attribute is renamed", attribute.name());
        const QString after = b.attribute(attribute.name());
        if (attribute.name() == attributeName)
            checkNamed(attribute.value(), after);
        else
            require(after == attribute.value(), "no other attribute changes",
                    attribute.name() + QLatin1String(": ") + attribute.value() +
                        QLatin1String(" -> ") + after);
    }
}

inline bool isCharacterData(const QDomNode &node)
{
    return node.isText() || node.isCDATASection();
}

inline void compareTrees(const QDomDocument &first, const QDomDocument &second,
                         TextComparison texts, const QString &attributeName,
                         const NamedValueCheck &checkNamed)
{
    // The document type carries the internal subset's declarations.
    const QDomDocumentType firstType = first.doctype();
    const QDomDocumentType secondType = second.doctype();
    require(firstType.name() == secondType.name() &&
                firstType.publicId() == secondType.publicId() &&
                firstType.systemId() == secondType.systemId(),
            "the document type and its declarations stay",
            firstType.name() + QLatin1String(" / ") + secondType.name());
    // Iterative, as the documents may be a thousand levels deep.
    QDomNode a = first.firstChild();
    QDomNode b = second.firstChild();
    const auto skipIndentation = [&](QDomNode node, const QDomNode &root) {
        while (texts == TextComparison::IgnoringIndentation && node.isText() &&
               node.nodeValue().trimmed().isEmpty())
            node = nextInDocumentOrder(node, root);
        return node;
    };
    for (;;) {
        a = skipIndentation(a, first);
        b = skipIndentation(b, second);
        if (a.isNull() || b.isNull())
            break;
        require(a.nodeType() == b.nodeType() && a.nodeName() == b.nodeName(),
                "the tree keeps its nodes", describe(a) + QLatin1String(" / ") + describe(b));
        if (a.isElement()) {
            compareAttributes(a.toElement(), b.toElement(), attributeName, checkNamed);
        } else if (isCharacterData(a) && texts == TextComparison::IgnoringIndentation) {
            require(a.nodeValue().simplified() == b.nodeValue().simplified(),
                    "text keeps its content", describe(a) + QLatin1String(" / ") + describe(b));
        } else if (isCharacterData(a) && a.previousSibling().isProcessingInstruction() &&
                   b.nodeValue() == QLatin1Char('\n') + a.nodeValue()) {
            // The serialiser ends every processing instruction with a line break.
        } else if (!a.isDocumentType()) {
            require(a.nodeValue() == b.nodeValue(), "text, comments and instructions stay",
                    describe(a) + QLatin1String(" / ") + describe(b));
        }
        a = nextInDocumentOrder(a, first);
        b = nextInDocumentOrder(b, second);
    }
    require(a.isNull() && b.isNull(), "the tree keeps all its nodes",
            (a.isNull() ? describe(b) : describe(a)));
}

} // namespace fuzz

#endif // DOMCOMPARE_H
