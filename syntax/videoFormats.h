#ifndef KORBALT_SYNTAX_VIDEOFORMATS_H
#define KORBALT_SYNTAX_VIDEOFORMATS_H

#include "syntax/videoData.h"

// Texts of a video tag's flags; constant strings, null when the code has none.
const char* getTagFrameType(const VideoData* video);
const char* getTagCodecId(const VideoData* video);

#endif
