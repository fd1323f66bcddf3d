// SPDX-License-Identifier: MIT
#include "signalcleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace xmladjust {

namespace {

// Fixed storage, so that the handler reads it without allocating or locking.
constexpr int slotCount = 16;
constexpr size_t pathCapacity = 4096;
enum SlotState
{
    Free,
    Taken, // being filled in or emptied
    Ready
};
std::atomic<int> slotStates[slotCount];
char slotPaths[slotCount][pathCapacity];

std::atomic<int> deferring{0};
std::atomic<int> pendingSignal{0};

const int handledSignals[] = {SIGTERM, SIGINT, SIGHUP};

[[noreturn]] void removeAndEnd(int signalNumber)
{
    for (int i = 0; i < slotCount; ++i) {
        if (slotStates[i].load() == Ready)
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

void onSignal(int signalNumber)
{
    if (deferring.load() > 0) {
        pendingSignal.store(signalNumber);
        return;
    }
    removeAndEnd(signalNumber);
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
    clear();
    if (path.size() >= int(pathCapacity))
        return;
    for (int i = 0; i < slotCount; ++i) {
        int expected = Free;
        if (slotStates[i].compare_exchange_strong(expected, Taken)) {
            std::memcpy(slotPaths[i], path.constData(), size_t(path.size()) + 1);
            slotStates[i].store(Ready);
            m_slot = i;
            return;
        }
    }
}

void RemovedOnSignal::clear()
{
    if (m_slot < 0)
        return;
    slotStates[m_slot].store(Taken);
    slotPaths[m_slot][0] = '\0';
    slotStates[m_slot].store(Free);
    m_slot = -1;
}

SignalsDeferred::SignalsDeferred()
{
    deferring.fetch_add(1);
}

SignalsDeferred::~SignalsDeferred()
{
    if (deferring.fetch_sub(1) == 1) {
        const int signalNumber = pendingSignal.exchange(0);
        if (signalNumber != 0)
            removeAndEnd(signalNumber);
    }
}

} // namespace xmladjust
