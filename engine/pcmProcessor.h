#ifndef KORBALT_ENGINE_PCMPROCESSOR_H
#define KORBALT_ENGINE_PCMPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/pcmAudio.h"

// LPCM (SMPTE 302M in stream type 6): reads the 4-byte audio header at the start of each
// PES payload and reports the first one.
class PcmProcessor : public ElemStreamProcessor {
public:
    PcmProcessor(MsgCallback* msgCallback, int pid);
    ~PcmProcessor() override;

    // Always 1: there is no sync word to wait on.
    int processRawBuff(unsigned char* data, long long n) override;

    // 48000 x channels x data word bits (20, 24, 28 for 16-, 20-, 24-bit samples);
    // 0 for the reserved bits_per_sample code or a code out of range.
    static int pcmBitrate(int numberChannels, int bitsPerSample);

    const PcmAudioHeader& getHeader() const { return m_PcmAudioHeader; }

private:
    PcmAudioHeader m_PcmAudioHeader;
    int m_iPid;
    unsigned char m_ucFirstHeader;
};

#endif
