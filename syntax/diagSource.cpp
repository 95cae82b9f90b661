#include "syntax/diagSource.h"

#include "syntax/flvHeader.h"
#include "syntax/packetBase.h"

#include <cstring>

int diagSourceStreamType(const unsigned char* buffer, int length)
{
    if (!buffer || length < 1)
        return DIAG_SOURCE_UNKNOWN;

    FlvHeader header;
    if (fillFlvHeader(buffer, &header, length) == 0)
        return DIAG_SOURCE_FLV;

    // At least one whole packet, and a sync byte at every packet start in the buffer.
    if (length < (int)TS_PACKET_SIZE)
        return DIAG_SOURCE_UNKNOWN;
    bool everyStart = true;
    for (long long i = 0; i < length && everyStart; i += TS_PACKET_SIZE)
        everyStart = buffer[i] == TS_SYNC_BYTE;
    if (everyStart)
        return DIAG_SOURCE_MPEG2TS;
    // Leading garbage, a capture cut mid-packet or a damaged sync byte: the grid further on.
    return diagSourceFindPacketGrid(buffer, length) >= 0 ? DIAG_SOURCE_MPEG2TS : DIAG_SOURCE_UNKNOWN;
}

int diagSourceFindPacketGrid(const unsigned char* buffer, int length)
{
    if (!buffer)
        return -1;
    const int span = (DIAG_SOURCE_GRID_SYNC_BYTES - 1) * (int)TS_PACKET_SIZE;
    for (int o = 0; o + span < length; ++o) {
        const void* hit = memchr(buffer + o, TS_SYNC_BYTE, (size_t)(length - span - o));
        if (!hit)
            return -1;
        o = (int)((const unsigned char*)hit - buffer);
        int k = 1;
        while (k < DIAG_SOURCE_GRID_SYNC_BYTES && buffer[o + k * TS_PACKET_SIZE] == TS_SYNC_BYTE)
            ++k;
        if (k == DIAG_SOURCE_GRID_SYNC_BYTES)
            return o;
    }
    return -1;
}
