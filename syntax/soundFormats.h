#ifndef KORBALT_SYNTAX_SOUNDFORMATS_H
#define KORBALT_SYNTAX_SOUNDFORMATS_H

#include "syntax/audioData.h"

// Texts of an audio tag's flags; constant strings, null when the code has none.
const char* getTagSoundFormat(const AudioData* audio);
const char* getTagSoundRate(const AudioData* audio);
const char* getTagSoundSampleSize(const AudioData* audio);
const char* getTagSoundType(const AudioData* audio);

#endif
