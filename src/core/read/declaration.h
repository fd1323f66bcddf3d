// SPDX-License-Identifier: MIT
#ifndef DECLARATION_H
#define DECLARATION_H

#include <QByteArray>
#include <QString>

namespace xmladjust {

// The XML declaration at the start of a document (file bytes, or text as UTF-8) as
// the DOM keeps it: "version='1.0' encoding='...' standalone='...'", with what the
// declaration gives; a null string when the document has none.
QString declarationAsDomKeepsIt(const QByteArray &bytes, bool utf8Text);

} // namespace xmladjust

#endif // DECLARATION_H
