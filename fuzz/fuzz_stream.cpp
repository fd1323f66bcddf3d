// SPDX-License-Identifier: MIT
// The layout-preserving engine on any input, held to its promises: the output
// differs from the input only inside the values of the named attribute; it accepts
// and refuses what the window's path (the same parser) accepts and refuses, apart
// from the stated limits of each; and both adjust the same values to the same text.

#include "dom/attributewalk.h"
#include "dom/domtraversal.h"
#include "dom/xmlinput.h"
#include "domcompare.h"
#include "fuzzinput.h"
#include "stream/streamadjust.h"

#include <QBuffer>
#include <QDomDocument>

#include <cstdint>
#include <vector>

namespace {

using namespace fuzz;

// The bytes with the value of every `name = "…"` written anywhere replaced by a
// mark, marks that overlap or touch merged. Values are numbers, so the mark of a
// real value always ends at its own closing quote; a look-alike in a comment may
// run further, but it does the same in both documents.
QByteArray maskValues(const QByteArray &bytes, const QByteArray &name)
{
    std::vector<bool> masked(size_t(bytes.size()), false);
    const auto isSpace = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    };
    for (int at = bytes.indexOf(name); at >= 0; at = bytes.indexOf(name, at + 1)) {
        int pos = at + name.size();
        while (pos < bytes.size() && isSpace(bytes[pos]))
            ++pos;
        if (pos >= bytes.size() || bytes[pos] != '=')
            continue;
        ++pos;
        while (pos < bytes.size() && isSpace(bytes[pos]))
            ++pos;
        if (pos >= bytes.size() || (bytes[pos] != '"' && bytes[pos] != '\''))
            continue;
        const int end = bytes.indexOf(bytes[pos], pos + 1);
        if (end < 0)
            continue;
        for (int i = pos + 1; i < end; ++i)
            masked[size_t(i)] = true;
    }
    QByteArray result;
    for (int i = 0; i < bytes.size(); ++i) {
        if (!masked[size_t(i)])
            result += bytes[i];
        else if (i == 0 || !masked[size_t(i - 1)])
            result += '\x01';
    }
    return result;
}

// ASCII-compatible input, where the attribute's name and quotes are single bytes.
bool isByteOriented(const QByteArray &bytes)
{
    return !bytes.startsWith("\xFF\xFE") && !bytes.startsWith("\xFE\xFF") &&
           !bytes.startsWith(QByteArray("\0\0", 2)) && !bytes.startsWith(QByteArray("<\0", 2)) &&
           !bytes.startsWith(QByteArray("\0<", 2));
}

// The named attribute's written values, element by element in document order.
std::vector<QString> namedValues(const QDomDocument &document, const QString &name)
{
    std::vector<QString> values;
    for (QDomNode node = document.firstChild(); !node.isNull();
         node = nextInDocumentOrder(node, document)) {
        if (node.isElement()) {
            const QDomElement element = node.toElement();
            values.push_back(element.hasAttribute(name) ? element.attribute(name) : QString());
        }
    }
    return values;
}

bool isLimit(FailureKind kind)
{
    return kind == FailureKind::TooDeep || kind == FailureKind::TooLarge ||
           kind == FailureKind::UnsupportedEncoding || kind == FailureKind::LayoutNotKept;
}

StreamAdjustResult runEngine(const QByteArray &input, QByteArray *output,
                             const AdjustmentRule &rule, qint64 chunkSize)
{
    QBuffer in;
    in.setData(input);
    in.open(QIODevice::ReadOnly);
    QBuffer out(output);
    out.open(QIODevice::WriteOnly);
    return adjustXmlStream(in, &out, rule, chunkSize);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<FuzzCase> fuzzCase = readCase(data, size);
    if (!fuzzCase)
        return 0;
    const QByteArray &input = fuzzCase->document;
    const AdjustmentRule &rule = fuzzCase->rule;

    QByteArray output;
    const StreamAdjustResult result = runEngine(input, &output, rule, defaultStreamChunkSize);
    QByteArray pieceOutput;
    const StreamAdjustResult inPieces = runEngine(input, &pieceOutput, rule, 1 + size % 7);
    // Reading in small pieces must not change the answer. (A document with several
    // faults may be refused for a different one first.)
    require(inPieces.succeeded() == result.succeeded() &&
                (!result.succeeded() ||
                 (inPieces.adjustedCount == result.adjustedCount && pieceOutput == output)),
            "the result does not depend on how the input is read",
            QStringLiteral("%1/%2 vs %3/%4: %5 | %6")
                .arg(statusOf(result.outcome))
                .arg(result.adjustedCount)
                .arg(statusOf(inPieces.outcome))
                .arg(inPieces.adjustedCount)
                .arg(messageOf(result.outcome), messageOf(inPieces.outcome)));

    // The judge: the window's path, which reads with the same parser.
    QDomDocument document;
    const Outcome judged = loadXmlBytes(document, input);
    if (!result.succeeded()) {
        const FailureKind kind = result.outcome.kind();
        require(judged.succeeded() ? isLimit(kind) : kind != FailureKind::CannotWrite,
                "a document the window's path accepts is refused only for a stated limit",
                QStringLiteral("%1: %2").arg(int(kind)).arg(messageOf(result.outcome)));
        return 0;
    }
    // Apart from the window's own limits: its depth bound, and characters its file's
    // encoding cannot write back.
    require(judged.succeeded() || judged.kind() == FailureKind::TooDeep ||
                judged.kind() == FailureKind::UnsupportedEncoding,
            "a document the window's path refuses is refused",
            QStringLiteral("%1: %2").arg(statusOf(judged)).arg(messageOf(judged)));
    require(result.bytesChanged == (output != input), "the report says whether bytes changed");
    QDomDocument adjusted;
    require(statusOf(loadXmlBytes(adjusted, output)) == statusOf(judged),
            "the output is judged as the input was");
    if (isByteOriented(input)) {
        const QByteArray name = rule.attributeName.toLatin1();
        require(maskValues(input, name) == maskValues(output, name),
                "only the named attribute's values change",
                QString::fromLatin1(input.toHex()) + QLatin1Char('\n') +
                    QString::fromLatin1(output.toHex()));
    }
    if (!judged.succeeded())
        return 0;

    const std::vector<QString> before = namedValues(document, rule.attributeName);
    const std::vector<QString> after = namedValues(adjusted, rule.attributeName);
    require(before.size() == after.size(), "the output has the same elements");
    qint64 changed = 0;
    qint64 leftAlone = 0;
    for (size_t i = 0; i < before.size(); ++i) {
        if (before[i] != after[i]) {
            checkAdjustedValue(rule, before[i], after[i]);
            ++changed;
        } else if (!before[i].isNull()) {
            const std::optional<QString> adjustedValue = rule.adjustedValue(before[i]);
            leftAlone += adjustedValue && *adjustedValue != before[i];
        }
    }
    require(changed <= result.adjustedCount, "every change is counted");
    require(leftAlone <= result.notInTextCount,
            "a qualifying value is left alone only when it is not in the text");

    // Where no value comes from elsewhere, the window's path adjusts the same values
    // to the same text.
    if (result.notInTextCount > 0)
        return 0;
    adjustAttributes(document, rule);
    require(namedValues(document, rule.attributeName) == after,
            "the window's path adjusts the same values the same way");
    return 0;
}
