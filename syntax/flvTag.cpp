#include "syntax/flvTag.h"

#include "platform/debugMap.h"

#include <cstdlib>
#include <cstring>

namespace {

uint32_t read24(const unsigned char* p)
{
    return ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
}

}  // namespace

int fillFlvTag(const unsigned char* bytes, FlvTag* tag, long long length)
{
    if (!bytes || length < (long long)FLV_TAG_HEADER_SIZE) {
        memset(tag, 0, sizeof(*tag));
        return 1;
    }
    tag->TagType = bytes[0];
    tag->DataSize = read24(bytes + 1);
    tag->Timestamp = read24(bytes + 4);
    tag->TimestampExtended = bytes[7];
    tag->StreamID = read24(bytes + 8);
    return 0;
}

uint32_t getTagDataSize(const FlvTag* tag)
{
    return tag->DataSize;
}

int readFlvTag(const unsigned char* bytes, FlvTag** tag, long long length)
{
    *tag = (FlvTag*)malloc(sizeof(FlvTag));
    if (!*tag)
        return 1;
    if (fillFlvTag(bytes, *tag, length) != 0) {
        free(*tag);
        *tag = nullptr;
        return 1;
    }
    return 0;
}

void printFlvTag(const FlvTag* tag)
{
    fileLog("FlvTag +++\n");
    fileLog("TagType %u\n", (unsigned)tag->TagType);
    fileLog("DataSize %u\n", (unsigned)tag->DataSize);
    fileLog("Timestamp %u\n", (unsigned)tag->Timestamp);
    fileLog("TimestampExtended %u\n", (unsigned)tag->TimestampExtended);
    fileLog("StreamID %u\n", (unsigned)tag->StreamID);
    fileLog("FlvTag ---\n");
}
