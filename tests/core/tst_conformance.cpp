// The standalone XML 1.0 cases of the W3C XML Conformance Test Suite through both of
// the program's paths: the window's (parse into the DOM) and the streaming engine.
// A well-formed document (valid or invalid, since the program does not validate)
// must be accepted and one that is not well-formed refused. The cases a path still
// gets wrong are listed, each with its reason, in tests/data/xmlconf/known-failures.tsv;
// a row fails when its case goes wrong without being listed, or is listed and goes
// right. XMLCONF_WRITE_FAILURES=<file> writes the list as the run found it.
#include "adjustmentrule.h"
#include "bounds.h"
#include "encoding.h"
#include "initialize.h"
#include "outcomes.h"
#include "streamadjust.h"
#include "xmlcompare.h"
#include "xmlinput.h"
#include "xmloutput.h"

#include <QBuffer>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QVector>
#include <QtTest>

#include <algorithm>
#include <cstdio>

using namespace xmladjust;

namespace {

enum Path
{
    Window,
    Stream
};
const QString pathNames[] = {QStringLiteral("window"), QStringLiteral("stream")};
const QString types[] = {QStringLiteral("valid"), QStringLiteral("invalid"),
                         QStringLiteral("not-wf")};

struct ConformanceCase
{
    QString id;
    QString path; // relative to the data folder
    QString type; // valid, invalid or not-wf
    bool mustAccept = false;
    QString description;
};

struct Verdict
{
    bool ran = false;
    bool accepted = false;
    QString message; // why the path refused the document
    QString lost;    // what saving the accepted document did not keep
};

QString placed(const Outcome &outcome)
{
    if (outcome.succeeded() || outcome.failure().line <= 0)
        return messageOf(outcome);
    const Failure &failure = outcome.failure();
    return QStringLiteral("line %1, column %2: %3")
        .arg(failure.line)
        .arg(failure.column)
        .arg(failure.message);
}

Verdict windowVerdict(const QByteArray &bytes)
{
    QDomDocument document;
    const Outcome load = loadXmlBytes(document, bytes);
    Verdict verdict;
    verdict.ran = true;
    verdict.accepted = load.succeeded();
    verdict.message = placed(load);
    if (verdict.accepted) {
        // What the window saves reads back as the same document.
        const QByteArray saved = encodeXmlFile(document);
        QDomDocument reread;
        const Outcome reload = loadXmlBytes(reread, saved);
        if (!reload.succeeded())
            verdict.lost = QStringLiteral("the saved file does not load: ") + messageOf(reload);
        else if (documentContent(reread) != documentContent(document))
            verdict.lost = QStringLiteral("the saved file reads back differently:\n") +
                           documentContent(document) + QStringLiteral("\n") +
                           documentContent(reread);
    }
    return verdict;
}

Verdict streamVerdict(const QByteArray &bytes)
{
    // Some rule is needed; whether it changes anything does not matter here.
    AdjustmentRule rule;
    rule.attributeName = QStringLiteral("x");
    rule.increment = *DecimalNumber::fromNumeral(QStringLiteral("1"));
    QBuffer input;
    input.setData(bytes);
    input.open(QIODevice::ReadOnly);
    const StreamAdjustResult result = adjustXmlStream(input, nullptr, rule);
    Verdict verdict;
    verdict.ran = true;
    verdict.accepted = result.succeeded();
    verdict.message = placed(result.outcome);
    return verdict;
}

QString failureKey(int path, const QString &id)
{
    return pathNames[path] + QLatin1Char('\t') + id;
}

// One line of a tab-separated file, tabs and line breaks in the text made spaces.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\t'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text.simplified();
}

// The lines of a UTF-8 text file that are neither empty nor comments.
bool readDataLines(const QString &path, QStringList *lines, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : all)
        if (!line.trimmed().isEmpty() && !line.startsWith(QLatin1Char('#')))
            lines->append(line);
    return true;
}

const char failuresHeader[] =
    "# Cases of tests/data/xmlconf/cases.tsv that a path of the program still gets wrong:\n"
    "# path (window or stream), case id, and why, separated by tabs. tst_conformance fails\n"
    "# when a case goes wrong that is not listed here, or one listed here goes right.\n"
    "# Regenerate with XMLCONF_WRITE_FAILURES=<file> (see README); new lines come with\n"
    "# a reason to fill in, which the test does not accept until it is filled in.\n";

} // namespace

