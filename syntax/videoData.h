#ifndef KORBALT_SYNTAX_VIDEODATA_H
#define KORBALT_SYNTAX_VIDEODATA_H

#include <cstdint>

struct VideoData {
    uint8_t FrameType : 4;
    uint8_t CodecID : 4;
};

// First byte of a video tag body. 1 when length < 1 (record zeroed), else 0.
int fillVideoData(const unsigned char* body, VideoData* video, long long length);

#endif
