#include "engine/ac3Processor.h"

#include <cstring>

AC3Processor::AC3Processor(MsgCallback* msgCallback, int pid)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_ucFirstHeader(1)
{
    memset(&m_Ac3SyncInfo, 0, sizeof(m_Ac3SyncInfo));
    memset(&m_Ac3Bsi, 0, sizeof(m_Ac3Bsi));
    setName("AC3Processor");
}

AC3Processor::~AC3Processor() = default;

namespace {

// 0x0B77 also turns up inside frames; fscod 3 and frame size codes from 38 on are reserved.
bool isPlausible(const Ac3SyncInfo& s)
{
    return s.fscod != 3 && s.frmsizecod < 38;
}

}  // namespace

int AC3Processor::processRawBuff(unsigned char* data, long long n)
{
    auto readHeader = [this](const unsigned char* at, long avail) {
        fillSyncInfo(at, avail, &m_Ac3SyncInfo);
        fillBsi(at, avail, &m_Ac3Bsi);
        if (m_ucFirstHeader && isPlausible(m_Ac3SyncInfo)) {
            int fscod = m_Ac3SyncInfo.fscod;
            int frmsizecod = m_Ac3SyncInfo.frmsizecod;
            int acmod = m_Ac3Bsi.acmod;
            fireTextUnits(CB_MPEG2TS_AC3_SAMPLING_RATE, m_iPid, getSamplingRateDesc(fscod), "Hz");
            fireTextUnits(CB_MPEG2TS_AC3_BITRATE, m_iPid, ::getBitrate(frmsizecod), "bps");
            fireText(CB_MPEG2TS_AC3_AUDIO_CODING_MODE, m_iPid, getAcmDesc(acmod));
            fireText(CB_MPEG2TS_AC3_CH_ORDERING, m_iPid, getChArrayOrdering(acmod));
            fireText(CB_MPEG2TS_AC3_STREAM_MODE, m_iPid, getBsmDesc(m_Ac3Bsi.bsmod, acmod));
            int channels = getNumberOfChannels(acmod);
            fireValue(CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, m_iPid, &channels);
            m_ucFirstHeader = 0;
        }
    };
    return scanSyncHeaders(data, n, &AC3Processor::searchForAc3Sync, AC3_HEADER_SIZE, 1,
                           readHeader);
}
