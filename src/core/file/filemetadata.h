// SPDX-License-Identifier: MIT
#ifndef FILEMETADATA_H
#define FILEMETADATA_H

#include "result.h"

#include <sys/stat.h>

namespace xmladjust {

// Whether this user may give a new file the owner and group of the one described
// (root may; others only their own files, in a group they belong to).
bool mayGiveOwnership(const struct stat &original);

// Gives the new file everything attached to the original besides its contents: its
// owner and group, every extended attribute (POSIX ACLs among them) and no other,
// and its mode bits, setuid, setgid and sticky included (set last, since a change of
// owner clears them). Refuses with the reason whatever cannot be kept.
Outcome copyMetadata(int original, const struct stat &status, int copy);

} // namespace xmladjust

#endif // FILEMETADATA_H
