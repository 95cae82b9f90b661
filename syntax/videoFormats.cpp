#include "syntax/videoFormats.h"

namespace {

const char* const kFrameTypes[6] = {
    nullptr,
    "Key Frame (for AVC, a seekable frame)",
    "Inter Frame (for AVC, non-seekable frame)",
    "Disposable Inter Frame (H.263 only)",
    "Generated Keyframe (reserved for server use only)",
    "Video Info/Command Frame",
};

const char* const kCodecIds[8] = {
    nullptr,
    "JPEG (currently unused)",
    "Sorenson H.263",
    "Screen Video",
    "On2 VP6",
    "On2 VP6 with alpha channel",
    "Screen Video Version 2",
    "AVC",
};

}  // namespace

const char* getTagFrameType(const VideoData* video)
{
    unsigned int t = video->FrameType;
    return t < 6 ? kFrameTypes[t] : nullptr;
}

const char* getTagCodecId(const VideoData* video)
{
    unsigned int c = video->CodecID;
    return c < 8 ? kCodecIds[c] : nullptr;
}
