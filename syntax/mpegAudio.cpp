#include "syntax/mpegAudio.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* const kLayers[] = {"Reserved", "Layer III", "Layer II", "Layer I"};
const char* const kModes[] = {"stereo", "joint stereo", "dual channel", "single channel"};

// Indexed by the version bits (0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1), then
// sampling_frequency.
const char* const kSampleFreq[4][3] = {{"11025", "12000", "8000"},
                                       {nullptr, nullptr, nullptr},
                                       {"22050", "24000", "16000"},
                                       {"44100", "48000", "32000"}};

// Indexed by ID, then layer code (1 Layer III, 2 Layer II, 3 Layer I), then bitrate_index.
const char* const kBitrates[2][4][15] = {
    // ISO/IEC 13818-3: Layers II and III share one table.
    {{nullptr},
     {"free", "8000", "16000", "24000", "32000", "40000", "48000", "56000", "64000", "80000",
      "96000", "112000", "128000", "144000", "160000"},
     {"free", "8000", "16000", "24000", "32000", "40000", "48000", "56000", "64000", "80000",
      "96000", "112000", "128000", "144000", "160000"},
     {"free", "32000", "48000", "56000", "64000", "80000", "96000", "112000", "128000",
      "144000", "160000", "176000", "192000", "224000", "256000"}},
    // ISO/IEC 11172-3.
    {{nullptr},
     {"free", "32000", "40000", "48000", "56000", "64000", "80000", "96000", "112000",
      "128000", "160000", "192000", "224000", "256000", "320000"},
     {"free", "32000", "48000", "56000", "64000", "80000", "96000", "112000", "128000",
      "160000", "192000", "224000", "256000", "320000", "384000"},
     {"free", "32000", "64000", "96000", "128000", "160000", "192000", "224000", "256000",
      "288000", "320000", "352000", "384000", "416000", "448000"}}};

const char* const kModeExtBands[] = {"bands 4 to 31", "bands 8 to 31", "bands 12 to 31",
                                     "bands 16 to 31"};
const char* const kModeExtLayer3[] = {"intensity stereo off, ms stereo off",
                                      "intensity stereo on, ms stereo off",
                                      "intensity stereo off, ms stereo on",
                                      "intensity stereo on, ms stereo on"};

// The numbers behind the rate texts, read once: a stream that is followed needs its frame
// length at every frame.
struct RateNumbers {
    long freq[4][3];
    long bitrate[2][4][15];
};

const RateNumbers& rateNumbers()
{
    static const RateNumbers numbers = [] {
        RateNumbers n;
        memset(&n, 0, sizeof(n));
        for (int v = 0; v < 4; v++)
            for (int s = 0; s < 3; s++)
                n.freq[v][s] = kSampleFreq[v][s] ? atol(kSampleFreq[v][s]) : 0;
        for (int id = 0; id < 2; id++)
            for (int layer = 1; layer < 4; layer++)
                for (int k = 1; k < 15; k++)
                    n.bitrate[id][layer][k] = atol(kBitrates[id][layer][k]);
        return n;
    }();
    return numbers;
}

}  // namespace

int fillHeaderInfo(const unsigned char* p, long length, MpegAudioHeader* header)
{
    memset(header, 0, sizeof(*header));
    if (p == nullptr || length < MPEG_AUDIO_HEADER_SIZE)
        return 1;
    header->version = (p[1] >> 3) & 0x03;
    header->ID = (p[1] >> 3) & 0x01;
    header->layer = (p[1] >> 1) & 0x03;
    header->protection_bit = p[1] & 0x01;
    header->bitrate_index = (p[2] >> 4) & 0x0F;
    header->sampling_frequency = (p[2] >> 2) & 0x03;
    header->padding_bit = (p[2] >> 1) & 0x01;
    header->mode = (p[3] >> 6) & 0x03;
    header->mode_extension = (p[3] >> 4) & 0x03;
    return 0;
}

const char* getMpegAudioLayer(int layer)
{
    return (layer >= 0 && layer < 4) ? kLayers[layer] : nullptr;
}

const char* getMpegAudioSampleFreq(int id, int sampling_frequency)
{
    if (id < 0 || id > 1)
        return nullptr;
    return getMpegAudioVersionSampleFreq(id ? 3 : 2, sampling_frequency);
}

const char* getMpegAudioVersionSampleFreq(int version, int sampling_frequency)
{
    if (version < 0 || version > 3 || sampling_frequency < 0 || sampling_frequency > 2)
        return nullptr;
    return kSampleFreq[version][sampling_frequency];
}

const char* getMpegAudioMode(int mode)
{
    return (mode >= 0 && mode < 4) ? kModes[mode] : nullptr;
}

const char* getMpegAudioBitrate(int id, int layer, int bitrate_index)
{
    if (id < 0 || id > 1 || layer < 1 || layer > 3 || bitrate_index < 0 || bitrate_index > 14)
        return nullptr;
    return kBitrates[id][layer][bitrate_index];
}

int getMpegAudioFrameLength(const MpegAudioHeader& header)
{
    if (header.version > 3 || header.sampling_frequency > 2 || header.ID > 1 || header.layer < 1 ||
        header.layer > 3 || header.bitrate_index > 14)
        return 0;
    const RateNumbers& numbers = rateNumbers();
    const long fs = numbers.freq[header.version][header.sampling_frequency];
    if (fs == 0)
        return 0;
    if (header.bitrate_index == 0)
        return -1;
    // MPEG-2.5 has no table of its own: it uses the lower sampling frequencies' one.
    const long bps = numbers.bitrate[header.ID][header.layer][header.bitrate_index];
    if (header.layer == 3)  // Layer I: 384 samples in 4-byte slots
        return (int)((12 * bps / fs + header.padding_bit) * 4);
    // 1152 samples, except Layer III at the lower frequencies: 576.
    long perFrame = (header.layer == 1 && header.ID == 0) ? 72 : 144;
    return (int)(perFrame * bps / fs + header.padding_bit);
}

const char* getMpegAudioModeExtension(int layer, int mode_extension)
{
    if (mode_extension < 0 || mode_extension > 3)
        return nullptr;
    if (layer == 1)
        return kModeExtLayer3[mode_extension];
    if (layer == 2 || layer == 3)
        return kModeExtBands[mode_extension];
    return nullptr;
}
