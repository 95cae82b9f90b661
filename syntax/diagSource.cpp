#include "syntax/diagSource.h"

#include "syntax/flvHeader.h"
#include "syntax/packetBase.h"

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
    for (long long i = 0; i < length; i += TS_PACKET_SIZE) {
        if (buffer[i] != TS_SYNC_BYTE)
            return DIAG_SOURCE_UNKNOWN;
    }
    return DIAG_SOURCE_MPEG2TS;
}
