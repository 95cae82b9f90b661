#ifndef KORBALT_ENGINE_FILESRCASYNCH_H
#define KORBALT_ENGINE_FILESRCASYNCH_H

#include "engine/streamSrcAsynch.h"

#include <string>

// The source of an input file: buffers of a megabyte filled by the file reader thread,
// handed out in slices of 65536 bytes. Large reads keep the hand-overs between the threads
// (a send, a receive and a wake-up each) rare; the slices keep everything the decoder does
// once per delivery (abort poll, percentage, the processor's duration limit and heartbeat
// clock read) as fine-grained as with small buffers.
class FileSrcAsynch : public StreamSrcAsynch {
public:
    static const int FILE_SRC_BUFFERS = 4;
    static const int FILE_SRC_BUFFER_SIZE = 1 << 20;
    static const int FILE_SRC_SLICE_SIZE = 65536;

    explicit FileSrcAsynch(const std::string& fileName);
    // Smaller or larger buffers, for tests of the buffer boundaries. Slices are
    // FILE_SRC_SLICE_SIZE bytes, or the whole buffer when that is smaller.
    FileSrcAsynch(const std::string& fileName, int numBuffers, int bufferSize);
    ~FileSrcAsynch() override;

    // The next slice of the buffer in hand, or of the next full buffer.
    bool getRawDataBuff(unsigned char** buffer, long long* length) override;
    // Done with the slice handed out; the buffer goes back to the reader after its last one.
    bool releaseRawDataBuff() override;
    // Refuses an input that cannot be opened or is not a regular file (failure text
    // "cannot open input file NAME: REASON"), then creates the queues and posts the buffers.
    bool init() override;
    int getPercentComplete() override;

    // 0 started, else the reader start's result (the failure text says why).
    int startFileReader();

    const std::string& getFileName() const { return m_sFileName; }
    long long getFileSize() const { return m_llFileSize; }
    long long getBytesDelivered() const { return m_llBytesDelivered; }
    int getSliceSize() const { return m_iSliceSize; }

private:
    std::string m_sFileName;
    long long m_llFileSize;
    long long m_llBytesDelivered;
    int m_iSliceSize;
    unsigned char* m_pHeldData;  // the buffer in hand, while slices of it remain
    long long m_llHeldLength;
    long long m_llHeldOffset;    // end of the slices handed out so far
};

#endif
