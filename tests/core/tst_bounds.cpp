// SPDX-License-Identifier: MIT
// Documents made to hurt a parser, at and past each of this program's bounds, through
// both engines: the window's (read, parse, adjust, write) and the streaming one. Each
// ends without a crash, is refused where a bound is passed, and leaks nothing that is
// not in the document. The benchmarks take the same shapes to their full size.
#include "bounds.h"
#include "dom/attributewalk.h"
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "initialize.h"
#include "stream/streamadjust.h"

#include "datarows.h"
#include "outcomes.h"
#include "rules.h"

#include <QBuffer>
#include <QDomDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace xmladjust;

namespace {

const QByteArray secret = "secret-3f1c9a-never-to-be-read";

QByteArray attributes(int count)
{
    QByteArray text;
    for (int i = 1; i < count; ++i)
        text += " a" + QByteArray::number(i) + "='1'";
    return text + " x='1'";
}

} // namespace

class tst_Bounds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void bothEngines_data()
    {
        addDataRows(QFINDTESTDATA("../data/bounds.tsv"));
        // Shapes that numbered names make.
        const auto row = [](const char *name, const QByteArray &document, const char *failure,
                            const char *adjusted) {
            QTest::newRow(name) << document << QByteArray(failure) << QByteArray(failure)
                                << QByteArray(adjusted);
        };
        const QByteArray most = attributes(maximumAttributesPerTag);
        row("attributes at the bound", "<e" + most + "/>", "", "1");
        row("each tag at the bound", "<e" + most + "><e" + most + "/></e>", "", "2");
        row("attributes past the bound", "<e" + attributes(maximumAttributesPerTag + 1) + "/>",
            "TooLarge", "0");
        QByteArray chain = "<!ENTITY e0 'x'>";
        for (int level = 1; level < 20000; ++level)
            chain += "<!ENTITY e" + QByteArray::number(level) + " '&e" +
                     QByteArray::number(level - 1) + ";'>";
        row("entities nested 20,000 deep", "<!DOCTYPE e [" + chain + "]><e x='1'>&e19999;</e>",
            "NotWellFormed", "0");
    }

    void bothEngines()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, window);
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, adjusted);
        QTemporaryDir dir;
        const QString secretPath = dir.filePath("secret.txt");
        QVERIFY(writeBytes(secretPath, secret));
        document.replace("SECRET", QUrl::fromLocalFile(secretPath).toEncoded());
        const QString path = dir.filePath("doc.xml");
        QVERIFY(writeBytes(path, document));
        const AdjustmentRule rule = ruleFor("x", "1");

        QDomDocument read;
        const Outcome load = loadXmlFile(read, path);
        QCOMPARE(kindOf(load), QString(window));
        if (load.succeeded()) {
            QCOMPARE(adjustAttributes(read, rule), adjusted.toInt());
            const QByteArray saved = encodeXmlFile(read);
            QVERIFY(!saved.contains(secret));
            QDomDocument again;
            QVERIFY(loadXmlBytes(again, saved).succeeded());
        }

        // In small pieces too, which reach a bound on a piece of markup sooner than the whole.
        for (const qint64 chunkSize : {qint64(5), defaultStreamChunkSize}) {
            if (chunkSize < 100 && document.size() > 200000)
                continue;
            QFile input(path);
            QVERIFY(input.open(QIODevice::ReadOnly));
            QByteArray output;
            QBuffer outputDevice(&output);
            outputDevice.open(QIODevice::WriteOnly);
            const StreamAdjustResult result =
                adjustXmlStream(input, &outputDevice, rule, chunkSize);
            QCOMPARE(kindOf(result.outcome), QString(stream));
            QVERIFY(result.succeeded() || !messageOf(result.outcome).isEmpty());
            if (result.succeeded()) {
                QCOMPARE(result.adjustedCount, adjusted.toLongLong());
                QVERIFY(!output.contains(secret));
                QCOMPARE(output.size(), document.size()); // "1" became "2" wherever it changed
            }
        }
    }
};

QTEST_GUILESS_MAIN(tst_Bounds)
#include "tst_bounds.moc"
