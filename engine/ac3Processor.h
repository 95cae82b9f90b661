#ifndef KORBALT_ENGINE_AC3PROCESSOR_H
#define KORBALT_ENGINE_AC3PROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/ac3.h"

// AC-3 (stream type 129): reports sampling rate, bit rate, coding mode, channel ordering,
// stream mode and channel count of the first syncframe that the next one confirms.
class AC3Processor : public FramedAudioProcessor {
public:
    AC3Processor(MsgCallback* msgCallback, int pid);
    ~AC3Processor() override;

    // The sync word 0x0B 0x77.
    int searchForSynchWord() { return searchForAc3Sync(); }

    const Ac3SyncInfo& getSyncInfo() const { return m_Ac3SyncInfo; }
    const Ac3Bsi& getBsi() const { return m_Ac3Bsi; }

protected:
    int findSync() override { return searchForSynchWord(); }
    int frameLength(const unsigned char* h) const override;
    bool continues(const unsigned char* h, const unsigned char* next) const override;
    void reportHeader(const unsigned char* h) override;

private:
    Ac3SyncInfo m_Ac3SyncInfo;
    Ac3Bsi m_Ac3Bsi;
};

#endif