class tst_Conformance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void conformance_data();
    void conformance();
    void cleanupTestCase();

private:
    bool loadCases(QString *error);
    QStringList loadKnownFailures();
    void printSummary() const;
    QString writeFailures(const QString &path) const;

    QString dataFolder;
    QString knownFailuresPath;
    QVector<ConformanceCase> cases;
    QHash<QString, int> caseIndex;         // by id
    QHash<QString, QString> knownFailures; // reason by failureKey()
    QVector<Verdict> verdicts[2];
};

bool tst_Conformance::loadCases(QString *error)
{
    QStringList lines;
    if (!readDataLines(dataFolder + QStringLiteral("/cases.tsv"), &lines, error))
        return false;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        ConformanceCase conformanceCase;
        if (fields.size() == 5) {
            conformanceCase.id = fields[0];
            conformanceCase.path = fields[1];
            conformanceCase.type = fields[2];
            conformanceCase.mustAccept = fields[3] == QLatin1String("accept");
            conformanceCase.description = fields[4];
        }
        const bool knownType =
            std::find(std::begin(types), std::end(types), conformanceCase.type) != std::end(types);
        const QString expected = conformanceCase.type == QLatin1String("not-wf")
                                     ? QStringLiteral("refuse")
                                     : QStringLiteral("accept");
        if (fields.size() != 5 || conformanceCase.id.isEmpty() || !knownType ||
            fields[3] != expected || caseIndex.contains(conformanceCase.id)) {
            *error = QStringLiteral("cases.tsv: bad or repeated line: %1").arg(line);
            return false;
        }
        caseIndex.insert(conformanceCase.id, cases.size());
        cases.append(conformanceCase);
    }
    if (cases.isEmpty()) {
        *error = QStringLiteral("cases.tsv lists no cases");
        return false;
    }
    return true;
}

// Reads the list of known failures; returns what is wrong with it. While the list
// is being rewritten, reasons still to fill in and cases gone from cases.tsv pass.
QStringList tst_Conformance::loadKnownFailures()
{
    const bool rewriting = !qEnvironmentVariableIsEmpty("XMLCONF_WRITE_FAILURES");
    QStringList lines;
    QString error;
    if (!readDataLines(knownFailuresPath, &lines, &error))
        return {error};
    QStringList problems;
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        const int path = fields[0] == pathNames[Window]   ? Window
                         : fields[0] == pathNames[Stream] ? Stream
                                                          : -1;
        if (fields.size() != 3 || path < 0)
            problems << QStringLiteral("not \"window|stream<tab>id<tab>reason\": %1").arg(line);
        else if (!caseIndex.contains(fields[1]) && !rewriting)
            problems << QStringLiteral("no such case in cases.tsv: %1").arg(line);
        else if ((fields[2].trimmed().isEmpty() || fields[2].startsWith(QLatin1String("TODO"))) &&
                 !rewriting)
            problems << QStringLiteral("reason to fill in: %1").arg(line);
        else if (knownFailures.contains(failureKey(path, fields[1])))
            problems << QStringLiteral("listed twice: %1").arg(line);
        else
            knownFailures.insert(failureKey(path, fields[1]), fields[2].trimmed());
    }
    return problems;
}

void tst_Conformance::initTestCase()
{
    initializeCore();
    // A missing data folder is a failure, never a reason to skip.
    const QString manifest = QFINDTESTDATA("../data/xmlconf/cases.tsv");
    QVERIFY2(!manifest.isEmpty(), "tests/data/xmlconf/cases.tsv not found");
    dataFolder = QFileInfo(manifest).absolutePath();
    knownFailuresPath = dataFolder + QStringLiteral("/known-failures.tsv");

    QString error;
    QVERIFY2(loadCases(&error), qPrintable(error));
    const QStringList problems = loadKnownFailures();
    QVERIFY2(problems.isEmpty(),
             qPrintable(QStringLiteral("%1:\n  %2")
                            .arg(knownFailuresPath, problems.join(QStringLiteral("\n  ")))));
    for (QVector<Verdict> &pathVerdicts : verdicts)
        pathVerdicts.resize(cases.size());
}

void tst_Conformance::conformance_data()
{
    QTest::addColumn<int>("path");
    QTest::addColumn<int>("index");

    for (int path : {Window, Stream})
        for (int index = 0; index < cases.size(); ++index)
            QTest::newRow(qPrintable(pathNames[path] + QLatin1Char('/') + cases[index].id))
                << path << index;
}

