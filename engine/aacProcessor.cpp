#include "engine/aacProcessor.h"

#include <cstring>

AacProcessor::AacProcessor(MsgCallback* msgCallback, int pid)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_ucFirstHeader(1)
{
    memset(&m_AdtsFixedHeader, 0, sizeof(m_AdtsFixedHeader));
    setName("AacProcessor");
}

AacProcessor::~AacProcessor() = default;

namespace {

// ADTS always codes layer 0; indexes 12 to 15 name no sampling frequency.
bool isPlausible(const AdtsFixedHeader& h)
{
    return h.layer == 0 && h.sampling_frequency_index < 12;
}

}  // namespace

int AacProcessor::processRawBuff(unsigned char* data, long long n)
{
    auto readHeader = [this](const unsigned char* at, long avail) {
        fillAdtsFixedHeaderInfo(at, avail, &m_AdtsFixedHeader);
        if (m_ucFirstHeader && isPlausible(m_AdtsFixedHeader)) {
            const AdtsFixedHeader& h = m_AdtsFixedHeader;
            fireText(CB_MPEG2TS_AAC_AUDIO_LAYER, m_iPid, getAacAudioLayer(h.layer));
            fireTextUnits(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, m_iPid,
                          getAacAudioSamplingFreq(h.sampling_frequency_index), "Hz");
            fireText(CB_MPEG2TS_AAC_AUDIO_PROFILE, m_iPid,
                     h.ID == 1 ? getAacAudioProfile(h.profile) : getAacAudioMpeg4Profile(h.profile));
            int channels = h.channel_configuration;
            fireValue(CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS, m_iPid, &channels);
            fireText(CB_MPEG2TS_AAC_AUDIO_MODE, m_iPid, getAacAudioMode(h.channel_configuration));
            fireText(CB_MPEG2TS_AAC_AUDIO_BITRATE, m_iPid, "Variable");
            m_ucFirstHeader = 0;
        }
    };
    return scanSyncHeaders(data, n, &AacProcessor::searchForTwelveOnes, 3, 4, readHeader);
}
