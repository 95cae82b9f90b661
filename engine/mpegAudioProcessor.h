#ifndef KORBALT_ENGINE_MPEGAUDIOPROCESSOR_H
#define KORBALT_ENGINE_MPEGAUDIOPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/mpegAudio.h"

// MPEG audio (stream types 3 and 4): reports layer, sampling frequency, mode and bit rate
// of the first valid frame header.
class MpegAudioProcessor : public ElemStreamProcessor {
public:
    MpegAudioProcessor(MsgCallback* msgCallback, int pid);
    ~MpegAudioProcessor() override;

    int processRawBuff(unsigned char* data, long long n) override;
    // Twelve 1-bits: 0xFF then a byte whose high nibble is 0xF.
    int searchForSynchWord() { return searchForTwelveOnes(); }

    const MpegAudioHeader& getHeader() const { return m_MpegAudioHeader; }
    bool isFirstHeaderPending() const { return m_ucFirstHeader != 0; }

private:
    MpegAudioHeader m_MpegAudioHeader;
    int m_iPid;
    unsigned char m_ucFirstHeader;
};

#endif
