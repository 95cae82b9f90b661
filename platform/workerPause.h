#ifndef KORBALT_PLATFORM_WORKERPAUSE_H
#define KORBALT_PLATFORM_WORKERPAUSE_H

#include "platform/posixMsgQueues.h"

#include <atomic>
#include <csignal>
#include <vector>

// The pause flag that a worker's SIGUSR2 handler toggles; it must be safe to touch from a
// handler running on any thread.
typedef std::atomic<int> WorkerPauseFlag;
static_assert(WorkerPauseFlag::is_always_lock_free, "the pause flag is set from a signal handler");

// What a pausable worker reads its input queue through. While paused the worker does no
// work, but it keeps taking messages off its queue and holds them in the queue's own order
// (priority, then arrival): that is how it sees an exit message, which may wait behind
// buffers, without spinning and without disturbing the order of the buffers.
class WorkerInbox {
public:
    explicit WorkerInbox(int queue);

    // Waits while *paused is 1, with waitMask in force (so that the pause signal gets in).
    // Returns 0 after a signal or once the flag has changed (the handler may have run on
    // another thread: the flag is looked at again every quarter second), 1 when an exit
    // message is held (the worker is being stopped), -1 when the queue failed (*err).
    int waitWhilePaused(const WorkerPauseFlag* paused, const sigset_t* waitMask, int* err);

    // The whole pause of a worker named who ("File Reader"): pauseSignal is blocked except
    // while waiting, and each wait is logged. *stopping is set once an exit message is held
    // (the pause is then over for good). 0 when the pause is over, -1 when the queue
    // failed (*err).
    int holdWhilePaused(const WorkerPauseFlag* paused, const sigset_t* pauseSignal, const char* who, bool* stopping,
                        int* err);

    // The next message: held ones first, in the queue's order together with what waits in
    // the queue; otherwise a blocking receive. 1 taken, 0 interrupted by a signal, -1 the
    // queue failed (*err), as receiveWorkerMsg.
    int next(AppMsg* msg, unsigned int* priority, int* err);

    // Gives a message taken while the pause began back to the front of its priority.
    void holdFirst(const AppMsg& msg, unsigned int priority);

    bool exitHeld() const { return m_bExitHeld; }

private:
    struct Held {
        AppMsg msg;
        unsigned int priority;
    };
    // Inserts behind every held message of the same or a higher priority.
    void hold(const AppMsg& msg, unsigned int priority);
    // Moves whatever waits in the queue into the hold without waiting; false when the
    // queue failed (*err).
    bool takeWaiting(int* err);

    int m_iQueue;
    bool m_bExitHeld;
    std::vector<Held> m_Held;
};

#endif
