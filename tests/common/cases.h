// SPDX-License-Identifier: MIT
#ifndef CASES_H
#define CASES_H

#include "datarows.h"

#include <QRegularExpression>
#include <QtTest>

// One case of tests/data/cases/cases.tsv, whose head says what each field means.
struct AdjustmentCase
{
    QString name;
    QString inputPath;
    QStringList arguments; // as the command line takes them
    QByteArray output;     // what the streaming engine writes
    QString failure;       // the failure's kind, or empty when the case succeeds
    qint64 adjusted = 0;
    QString byRule; // with several rules, each one's count as the report gives it
    qint64 notInText = 0;
    int line = 0; // of the failure; 0 where it has no place
    int column = 0;
    QString reason; // how the failure's message begins
    QStringList paths;

    QString option(const QString &name) const
    {
        const int at = arguments.indexOf(name);
        return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1] : QString();
    }

    // Each rule's count, from byRule ("lat 2, lon 1"), in the order given.
    QVector<qint64> countsByRule() const
    {
        QVector<qint64> counts;
        for (const QString &item : byRule.split(", ", Qt::SkipEmptyParts))
            counts << item.section(' ', -1).toLongLong();
        return counts;
    }
};
Q_DECLARE_METATYPE(AdjustmentCase)

// Every case of the folder's cases.tsv, in its order.
inline void readCases(const QString &folder, QList<AdjustmentCase> *cases)
{
    const QRegularExpression adjusted(
        "^adjusted (\\d+)(?: \\(([^)]+)\\))?(?:, not in text (\\d+))?$");
    const QRegularExpression refused("^refused (\\w+)(?: (\\d+):(\\d+))? (.+)$");
    for (const QStringList &fields : dataLines(folder + "/cases.tsv")) {
        AdjustmentCase c;
        c.name = fields[0];
        c.inputPath = folder + '/' + c.name + ".xml";
        QVERIFY2(fields.size() == 4 && QFile::exists(c.inputPath), qPrintable(fields.join('\t')));
        c.arguments = fields[1].split(' ');
        c.paths = fields[3].split(' ');
        const QString outputPath = folder + '/' + c.name + ".out.xml";
        c.output = readBytes(QFile::exists(outputPath) ? outputPath : c.inputPath);
        if (const auto match = adjusted.match(fields[2]); match.hasMatch()) {
            c.adjusted = match.captured(1).toLongLong();
            c.byRule = match.captured(2);
            c.notInText = match.captured(3).toLongLong();
        } else if (const auto match = refused.match(fields[2]); match.hasMatch()) {
            c.failure = match.captured(1);
            c.line = match.captured(2).toInt();
            c.column = match.captured(3).toInt();
            c.reason = match.captured(4);
        } else {
            QFAIL(qPrintable("cases.tsv: no report for " + c.name));
        }
        *cases << c;
    }
}

// A row for each case and each of the `paths` it goes through ("stream": every case),
// in the columns "given" and "path", named by the case (and the path, with several).
inline void addCaseRows(const QString &folder, const QStringList &paths)
{
    QTest::addColumn<AdjustmentCase>("given");
    QTest::addColumn<QString>("path");
    QList<AdjustmentCase> cases;
    readCases(folder, &cases);
    for (const AdjustmentCase &c : qAsConst(cases)) {
        for (const QString &path : paths) {
            if (path != "stream" && !c.paths.contains(path))
                continue;
            const QString row = paths.size() > 1 ? c.name + ", " + path : c.name;
            QTest::newRow(qPrintable(row)) << c << path;
        }
    }
}

inline void addCaseRows(const QString &folder, const QString &path)
{
    addCaseRows(folder, QStringList(path));
}

#endif // CASES_H
