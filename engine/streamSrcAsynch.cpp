#include "engine/streamSrcAsynch.h"
#include "platform/debugMap.h"
#include "platform/fileReader.h"
#include "platform/processCtrl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>

namespace {

// How long one wait for a full buffer lasts before the caller gets a turn (to notice an
// abort, or a worker that is gone).
const int RECEIVE_TIMEOUT_MS = 1000;

// Takes one message out of queue without waiting; true when one was taken.
bool dropOne(int queue)
{
    AppMsg msg;
    unsigned int priority = 0;
    struct timespec now = realtimeDeadlineIn(0);
    return mq_timedreceive((mqd_t)queue, (char*)&msg, sizeof(msg), &priority, &now) > 0;
}

}  // namespace

StreamSrcAsynch::StreamSrcAsynch(int numBuffers, int bufferSize)
    : m_iState(SRC_STATE_CREATED), m_iNumBuffers(numBuffers), m_iBufferSize(bufferSize), m_ReaderThreadId(),
      m_bReaderStarted(false), m_iFullQueue(-1), m_iEmptyQueue(-1), m_uiCurrentPriority(APP_MSG_PRIORITY),
      m_bHoldingBuffer(false), m_iReceiveErrno(0), m_iReaderErrno(0)
{
    memset(&m_CurrentMsg, 0, sizeof(m_CurrentMsg));
    snprintf(m_pcEmptyQueueName, sizeof(m_pcEmptyQueueName), "%s_%d", "_EMPTY_QUEUE", getProcessId());
    snprintf(m_pcFullQueueName, sizeof(m_pcFullQueueName), "%s_%d", "_FULL_QUEUE", getProcessId());
    fileLog("%s Queue Name:  %s\n", "_EMPTY_QUEUE", m_pcEmptyQueueName);
    fileLog("%s Queue Name:  %s\n", "_FULL_QUEUE", m_pcFullQueueName);
}

StreamSrcAsynch::~StreamSrcAsynch()
{
    fileLog("StreamSrcAsynch waiting reader thread to terminate\n");
    // A worker still waiting for buffers would never end on its own.
    if (m_bReaderStarted && m_iState == SRC_STATE_RUNNING)
        StreamSrcAsynch::stopReader();
    joinWorker(m_ReaderThreadId, &m_bReaderStarted, m_iFullQueue);
    flushAndDestroyQueue(m_pcEmptyQueueName, &m_iEmptyQueue);
    flushAndDestroyQueue(m_pcFullQueueName, &m_iFullQueue);
    for (unsigned char* buffer : m_vBuffers)
        free(buffer);
    m_vBuffers.clear();
}

void StreamSrcAsynch::prefixQueueNames(const char* prefix)
{
    char scratch[256];
    snprintf(scratch, sizeof(scratch), "%s%s", prefix, m_pcEmptyQueueName);
    memcpy(m_pcEmptyQueueName, scratch, sizeof(scratch));
    snprintf(scratch, sizeof(scratch), "%s%s", prefix, m_pcFullQueueName);
    memcpy(m_pcFullQueueName, scratch, sizeof(scratch));
}

void StreamSrcAsynch::setFailureText(const std::string& text)
{
    // The first reason is the one that matters; later ones follow from it.
    if (m_sFailureText.empty())
        m_sFailureText = text;
}

bool StreamSrcAsynch::createQueue(const char* name, int* descriptor)
{
    QueueAttr attr;
    attr.flags = O_NONBLOCK;
    attr.maxMsg = m_iNumBuffers;
    attr.msgSize = sizeof(AppMsg);
    attr.curMsgs = 0;
    int q = createMsgQueue(name, APP_QUEUE_MODE, &attr);
    if (q < 0) {
        int err = errno;
        fileLog("Failed to create %s\n", name);
        setFailureText(std::string("cannot create message queue ") + name + ": " + strerror(err));
        return false;
    }
    *descriptor = q;
    return true;
}

