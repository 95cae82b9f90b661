#include "syntax/soundFormats.h"

namespace {

const char* const kSoundFormats[16] = {
    "Linear PCM, platform endian",
    "ADPCM",
    "MP3",
    "Linear PCM, little endian",
    "Nellymoser 16-kHz mono",
    "Nellymoser 8-kHz mono",
    "Nellymoser",
    "G.711 A-law logarithmic PCM",
    "G.711 mu-law logarithmic PCM",
    "reserved",
    "AAC",
    "Speex",
    nullptr,
    nullptr,
    "MP3 8-kHz",
    "Device Specific Sound",
};

const char* const kSoundRates[4] = {"5.5 kHz", "11 kHz", "22 kHz", "44 kHz"};
const char* const kSoundSizes[2] = {"8 bit", "16 bit"};
const char* const kSoundTypes[2] = {"Mono", "Stereo"};

}  // namespace

const char* getTagSoundFormat(const AudioData* audio)
{
    return kSoundFormats[audio->SoundFormat & 0x0F];
}

const char* getTagSoundRate(const AudioData* audio)
{
    return kSoundRates[audio->SoundRate & 0x03];
}

const char* getTagSoundSampleSize(const AudioData* audio)
{
    return kSoundSizes[audio->SoundSize & 0x01];
}

const char* getTagSoundType(const AudioData* audio)
{
    return kSoundTypes[audio->SoundType & 0x01];
}
