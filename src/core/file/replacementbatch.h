// SPDX-License-Identifier: MIT
#ifndef REPLACEMENTBATCH_H
#define REPLACEMENTBATCH_H

#include "file/atomicfile.h"

#include <memory>
#include <vector>

namespace xmladjust {

// Commits many replacements at once, paying for durability together rather than file
// by file: every new file is completed and its data started on its way to the disk,
// then they are synced, several at once, so that their commits and the disk's cache
// flushes are shared, then each is compared with what its begin() found and renamed over
// its file, and last each folder they were renamed in is synced once. Every file is
// still either its old or its new contents after a crash at any moment, and every
// rule of a single replacement holds for each.
class ReplacementBatch
{
public:
    // The replacement, begun and its new contents written.
    void add(std::unique_ptr<AtomicFileReplacement> replacement);
    int size() const { return int(m_replacements.size()); }

    // The outcome of each replacement, in the order they were added; the batch is
    // then empty.
    std::vector<Outcome> commit();

private:
    void syncNewFiles(std::vector<Outcome> *outcomes);

    std::vector<std::unique_ptr<AtomicFileReplacement>> m_replacements;
};

} // namespace xmladjust

#endif // REPLACEMENTBATCH_H
