#include "syntax/aacAdtsAudio.h"

#include <cstring>

namespace {

const char* const kLayers[] = {"Reserved", "Layer III", "Layer II", "Layer I"};
const char* const kSamplingFreq[] = {"96000", "88200", "64000", "48000", "44100", "32000",
                                     "24000", "22050", "16000", "12000", "11025", "8000",
                                     "7350",     "Reserved", "Reserved", "Reserved"};
const char* const kProfiles[] = {"Main", "Low Complexity (LC)", "Scalable Sampling Rate (SSR)",
                                 "Reserved"};
const char* const kMpeg4Profiles[] = {"AAC Main", "AAC LC", "AAC SSR", "AAC LTP"};
const int kPredSfbMax[] = {33, 33, 38, 40, 40, 40, 41, 41, 37, 37, 37, 34};

template <int N>
const char* lookup(const char* const (&table)[N], int code)
{
    return (code >= 0 && code < N) ? table[code] : nullptr;
}

}  // namespace

int fillAdtsFixedHeaderInfo(const unsigned char* p, long length, AdtsFixedHeader* header)
{
    memset(header, 0, sizeof(*header));
    if (p == nullptr || length < ADTS_FIXED_HEADER_SIZE)
        return 1;
    header->ID = (p[1] >> 3) & 0x01;
    header->layer = (p[1] >> 1) & 0x03;
    header->protection_absent = p[1] & 0x01;
    header->profile = (p[2] >> 6) & 0x03;
    header->sampling_frequency_index = (p[2] >> 2) & 0x0F;
    header->private_bit = (p[2] >> 1) & 0x01;
    header->channel_configuration = (unsigned char)(((p[2] & 0x01) << 2) | ((p[3] >> 6) & 0x03));
    header->original_copy = (p[3] >> 5) & 0x01;
    header->home = (p[3] >> 4) & 0x01;
    return 0;
}

int fillAdtsVariableHeaderInfo(const unsigned char* p, long length, AdtsVariableHeader* header)
{
    memset(header, 0, sizeof(*header));
    if (p == nullptr || length < ADTS_HEADER_SIZE)
        return 1;
    header->copyright_identification_bit = (p[3] >> 3) & 0x01;
    header->copyright_identification_start = (p[3] >> 2) & 0x01;
    header->frame_length = (unsigned short)(((p[3] & 0x03) << 11) | (p[4] << 3) | (p[5] >> 5));
    header->adts_buffer_fullness = (unsigned short)(((p[5] & 0x1F) << 6) | (p[6] >> 2));
    header->number_of_raw_data_blocks_in_frame = p[6] & 0x03;
    return 0;
}

const char* getAacAudioLayer(int layer)
{
    return lookup(kLayers, layer);
}

const char* getAacAudioSamplingFreq(int sampling_frequency_index)
{
    return lookup(kSamplingFreq, sampling_frequency_index);
}

const char* getAacAudioProfile(int profile)
{
    return lookup(kProfiles, profile);
}

const char* getAacAudioMpeg4Profile(int profile)
{
    return lookup(kMpeg4Profiles, profile);
}

const char* getAacAudioMode(int channel_configuration)
{
    switch (channel_configuration) {
    case 1:
        return "mono";
    case 2:
    case 3:
        return "stereo";
    case 4:
    case 5:
    case 6:
    case 7:
        return "surround";
    default:
        return "unknown";
    }
}

int getAacNumberOfChannels(int channel_configuration)
{
    if (channel_configuration < 0 || channel_configuration > 7)
        return -1;
    return channel_configuration == 7 ? 8 : channel_configuration;
}

int getPredSfbMax(int sampling_frequency_index)
{
    if (sampling_frequency_index < 0 || sampling_frequency_index >= 12)
        return -1;
    return kPredSfbMax[sampling_frequency_index];
}