bool StreamSrcAsynch::init()
{
    unlinkMsgQueue(m_pcEmptyQueueName);
    unlinkMsgQueue(m_pcFullQueueName);
    if (!createQueue(m_pcEmptyQueueName, &m_iEmptyQueue)) {
        unlinkMsgQueue(m_pcEmptyQueueName);
        return false;
    }
    if (!createQueue(m_pcFullQueueName, &m_iFullQueue)) {
        flushAndDestroyQueue(m_pcEmptyQueueName, &m_iEmptyQueue);
        unlinkMsgQueue(m_pcFullQueueName);
        return false;
    }
    return true;
}

unsigned char* StreamSrcAsynch::allocateBuffer(int size, bool aligned, bool fill)
{
    if (size < 1)
        return nullptr;
    void* p = nullptr;
    if (aligned) {
        if (posix_memalign(&p, 512, (size_t)size) != 0) {
            fileLog("Posix mem_align error\n");
            return nullptr;
        }
    } else {
        p = malloc((size_t)size);
        if (!p)
            return nullptr;
    }
    if (fill)
        memset(p, 0xFF, (size_t)size);
    m_vBuffers.push_back((unsigned char*)p);
    return (unsigned char*)p;
}

bool StreamSrcAsynch::fillEmptyQueue(AppMsgType type)
{
    for (int i = 0; i < m_iNumBuffers; ++i) {
        // Not filled: a read writes each buffer before anything looks at it, and writing
        // megabytes up front would fault every page in before the first read could start.
        unsigned char* buffer = allocateBuffer(m_iBufferSize, true, false);
        if (!buffer) {
            setFailureText("cannot allocate the input buffers");
            return false;
        }
        AppMsg msg;
        memset(&msg, 0, sizeof(msg));
        msg.type = type;
        msg.capacity = m_iBufferSize;
        msg.length = 0;
        msg.buffer = buffer;
        announceBufferSent(buffer);
        if (sendMsg(m_iEmptyQueue, &msg, sizeof(msg)) != 0) {
            setFailureText(std::string("cannot post buffers to ") + m_pcEmptyQueueName);
            return false;  // the buffer stays in m_vBuffers and is freed at destruction
        }
    }
    return true;
}

bool StreamSrcAsynch::getRawDataBuff(unsigned char** buffer, long long* length)
{
    memset(&m_CurrentMsg, 0, sizeof(m_CurrentMsg));
    m_bHoldingBuffer = false;
    m_iReceiveErrno = 0;
    if (m_iFullQueue < 0) {
        m_iReceiveErrno = EBADF;
        return false;
    }

    int got = 0;
    unsigned int priority = APP_MSG_PRIORITY;
    int n = receiveTimedPriorityMsg(m_iFullQueue, &m_CurrentMsg, sizeof(m_CurrentMsg), &got, &priority,
                                    RECEIVE_TIMEOUT_MS);
    if (n < 1) {
        m_iReceiveErrno = errno ? errno : EIO;
        if (m_iReceiveErrno == ETIMEDOUT && m_bReaderStarted &&
            pthread_tryjoin_np(m_ReaderThreadId, nullptr) == 0) {
            // The worker is gone. Whatever it posted before leaving is still read; after
            // that nothing can come, which is the end of the input.
            m_bReaderStarted = false;
            fileLog("StreamSrcAsynch: the reader thread has ended\n");
        }
        if (m_iReceiveErrno == ETIMEDOUT && !m_bReaderStarted && m_iState == SRC_STATE_RUNNING) {
            AppMsg probe;
            struct timespec now = realtimeDeadlineIn(0);
            unsigned int p = 0;
            if (mq_timedreceive((mqd_t)m_iFullQueue, (char*)&probe, sizeof(probe), &p, &now) > 0) {
                m_CurrentMsg = probe;
                priority = p;
                n = sizeof(probe);
            } else {
                fileLog("StreamSrcAsynch: no end of input from the reader, ending\n");
                m_iState = SRC_STATE_ENDED;
                m_iReceiveErrno = 0;
                return false;
            }
        } else {
            return false;
        }
    }
    m_uiCurrentPriority = priority;
    announceBufferReceived(m_CurrentMsg.buffer);

    switch (m_CurrentMsg.type) {
    case APP_MSG_FILE_BUFFER:
    case APP_MSG_NTWK_BUFFER:
        if (!m_CurrentMsg.buffer)
            return false;
        // Never trust a length beyond the buffer's own capacity.
        if (m_CurrentMsg.length > m_CurrentMsg.capacity)
            m_CurrentMsg.length = m_CurrentMsg.capacity;
        m_bHoldingBuffer = true;
        if (m_CurrentMsg.length < 1) {
            releaseRawDataBuff();
            return false;
        }
        *buffer = m_CurrentMsg.buffer;
        *length = m_CurrentMsg.length;
        return true;
    case APP_MSG_END_OF_FILE:
        m_iState = SRC_STATE_ENDED;
        if (m_CurrentMsg.length < 0)
            m_iReaderErrno = (int)-m_CurrentMsg.length;
        fileLog("Received End Of File Message\n");
        return false;
    default:
        return false;
    }
}

