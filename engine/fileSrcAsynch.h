#ifndef KORBALT_ENGINE_FILESRCASYNCH_H
#define KORBALT_ENGINE_FILESRCASYNCH_H

#include "engine/streamSrcAsynch.h"

#include <string>

// The source of an input file: ten buffers of 65536 bytes filled by the file reader thread.
class FileSrcAsynch : public StreamSrcAsynch {
public:
    static const int FILE_SRC_BUFFERS = 10;
    static const int FILE_SRC_BUFFER_SIZE = 65536;

    explicit FileSrcAsynch(const std::string& fileName);
    // Smaller or larger buffers, for tests of the buffer boundaries.
    FileSrcAsynch(const std::string& fileName, int numBuffers, int bufferSize);
    ~FileSrcAsynch() override;

    bool getRawDataBuff(unsigned char** buffer, long long* length) override;
    // Gives the buffer in hand back, RELEASE_BATCH at a time: the reader, which waits for
    // empty buffers while the decoder works, then wakes once per batch instead of once per
    // buffer. Buffers held back are never lost: the source frees every buffer it made.
    bool releaseRawDataBuff() override;
    static const int RELEASE_BATCH = 4;
    // Refuses an input that cannot be opened or is not a regular file (failure text
    // "cannot open input file NAME: REASON"), then creates the queues and posts the buffers.
    bool init() override;
    int getPercentComplete() override;

    // 0 started, else the reader start's result (the failure text says why).
    int startFileReader();

    const std::string& getFileName() const { return m_sFileName; }
    long long getFileSize() const { return m_llFileSize; }
    long long getBytesDelivered() const { return m_llBytesDelivered; }

private:
    std::string m_sFileName;
    long long m_llFileSize;
    long long m_llBytesDelivered;
    AppMsg m_aReleased[RELEASE_BATCH];  // given back, not yet sent to the reader
    unsigned int m_auiReleasedPriority[RELEASE_BATCH];
    int m_iReleased;
};

#endif
