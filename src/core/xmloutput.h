#ifndef XMLOUTPUT_H
#define XMLOUTPUT_H

#include <QByteArray>
#include <QString>

class QDomDocument;
class QTextCodec;

// The codec named by the document's XML declaration; UTF-8 when there is no
// declaration or the name is unknown. The DOM's serialiser chooses the same way.
QTextCodec *declaredCodec(const QDomDocument &document);

// The DOM's serialisation with the given indent. Characters the declared encoding
// cannot hold become character references, also beyond the Basic Multilingual
// Plane (where the DOM alone writes references to surrogates).
QString serializeXml(const QDomDocument &document, int indent);

// The bytes of the document as a file: indent 0, in the declared encoding, with the
// platform's line ends.
QByteArray encodeXmlFile(const QDomDocument &document);

struct FileReplaceResult
{
    enum Status
    {
        Replaced,
        CannotReplace,
        NotWritable,
        Failed
    };
    Status status = Failed;
    QString errorMessage;

    bool isReplaced() const { return status == Replaced; }
};

// Replaces the contents of an existing file atomically: the new bytes are written
// beside it and renamed over it only once all of them are safely on disk. The file
// keeps its permissions; a symbolic link keeps pointing at the updated file. A file
// without write permission for its owner or for this user is left alone, even for
// root. On any failure the old file is untouched and no temporary file remains.
FileReplaceResult replaceFileContents(const QString &path, const QByteArray &contents);

// encodeXmlFile() written with replaceFileContents().
FileReplaceResult saveXmlFile(const QString &path, const QDomDocument &document);

#endif // XMLOUTPUT_H
