#ifndef KORBALT_SYNTAX_FLVTAG_H
#define KORBALT_SYNTAX_FLVTAG_H

#include <cstdint>

const unsigned int FLV_TAG_HEADER_SIZE = 11;
const uint8_t FLV_TAG_AUDIO = 8;
const uint8_t FLV_TAG_VIDEO = 9;
const uint8_t FLV_TAG_SCRIPT = 18;

struct FlvTag {
    uint8_t TagType;
    uint32_t DataSize;   // 24 bits
    uint32_t Timestamp;  // 24 bits
    uint8_t TimestampExtended;
    uint32_t StreamID;   // 24 bits
};

// 0 with the 11 header bytes within length; else 1 with the record zeroed.
int fillFlvTag(const unsigned char* bytes, FlvTag* tag, long long length);
uint32_t getTagDataSize(const FlvTag* tag);
// Into a malloc'd record the caller frees; on failure *tag is null and 1 returned.
int readFlvTag(const unsigned char* bytes, FlvTag** tag, long long length);
void printFlvTag(const FlvTag* tag);  // to the log

#endif
