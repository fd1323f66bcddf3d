// SPDX-License-Identifier: MIT
#ifndef XMLCOMPARE_H
#define XMLCOMPARE_H

#include <QDomDocument>
#include <QStringList>
#include <QTextStream>

// A text of the tree with each element's attributes sorted by name, so that two
// documents compare by content rather than by the DOM's hash order of attributes.
inline QString canonicalXml(const QDomNode &node)
{
    QString text;
    if (node.isElement()) {
        const QDomNamedNodeMap attributes = node.attributes();
        QStringList written;
        for (int i = 0; i < attributes.count(); ++i) {
            const QDomAttr attribute = attributes.item(i).toAttr();
            written << attribute.name() + "=\"" + attribute.value() + '"';
        }
        written.sort();
        text = '<' + node.nodeName() + (written.isEmpty() ? "" : " " + written.join(' ')) + '>';
    } else if (!node.isDocument()) {
        QString single;
        QTextStream stream(&single);
        node.cloneNode(false).save(stream, -1);
        text = single;
    }
    for (QDomNode child = node.firstChild(); !child.isNull(); child = child.nextSibling())
        text += canonicalXml(child);
    if (node.isElement())
        text += "</" + node.nodeName() + '>';
    return text;
}

// What a reader sees in a document: its document type with the declarations of the
// internal subset, and its tree as canonicalXml() gives it.
inline QString documentContent(const QDomDocument &document)
{
    const QDomDocumentType type = document.doctype();
    return type.name() + '|' + type.publicId() + '|' + type.systemId() + '|' +
           canonicalXml(document);
}

#endif // XMLCOMPARE_H
