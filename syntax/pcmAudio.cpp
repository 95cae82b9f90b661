#include "syntax/pcmAudio.h"

#include <cstring>

namespace {

const char* const kChannels[] = {"2", "4", "6", "8"};
const char* const kBitsPerSample[] = {"16", "20", "24", "Reserved"};

}  // namespace

int fillPcmAudioHeaderInfo(const unsigned char* p, long length, PcmAudioHeader* header)
{
    memset(header, 0, sizeof(*header));
    if (p == nullptr || length < PCM_AUDIO_HEADER_SIZE)
        return 1;
    header->audio_packet_size = ((unsigned int)p[0] << 8) | p[1];
    header->number_channels = (p[2] >> 6) & 0x03;
    header->channel_identification = (unsigned char)(((p[2] & 0x3F) << 2) | ((p[3] >> 6) & 0x03));
    header->bits_per_sample = (p[3] >> 4) & 0x03;
    header->alignment_bits = p[3] & 0x0F;
    return 0;
}

const char* getPcmAudioChannelsNumber(int number_channels)
{
    return (number_channels >= 0 && number_channels < 4) ? kChannels[number_channels] : nullptr;
}

const char* getPcmAudioBitsPerSample(int bits_per_sample)
{
    return (bits_per_sample >= 0 && bits_per_sample < 4) ? kBitsPerSample[bits_per_sample]
                                                         : nullptr;
}
