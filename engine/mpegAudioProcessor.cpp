#include "engine/mpegAudioProcessor.h"

#include <cstring>

MpegAudioProcessor::MpegAudioProcessor(MsgCallback* msgCallback, int pid)
    : FramedAudioProcessor(msgCallback, pid, MPEG_AUDIO_HEADER_SIZE)
{
    memset(&m_MpegAudioHeader, 0, sizeof(m_MpegAudioHeader));
    setName("MpegAudioProcessor");
}

MpegAudioProcessor::~MpegAudioProcessor() = default;

int MpegAudioProcessor::frameLength(const unsigned char* h) const
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    // Bytes 1 and 2 decide the length, and a stream repeats a form or two (with and without
    // padding): the last two are kept, as the frames are followed one by one.
    const unsigned int key = ((unsigned int)h[1] << 8) | h[2];
    for (const LengthMemo& memo : m_aLengthMemo) {
        if (memo.key == key)
            return memo.length;
    }
    MpegAudioHeader m;
    fillHeaderInfo(h, MPEG_AUDIO_HEADER_SIZE, &m);
    LengthMemo& memo = m_aLengthMemo[m_iNextMemo];
    m_iNextMemo ^= 1;
    memo.key = key;
    memo.length = getMpegAudioFrameLength(m);
    return memo.length;
}

int MpegAudioProcessor::frameLengthAtRate(const unsigned char* h, int code) const
{
    unsigned char at[MPEG_AUDIO_HEADER_SIZE];
    memcpy(at, h, sizeof(at));
    at[2] = (unsigned char)((code << 4) | (h[2] & 0x0F));
    return frameLength(at);
}

bool MpegAudioProcessor::continues(const unsigned char* h, const unsigned char* next) const
{
    // Same version, layer and sampling frequency; a free-format stream stays free format.
    const bool freeFormat = (h[2] & 0xF0) == 0;
    return (h[1] & 0x1E) == (next[1] & 0x1E) && (h[2] & 0x0C) == (next[2] & 0x0C) &&
           freeFormat == ((next[2] & 0xF0) == 0);
}

void MpegAudioProcessor::reportHeader(const unsigned char* h)
{
    fillHeaderInfo(h, MPEG_AUDIO_HEADER_SIZE, &m_MpegAudioHeader);
    const MpegAudioHeader& m = m_MpegAudioHeader;
    fireText(CB_MPEG2TS_MPEG_AUDIO_LAYER, m_iPid, getMpegAudioLayer(m.layer));
    fireTextUnits(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, m_iPid,
                  getMpegAudioVersionSampleFreq(m.version, m.sampling_frequency), "Hz");
    fireText(CB_MPEG2TS_MPEG_AUDIO_MODE, m_iPid, getMpegAudioMode(m.mode));
    // A rate that varies has no one value to give a unit to, as for AAC.
    if (isVariableRate())
        fireTextUnits(CB_MPEG2TS_MPEG_AUDIO_BITRATE, m_iPid, "Variable", nullptr);
    else
        fireTextUnits(CB_MPEG2TS_MPEG_AUDIO_BITRATE, m_iPid,
                      getMpegAudioBitrate(m.ID, m.layer, getPrevailingRateCode()), "bps");
}
