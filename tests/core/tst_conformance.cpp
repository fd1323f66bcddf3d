// SPDX-License-Identifier: MIT
// The standalone XML 1.0 cases of the W3C XML Conformance Test Suite through both of
// the program's paths: the window's (parse into the DOM) and the streaming engine.
// A well-formed document (valid or invalid, since the program does not validate)
// must be accepted and one that is not well-formed refused. The cases a path still
// gets wrong are listed, each with its reason, in tests/data/xmlconf/known-failures.tsv,
// and are expected failures here: a row fails when its case goes wrong without being
// listed, or is listed and goes right.
#include "dom/xmlinput.h"
#include "dom/xmloutput.h"
#include "initialize.h"
#include "stream/streamadjust.h"

#include "datarows.h"
#include "outcomes.h"
#include "rules.h"
#include "xmlcompare.h"

#include <QBuffer>
#include <QDomDocument>
#include <QHash>
#include <QtTest>

using namespace xmladjust;

namespace {

QString placed(const Outcome &outcome)
{
    if (outcome.succeeded() || outcome.failure().line <= 0)
        return messageOf(outcome);
    return QStringLiteral("line %1, column %2: %3")
        .arg(outcome.failure().line)
        .arg(outcome.failure().column)
        .arg(outcome.failure().message);
}

Outcome streamVerdict(const QByteArray &bytes)
{
    QBuffer input;
    input.setData(bytes);
    input.open(QIODevice::ReadOnly);
    // Some rule is needed; whether it changes anything does not matter here.
    return adjustXmlStream(input, nullptr, ruleFor("x", "1")).outcome;
}

} // namespace

class tst_Conformance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { initializeCore(); }
    void conformance_data()
    {
        QTest::addColumn<QString>("path"); // window or stream
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("fields"); // id, file, type, expected, description
        QTest::addColumn<QString>("knownFailure");

        // A missing data folder is a failure, never a reason to skip.
        const QString manifest = QFINDTESTDATA("../data/xmlconf/cases.tsv");
        QVERIFY2(!manifest.isEmpty(), "tests/data/xmlconf/cases.tsv not found");
        const QString folder = QFileInfo(manifest).absolutePath();
        QHash<QString, QString> knownFailures; // reason by path and id
        for (const QStringList &fields : dataLines(folder + "/known-failures.tsv")) {
            QVERIFY2(fields.size() == 3 && !fields[2].trimmed().isEmpty(),
                     qPrintable(fields.join('\t')));
            knownFailures.insert(fields[0] + '/' + fields[1], fields[2]);
        }
        const QList<QStringList> cases = dataLines(manifest);
        QVERIFY(!cases.isEmpty());
        for (const QString path : {"window", "stream"}) {
            for (const QStringList &fields : cases) {
                QVERIFY2(fields.size() == 5 && (fields[3] == "refuse") == (fields[2] == "not-wf"),
                         qPrintable(fields.join('\t')));
                const QString key = path + '/' + fields[0];
                QTest::newRow(qPrintable(key))
                    << path << folder + '/' + fields[1] << fields << knownFailures.take(key);
            }
        }
        QVERIFY2(knownFailures.isEmpty(), qPrintable("listed, but no such case: " +
                                                     QStringList(knownFailures.keys()).join(", ")));
    }

    void conformance()
    {
        QFETCH(QString, path);
        QFETCH(QString, file);
        QFETCH(QStringList, fields);
        QFETCH(QString, knownFailure);
        QFile document(file);
        QVERIFY2(document.open(QIODevice::ReadOnly), qPrintable(file));
        const QByteArray bytes = document.readAll();
        QDomDocument read;
        const Outcome verdict = path == "window" ? loadXmlBytes(read, bytes) : streamVerdict(bytes);
        if (path == "window" && verdict.succeeded()) {
            // What the window saves reads back as the same document.
            QDomDocument reread;
            const Outcome reload = loadXmlBytes(reread, encodeXmlFile(read));
            QVERIFY2(reload.succeeded(),
                     qPrintable("the saved file does not load: " + placed(reload)));
            QCOMPARE(documentContent(reread), documentContent(read));
        }

        const bool mustAccept = fields[3] == "accept";
        if (!knownFailure.isEmpty())
            QEXPECT_FAIL("", qPrintable(knownFailure), Continue);
        QVERIFY2(verdict.succeeded() == mustAccept,
                 qPrintable(QStringLiteral("%1 (%2: %3); if that is to stay so for now, list it in "
                                           "known-failures.tsv as \"%4\t%5\t<why>\"")
                                .arg(mustAccept ? "refused: " + placed(verdict)
                                                : "accepted, but the document is not well-formed",
                                     fields[1], fields[4], path, fields[0])));
    }
};

QTEST_GUILESS_MAIN(tst_Conformance)
#include "tst_conformance.moc"
