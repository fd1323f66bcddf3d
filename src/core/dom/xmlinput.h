// SPDX-License-Identifier: MIT
#ifndef XMLINPUT_H
#define XMLINPUT_H

#include "result.h"

#include <QByteArray>
#include <QString>

class QDomDocument;

namespace xmladjust {

// The window's path in: a whole document read into the DOM, after the guards.

// Where the first half of a surrogate pair without its other half stands, or -1.
// XML allows no such character.
int firstLoneSurrogate(const QString &text);

// Drops a leading byte order mark and turns CRLF and lone CR into LF, as XML requires
// of a parser before it looks at the text.
QString normalizeXmlText(QString text);

// Parses the text into the document, after the guards. The text is taken as it
// stands: an encoding its declaration names does not apply.
Outcome loadXmlText(QDomDocument &document, const QString &text);

// Parses the bytes of a file into the document, after the guards. Bytes that are not
// valid in the file's encoding are refused, as XML requires, and a document the
// memory available cannot hold is refused before it is parsed.
Outcome loadXmlBytes(QDomDocument &document, const QByteArray &bytes);

// Reads and parses the regular file at the path; a file whose document the memory
// available cannot hold is refused before it is read.
Outcome loadXmlFile(QDomDocument &document, const QString &path);

} // namespace xmladjust

#endif // XMLINPUT_H
