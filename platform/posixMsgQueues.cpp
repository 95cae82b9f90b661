#include "platform/posixMsgQueues.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>

namespace {

void toSystemAttr(const QueueAttr* in, struct mq_attr* out)
{
    *out = mq_attr();
    out->mq_flags = in->flags;
    out->mq_maxmsg = in->maxMsg;
    out->mq_msgsize = in->msgSize;
    out->mq_curmsgs = in->curMsgs;
}

void logQueueError(int err)
{
    char scratch[32];
    fileLog("%s", queueErrorText(err, scratch, sizeof(scratch)));
}

}  // namespace

struct timespec realtimeDeadlineIn(int timeoutMs)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeoutMs / 1000;
    ts.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

const char* queueErrorText(int err, char* scratch, size_t scratchSize)
{
    switch (err) {
    case ENOENT: return "Queue Error ENOENT\n";
    case EINTR: return "Queue Error EINTR\n";
    case EBADF: return "Queue Error EBADF\n";
    case EAGAIN: return "Queue Error EAGAIN\n";
    case EACCES: return "Queue Error EACCES\n";
    case EEXIST: return "Queue Error EEXIST\n";
    case EINVAL: return "Queue Error EINVAL\n";
    case ENFILE: return "Queue Error ENFILE\n";
    case EMFILE: return "Queue Error EMFILE\n";
    case ENOSPC: return "Queue Error ENOSPC\n";
    case ENAMETOOLONG: return "Queue Error ENAMETOOLONG\n";
    case EMSGSIZE: return "Queue Error EMSGSIZE\n";
    case ETIMEDOUT: return "Queue Error ETIMEDOUT\n";
    default:
        snprintf(scratch, scratchSize, "Queue Error %d\n", err);
        return scratch;
    }
}

void printQueueError()
{
    logQueueError(errno);
}

int createMsgQueue(const char* name, int mode, QueueAttr* attr)
{
    if (!name) {
        logQueueError(EINVAL);
        errno = EINVAL;
        return -1;
    }
    struct mq_attr sys;
    if (attr)
        toSystemAttr(attr, &sys);
    mqd_t q = mq_open(name, O_RDWR | O_CREAT | O_EXCL, (mode_t)mode, attr ? &sys : nullptr);
    if (q == (mqd_t)-1) {
        int err = errno;
        logQueueError(err);
        errno = err;
        return -1;
    }
    return (int)q;
}

namespace {

int connectWithFlags(const char* name, int access, int extraFlags)
{
    int flags = O_RDONLY;
    if (access == 1)
        flags = O_WRONLY;
    else if (access == 2)
        flags = O_RDWR;
    if (!name) {
        fileLog("Failed to connect to %s queue\n", "(null)");
        logQueueError(EINVAL);
        errno = EINVAL;
        return -1;
    }
    mqd_t q = mq_open(name, flags | extraFlags);
    if (q == (mqd_t)-1) {
        int err = errno;
        fileLog("Failed to connect to %s queue\n", name);
        logQueueError(err);
        errno = err;
        return -1;
    }
    return (int)q;
}

}  // namespace

int connectToMsgQueue(const char* name, int access)
{
    return connectWithFlags(name, access, 0);
}

int connectToMsgQueueNonBlocking(const char* name, int access)
{
    return connectWithFlags(name, access, O_NONBLOCK);
}

int sendMsg(int queue, const void* msg, size_t length)
{
    if (mq_send((mqd_t)queue, (const char*)msg, length, APP_MSG_PRIORITY) != 0) {
        int err = errno;
        fileLog("%s: mq_send failed\n", "sendMsg");
        logQueueError(err);
        errno = err;
        return -1;
    }
    return 0;
}

int sendPriorityMsg(int queue, const void* msg, size_t length, unsigned int priority)
{
    if (mq_send((mqd_t)queue, (const char*)msg, length, priority) != 0) {
        int err = errno;
        fileLog("%s: sendPriorityMsg failed\n", "sendPriorityMsg");
        logQueueError(err);
        errno = err;
        return -1;
    }
    return 0;
}

int sendTimedPriorityMsg(int queue, const void* msg, size_t length, unsigned int priority, int timeoutMs)
{
    struct timespec ts = realtimeDeadlineIn(timeoutMs < 0 ? 0 : timeoutMs);
    int rc;
    do {
        rc = mq_timedsend((mqd_t)queue, (const char*)msg, length, priority, &ts);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        fileLog("%s: sendPriorityMsg failed\n", "sendTimedPriorityMsg");
        logQueueError(err);
        errno = err;
        return -1;
    }
    return 0;
}

int receiveMsg(int queue, void* buffer, size_t capacity, int* length)
{
    unsigned int prio = 0;
    ssize_t n = mq_receive((mqd_t)queue, (char*)buffer, capacity, &prio);
    if (n < 1) {
        int err = errno;
        fileLog("%s: receiveMsg failed\n", "receiveMsg");
        logQueueError(err);
        errno = err;
        return (int)n;
    }
    if (length)
        *length = (int)n;
    return (int)n;
}

int receivePriorityMsg(int queue, void* buffer, size_t capacity, int* length, unsigned int* priority)
{
    unsigned int prio = 0;
    ssize_t n = mq_receive((mqd_t)queue, (char*)buffer, capacity, &prio);
    if (n < 1) {
        int err = errno;
        fileLog("%s: receiveMsg failed\n", "receivePriorityMsg");
        logQueueError(err);
        errno = err;
        return (int)n;
    }
    if (length)
        *length = (int)n;
    if (priority)
        *priority = prio;
    return (int)n;
}

int receiveTimedPriorityMsg(int queue, void* buffer, size_t capacity, int* length, unsigned int* priority,
                            int timeoutMs)
{
    struct timespec ts = realtimeDeadlineIn(timeoutMs < 0 ? 0 : timeoutMs);
    unsigned int prio = 0;
    ssize_t n = mq_timedreceive((mqd_t)queue, (char*)buffer, capacity, &prio, &ts);
    if (n < 1) {
        int err = errno;
        if (err != ETIMEDOUT) {
            fileLog("%s: receiveMsg failed\n", "receiveTimedPriorityMsg");
            logQueueError(err);
        }
        errno = err;
        return (int)n;
    }
    if (length)
        *length = (int)n;
    if (priority)
        *priority = prio;
    return (int)n;
}

int getQueueAttr(int queue, QueueAttr* attr)
{
    if (!attr) {
        errno = EINVAL;
        return -1;
    }
    struct mq_attr sys;
    int rc = mq_getattr((mqd_t)queue, &sys);
    if (rc != 0)
        return rc;
    attr->flags = sys.mq_flags;
    attr->maxMsg = sys.mq_maxmsg;
    attr->msgSize = sys.mq_msgsize;
    attr->curMsgs = sys.mq_curmsgs;
    return 0;
}

int setQueueAttr(int queue, QueueAttr* attr)
{
    if (!attr) {
        errno = EINVAL;
        return -1;
    }
    struct mq_attr sys;
    toSystemAttr(attr, &sys);
    return mq_setattr((mqd_t)queue, &sys, nullptr);
}

int closeMsgQueue(int queue)
{
    return mq_close((mqd_t)queue) == 0 ? 0 : -1;
}

int unlinkMsgQueue(const char* name)
{
    return mq_unlink(name) == 0 ? 0 : -1;
}
