#include "engine/streamMessagePool.h"
#include "platform/posixThreads.h"

StreamMessagePool::StreamMessagePool() : m_iUnprocessedCount(0)
{
    initPosixMutex(&m_AvailableMutex);
    initPosixMutex(&m_UnprocessedMutex);
}

StreamMessagePool::~StreamMessagePool()
{
    destroyPosixMutex(&m_AvailableMutex);
    destroyPosixMutex(&m_UnprocessedMutex);
}

void StreamMessagePool::setUnprocessedMsg(StreamMessage* msg)
{
    lockPosixMutex(&m_UnprocessedMutex);
    m_qUnprocessed.push_back(msg);
    m_iUnprocessedCount.store((int)m_qUnprocessed.size(), std::memory_order_relaxed);
    unlockPosixMutex(&m_UnprocessedMutex);
}

StreamMessage* StreamMessagePool::getUnprocessedMsg()
{
    StreamMessage* msg = nullptr;
    lockPosixMutex(&m_UnprocessedMutex);
    if (!m_qUnprocessed.empty()) {
        msg = m_qUnprocessed.front();
        m_qUnprocessed.pop_front();
        m_iUnprocessedCount.store((int)m_qUnprocessed.size(), std::memory_order_relaxed);
    }
    unlockPosixMutex(&m_UnprocessedMutex);
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
