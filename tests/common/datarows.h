// SPDX-License-Identifier: MIT
#ifndef DATAROWS_H
#define DATAROWS_H

#include "testfiles.h"

#include <QRegularExpression>
#include <QtTest>

// A field of a data file as bytes: \n, \r, \t, \0, \\ and \xHH stand for their bytes
// (a backslash before anything else stays, as in a pattern's \d), and {N*text} for the
// text N times.
inline QByteArray expanded(const QString &field)
{
    QString text = field;
    const QRegularExpression repeat("\\{(\\d+)\\*([^{}]*)\\}");
    for (QRegularExpressionMatch m; (m = repeat.match(text)).hasMatch();)
        text.replace(m.capturedStart(), m.capturedLength(),
                     m.captured(2).repeated(m.captured(1).toInt()));
    const QByteArray utf8 = text.toUtf8();
    QByteArray bytes;
    for (int i = 0; i < utf8.size(); ++i) {
        if (utf8[i] != '\\' || i + 1 == utf8.size()) {
            bytes += utf8[i];
            continue;
        }
        const char c = utf8[++i];
        const int known = QByteArray("nrt0\\").indexOf(c);
        if (c == 'x')
            bytes += char(utf8.mid(++i, 2).toInt(nullptr, 16)), ++i;
        else if (known >= 0)
            bytes += "\n\r\t\0\\"[known];
        else
            bytes += QByteArray("\\") + c;
    }
    return bytes;
}

// Whether the pattern matches all of the text.
inline bool matchesWhole(const QString &pattern, const QString &text)
{
    return QRegularExpression("\\A(?:" + pattern + ")\\z").match(text).hasMatch();
}

// The fields of each line of a tab-separated file that is neither empty nor a comment
// (begins with '#').
inline QList<QStringList> dataLines(const QString &path)
{
    QList<QStringList> lines;
    for (const QString &line : QString::fromUtf8(readBytes(path)).split('\n'))
        if (!line.trimmed().isEmpty() && !line.startsWith('#'))
            lines << line.split('\t');
    return lines;
}

// A row for each line of the tab-separated file, named by its first field, with a
// column of bytes for each other field; the first line names the columns. A row whose
// name ends in "[Qt N]" holds what Qt N's serialiser writes, and runs on that Qt alone.
inline void addDataRows(const QString &path)
{
    const QList<QStringList> lines = dataLines(path);
    QVERIFY2(!lines.isEmpty(), qPrintable(path));
    // QTest keeps the names' pointers, not copies.
    static QList<QByteArray> names;
    for (const QString &column : lines.first().mid(1))
        QTest::addColumn<QByteArray>((names << column.toUtf8()).constLast().constData());
    for (const QStringList &fields : lines.mid(1)) {
        QVERIFY2(fields.size() == lines.first().size(),
                 qPrintable(path + ": " + fields.join('\t')));
        static const QRegularExpression onlyOn(" \\[Qt (\\d+)\\]$");
        const QRegularExpressionMatch qt = onlyOn.match(fields[0]);
        if (qt.hasMatch() && qt.captured(1).toInt() != QT_VERSION_MAJOR)
            continue;
        QTestData &row = QTest::newRow(qPrintable(fields[0]));
        for (const QString &field : fields.mid(1))
            row << expanded(field);
    }
}

#endif // DATAROWS_H
