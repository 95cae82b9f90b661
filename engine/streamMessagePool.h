#ifndef KORBALT_ENGINE_STREAMMESSAGEPOOL_H
#define KORBALT_ENGINE_STREAMMESSAGEPOOL_H

#include <atomic>
#include <deque>
#include <pthread.h>

class StreamMessage;

// Hand-over of messages from the decoding thread to the listener. The pool does
// not own what it holds: whoever takes a message out deletes it.
//
// A consumer that attaches keeps the backlog bounded: it is woken once WAKE_MARK
// messages wait, and while BACKLOG_LIMIT wait a producer is held until the
// consumer has taken half of them. Without an attached consumer nothing blocks.
class StreamMessagePool {
public:
    static constexpr int WAKE_MARK = 1024;
    static constexpr int BACKLOG_LIMIT = 16384;

    StreamMessagePool();
    ~StreamMessagePool();
    StreamMessagePool(const StreamMessagePool&) = delete;
    StreamMessagePool& operator=(const StreamMessagePool&) = delete;

    void setUnprocessedMsg(StreamMessage* msg);
    StreamMessage* getUnprocessedMsg();  // null when empty
    void returnMsg(StreamMessage* msg);
    StreamMessage* getAvailableMsg();
    int getUnprocessedMsgCount() const { return m_iUnprocessedCount.load(std::memory_order_relaxed); }

    // The consumer that drains the pool comes and goes; detaching releases any
    // producer held by the backlog limit.
    void attachConsumer();
    void detachConsumer();
    // Waits up to ms for WAKE_MARK waiting messages; true when they are there.
    bool waitForBacklog(int ms);

private:
    std::deque<StreamMessage*> m_qAvailable;
    std::deque<StreamMessage*> m_qUnprocessed;
    pthread_mutex_t m_AvailableMutex;
    pthread_mutex_t m_UnprocessedMutex;
    pthread_cond_t m_BacklogCond;  // the consumer waits for a backlog
    pthread_cond_t m_RoomCond;     // a held producer waits for room
    std::atomic<int> m_iUnprocessedCount;
    bool m_bConsumerAttached;
    bool m_bProducerHeld;
};

#endif
