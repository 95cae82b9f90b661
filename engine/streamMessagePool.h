#ifndef KORBALT_ENGINE_STREAMMESSAGEPOOL_H
#define KORBALT_ENGINE_STREAMMESSAGEPOOL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>
#include <pthread.h>

#include "engine/msgCallback.h"
#include "engine/streamMessage.h"

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
    static constexpr size_t RECYCLE_LIMIT = 4096;

    StreamMessagePool();
    ~StreamMessagePool();
    StreamMessagePool(const StreamMessagePool&) = delete;
    StreamMessagePool& operator=(const StreamMessagePool&) = delete;

    void setUnprocessedMsg(StreamMessage* msg);
    StreamMessage* getUnprocessedMsg();  // null when empty
    // Moves every waiting message, oldest first, to the end of out.
    void takeUnprocessedMsgs(std::deque<StreamMessage*>* out);
    void returnMsg(StreamMessage* msg);
    StreamMessage* getAvailableMsg();
    int getUnprocessedMsgCount() const { return m_iUnprocessedCount.load(std::memory_order_relaxed); }

    // Messages done with, handed back for a producer to fill again instead of
    // allocating (a damaged stream makes them by the million). The pool owns
    // them; recycleMsg is false, and keeps nothing, when RECYCLE_LIMIT are held.
    bool recycleMsg(StreamMessage* msg);
    // The same for several under one lock; those beyond the limit are deleted.
    void recycleMsgs(std::vector<StreamMessage*>* msgs);
    StreamMessage* takeRecycledMsg();  // null when none

    // Once a report lists no more warnings or errors, a full message for each
    // further packet event of that type is wasted work: after summarize(type)
    // the callbacks only count them (countPacketEvent), per PID and per event,
    // except the first one of each PID, which still comes as a message. The
    // report adds the counts in when it is written.
    static constexpr int COUNTED_PIDS = 8192;
    static constexpr int COUNTED_IDS = CB_ID_COUNT;
    void summarize(_MessageType type);
    // Producer side: true when the event was counted and needs no message.
    bool countPacketEvent(_MessageType type, int callbackId, int pid);
    uint64_t countedOfPid(_MessageType type, int pid) const;
    uint64_t countedOfId(int callbackId) const;

    // The consumer that drains the pool comes and goes; detaching releases any
    // producer held by the backlog limit.
    void attachConsumer();
    void detachConsumer();
    // Waits up to ms for WAKE_MARK waiting messages; true when they are there, or
    // when wakeConsumer asked the waiting consumer to look at once.
    bool waitForBacklog(int ms);
    void wakeConsumer();

private:
    std::deque<StreamMessage*> m_qAvailable;
    std::deque<StreamMessage*> m_qUnprocessed;
    std::vector<StreamMessage*> m_vRecycled;
    pthread_mutex_t m_AvailableMutex;
    pthread_mutex_t m_UnprocessedMutex;
    pthread_mutex_t m_RecycledMutex;
    pthread_cond_t m_BacklogCond;  // the consumer waits for a backlog
    pthread_cond_t m_RoomCond;     // a held producer waits for room
    std::atomic<int> m_iUnprocessedCount;
    bool m_bConsumerAttached;
    bool m_bProducerHeld;
    bool m_bWakeRequested;
    std::atomic<bool> m_abSummarized[2];  // warnings, errors
    // Written from the callbacks, which the registry runs one at a time under its lock,
    // and read once decoding has finished.
    std::vector<uint64_t> m_vCounted;     // per type and PID
    std::vector<bool> m_vSeen;            // a message went for this type and PID
    std::vector<uint64_t> m_vCountedOfId;
};

#endif
