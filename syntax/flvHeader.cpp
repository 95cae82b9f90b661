#include "syntax/flvHeader.h"

#include "platform/debugMap.h"

#include <cstdlib>
#include <cstring>

int fillFlvHeader(const unsigned char* bytes, FlvHeader* header, long long length)
{
    if (!bytes || length < (long long)FLV_HEADER_SIZE || bytes[0] != 'F' || bytes[1] != 'L' || bytes[2] != 'V') {
        memset(header, 0, sizeof(*header));
        return 1;
    }
    memcpy(header->Signature, bytes, 3);
    header->Version = bytes[3];
    header->TypeFlagsReserved_1 = bytes[4] >> 3;
    header->TypeFlagsAudio = (bytes[4] >> 2) & 1;
    header->TypeFlagsReserved_2 = (bytes[4] >> 1) & 1;
    header->TypeFlagsVideo = bytes[4] & 1;
    header->DataOffset = ((uint32_t)bytes[5] << 24) | ((uint32_t)bytes[6] << 16) | ((uint32_t)bytes[7] << 8) | bytes[8];
    return 0;
}

int readFlvHeader(const unsigned char* bytes, FlvHeader** header, long long length)
{
    *header = (FlvHeader*)malloc(sizeof(FlvHeader));
    if (!*header)
        return 1;
    if (fillFlvHeader(bytes, *header, length) != 0) {
        free(*header);
        *header = nullptr;
        return 1;
    }
    return 0;
}

uint32_t getFlvHeaderSize(const FlvHeader* header)
{
    return header->DataOffset;
}

void printFlvHeader(const FlvHeader* header)
{
    fileLog("FLV Header +++ \n");
    fileLog("Signature %c%c%c\n", header->Signature[0], header->Signature[1], header->Signature[2]);
    fileLog("Version %u\n", (unsigned)header->Version);
    fileLog("TypeFlagsReserved_1 %u\n", (unsigned)header->TypeFlagsReserved_1);
    fileLog("TypeFlagsAudio %u\n", (unsigned)header->TypeFlagsAudio);
    fileLog("TypeFlagsReserved_2 %u\n", (unsigned)header->TypeFlagsReserved_2);
    fileLog("TypeFlagsVideo %u\n", (unsigned)header->TypeFlagsVideo);
    fileLog("DataOffset %u\n", (unsigned)header->DataOffset);
    fileLog("FLV Header --- \n");
}
