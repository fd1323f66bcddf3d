// SPDX-License-Identifier: MIT
#ifndef FILERUN_H
#define FILERUN_H

#include <QStringList>

namespace xmladjust {

struct Settings;

// What happened to one file: counts, or the reason it failed.
struct FileReport
{
    qint64 adjusted = 0;
    qint64 notInText = 0;
    QString error;
    // With several rules, how many values each adjusted, in the order given: "lat 2".
    QStringList byRule;
};

// Adjusts the file in place, keeping every byte but the values that change (or,
// with --reformat, as the window writes it).
FileReport adjustFile(const QString &path, const Settings &settings);

// Adjusts standard input onto standard output, which gets the document only once
// all of it is known to be sound.
FileReport adjustStandardInput(const Settings &settings);

// The line this program reports for the file.
QString reportLine(const QString &name, const FileReport &report, bool dryRun);

} // namespace xmladjust

#endif // FILERUN_H
