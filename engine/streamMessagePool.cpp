#include "engine/streamMessagePool.h"
#include "engine/streamMessage.h"
#include "platform/posixThreads.h"

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
    : m_iUnprocessedCount(0), m_bConsumerAttached(false), m_bProducerHeld(false), m_bWakeRequested(false), m_abSummarized{{false}, {false}},
      m_vCounted(2 * COUNTED_PIDS, 0), m_vSeen(2 * COUNTED_PIDS, false), m_vCountedOfId(COUNTED_IDS, 0)
{
    initPosixMutex(&m_AvailableMutex);
    initPosixMutex(&m_UnprocessedMutex);
    initPosixMutex(&m_RecycledMutex);
    initMonotonicCond(&m_BacklogCond);
    initMonotonicCond(&m_RoomCond);
}

StreamMessagePool::~StreamMessagePool()
{
    for (StreamMessage* msg : m_vRecycled)
        delete msg;
    destroyPosixMutex(&m_RecycledMutex);
    pthread_cond_destroy(&m_BacklogCond);
    pthread_cond_destroy(&m_RoomCond);
    destroyPosixMutex(&m_AvailableMutex);
    destroyPosixMutex(&m_UnprocessedMutex);
}

void StreamMessagePool::setUnprocessedMsg(StreamMessage* msg)
{
    lockPosixMutex(&m_UnprocessedMutex);
    // A consumer that falls behind holds the producer rather than let the
    // messages pile up without bound. The consumer never produces, and it
    // detaches before it ends, which lets the producer go.
    while (m_bConsumerAttached && (int)m_qUnprocessed.size() >= BACKLOG_LIMIT) {
        m_bProducerHeld = true;
        pthread_cond_signal(&m_BacklogCond);
        pthread_cond_wait(&m_RoomCond, &m_UnprocessedMutex);
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

void StreamMessagePool::takeUnprocessedMsgs(std::deque<StreamMessage*>* out)
{
    lockPosixMutex(&m_UnprocessedMutex);
    if (out->empty())
        out->swap(m_qUnprocessed);
    else
        out->insert(out->end(), m_qUnprocessed.begin(), m_qUnprocessed.end());
    m_qUnprocessed.clear();
    m_iUnprocessedCount.store(0, std::memory_order_relaxed);
    if (m_bProducerHeld) {
        m_bProducerHeld = false;
        pthread_cond_broadcast(&m_RoomCond);
    }
    unlockPosixMutex(&m_UnprocessedMutex);
}

void StreamMessagePool::summarize(_MessageType type)
{
    if (type == MSG_TYPE_WARNING || type == MSG_TYPE_ERROR)
        m_abSummarized[type - 1].store(true, std::memory_order_relaxed);
}

bool StreamMessagePool::countPacketEvent(_MessageType type, int callbackId, int pid)
{
    if ((type != MSG_TYPE_WARNING && type != MSG_TYPE_ERROR) || pid < 0 || pid >= COUNTED_PIDS ||
        callbackId < 0 || callbackId >= COUNTED_IDS)
        return false;
    size_t at = (size_t)(type - 1) * COUNTED_PIDS + (size_t)pid;
    if (!m_vSeen[at] || !m_abSummarized[type - 1].load(std::memory_order_relaxed)) {
        m_vSeen[at] = true;
        return false;
    }
    ++m_vCounted[at];
    ++m_vCountedOfId[callbackId];
    return true;
}

uint64_t StreamMessagePool::countedOfPid(_MessageType type, int pid) const
{
    if ((type != MSG_TYPE_WARNING && type != MSG_TYPE_ERROR) || pid < 0 || pid >= COUNTED_PIDS)
        return 0;
    return m_vCounted[(size_t)(type - 1) * COUNTED_PIDS + (size_t)pid];
}

uint64_t StreamMessagePool::countedOfId(int callbackId) const
{
    return callbackId >= 0 && callbackId < COUNTED_IDS ? m_vCountedOfId[callbackId] : 0;
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
    if ((int)m_qUnprocessed.size() < WAKE_MARK && !m_bWakeRequested && ms > 0) {
        struct timespec at;
        deadlineIn(ms, &at);
        pthread_cond_timedwait(&m_BacklogCond, &m_UnprocessedMutex, &at);
    }
    bool ready = (int)m_qUnprocessed.size() >= WAKE_MARK || m_bWakeRequested;
    m_bWakeRequested = false;
    unlockPosixMutex(&m_UnprocessedMutex);
    return ready;
}

void StreamMessagePool::wakeConsumer()
{
    lockPosixMutex(&m_UnprocessedMutex);
    m_bWakeRequested = true;
    pthread_cond_broadcast(&m_BacklogCond);
    unlockPosixMutex(&m_UnprocessedMutex);
}

bool StreamMessagePool::recycleMsg(StreamMessage* msg)
{
    lockPosixMutex(&m_RecycledMutex);
    bool kept = m_vRecycled.size() < RECYCLE_LIMIT;
    if (kept)
        m_vRecycled.push_back(msg);
    unlockPosixMutex(&m_RecycledMutex);
    return kept;
}

void StreamMessagePool::recycleMsgs(std::vector<StreamMessage*>* msgs)
{
    size_t kept = 0;
    lockPosixMutex(&m_RecycledMutex);
    while (kept < msgs->size() && m_vRecycled.size() < RECYCLE_LIMIT)
        m_vRecycled.push_back((*msgs)[kept++]);
    unlockPosixMutex(&m_RecycledMutex);
    for (size_t i = kept; i < msgs->size(); ++i)
        delete (*msgs)[i];
    msgs->clear();
}

StreamMessage* StreamMessagePool::takeRecycledMsg()
{
    StreamMessage* msg = nullptr;
    lockPosixMutex(&m_RecycledMutex);
    if (!m_vRecycled.empty()) {
        msg = m_vRecycled.back();
        m_vRecycled.pop_back();
    }
    unlockPosixMutex(&m_RecycledMutex);
    return msg;
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
