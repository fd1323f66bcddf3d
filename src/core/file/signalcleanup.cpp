// SPDX-License-Identifier: MIT
#include "file/signalcleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace xmladjust {

namespace {

// Fixed storage, so that the handler reads it without allocating or locking; room
// for every file that the batches of a run on many threads have in flight at once.
constexpr int slotCount = 1024;
constexpr size_t pathCapacity = 4096;
std::atomic<bool> slotTaken[slotCount];
char slotPaths[slotCount][pathCapacity];

// The number of steps that a signal waits for (SignalsDeferred), and a bit set once
// the run is ending: from then on no such step begins, so the files named in the
// slots are all there are, and they may be removed.
std::atomic<unsigned> gate{0};
constexpr unsigned ending = 1u << 31;
std::atomic<int> pendingSignal{0};

const int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};

[[noreturn]] void removeAndEnd(int signalNumber)
{
    for (int i = 0; i < slotCount; ++i) {
        if (slotTaken[i].load())
            ::unlink(slotPaths[i]);
    }
    std::signal(signalNumber, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signalNumber);
    ::raise(signalNumber);
    // Delivered here when it was blocked (inside the handler).
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::_exit(128 + signalNumber);
}

// Ends the run when no step is under way on any thread; otherwise the last step to
// finish ends it. Async-signal-safe: atomics and system calls only.
void endWhenNothingDeferred(int signalNumber)
{
    unsigned now = gate.load();
    while (now == 0) {
        if (gate.compare_exchange_weak(now, ending))
            removeAndEnd(signalNumber);
    }
}

void onSignal(int signalNumber)
{
    pendingSignal.store(signalNumber);
    endWhenNothingDeferred(signalNumber);
}

} // namespace

void removeCreatedFilesOnSignals()
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : handledSignals)
        sigaddset(&action.sa_mask, signalNumber);
    for (int signalNumber : handledSignals) {
        struct sigaction previous = {};
        // A signal the caller's parent ignored (nohup) stays ignored.
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

void RemovedOnSignal::set(const QByteArray &path)
{
    // Taken and filled in, or emptied, while no signal ends the run: the handler never
    // sees a slot half-written.
    const SignalsDeferred deferred;
    clear();
    if (path.size() >= int(pathCapacity))
        return;
    for (int i = 0; i < slotCount; ++i) {
        bool expected = false;
        if (slotTaken[i].compare_exchange_strong(expected, true)) {
            std::memcpy(slotPaths[i], path.constData(), size_t(path.size()) + 1);
            m_slot = i;
            return;
        }
    }
}

void RemovedOnSignal::clear()
{
    if (m_slot < 0)
        return;
    const SignalsDeferred deferred;
    slotPaths[m_slot][0] = '\0';
    slotTaken[m_slot].store(false);
    m_slot = -1;
}

SignalsDeferred::SignalsDeferred()
{
    unsigned now = gate.load();
    for (;;) {
        // The run is ending on another thread, which removes what was created and
        // then ends the process: nothing more may be created meanwhile.
        while (now & ending) {
            ::pause();
            now = gate.load();
        }
        if (gate.compare_exchange_weak(now, now + 1))
            return;
    }
}

SignalsDeferred::~SignalsDeferred()
{
    if (gate.fetch_sub(1) == 1) {
        const int signalNumber = pendingSignal.load();
        if (signalNumber != 0)
            endWhenNothingDeferred(signalNumber);
    }
}

} // namespace xmladjust
