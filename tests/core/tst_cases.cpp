// SPDX-License-Identifier: MIT
// Each case of tests/data/cases through the streaming engine, read in pieces of many
// sizes, and where the case says so through the window's engine.
#include "dom/attributewalk.h"
#include "dom/xmlinput.h"
#include "initialize.h"
#include "stream/streamadjust.h"

#include "cases.h"
#include "outcomes.h"
#include "rules.h"
#include "xmlcompare.h"

#include <QBuffer>
#include <QDomDocument>

using namespace xmladjust;

namespace {

StreamAdjustResult runStream(const QByteArray &input, QIODevice *output,
                             const AdjustmentRules &rules,
                             qint64 chunkSize = defaultStreamChunkSize,
                             StreamThreads threads = StreamThreads::Two)
{
    QBuffer inputDevice;
    inputDevice.setData(input);
    inputDevice.open(QIODevice::ReadOnly);
    return adjustXmlStream(inputDevice, output, rules, chunkSize, threads);
}

// With several rules, each one's count is as the case gives it.
void compareByRule(const RuleCounts &counts, const AdjustmentCase &c)
{
    if (!c.byRule.isEmpty())
        QCOMPARE(counts, c.countsByRule());
}

// The window's engine may name another kind: it says "not well-formed" of bytes the
// stream calls an encoding's fault.
void compareFailure(const Outcome &outcome, const AdjustmentCase &c, bool sameKind = true)
{
    QVERIFY(!outcome.succeeded());
    if (sameKind)
        QCOMPARE(kindOf(outcome), c.failure);
    QVERIFY2(outcome.failure().message.startsWith(c.reason), qPrintable(messageOf(outcome)));
    QCOMPARE(outcome.failure().line, qint64(c.line));
    QCOMPARE(outcome.failure().column, qint64(c.column));
}

} // namespace

class tst_Cases : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void streamed_data() { addCaseRows(QFINDTESTDATA("../data/cases"), "stream"); }
    // Small pieces put every boundary of the reading inside markup, references and
    // multi-byte characters somewhere, and keep the parser's thread waiting for the
    // byte side's or the other way round; no output is a dry run, which reports the
    // same. On one thread, the same again.
    void streamed()
    {
        QFETCH(AdjustmentCase, given);
        const QByteArray input = readBytes(given.inputPath);
        const AdjustmentRules rules = rulesFor(given.arguments);
        for (const StreamThreads threads : {StreamThreads::Two, StreamThreads::One}) {
            for (const qint64 chunkSize : {qint64(1), qint64(2), qint64(3), qint64(5), qint64(64),
                                           defaultStreamChunkSize, qint64(-1)}) {
                const QString run = QStringLiteral("in pieces of %1 on %2 thread(s)")
                                        .arg(chunkSize)
                                        .arg(threads == StreamThreads::Two ? 2 : 1);
                QByteArray output;
                QBuffer outputDevice(&output);
                outputDevice.open(QIODevice::WriteOnly);
                const StreamAdjustResult result =
                    chunkSize < 0
                        ? runStream(input, nullptr, rules, defaultStreamChunkSize, threads)
                        : runStream(input, &outputDevice, rules, chunkSize, threads);
                if (!given.failure.isEmpty()) {
                    compareFailure(result.outcome, given);
                    continue;
                }
                QVERIFY2(result.succeeded(),
                         qPrintable(run + QStringLiteral(": ") + messageOf(result.outcome)));
                if (chunkSize > 0)
                    QVERIFY2(output == given.output, qPrintable(run));
                QCOMPARE(result.adjustedCount, given.adjusted);
                compareByRule(result.adjustedByRule, given);
                QCOMPARE(result.notInTextCount, given.notInText);
                QCOMPARE(result.bytesChanged, given.output != input);
            }
        }
    }

    void windowEngine_data() { addCaseRows(QFINDTESTDATA("../data/cases"), "dom"); }
    // The window reads the same file into the DOM: it refuses it for the same reason at
    // the same place, or adjusts the same values to the same content.
    void windowEngine()
    {
        QFETCH(AdjustmentCase, given);
        QDomDocument document;
        const Outcome load = loadXmlFile(document, given.inputPath);
        if (!given.failure.isEmpty()) {
            compareFailure(load, given, false);
            return;
        }
        QVERIFY2(load.succeeded(), qPrintable(messageOf(load)));
        RuleCounts byRule;
        QCOMPARE(qint64(adjustAttributes(document, rulesFor(given.arguments), &byRule)),
                 given.adjusted);
        compareByRule(byRule, given);
        QDomDocument expected;
        QVERIFY(loadXmlBytes(expected, given.output).succeeded());
        QCOMPARE(documentContent(document), documentContent(expected));
    }

    void outputFails()
    {
        QByteArray sink;
        QBuffer readOnly(&sink);
        readOnly.open(QIODevice::ReadOnly);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device not open|ReadOnly"));
        const StreamAdjustResult result = runStream("<r x='1'/>", &readOnly, ruleFor("x", "1"));
        QCOMPARE(kindOf(result.outcome), QString("CannotWrite"));
    }
};

QTEST_GUILESS_MAIN(tst_Cases)
#include "tst_cases.moc"
