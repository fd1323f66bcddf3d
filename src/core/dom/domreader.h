// SPDX-License-Identifier: MIT
#ifndef DOMREADER_H
#define DOMREADER_H

#include "result.h"

#include <QByteArray>

class QDomDocument;

namespace xmladjust {

// What the bytes handed to readDom() are.
enum class XmlBytes
{
    EncodedFile, // a file's bytes: the encoding is found from them, as XML says
    Utf8Text     // text already decoded, as UTF-8; an encoding it declares is not applied
};

// Parses a whole document with libxml2, which judges it as XML 1.0 (fifth edition)
// requires, and builds it into the DOM document the way Qt's own parser does:
// internal entities expanded, text that is only white space between elements left
// out (kept under xml:space="preserve"), the internal DTD subset kept with the
// document type. Nothing external is ever read: a reference to an external entity
// refuses the document. Elements nested deeper than maximumNestingDepth (entities
// included) and entity references that would add more than
// maximumEntityExpansionTotal characters refuse it too, and leave the document
// empty; a document that is not well-formed leaves what was read before the fault.
Outcome readDom(QDomDocument &document, const QByteArray &bytes, XmlBytes kind);

} // namespace xmladjust

#endif // DOMREADER_H
