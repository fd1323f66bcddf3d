// SPDX-License-Identifier: MIT
#ifndef XMLOUTPUT_H
#define XMLOUTPUT_H

#include <QByteArray>
#include <QString>

class QDomDocument;
class QTextCodec;

namespace xmladjust {

// The codec named by the document's XML declaration; UTF-8 when there is no
// declaration or the name is unknown. The DOM's serialiser chooses the same way.
QTextCodec *declaredCodec(const QDomDocument &document);

// The encoding the document's XML declaration names; empty when it names none.
QString declaredEncodingName(const QDomDocument &document);

// The first character the declared encoding cannot write so that it reads back as
// itself, in a place where the file can hold no character reference instead (a
// name, a comment, an instruction, a CDATA section, the document type); 0 when
// there is none.
uint firstUnwritableCharacter(const QDomDocument &document);

// The DOM's serialisation with the given indent. Characters the declared encoding
// cannot hold become character references, also beyond the Basic Multilingual
// Plane (where the DOM alone writes references to surrogates).
QString serializeXml(const QDomDocument &document, int indent);

// The bytes of the document as a file: indent 0, in the declared encoding, with the
// platform's line ends.
QByteArray encodeXmlFile(const QDomDocument &document);

} // namespace xmladjust

#endif // XMLOUTPUT_H
