#ifndef KORBALT_ENGINE_AACPROCESSOR_H
#define KORBALT_ENGINE_AACPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/aacAdtsAudio.h"

// ADTS AAC (stream types 15 and 17): reports layer, sampling frequency, profile, channels
// and mode of the first valid ADTS header.
class AacProcessor : public ElemStreamProcessor {
public:
    AacProcessor(MsgCallback* msgCallback, int pid);
    ~AacProcessor() override;

    int processRawBuff(unsigned char* data, long long n) override;
    // Twelve 1-bits: 0xFF then a byte whose high nibble is 0xF.
    int searchForSynchWord() { return searchForTwelveOnes(); }

    const AdtsFixedHeader& getHeader() const { return m_AdtsFixedHeader; }
    bool isFirstHeaderPending() const { return m_ucFirstHeader != 0; }

private:
    AdtsFixedHeader m_AdtsFixedHeader;
    int m_iPid;
    unsigned char m_ucFirstHeader;
};

#endif
