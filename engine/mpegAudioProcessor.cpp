#include "engine/mpegAudioProcessor.h"

#include <cstring>

MpegAudioProcessor::MpegAudioProcessor(MsgCallback* msgCallback, int pid)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_ucFirstHeader(1)
{
    memset(&m_MpegAudioHeader, 0, sizeof(m_MpegAudioHeader));
    setName("MpegAudioProcessor");
}

MpegAudioProcessor::~MpegAudioProcessor() = default;

namespace {

// Twelve 1-bits also turn up inside frames; a header with reserved codes is not one.
bool isPlausible(const MpegAudioHeader& h)
{
    return h.layer != 0 && h.bitrate_index != 15 && h.sampling_frequency != 3;
}

}  // namespace

int MpegAudioProcessor::processRawBuff(unsigned char* data, long long n)
{
    auto readHeader = [this](const unsigned char* at, long avail) {
        fillHeaderInfo(at, avail, &m_MpegAudioHeader);
        if (m_ucFirstHeader && isPlausible(m_MpegAudioHeader)) {
            const MpegAudioHeader& h = m_MpegAudioHeader;
            fireText(CB_MPEG2TS_MPEG_AUDIO_LAYER, m_iPid, getMpegAudioLayer(h.layer));
            fireTextUnits(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, m_iPid,
                          getMpegAudioSampleFreq(h.ID, h.sampling_frequency), "Hz");
            fireText(CB_MPEG2TS_MPEG_AUDIO_MODE, m_iPid, getMpegAudioMode(h.mode));
            fireTextUnits(CB_MPEG2TS_MPEG_AUDIO_BITRATE, m_iPid,
                          getMpegAudioBitrate(h.ID, h.layer, h.bitrate_index), "bps");
            m_ucFirstHeader = 0;
        }
    };
    return scanSyncHeaders(data, n, &MpegAudioProcessor::searchForTwelveOnes,
                           MPEG_AUDIO_HEADER_SIZE, 1, readHeader);
}
