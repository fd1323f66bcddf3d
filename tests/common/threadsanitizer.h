// SPDX-License-Identifier: MIT
#ifndef THREADSANITIZER_H
#define THREADSANITIZER_H

// For a test program that does not link the engine (whose stream/streamlink.cpp has the
// same): under ThreadSanitizer, judge only instrumented code. Qt's own libraries are
// not instrumented, so QMutex and QThread's end are invisible to it, and with a
// second thread running (QProcess's, say) the test library's watchdog looks like a
// race at exit. Include it in one file of the program.
#ifdef __SANITIZE_THREAD__
extern "C" const char *__tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}
#endif

#endif // THREADSANITIZER_H
