// SPDX-License-Identifier: MIT
#ifndef FILENAMES_H
#define FILENAMES_H

namespace xmladjust {

// Makes file names and command-line arguments come through Qt byte for byte where the
// locale's encoding is UTF-8 (or plain ASCII, which Qt reads as UTF-8): a byte that is
// not part of valid UTF-8 becomes the lone surrogate U+DC80–U+DCFF and goes back to
// the file system, and onto the terminal, as that byte. Without it, Qt reads every such
// byte as U+FFFD, and the name reaches another file, or none. Call before the
// application object is made, which reads the arguments.
void keepFileNamesExact();

// The first command-line argument that would not reach the file system as the same
// bytes (where the locale's encoding cannot hold it, or on Qt 6, which reads every
// argument as UTF-8); 0 when all of them would. Such a name would reach another file.
int firstInexactArgument(int argc, const char *const argv[]);

} // namespace xmladjust

#endif // FILENAMES_H