bool StreamSrcAsynch::releaseRawDataBuff()
{
    if (m_iState != SRC_STATE_RUNNING || !m_bHoldingBuffer)
        return false;
    m_bHoldingBuffer = false;
    m_CurrentMsg.length = 0;
    return sendWorkerMsg(m_iEmptyQueue, &m_CurrentMsg, m_uiCurrentPriority) == 0;
}

int StreamSrcAsynch::sendControlMsg(int queue, AppMsgType type, unsigned int priority)
{
    AppMsg msg;
    memset(&msg, 0, sizeof(msg));
    msg.type = type;
    // Room is made by taking empty buffers out again; the source owns and frees them all.
    for (int attempt = 0; attempt <= m_iNumBuffers + 1; ++attempt) {
        struct timespec now = realtimeDeadlineIn(attempt == 0 ? 0 : 10);
        if (mq_timedsend((mqd_t)queue, (const char*)&msg, sizeof(msg), priority, &now) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != ETIMEDOUT && errno != EAGAIN) {
            printQueueError();
            return -1;
        }
        dropOne(queue);
    }
    fileLog("StreamSrcAsynch: could not send control message %d\n", (int)type);
    return -1;
}

int StreamSrcAsynch::stopReader()
{
    if (m_iState != SRC_STATE_RUNNING)
        return 1;
    fileLog("StreamSrcAsynch sending exit message to the reader\n");
    m_iState = SRC_STATE_ENDED;
    return sendControlMsg(m_iEmptyQueue, APP_MSG_EXIT, APP_MSG_EXIT_PRIORITY);
}

int StreamSrcAsynch::getPercentComplete()
{
    return 0;
}

void StreamSrcAsynch::joinWorker(pthread_t thread, bool* started, int drainQueue)
{
    if (!*started)
        return;
    int waitedMs = 0;
    for (;;) {
        struct timespec deadline = realtimeDeadlineIn(100);
        int rc = pthread_timedjoin_np(thread, nullptr, &deadline);
        if (rc == 0)
            break;
        if (rc != ETIMEDOUT && rc != EINTR) {
            fileLog("StreamSrcAsynch: join failed %d\n", rc);
            break;
        }
        // A worker blocked on a full queue is freed by emptying that queue.
        if (drainQueue >= 0)
            while (dropOne(drainQueue)) {
            }
        waitedMs += 100;
        if (waitedMs == 10000)
            fileLog("StreamSrcAsynch: still waiting for a worker thread to end\n");
    }
    *started = false;
}

bool StreamSrcAsynch::flushAndDestroyQueue(const char* name, int* descriptor)
{
    if (*descriptor < 0)
        return false;
    QueueAttr attr;
    if (getQueueAttr(*descriptor, &attr) == 0) {
        // The buffers themselves are freed with the source; the messages only go.
        for (long long i = 0; i < attr.curMsgs; ++i)
            if (!dropOne(*descriptor))
                break;
    }
    bool ok = true;
    if (closeMsgQueue(*descriptor) != 0) {
        fileLog("Error closing %s\n", name);
        ok = false;
    }
    *descriptor = -1;
    if (unlinkMsgQueue(name) != 0) {
        fileLog("Error unlinking %s\n", name);
        ok = false;
    }
    return ok;
}
