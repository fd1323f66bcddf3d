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

// A row for each line of the tab-separated file, named by its first field, with a
// column of bytes for each other field. The first line that is not a comment names
// the columns; empty lines and lines that begin with '#' are skipped.
inline void addDataRows(const QString &path)
{
    QStringList columns;
    for (const QString &line : QString::fromUtf8(readBytes(path)).split('\n')) {
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QStringList fields = line.split('\t');
        if (columns.isEmpty()) {
            columns = fields;
            // QTest keeps the names' pointers, not copies.
            static QList<QByteArray> names;
            for (const QString &column : columns.mid(1))
                QTest::addColumn<QByteArray>((names << column.toUtf8()).constLast().constData());
            continue;
        }
        QVERIFY2(fields.size() == columns.size(), qPrintable(path + ": " + line));
        QTestData &row = QTest::newRow(qPrintable(fields[0]));
        for (const QString &field : fields.mid(1))
            row << expanded(field);
    }
    QVERIFY2(!columns.isEmpty(), qPrintable(path));
}

#endif // DATAROWS_H
