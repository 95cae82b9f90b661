#include "engine/aacProcessor.h"

#include <cstring>

AacProcessor::AacProcessor(MsgCallback* msgCallback, int pid)
    : FramedAudioProcessor(msgCallback, pid, ADTS_HEADER_SIZE)
{
    memset(&m_AdtsFixedHeader, 0, sizeof(m_AdtsFixedHeader));
    setName("AacProcessor");
}

AacProcessor::~AacProcessor() = default;

int AacProcessor::frameLength(const unsigned char* h) const
{
    AdtsFixedHeader f;
    AdtsVariableHeader v;
    fillAdtsFixedHeaderInfo(h, ADTS_HEADER_SIZE, &f);
    fillAdtsVariableHeaderInfo(h, ADTS_HEADER_SIZE, &v);
    // ADTS always codes layer 0; the length counts the header and its CRC.
    const int minimum = ADTS_HEADER_SIZE + (f.protection_absent ? 0 : 2);
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0 || f.layer != 0 ||
        f.sampling_frequency_index >= ADTS_SAMPLING_INDEXES || v.frame_length < minimum)
        return 0;
    return v.frame_length;
}

bool AacProcessor::continues(const unsigned char* h, const unsigned char* next) const
{
    // The fixed header stays the same from frame to frame (the private bit, and originality
    // and home, aside).
    return h[1] == next[1] && (h[2] & 0xFD) == (next[2] & 0xFD) && (h[3] & 0xC0) == (next[3] & 0xC0);
}

void AacProcessor::reportHeader(const unsigned char* h)
{
    fillAdtsFixedHeaderInfo(h, ADTS_HEADER_SIZE, &m_AdtsFixedHeader);
    const AdtsFixedHeader& f = m_AdtsFixedHeader;
    fireText(CB_MPEG2TS_AAC_AUDIO_LAYER, m_iPid, getAacAudioLayer(f.layer));
    fireTextUnits(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, m_iPid, getAacAudioSamplingFreq(f.sampling_frequency_index),
                  "Hz");
    fireText(CB_MPEG2TS_AAC_AUDIO_PROFILE, m_iPid,
             f.ID == 1 ? getAacAudioProfile(f.profile) : getAacAudioMpeg4Profile(f.profile));
    int channels = getAacNumberOfChannels(f.channel_configuration);
    fireValue(CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS, m_iPid, &channels);
    fireText(CB_MPEG2TS_AAC_AUDIO_MODE, m_iPid, getAacAudioMode(f.channel_configuration));
    fireText(CB_MPEG2TS_AAC_AUDIO_BITRATE, m_iPid, "Variable");
}
