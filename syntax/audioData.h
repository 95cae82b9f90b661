#ifndef KORBALT_SYNTAX_AUDIODATA_H
#define KORBALT_SYNTAX_AUDIODATA_H

#include <cstdint>

struct AudioData {
    uint8_t SoundFormat : 4;
    uint8_t SoundRate : 2;
    uint8_t SoundSize : 1;
    uint8_t SoundType : 1;
    uint8_t SoundData;  // copy of the second body byte (AACPacketType for AAC); 0 when absent
};

// First bytes of an audio tag body. 1 when length < 1 (record zeroed), else 0.
int fillAudioData(const unsigned char* body, AudioData* audio, long long length);

#endif
