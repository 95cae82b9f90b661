#include "engine/pcmProcessor.h"

#include <cstdio>
#include <cstring>

PcmProcessor::PcmProcessor(MsgCallback* msgCallback, int pid)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_ucFirstHeader(1)
{
    memset(&m_PcmAudioHeader, 0, sizeof(m_PcmAudioHeader));
    setName("PcmProcessor");
}

PcmProcessor::~PcmProcessor() = default;

int PcmProcessor::pcmBitrate(int numberChannels, int bitsPerSample)
{
    // 16-, 20- and 24-bit samples travel in 20-, 24- and 28-bit data words.
    static const int kWordBits[3] = {20, 24, 28};
    if (numberChannels < 0 || numberChannels > 3 || bitsPerSample < 0 || bitsPerSample > 2)
        return 0;
    int channels = 2 * (numberChannels + 1);
    return 48000 * channels * kWordBits[bitsPerSample];
}

int PcmProcessor::processRawBuff(unsigned char* data, long long n)
{
    if (n > MAX_SLICE)
        return processInSlices(data, n);
    appendChunk(data, n);
    if (!m_ucPesStart) {
        m_iSearchPosition = m_iBufferLevel;
        return 1;
    }
    if (m_iSearchPosition + PCM_AUDIO_HEADER_SIZE >= m_iBufferLevel)
        return 1;  // the header is not all in yet; the next chunk retries

    fillPcmAudioHeaderInfo(m_aucWindow + m_iSearchPosition, m_iBufferLevel - m_iSearchPosition,
                           &m_PcmAudioHeader);
    m_ucPesStart = 0;
    if (m_ucFirstHeader) {
        const PcmAudioHeader& h = m_PcmAudioHeader;
        fireTextUnits(CB_MPEG2TS_PCM_AUDIO_FREQ, m_iPid, "48000", "Hz");
        fireText(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH, m_iPid, getPcmAudioChannelsNumber(h.number_channels));
        char id[16];
        snprintf(id, sizeof(id), "%d", (int)h.channel_identification);
        fireText(CB_MPEG2TS_PCM_AUDIO_CHAN_ID, m_iPid, id);
        fireTextUnits(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE, m_iPid,
                      getPcmAudioBitsPerSample(h.bits_per_sample), "bits/dataword");
        int bitrate = pcmBitrate(h.number_channels, h.bits_per_sample);
        if (bitrate > 0)
            fireValueUnits(CB_MPEG2TS_PCM_AUDIO_BITRATE, m_iPid, &bitrate, "bps");
        fireText(CB_MPEG2TS_PCM_AUDIO_MODE, m_iPid, "Not Stated");
        m_ucFirstHeader = 0;
    }
    m_iSearchPosition = m_iBufferLevel;
    return 1;
}
