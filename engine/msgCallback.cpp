#include "engine/msgCallback.h"
#include "engine/streamMessagePool.h"
#include "platform/posixThreads.h"

static bool validId(int id)
{
    return id >= 0 && id < CB_ID_COUNT;
}

MsgCallback::MsgCallback() : m_pMsgPool(nullptr)
{
    for (auto& slot : m_vCallbacks)
        slot.store(nullptr);
    initPosixMutex(&m_Mutex);
    m_pMsgPool = new StreamMessagePool();
}

MsgCallback::~MsgCallback()
{
    nullAllCallbacks();
    destroyPosixMutex(&m_Mutex);
    delete m_pMsgPool;
}

int MsgCallback::registerMsgCallback(_CallbackId id, MsgCallbackFunction fn, bool repeat)
{
    if (!validId(id))
        return 0;
    CallbackFunctionAttr* attr = new CallbackFunctionAttr{fn, repeat, false};
    lockPosixMutex(&m_Mutex);
    CallbackFunctionAttr* old = m_vCallbacks[id].exchange(attr);
    unlockPosixMutex(&m_Mutex);
    delete old;
    return 1;
}

int MsgCallback::unregisterMsgCallback(_CallbackId id)
{
    if (!validId(id))
        return 0;
    lockPosixMutex(&m_Mutex);
    CallbackFunctionAttr* old = m_vCallbacks[id].exchange(nullptr);
    unlockPosixMutex(&m_Mutex);
    delete old;
    return 1;
}

int MsgCallback::callMsgCallback(_CallbackId id, void* data)
{
    if (!validId(id))
        return 0;
    if (!m_vCallbacks[id].load(std::memory_order_acquire))
        return 1;
    lockPosixMutex(&m_Mutex);
    CallbackFunctionAttr* attr = m_vCallbacks[id].load(std::memory_order_relaxed);
    if (attr && !attr->fired && attr->function) {
        attr->function(data, m_pMsgPool);
        if (!attr->repeat)
            attr->fired = true;
    }
    unlockPosixMutex(&m_Mutex);
    return 1;
}

void MsgCallback::nullAllCallbacks()
{
    for (auto& slot : m_vCallbacks)
        delete slot.exchange(nullptr);
}
