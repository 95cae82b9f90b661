#ifndef KORBALT_ENGINE_STREAMMESSAGEPOOL_H
#define KORBALT_ENGINE_STREAMMESSAGEPOOL_H

#include <atomic>
#include <deque>
#include <pthread.h>

class StreamMessage;

// Hand-over of messages from the decoding thread to the listener. The pool does
// not own what it holds: whoever takes a message out deletes it.
class StreamMessagePool {
public:
    StreamMessagePool();
    ~StreamMessagePool();
    StreamMessagePool(const StreamMessagePool&) = delete;
    StreamMessagePool& operator=(const StreamMessagePool&) = delete;

    void setUnprocessedMsg(StreamMessage* msg);
    StreamMessage* getUnprocessedMsg();  // null when empty
    void returnMsg(StreamMessage* msg);
    StreamMessage* getAvailableMsg();
    int getUnprocessedMsgCount() const { return m_iUnprocessedCount.load(std::memory_order_relaxed); }

private:
    std::deque<StreamMessage*> m_qAvailable;
    std::deque<StreamMessage*> m_qUnprocessed;
    pthread_mutex_t m_AvailableMutex;
    pthread_mutex_t m_UnprocessedMutex;
    std::atomic<int> m_iUnprocessedCount;
};

#endif
