#include "engine/streamMessagePool.h"
#include "platform/posixThreads.h"

#include <cerrno>
#include <ctime>

namespace {

void deadlineIn(int ms, struct timespec* at)
{
    clock_gettime(CLOCK_MONOTONIC, at);
    at->tv_sec += ms / 1000;
    at->tv_nsec += (long)(ms % 1000) * 1000000L;
    if (at->tv_nsec >= 1000000000L) {
        at->tv_sec += 1;
        at->tv_nsec -= 1000000000L;
    }
}

void initMonotonicCond(pthread_cond_t* cond)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

}  // namespace

StreamMessagePool::StreamMessagePool()
    : m_iUnprocessedCount(0), m_bConsumerAttached(false), m_bProducerHeld(false)
{
    initPosixMutex(&m_AvailableMutex);
    initPosixMutex(&m_UnprocessedMutex);
    initMonotonicCond(&m_BacklogCond);
    initMonotonicCond(&m_RoomCond);
}

StreamMessagePool::~StreamMessagePool()
{
    pthread_cond_destroy(&m_BacklogCond);
    pthread_cond_destroy(&m_RoomCond);
    destroyPosixMutex(&m_AvailableMutex);
    destroyPosixMutex(&m_UnprocessedMutex);
}

void StreamMessagePool::setUnprocessedMsg(StreamMessage* msg)
{
    lockPosixMutex(&m_UnprocessedMutex);
    // A consumer that falls behind holds the producer rather than let the
    // messages pile up without bound; the timed wait only guards against a
    // consumer that stops without detaching.
    while (m_bConsumerAttached && (int)m_qUnprocessed.size() >= BACKLOG_LIMIT) {
        m_bProducerHeld = true;
        pthread_cond_signal(&m_BacklogCond);
        struct timespec at;
        deadlineIn(100, &at);
        if (pthread_cond_timedwait(&m_RoomCond, &m_UnprocessedMutex, &at) == ETIMEDOUT)
            break;
    }
    m_qUnprocessed.push_back(msg);
    int count = (int)m_qUnprocessed.size();
    m_iUnprocessedCount.store(count, std::memory_order_relaxed);
    if (count == WAKE_MARK && m_bConsumerAttached)
        pthread_cond_signal(&m_BacklogCond);
    unlockPosixMutex(&m_UnprocessedMutex);
}

StreamMessage* StreamMessagePool::getUnprocessedMsg()
{
    StreamMessage* msg = nullptr;
    lockPosixMutex(&m_UnprocessedMutex);
    if (!m_qUnprocessed.empty()) {
        msg = m_qUnprocessed.front();
        m_qUnprocessed.pop_front();
        int count = (int)m_qUnprocessed.size();
        m_iUnprocessedCount.store(count, std::memory_order_relaxed);
        if (m_bProducerHeld && count <= BACKLOG_LIMIT / 2) {
            m_bProducerHeld = false;
            pthread_cond_broadcast(&m_RoomCond);
        }
    }
    unlockPosixMutex(&m_UnprocessedMutex);
    return msg;
}

void StreamMessagePool::attachConsumer()
{
    lockPosixMutex(&m_UnprocessedMutex);
    m_bConsumerAttached = true;
    unlockPosixMutex(&m_UnprocessedMutex);
}

void StreamMessagePool::detachConsumer()
{
    lockPosixMutex(&m_UnprocessedMutex);
    m_bConsumerAttached = false;
    m_bProducerHeld = false;
    pthread_cond_broadcast(&m_RoomCond);
    unlockPosixMutex(&m_UnprocessedMutex);
}

bool StreamMessagePool::waitForBacklog(int ms)
{
    lockPosixMutex(&m_UnprocessedMutex);
    if ((int)m_qUnprocessed.size() < WAKE_MARK && ms > 0) {
        struct timespec at;
        deadlineIn(ms, &at);
        pthread_cond_timedwait(&m_BacklogCond, &m_UnprocessedMutex, &at);
    }
    bool ready = (int)m_qUnprocessed.size() >= WAKE_MARK;
    unlockPosixMutex(&m_UnprocessedMutex);
    return ready;
}

void StreamMessagePool::returnMsg(StreamMessage* msg)
{
    lockPosixMutex(&m_AvailableMutex);
    m_qAvailable.push_back(msg);
    unlockPosixMutex(&m_AvailableMutex);
}

StreamMessage* StreamMessagePool::getAvailableMsg()
{
    StreamMessage* msg = nullptr;
    lockPosixMutex(&m_AvailableMutex);
    if (!m_qAvailable.empty()) {
        msg = m_qAvailable.front();
        m_qAvailable.pop_front();
    }
    unlockPosixMutex(&m_AvailableMutex);
    return msg;
}
