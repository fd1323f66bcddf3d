// SPDX-License-Identifier: MIT
#ifndef STANDARDSTREAMS_H
#define STANDARDSTREAMS_H

#include <QString>

#include <cstdio>

namespace xmladjust {

// Gives a closed standard input, output or error a stand-in that refuses to be used
// (/dev/null opened the other way), so that no file this program opens takes its
// number, and using it fails with the system's reason.
void holdClosedStandardStreams();

// Writes the line; whether the stream took it.
bool printLine(FILE *stream, const QString &line);

// Flushes and closes standard output: the system's reason when that or any earlier
// write to it failed, or an empty string.
QString closeStandardOutput();

} // namespace xmladjust

#endif // STANDARDSTREAMS_H
