#ifndef KORBALT_ENGINE_MPEGAUDIOPROCESSOR_H
#define KORBALT_ENGINE_MPEGAUDIOPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/mpegAudio.h"

// MPEG audio (stream types 3 and 4): reports layer, sampling frequency, mode and bit rate
// of the first frame header that the next one confirms, at the end of the run. Layer III may
// change its bit rate from frame to frame: the bit rate is "Variable" once two rates are each
// carried by two confirmed frames or more, else the rate that most frames carry. A followed frame
// longer than at the rate its predecessor in the chain was counted at, with a header that
// continues the chain where that rate ends it, had its rate field damaged: it counts at that rate.
class MpegAudioProcessor : public FramedAudioProcessor {
public:
    MpegAudioProcessor(MsgCallback* msgCallback, int pid);
    ~MpegAudioProcessor() override;

    // Eleven 1-bits: 0xFF then a byte whose top three bits are set (MPEG-2.5 clears the
    // twelfth).
    int searchForSynchWord() { return searchForElevenOnes(); }

    const MpegAudioHeader& getHeader() const { return m_MpegAudioHeader; }

protected:
    int findSync() override { return searchForSynchWord(); }
    int frameLength(const unsigned char* h) const override;
    int frameLengthAtRate(const unsigned char* h, int code) const override;
    bool continues(const unsigned char* h, const unsigned char* next) const override;
    int rateCode(const unsigned char* h) const override { return h[2] >> 4; }  // bitrate_index
    void reportHeader(const unsigned char* h) override;

private:
    struct LengthMemo {
        unsigned int key;  // bytes 1 and 2 of the header; 0 for none (no header has it)
        int length;
    };

    MpegAudioHeader m_MpegAudioHeader;
    mutable LengthMemo m_aLengthMemo[2] = {};
    mutable int m_iNextMemo = 0;
};

#endif
