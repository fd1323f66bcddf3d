// SPDX-License-Identifier: MIT
// The window's two modes on any input: text mode (parse the text, adjust, serialise
// with indent 1) and file mode (read a file, adjust, save it back atomically).
//
// Promises held on every input: no crash, no sanitizer report, no hang; a document
// that does not load is not adjusted (file mode writes nothing, text mode shows only
// what the parser read); a file in which nothing qualifies is not written; a document
// that loads comes out well-formed and re-parses to the same document type with the
// same declarations, and the same tree (elements, attributes, text, comments,
// instructions) except the named attribute, whose qualifying values carry the exact
// decimal sum and whose other values stay.

#include "dom/attributewalk.h"
#include "dom/fileadjust.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "domcompare.h"
#include "fuzzinput.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {

using namespace fuzz;

QString scratchFile()
{
    static QTemporaryDir folder(QDir::tempPath() + QLatin1String("/xmladjust-fuzz-XXXXXX"));
    return folder.filePath(QStringLiteral("document.xml"));
}

void checkTextMode(const FuzzCase &fuzzCase)
{
    const QString text = QString::fromUtf8(fuzzCase.document);
    QDomDocument document;
    if (!loadXmlText(document, text).succeeded()) {
        // The window still shows what the parser read before it stopped, unadjusted.
        serializeXml(document, 1);
        return;
    }
    QDomDocument original;
    require(loadXmlText(original, text).succeeded(), "loading is repeatable");
    adjustAttributes(document, fuzzCase.rule);

    const QString shown = serializeXml(document, 1);
    QDomDocument reparsed;
    const Outcome reload = loadXmlText(reparsed, shown);
    require(reload.succeeded(), "the shown text is well-formed",
            messageOf(reload) + QLatin1String("\n") + shown);
    const QString name = fuzzCase.rule.attributeName;
    compareTrees(original, document, TextComparison::Exact, name,
                 [&](const QString &before, const QString &after) {
                     checkAdjustedValue(fuzzCase.rule, before, after);
                 });
    compareTrees(document, reparsed, TextComparison::IgnoringIndentation, name,
                 [](const QString &before, const QString &after) {
                     require(before == after, "the shown text keeps the new values",
                             before + QLatin1String(" -> ") + after);
                 });
}

void checkFileMode(const FuzzCase &fuzzCase)
{
    const QString path = scratchFile();
    {
        QFile file(path);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    file.write(fuzzCase.document) == fuzzCase.document.size(),
                "the scratch file can be written");
    }
    QDomDocument original;
    const bool loads = loadXmlFile(original, path).succeeded();
    const FileAdjustResult result = adjustXmlFile(path, fuzzCase.rule);
    QFile written(path);
    written.open(QIODevice::ReadOnly);
    const QByteArray bytes = written.readAll();
    if (!loads || result.adjustedCount == 0) {
        require(result.outcome.succeeded() == loads && result.loaded == loads,
                "a document that does not load, or has nothing to change, is not saved");
        require(bytes == fuzzCase.document, "a file that is not saved keeps its bytes");
        return;
    }
    require(result.outcome.succeeded(), "a loaded document can be saved",
            messageOf(result.outcome));

    QDomDocument reparsed;
    const Outcome reload = loadXmlFile(reparsed, path);
    require(reload.succeeded(), "the saved file is well-formed",
            messageOf(reload) + QLatin1String("\n") + QString::fromUtf8(bytes));
    compareTrees(original, reparsed, TextComparison::Exact, fuzzCase.rule.attributeName,
                 [&](const QString &before, const QString &after) {
                     checkAdjustedValue(fuzzCase.rule, before, after);
                 });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<FuzzCase> fuzzCase = readCase(data, size);
    if (!fuzzCase)
        return 0;
    checkTextMode(*fuzzCase);
    checkFileMode(*fuzzCase);
    return 0;
}
