// SPDX-License-Identifier: MIT
#ifndef FILERUN_H
#define FILERUN_H

#include <QStringList>

#include <memory>

namespace xmladjust {

class AtomicFileReplacement;
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

// One file's job up to its commit: the file is checked, locked and adjusted into its
// replacement, which then waits, with the counts, for the caller to commit it (with
// others, in a ReplacementBatch). Without a replacement the report is final: the file
// failed, or is not to be written (a dry run, or nothing changed).
struct PreparedFile
{
    FileReport report;
    std::unique_ptr<AtomicFileReplacement> replacement;

    PreparedFile();
    PreparedFile(FileReport report, std::unique_ptr<AtomicFileReplacement> replacement = {});
    PreparedFile(PreparedFile &&) noexcept;
    PreparedFile &operator=(PreparedFile &&) noexcept;
    ~PreparedFile();
};
// The file is adjusted in place, keeping every byte but the values that change (or,
// with --reformat, as the window writes it).
PreparedFile prepareFile(const QString &path, const Settings &settings);

// Adjusts standard input onto standard output, which gets the document only once
// all of it is known to be sound.
FileReport adjustStandardInput(const Settings &settings);

// The line this program reports for the file.
QString reportLine(const QString &name, const FileReport &report, bool dryRun);

} // namespace xmladjust

#endif // FILERUN_H
