// SPDX-License-Identifier: MIT
#include "dom/xmlinput.h"

#include "bounds.h"
#include "dom/domreader.h"
#include "dom/memorybudget.h"
#include "dom/xmloutput.h"
#include "messages.h"
#include "read/encoding.h"
#include "read/markupguard.h"

#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextCodec>
#include <QTextDecoder>

namespace xmladjust {

namespace {

// Line and column, from 1, of a position in text whose line ends are LF.
Failure placed(Failure failure, const QString &text, int position)
{
    const QStringView before = QStringView(text).left(position);
    failure.line = int(before.count(QLatin1Char('\n'))) + 1;
    failure.column = position - int(before.lastIndexOf(QLatin1Char('\n')));
    return failure;
}

} // namespace

int firstLoneSurrogate(const QString &text)
{
    const QChar *const begin = text.constData();
    const QChar *const end = begin + text.size();
    for (const QChar *c = begin; c != end; ++c) {
        if (!c->isSurrogate())
            continue;
        if (c->isHighSurrogate() && c + 1 != end && (c + 1)->isLowSurrogate())
            ++c;
        else
            return int(c - begin);
    }
    return -1;
}

QString normalizeXmlText(QString text)
{
    if (text.startsWith(QChar(QChar::ByteOrderMark)))
        text.remove(0, 1);
    const int crPosition = text.indexOf(QLatin1Char('\r'));
    if (crPosition < 0)
        return text;
    QChar *out = text.data() + crPosition;
    const QChar *in = out;
    const QChar *end = text.constData() + text.size();
    while (in != end) {
        if (*in == QLatin1Char('\r')) {
            *out++ = QLatin1Char('\n');
            ++in;
            if (in != end && *in == QLatin1Char('\n'))
                ++in;
        } else {
            *out++ = *in++;
        }
    }
    text.truncate(int(out - text.constData()));
    return text;
}

namespace {

// The document read into the DOM once the lexer's bounds pass. Markup is ASCII in
// the bytes of every encoding libxml2 reads but UTF-16, which is counted decoded.
Outcome readGuarded(QDomDocument &document, const QByteArray &bytes, XmlBytes kind)
{
    const bool wide = kind == XmlBytes::EncodedFile && isWideUnicode(unicodeSignature(bytes).mib);
    if (Outcome bounds = checkMarkupBounds(wide ? decodeXmlBytes(bytes).toUtf8() : bytes);
        !bounds.succeeded())
        return bounds;
    return readDom(document, bytes, kind);
}

} // namespace

Outcome loadXmlText(QDomDocument &document, const QString &text)
{
    document.clear();
    // Converted to UTF-8 such halves would become U+FFFD unseen.
    if (const int at = firstLoneSurrogate(text); at >= 0) {
        const QString before = normalizeXmlText(text.left(at));
        return placed(failureOf(Reason::HalfSurrogate), before, before.size());
    }
    QString source = text;
    if (source.startsWith(QChar(QChar::ByteOrderMark)))
        source.remove(0, 1);
    return readGuarded(document, source.toUtf8(), XmlBytes::Utf8Text);
}

namespace {

// What the file is written in when it is saved must hold what was read.
Outcome checkWritable(QDomDocument &document)
{
    const QString encoding = declaredEncodingName(document);
    if (!encoding.isEmpty() && !codecForName(encoding.toLatin1()))
        return failureOf(Reason::EncodingNotWritable, {encoding});
    if (const uint character = firstUnwritableCharacter(document))
        return failureOf(
            Reason::CharacterNotWritable,
            {QString::number(character, 16).toUpper().rightJustified(4, QLatin1Char('0')),
             encoding});
    return {};
}

// libxml2 reads UTF-32 by neither its byte order mark nor its first bytes; such a
// file is decoded here and parsed as text.
Outcome loadUtf32(QDomDocument &document, const QByteArray &bytes, UnicodeSignature signature)
{
    bool valid = false;
    const QString text =
        decodeUtf32(bytes.constData() + signature.byteOrderMarkLength,
                    bytes.size() - signature.byteOrderMarkLength, signature.mib == 1018, &valid);
    if (!valid)
        return failureOf(Reason::NotValidUtf32);
    return readGuarded(document, text.toUtf8(), XmlBytes::Utf8Text);
}

} // namespace

namespace {

// A UTF-16 or UTF-32 document may show its encoding by its first bytes alone. Its
// declaration names it, so that the file is written back in it (with a byte order
// mark) rather than in UTF-8, the encoding of a document that names none.
void nameWideEncoding(QDomDocument &document, int mib)
{
    if (!isWideUnicode(mib) || !declaredEncodingName(document).isEmpty())
        return;
    const QString encoding =
        QStringLiteral("encoding='%1'")
            .arg(isUtf32(mib) ? QLatin1String("UTF-32") : QLatin1String("UTF-16"));
    QDomNode first = document.firstChild();
    if (first.isProcessingInstruction() && first.nodeName() == QLatin1String("xml")) {
        // The encoding comes after the version and before standalone.
        static const QRegularExpression version(
            QStringLiteral("^\\s*version\\s*=\\s*(?:\"[^\"]*\"|'[^']*')"));
        QString data = first.nodeValue();
        const int end = int(version.match(data).capturedEnd());
        data.insert(qMax(end, 0), QLatin1Char(' ') + encoding);
        first.setNodeValue(data);
    } else {
        document.insertBefore(
            document.createProcessingInstruction(QStringLiteral("xml"),
                                                 QStringLiteral("version='1.0' ") + encoding),
            first);
    }
}

} // namespace

namespace {

Outcome loadReadBytes(QDomDocument &document, const QByteArray &bytes)
{
    if (const MarkConflict conflict = markConflict(bytes); conflict.exists()) {
        Failure failure =
            failureOf(Reason::MarkContradictsDeclaration, {conflict.shown, conflict.declared});
        failure.line = failure.column = 1;
        return failure;
    }
    const UnicodeSignature signature = unicodeSignature(bytes);
    if (isUtf32(signature.mib)) {
        const Outcome result = loadUtf32(document, bytes, signature);
        if (result.succeeded())
            nameWideEncoding(document, signature.mib);
        return result;
    }
    // libxml2 drops an odd last byte of UTF-16 unseen.
    if (isWideUnicode(signature.mib) && (bytes.size() - signature.byteOrderMarkLength) % 2 != 0)
        return failureOf(Reason::EndsInsideCharacter);
    Outcome result;
    if (startsAsEbcdic(bytes)) {
        // libxml2 applies the code page the declaration names only after the first
        // bytes, read in another; the text is decoded here and parsed as such.
        const DocumentEncoding encoding = documentEncoding(bytes);
        if (!encoding.codec)
            return failureOf(Reason::EncodingNotWritable, {encoding.declaredName});
        QTextDecoder decoder(encoding.codec, QTextCodec::ConvertInvalidToNull);
        const QString text = decoder.toUnicode(bytes);
        if (decoder.hasFailure())
            return failureOf(Reason::InvalidBytes, {encoding.declaredName});
        result = readGuarded(document, text.toUtf8(), XmlBytes::Utf8Text);
    } else {
        result = readGuarded(document, bytes, XmlBytes::EncodedFile);
    }
    if (result.succeeded()) {
        nameWideEncoding(document, signature.mib);
        result = checkWritable(document);
    }
    if (!result.succeeded())
        document.clear();
    return result;
}

} // namespace

Outcome loadXmlBytes(QDomDocument &document, const QByteArray &bytes)
{
    document.clear();
    if (Outcome fits = checkDocumentFits(bytes.size(), bytes.size()); !fits.succeeded())
        return fits;
    return loadReadBytes(document, bytes);
}

Outcome loadXmlFile(QDomDocument &document, const QString &path)
{
    const QFileInfo info(path);
    // Devices and pipes could block or never end; only regular files are read.
    if (info.exists() && !info.isFile())
        return failureOf(info.isDir() ? Reason::IsDirectory : Reason::NotRegularFile);
    if (info.size() > maximumXmlFileSize)
        return failureOf(Reason::FileTooLarge, {QString::number(maximumXmlFileSize >> 20)});
    document.clear();
    if (Outcome fits = checkDocumentFits(info.size()); !fits.succeeded())
        return fits;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Failure{FailureKind::CannotRead, file.errorString()};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Failure{FailureKind::CannotRead, file.errorString()};
    file.close();
    return loadReadBytes(document, bytes);
}

} // namespace xmladjust
