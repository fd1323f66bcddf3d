// SPDX-License-Identifier: MIT
#ifndef ATOMICFILE_H
#define ATOMICFILE_H

#include "bounds.h"
#include "result.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <memory>

class QIODevice;

namespace xmladjust {

// Whether the file at the path could be replaced, checked as the replacement itself
// would need it and changing nothing (a dry run's answer): it must be a regular file
// writable both for this user and for its owner (so a file its owner made read-only
// stays so, even for root), in a folder where this user may create a file, and one
// that may be renamed over, or else written over in place.
Outcome checkReplaceable(const QString &path);

// Replaces the contents of an existing file so that nothing is lost around it.
//
// begin() opens the file and takes an advisory lock on it, waiting a bounded time
// for another run of this program, and takes the file's stamp, so it must come
// before the reading. The new contents then go to a temporary file beside it. When
// commit() finds the file as it was read, right before the replacement, the new
// file gets the old one's owner, group, extended attributes (ACLs too) and mode,
// and is renamed over it; the folder is synced after. A file with more than one
// name, or one whose owner this user cannot give a new file, is written over in
// place instead, once the new contents are complete, with its old contents kept in a
// synced copy beside it until the write succeeded (and put back if it failed). A
// symbolic link keeps pointing at the updated file. Whatever cannot be kept refuses
// the replacement; until commit() succeeds the file is untouched, and a replacement
// that is cancelled, fails or is destroyed leaves nothing behind.
//
// commit() is complete(), syncNew() and replace() in turn; a ReplacementBatch calls
// them itself, so that the syncs of many files are paid together.
class AtomicFileReplacement
{
public:
    AtomicFileReplacement();
    ~AtomicFileReplacement();
    AtomicFileReplacement(const AtomicFileReplacement &) = delete;
    AtomicFileReplacement &operator=(const AtomicFileReplacement &) = delete;

    Outcome begin(const QString &path, int lockWaitMilliseconds = fileLockWaitMilliseconds);
    // Where the new contents are written, between begin() and commit().
    QIODevice *device() const;
    // The size of the file as begin() found it.
    qint64 originalSize() const;
    // Between begin() and commit(): has commit() keep the file's old contents under
    // its name followed by the suffix, right before the replacement, as the old file itself (or, where the file is
    // written over in place, a copy with its owner, mode, times and attributes). It
    // is renamed into place, so what had that name is replaced, never written through.
    void keepBackup(const QString &suffix);
    Outcome commit();
    void cancel();

    // The new contents are complete: the new file gets what is attached to the old
    // one, and its data starts on its way to the disk. Once is enough; later calls
    // only say so.
    Outcome complete();
    // Waits until the new file's data and metadata are safe on the disk.
    Outcome syncNew();
    // Compares the file with what begin() found, then renames the new file over it
    // (or writes over it in place). The folder is synced after, or, when
    // `foldersToSync` is given, added to it for the caller to sync once for many.
    // Ends the replacement, whatever the outcome.
    Outcome replace(QSet<QByteArray> *foldersToSync = nullptr);

private:
    struct Work;
    std::unique_ptr<Work> m_work;
};

// The whole of the new contents written with an AtomicFileReplacement.
Outcome replaceFileContents(const QString &path, const QByteArray &contents);

// Syncs a folder, so that the renames made in it are kept after a crash. A folder
// that cannot be synced (some file systems refuse) does not undo them.
void syncFolder(const QByteArray &folder);

} // namespace xmladjust

#endif // ATOMICFILE_H
