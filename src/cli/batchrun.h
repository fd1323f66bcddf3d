// SPDX-License-Identifier: MIT
#ifndef BATCHRUN_H
#define BATCHRUN_H

#include <QStringList>

namespace xmladjust {

struct Settings;

// How many files to work on at once when the command line does not say: as many as
// this process may use cores.
int defaultJobCount();

// Adjusts the files ("-" for standard input), `jobs` of them at once on worker
// threads (a file alone on the calling thread), and reports one line per file on
// standard error in the order given. The new files are committed in batches
// (ReplacementBatch) whose syncs are paid together, as soon as the ones before are
// done; at most a bounded number of files is in flight, whatever the number of
// names. Returns whether every file succeeded.
bool runFiles(const QStringList &files, const Settings &settings, int jobs);

} // namespace xmladjust

#endif // BATCHRUN_H
