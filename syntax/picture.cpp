#include "syntax/picture.h"

#include <cstring>

int fillPictureHeader(const unsigned char* p, long length, PictureHeader* h)
{
    memset(h, 0, sizeof(*h));
    if (p == nullptr || length < PICTURE_HEADER_SIZE)
        return 1;
    h->temporal_reference = ((unsigned int)p[4] << 2) | (p[5] >> 6);
    h->picture_coding_type = (p[5] >> 3) & 0x07;
    h->vbv_delay = (unsigned short)(((p[5] & 0x07) << 13) | (p[6] << 5) | (p[7] >> 3));
    return 0;
}

int fillPictureCodingExtension(const unsigned char* p, long length, PictureCodingExtension* e)
{
    memset(e, 0, sizeof(*e));
    if (p == nullptr || length < PICTURE_CODING_EXTENSION_SIZE)
        return 1;
    e->picture_structure = p[6] & 0x03;
    return 0;
}

const char* getPicTypeDesc(int picture_coding_type)
{
    switch (picture_coding_type) {
    case 1:
        return "I";
    case 2:
        return "P";
    case 3:
        return "B";
    case 4:
        return "DC Intra Coded";
    default:
        return nullptr;
    }
}
