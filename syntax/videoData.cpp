#include "syntax/videoData.h"

#include <cstring>

int fillVideoData(const unsigned char* body, VideoData* video, long long length)
{
    memset(video, 0, sizeof(*video));
    if (!body || length < 1)
        return 1;
    video->FrameType = body[0] >> 4;
    video->CodecID = body[0] & 0x0F;
    return 0;
}
