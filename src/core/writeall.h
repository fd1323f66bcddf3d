// SPDX-License-Identifier: MIT
#ifndef WRITEALL_H
#define WRITEALL_H

#include "result.h"

#include <QByteArray>

class QIODevice;

namespace xmladjust {

// Writes all of the bytes, or fails with the reason.
Outcome writeAllTo(QIODevice *device, const QByteArray &bytes);

} // namespace xmladjust

#endif // WRITEALL_H
