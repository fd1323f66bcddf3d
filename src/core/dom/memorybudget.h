// SPDX-License-Identifier: MIT
#ifndef MEMORYBUDGET_H
#define MEMORYBUDGET_H

#include "result.h"

#include <QtGlobal>

namespace xmladjust {

// Bytes this process may still take without swapping or being refused: the memory
// the system has available (MemAvailable), lowered by the process's limits on
// address space and data (RLIMIT_AS, RLIMIT_DATA) and by the memory limit of its
// cgroup and of each cgroup above it, where set. -1 where none of them can be read.
qint64 availableMemory();

// Whether the window's path can hold the document of a file of this size, of which
// `held` bytes are in memory already; if not, why not, before anything is read.
Outcome checkDocumentFits(qint64 fileSize, qint64 held = 0);

} // namespace xmladjust

#endif // MEMORYBUDGET_H
