// SPDX-License-Identifier: MIT
#include "writeall.h"

#include <QIODevice>

namespace xmladjust {

Outcome writeAllTo(QIODevice *device, const QByteArray &bytes)
{
    // A write that stops part-way (at a file-size limit, or when the disk fills)
    // returns a short count with no reason; writing on gets the system's.
    for (qint64 written = 0; written < bytes.size();) {
        const qint64 result = device->write(bytes.constData() + written, bytes.size() - written);
        if (result <= 0)
            return Failure{FailureKind::CannotWrite, device->errorString()};
        written += result;
    }
    return {};
}

} // namespace xmladjust
