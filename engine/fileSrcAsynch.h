#ifndef KORBALT_ENGINE_FILESRCASYNCH_H
#define KORBALT_ENGINE_FILESRCASYNCH_H

#include "engine/streamSrcAsynch.h"

#include <string>

// The source of an input file: ten buffers of one megabyte filled by the file reader thread,
// handed to the decoder in slices of 65536 bytes. The large reads cost the reader fewer
// calls and both threads fewer hand-offs; the decoder sees the pieces it always saw.
class FileSrcAsynch : public StreamSrcAsynch {
public:
    static constexpr int FILE_SRC_BUFFERS = 10;
    static constexpr int FILE_SRC_BUFFER_SIZE = 1048576;
    static constexpr int FILE_SRC_SLICE_SIZE = 65536;

    explicit FileSrcAsynch(const std::string& fileName);
    // Smaller or larger buffers, for tests of the buffer boundaries; a slice size of 0 hands
    // each buffer over whole.
    FileSrcAsynch(const std::string& fileName, int numBuffers, int bufferSize, int sliceSize = 0);
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
    // The reader's buffer in hand is handed over in slices of m_iSliceSize bytes (0: whole):
    // bytes [m_llSliceOffset, m_llFilledLength) of it are still to come.
    int m_iSliceSize;
    unsigned char* m_pFilled;
    long long m_llFilledLength;
    long long m_llSliceOffset;

    bool nextSlice(unsigned char** buffer, long long* length);
};

#endif
