#ifndef KORBALT_SYNTAX_PICTURE_H
#define KORBALT_SYNTAX_PICTURE_H

// H.262 picture header (start code 0x00) and picture coding extension (0xB5, identifier 8).

const int PICTURE_HEADER_SIZE = 8;
const int PICTURE_CODING_EXTENSION_SIZE = 7;  // bytes read here, not the whole extension

struct PictureHeader {
    unsigned int temporal_reference;   // 10 bits
    unsigned char picture_coding_type; // 3 bits
    unsigned short vbv_delay;          // 16 bits
};

struct PictureCodingExtension {
    unsigned int picture_structure;    // 1 top field, 2 bottom field, 3 frame
};

// p points at the start code; 0 when filled, 1 when the bytes are not all there
// (record zeroed).
int fillPictureHeader(const unsigned char* p, long length, PictureHeader* header);
int fillPictureCodingExtension(const unsigned char* p, long length, PictureCodingExtension* ext);

// 1 "I", 2 "P", 3 "B", 4 "DC Intra Coded"; null otherwise.
const char* getPicTypeDesc(int picture_coding_type);

#endif
