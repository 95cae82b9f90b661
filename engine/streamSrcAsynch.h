#ifndef KORBALT_ENGINE_STREAMSRCASYNCH_H
#define KORBALT_ENGINE_STREAMSRCASYNCH_H

#include "platform/posixMsgQueues.h"

#include <pthread.h>
#include <string>
#include <vector>

struct UdpDatagramTable;

// What the stream decoder reads its input through.
class StreamSrc {
public:
    virtual ~StreamSrc() = default;
    // The next filled buffer; false when none was delivered this time.
    virtual bool getRawDataBuff(unsigned char** buffer, long long* length) = 0;
};

// A source served by a worker thread through two POSIX message queues: the source posts
// empty buffers to the empty queue, the worker fills them and posts them to the full one.
class StreamSrcAsynch : public StreamSrc {
public:
    enum {
        SRC_STATE_CREATED = 0,
        SRC_STATE_RUNNING = 1,  // worker running
        SRC_STATE_ENDED = 2     // exit message sent, or end of input received
    };

    StreamSrcAsynch(int numBuffers, int bufferSize);
    ~StreamSrcAsynch() override;
    StreamSrcAsynch(const StreamSrcAsynch&) = delete;
    StreamSrcAsynch& operator=(const StreamSrcAsynch&) = delete;

    // Waits (at most about a second) for the next full buffer. False when the receive was
    // interrupted or timed out (getReceiveErrno() says EINTR or ETIMEDOUT: ask again),
    // failed otherwise (another errno: give up), brought an empty buffer (returned at once),
    // or brought the end of the input (state becomes SRC_STATE_ENDED).
    bool getRawDataBuff(unsigned char** buffer, long long* length) override;
    // Gives the buffer in hand back to the worker (with length 0). Only while running.
    virtual bool releaseRawDataBuff();
    // Creates the two queues.
    virtual bool init();
    // Tells the worker to exit (priority 30). Never waits for ever. 0 sent; 1 not running.
    virtual int stopReader();
    virtual int getPercentComplete();
    // The datagrams of the buffer in hand, for a source that keeps them apart; null
    // otherwise (the buffer is then one piece of a byte stream).
    virtual const UdpDatagramTable* getDatagramTable() const { return nullptr; }

    int getState() const { return m_iState; }
    // errno of the last getRawDataBuff whose receive failed; 0 when it did not fail.
    int getReceiveErrno() const { return m_iReceiveErrno; }
    // errno that the worker reported with its end of input (a failed open or read); 0 when clean.
    int getReaderErrno() const { return m_iReaderErrno; }
    // Why the source failed (init, start, or reading), as one line; empty when it did not.
    const std::string& getFailureText() const { return m_sFailureText; }
    const char* getEmptyQueueName() const { return m_pcEmptyQueueName; }
    const char* getFullQueueName() const { return m_pcFullQueueName; }
    int getNumBuffers() const { return m_iNumBuffers; }
    int getBufferSize() const { return m_iBufferSize; }

protected:
    bool createQueue(const char* name, int* descriptor);
    // Allocates and posts the buffers of the empty queue. On failure nothing stays lost:
    // every buffer the source allocated is freed at destruction wherever it is.
    bool fillEmptyQueue(AppMsgType type);
    bool flushAndDestroyQueue(const char* name, int* descriptor);
    // A buffer the source owns for its whole life (freed by the destructor), filled with
    // 0xFF unless fill is false.
    unsigned char* allocateBuffer(int size, bool aligned, bool fill = true);
    // Puts prefix in front of both queue names.
    void prefixQueueNames(const char* prefix);
    // Sends a control message without ever blocking for good: when the queue stays full,
    // messages are taken out of it (the source owns every buffer) until it fits.
    int sendControlMsg(int queue, AppMsgType type, unsigned int priority);
    // Joins a worker; while it has not ended, drains queue (the one the worker may be
    // waiting to send to) so that it can never stay blocked.
    void joinWorker(pthread_t thread, bool* started, int drainQueue);
    void setReaderThread(pthread_t thread) { m_ReaderThreadId = thread; m_bReaderStarted = true; }
    void setFailureText(const std::string& text);

    int m_iState;
    int m_iNumBuffers;
    int m_iBufferSize;
    pthread_t m_ReaderThreadId;
    bool m_bReaderStarted;  // a worker was started and not joined yet
    int m_iFullQueue;
    int m_iEmptyQueue;
    char m_pcEmptyQueueName[256];
    char m_pcFullQueueName[256];
    AppMsg m_CurrentMsg;            // last received from the full queue
    unsigned int m_uiCurrentPriority;
    bool m_bHoldingBuffer;          // m_CurrentMsg is a data buffer the decoder holds
    int m_iReceiveErrno;
    int m_iReaderErrno;
    std::string m_sFailureText;

private:
    std::vector<unsigned char*> m_vBuffers;  // every buffer allocated, freed at destruction
};

#endif
