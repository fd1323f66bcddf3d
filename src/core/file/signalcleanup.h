// SPDX-License-Identifier: MIT
#ifndef SIGNALCLEANUP_H
#define SIGNALCLEANUP_H

#include <QByteArray>

namespace xmladjust {

// What this run leaves on disk when it is ended by SIGTERM, SIGINT or SIGHUP: nothing
// it created. The files it names are removed, and the program then ends as the
// signal's default action would (a status of 128 + the signal to a shell).
void removeCreatedFilesOnSignals();

// A file this run created that a signal is to remove while the registration lives.
// Registrations are made from any thread, hundreds at once; a signal on any thread
// first stops every thread from creating or registering another file, then removes
// them all.
class RemovedOnSignal
{
public:
    RemovedOnSignal() = default;
    explicit RemovedOnSignal(const QByteArray &path) { set(path); }
    ~RemovedOnSignal() { clear(); }
    RemovedOnSignal(const RemovedOnSignal &) = delete;
    RemovedOnSignal &operator=(const RemovedOnSignal &) = delete;

    void set(const QByteArray &path);
    void clear();

private:
    int m_slot = -1;
};

// While one lives, on any thread, those signals wait: a step that must not stop
// half-way (a rename, putting old contents back) finishes first.
class SignalsDeferred
{
public:
    SignalsDeferred();
    ~SignalsDeferred();
    SignalsDeferred(const SignalsDeferred &) = delete;
    SignalsDeferred &operator=(const SignalsDeferred &) = delete;
};

} // namespace xmladjust

#endif // SIGNALCLEANUP_H
