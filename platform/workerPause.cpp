#include "platform/workerPause.h"
#include "platform/debugMap.h"
#include "platform/fileReader.h"
#include "platform/processCtrl.h"
#include "platform/signalCtrl.h"

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace {

// How often a paused worker looks at its flag when no signal wakes it.
const long PAUSE_SLICE_NS = 250L * 1000 * 1000;

}  // namespace

WorkerInbox::WorkerInbox(int queue) : m_iQueue(queue), m_bExitHeld(false)
{
    QueueAttr attr;
    if (getQueueAttr(queue, &attr) == 0 && attr.maxMsg > 0)
        m_Held.reserve((size_t)attr.maxMsg + 1);
}

void WorkerInbox::hold(const AppMsg& msg, unsigned int priority)
{
    auto at = m_Held.begin();
    while (at != m_Held.end() && at->priority >= priority)
        ++at;
    m_Held.insert(at, Held{msg, priority});
    if (msg.type == APP_MSG_EXIT)
        m_bExitHeld = true;
}

void WorkerInbox::holdFirst(const AppMsg& msg, unsigned int priority)
{
    auto at = m_Held.begin();
    while (at != m_Held.end() && at->priority > priority)
        ++at;
    m_Held.insert(at, Held{msg, priority});
    if (msg.type == APP_MSG_EXIT)
        m_bExitHeld = true;
}

bool WorkerInbox::takeWaiting(int* err)
{
    for (;;) {
        AppMsg msg;
        unsigned int priority = APP_MSG_PRIORITY;
        int length = 0;
        int n = receiveTimedPriorityMsg(m_iQueue, &msg, sizeof(msg), &length, &priority, 0);
        if (n >= 1 && length == (int)sizeof(AppMsg)) {
            announceBufferReceived(msg.buffer);
            hold(msg, priority);
            continue;
        }
        if (n < 1 && (errno == ETIMEDOUT || errno == EAGAIN || errno == EINTR))
            return true;
        *err = errno ? errno : EIO;
        return false;
    }
}

int WorkerInbox::waitWhilePaused(const WorkerPauseFlag* paused, const sigset_t* waitMask, int* err)
{
    while (!m_bExitHeld && paused->load() == 1) {
        struct pollfd pfd;
        pfd.fd = m_iQueue;
        pfd.events = POLLIN;
        pfd.revents = 0;
        struct timespec slice = {0, PAUSE_SLICE_NS};
        int n = ppoll(&pfd, 1, &slice, waitMask);
        if (n < 0) {
            if (errno == EINTR)
                return 0;
            *err = errno;
            return -1;
        }
        if (n == 0)
            continue;
        if (pfd.revents & (POLLERR | POLLNVAL)) {
            *err = EBADF;
            return -1;
        }
        // Held, not served: the work waits for the end of the pause.
        if (!takeWaiting(err))
            return -1;
    }
    return m_bExitHeld ? 1 : 0;
}

int WorkerInbox::next(AppMsg* msg, unsigned int* priority, int* err)
{
    if (m_Held.empty())
        return receiveWorkerMsg(m_iQueue, msg, priority, err);
    // An exit message that arrives now still overtakes the held buffers.
    if (!takeWaiting(err))
        return -1;
    *msg = m_Held.front().msg;
    *priority = m_Held.front().priority;
    m_Held.erase(m_Held.begin());
    return 1;
}

int WorkerInbox::holdWhilePaused(const WorkerPauseFlag* paused, const sigset_t* pauseSignal, const char* who,
                                 bool* stopping, int* err)
{
    sigset_t waitMask;
    setBlockedThreadSignals(pauseSignal, &waitMask);
    sigdelset(&waitMask, SIGUSR2);
    int rc = 0;
    while (!*stopping && paused->load() == 1) {
        fileLog("%s: threadFunc proc %d suspending m_IsPaused = %d\n", who, getProcessId(), paused->load());
        int woken = waitWhilePaused(paused, &waitMask, err);
        fileLog("%s: threadFunc proc %d returned form suspend  m_IsPaused = %d\n", who, getProcessId(),
                paused->load());
        if (woken == 1) {
            *stopping = true;
        } else if (woken < 0) {
            rc = -1;
            break;
        }
    }
    setUnblockedThreadSignals(pauseSignal, nullptr);
    return rc;
}
