#ifndef KORBALT_ENGINE_AC3PROCESSOR_H
#define KORBALT_ENGINE_AC3PROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/ac3.h"

// AC-3 (stream type 129): reports sampling rate, bit rate, coding mode, channel ordering,
// stream mode and channel count of the first valid syncframe.
class AC3Processor : public ElemStreamProcessor {
public:
    AC3Processor(MsgCallback* msgCallback, int pid);
    ~AC3Processor() override;

    int processRawBuff(unsigned char* data, long long n) override;
    // The sync word 0x0B 0x77.
    int searchForSynchWord() { return searchForAc3Sync(); }

    const Ac3SyncInfo& getSyncInfo() const { return m_Ac3SyncInfo; }
    const Ac3Bsi& getBsi() const { return m_Ac3Bsi; }
    bool isFirstHeaderPending() const { return m_ucFirstHeader != 0; }

private:
    Ac3SyncInfo m_Ac3SyncInfo;
    Ac3Bsi m_Ac3Bsi;
    int m_iPid;
    unsigned char m_ucFirstHeader;
};

#endif
