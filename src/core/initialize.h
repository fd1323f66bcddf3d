// SPDX-License-Identifier: MIT
#ifndef INITIALIZE_H
#define INITIALIZE_H

namespace xmladjust {

// Sets the process up for this program's core; each program calls it first thing
// in main(), before any document is read.
//
// The DOM keeps attributes in a hash whose order follows the process-wide seed,
// which Qt otherwise chooses at random; a fixed seed makes the output the same
// from run to run. File names and arguments that are not UTF-8 are kept byte for
// byte (see file/filenames.h).
void initializeCore();

} // namespace xmladjust

#endif // INITIALIZE_H
