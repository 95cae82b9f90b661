#include "engine/ac3Processor.h"

#include <cstring>

AC3Processor::AC3Processor(MsgCallback* msgCallback, int pid)
    : FramedAudioProcessor(msgCallback, pid, AC3_HEADER_SIZE)
{
    memset(&m_Ac3SyncInfo, 0, sizeof(m_Ac3SyncInfo));
    memset(&m_Ac3Bsi, 0, sizeof(m_Ac3Bsi));
    setName("AC3Processor");
}

AC3Processor::~AC3Processor() = default;

int AC3Processor::frameLength(const unsigned char* h) const
{
    if (h[0] != 0x0B || h[1] != 0x77)
        return 0;
    // Reserved fscod and frame size codes give 0.
    return getAc3FrameSize(h[4] >> 6, h[4] & 0x3F);
}

bool AC3Processor::continues(const unsigned char* h, const unsigned char* next) const
{
    // Same sampling rate and bit stream identification.
    return (h[4] & 0xC0) == (next[4] & 0xC0) && (h[5] & 0xF8) == (next[5] & 0xF8);
}

void AC3Processor::reportHeader(const unsigned char* h)
{
    fillSyncInfo(h, AC3_HEADER_SIZE, &m_Ac3SyncInfo);
    fillBsi(h, AC3_HEADER_SIZE, &m_Ac3Bsi);
    const int acmod = m_Ac3Bsi.acmod;
    fireTextUnits(CB_MPEG2TS_AC3_SAMPLING_RATE, m_iPid, getSamplingRateDesc(m_Ac3SyncInfo.fscod), "Hz");
    fireTextUnits(CB_MPEG2TS_AC3_BITRATE, m_iPid, ::getBitrate(m_Ac3SyncInfo.frmsizecod), "bps");
    fireText(CB_MPEG2TS_AC3_AUDIO_CODING_MODE, m_iPid, getAcmDesc(acmod));
    fireText(CB_MPEG2TS_AC3_CH_ORDERING, m_iPid, getChArrayOrdering(acmod));
    fireText(CB_MPEG2TS_AC3_STREAM_MODE, m_iPid, getBsmDesc(m_Ac3Bsi.bsmod, acmod));
    // The low-frequency effects channel counts as one, as 5.1 is six channels.
    int channels = getNumberOfChannels(acmod) + m_Ac3Bsi.lfeon;
    fireValue(CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, m_iPid, &channels);
}
