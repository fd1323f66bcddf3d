#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// The text as UTF-32 code units, written here rather than by Qt's encoder, which adds
// a stray unit after each character beyond the BMP.
inline QByteArray utf32Bytes(const QString &text, bool bigEndian)
{
    QByteArray bytes;
    for (const uint u : text.toUcs4()) {
        for (int i = 0; i < 4; ++i)
            bytes += char(u >> (8 * (bigEndian ? 3 - i : i)));
    }
    return bytes;
}

// Everything in a folder, hidden files included: what a test expects to find there
// shows that no temporary file was left behind.
inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

#endif // TESTFILES_H