void tst_Conformance::conformance()
{
    QFETCH(int, path);
    QFETCH(int, index);
    const ConformanceCase &conformanceCase = cases[index];

    QFile file(dataFolder + QLatin1Char('/') + conformanceCase.path);
    QVERIFY2(
        file.open(QIODevice::ReadOnly),
        qPrintable(QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString())));
    const QByteArray bytes = file.readAll();
    const Verdict verdict = path == Window ? windowVerdict(bytes) : streamVerdict(bytes);
    verdicts[path][index] = verdict;
    QVERIFY2(verdict.lost.isEmpty(), qPrintable(verdict.lost));

    const bool right = verdict.accepted == conformanceCase.mustAccept;
    const bool listed = knownFailures.contains(failureKey(path, conformanceCase.id));
    if (right && listed)
        QFAIL("listed as failing but passes now: remove it from the list");
    if (!right && !listed) {
        const QString what =
            verdict.accepted ? QStringLiteral("accepted, but the document is not well-formed")
                             : QStringLiteral("refused (%1), but the document is well-formed (%2)")
                                   .arg(verdict.message, conformanceCase.type);
        QFAIL(qPrintable(QStringLiteral("%1 (%2: %3); if that is to stay so for now, list it "
                                        "with its reason in known-failures.tsv")
                             .arg(what, conformanceCase.path, conformanceCase.description)));
    }
}

void tst_Conformance::cleanupTestCase()
{
    if (verdicts[Window].isEmpty()) // initTestCase failed
        return;
    printSummary();
    const QString target = qEnvironmentVariable("XMLCONF_WRITE_FAILURES");
    if (!target.isEmpty()) {
        const QString error = writeFailures(target);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
}

// Right and wrong verdicts per path and type of case, for the rows that ran.
void tst_Conformance::printSummary() const
{
    std::printf("\n%-8s %-8s %6s %6s %6s\n", "path", "type", "cases", "right", "wrong");
    for (int path : {Window, Stream}) {
        int totalRight = 0;
        int totalWrong = 0;
        for (const QString &type : types) {
            int right = 0;
            int wrong = 0;
            for (int index = 0; index < cases.size(); ++index) {
                const Verdict &verdict = verdicts[path][index];
                if (!verdict.ran || cases[index].type != type)
                    continue;
                ++(verdict.accepted == cases[index].mustAccept ? right : wrong);
            }
            std::printf("%-8s %-8s %6d %6d %6d\n", qPrintable(pathNames[path]), qPrintable(type),
                        right + wrong, right, wrong);
            totalRight += right;
            totalWrong += wrong;
        }
        std::printf("%-8s %-8s %6d %6d %6d\n", qPrintable(pathNames[path]), "all",
                    totalRight + totalWrong, totalRight, totalWrong);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Writes the cases each path now gets wrong, keeping the reason of those already
// listed, grouped by path and reason. Returns what went wrong, if anything.
QString tst_Conformance::writeFailures(const QString &target) const
{
    struct Line
    {
        int path;
        QString reason;
        int index;
    };
    QVector<Line> lines;
    for (int path : {Window, Stream}) {
        for (int index = 0; index < cases.size(); ++index) {
            const Verdict &verdict = verdicts[path][index];
            if (!verdict.ran)
                return QStringLiteral("not written to %1: not every row ran").arg(target);
            if (verdict.accepted == cases[index].mustAccept)
                continue;
            QString reason = knownFailures.value(failureKey(path, cases[index].id));
            if (reason.isEmpty())
                reason = verdict.accepted
                             ? QStringLiteral("TODO: accepted; %1").arg(cases[index].description)
                             : QStringLiteral("TODO: refused: %1").arg(verdict.message);
            lines.append({path, oneLine(reason), index});
        }
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) {
        return a.path != b.path ? a.path < b.path : a.reason < b.reason;
    });

    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
    QByteArray text = failuresHeader;
    for (const Line &line : lines)
        text += (pathNames[line.path] + QLatin1Char('\t') + cases[line.index].id +
                 QLatin1Char('\t') + line.reason + QLatin1Char('\n'))
                    .toUtf8();
    if (file.write(text) != text.size() || !file.commit())
        return QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
    std::printf("%d known failures written to %s\n", int(lines.size()), qPrintable(target));
    return {};
}

QTEST_GUILESS_MAIN(tst_Conformance)
#include "tst_conformance.moc"
