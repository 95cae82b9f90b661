#ifndef KORBALT_ENGINE_AACPROCESSOR_H
#define KORBALT_ENGINE_AACPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/aacAdtsAudio.h"

// ADTS AAC (stream types 15 and 17): reports layer, sampling frequency, profile, channels
// and mode of the first ADTS header that the next one confirms.
class AacProcessor : public FramedAudioProcessor {
public:
    AacProcessor(MsgCallback* msgCallback, int pid);
    ~AacProcessor() override;

    // Twelve 1-bits: 0xFF then a byte whose high nibble is 0xF.
    int searchForSynchWord() { return searchForTwelveOnes(); }

    const AdtsFixedHeader& getHeader() const { return m_AdtsFixedHeader; }

protected:
    int findSync() override { return searchForSynchWord(); }
    int frameLength(const unsigned char* h) const override;
    bool continues(const unsigned char* h, const unsigned char* next) const override;
    void reportHeader(const unsigned char* h) override;

private:
    AdtsFixedHeader m_AdtsFixedHeader;
};

#endif
