#ifndef KORBALT_ENGINE_NTWKSRCASYNCH_H
#define KORBALT_ENGINE_NTWKSRCASYNCH_H

#include "engine/streamSrcAsynch.h"

#include <cstdint>
#include <pthread.h>
#include <string>

// The source of a live UDP stream: each reader buffer carries the datagrams that arrived
// within a few milliseconds, back to back, with a table that tells them apart. With the
// copy to disk on, it gathers the bytes into writer buffers of bufferSize bytes and hands
// each full one to the file writer thread.
class NtwkSrcAsynch : public StreamSrcAsynch {
public:
    // Room for many datagrams (and the reader keeps room for a whole one of 64 KB).
    static const int READER_BUFFER_SIZE = 1024 * 1024;
    // Tens of megabytes: the decoder may be held up for a while at hundreds of Mbit/s.
    static const int SOCKET_RECV_BUFFER = 32 * 1024 * 1024;

    NtwkSrcAsynch(unsigned int address, uint16_t port, unsigned int interfaceAddress, std::string dumpPrefix,
                  int numBuffers, int bufferSize, bool saveToDisk, bool diskDirect);
    ~NtwkSrcAsynch() override;

    // With the copy on, copies the buffer in hand into writer buffers first.
    bool releaseRawDataBuff() override;
    bool init() override;
    // With the copy on, also hands the partly filled writer buffer to the writer, then
    // tells the writer to exit after everything queued before.
    int stopReader() override;
    // The table of the buffer in hand; null when it does not match the buffer.
    const UdpDatagramTable* getDatagramTable() const override;

    // 0 started; 4 socket or join failure (the failure text names the address and reason).
    int startNtwkReader();
    // 0 started; otherwise the writer's start result (failure text set).
    int startFileWriter();

    const char* getStreamLabel() const { return m_acStreamLabel; }
    const std::string& getFileWriterFileName() const { return m_pcFileWriterFileName; }
    const std::string& getFileWriterQueueName() const { return m_pcFileWriterQueueName; }
    const std::string& getFileWriterReturnQueueName() const { return m_sFileWriterReturnQueueName; }
    bool isSavingToDisk() const { return m_bSaveToDisk; }
    // Bytes copied into writer buffers so far.
    long long getBytesCopied() const { return m_llBytesCopied; }

private:
    // A writer buffer to fill, from the return queue; waits while the writer is alive.
    bool takeWriterBuffer();
    // Hands the held writer buffer (its length set) to the writer.
    bool sendWriterBuffer();
    // Tells the writer to end after everything queued before; 0 sent.
    int sendWriterExit();
    // Hands the partly filled writer buffer over and tells the writer to end (once).
    int finishCopy();
    // Stops copying after the writer failed; what the analysis sees goes on.
    void giveUpCopy(const char* why);
    bool writerAlive();

    bool m_bSaveToDisk;
    bool m_bDiskDirect;  // direct writes, with the writer in pause mode (it writes after SIGUSR2)
    bool m_bCopyFailed;  // the writer failed: the analysis goes on without the copy
    int m_iNtwkNumBuffers;
    int m_iNtwkBufferSize;
    std::string m_pcFileWriterFileName;
    std::string m_pcFileWriterQueueName;       // buffers to be written
    std::string m_sFileWriterReturnQueueName;  // written (empty) writer buffers
    unsigned int m_uiInterfaceAddress;
    unsigned int m_uiStreamAddress;
    uint16_t m_usPort;
    int m_iWriterQueue;        // to the writer
    int m_iWriterReturnQueue;  // from the writer
    pthread_t m_WriterThreadId;
    bool m_bWriterStarted;
    bool m_bWriterEnded;
    AppMsg m_WriterMsg;  // type 10 while no writer buffer is held
    unsigned int m_uiWriterPriority;
    int m_iFillPosition;
    long long m_llBytesCopied;
    char m_acStreamLabel[64];
};

#endif
