#include "syntax/audioData.h"

#include <cstring>

int fillAudioData(const unsigned char* body, AudioData* audio, long long length)
{
    memset(audio, 0, sizeof(*audio));
    if (!body || length < 1)
        return 1;
    unsigned char b = body[0];
    audio->SoundFormat = b >> 4;
    audio->SoundRate = (b >> 2) & 3;
    audio->SoundSize = (b >> 1) & 1;
    audio->SoundType = b & 1;
    audio->SoundData = length >= 2 ? body[1] : 0;
    return 0;
}
