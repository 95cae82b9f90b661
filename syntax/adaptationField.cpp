#include "syntax/adaptationField.h"

#include "syntax/packetBase.h"

#include <cstring>

namespace {

// 33-bit base and 9-bit extension from six bytes.
uint64_t readClockReference(const unsigned char* p)
{
    uint64_t base = ((uint64_t)p[0] << 25) | ((uint64_t)p[1] << 17) | ((uint64_t)p[2] << 9) |
                    ((uint64_t)p[3] << 1) | ((uint64_t)p[4] >> 7);
    uint64_t extension = ((uint64_t)(p[4] & 0x01) << 8) | p[5];
    return base * 300u + extension;
}

}  // namespace

uint64_t getPcrValue(const unsigned char* packet)
{
    return readClockReference(packet + 6);
}

int readAdaptationField(const unsigned char* packet, AdaptationFieldInfo* info)
{
    memset(info, 0, sizeof(*info));
    unsigned int control = getAdaptationFieldControl(packet);
    if (control != 2 && control != 3)
        return 1;

    info->length = packet[4];
    if (info->length == 0)
        return 1;
    if (info->length > TS_PACKET_SIZE - 5)
        return 2;

    // The field occupies packet bytes 5 .. 4 + length.
    const unsigned int end = 5u + info->length;
    unsigned int p = 5;
    unsigned char flags = packet[p++];
    info->flags = flags;
    info->discontinuityIndicator = (flags & 0x80) != 0;
    info->randomAccessIndicator = (flags & 0x40) != 0;
    info->splicingPointFlag = (flags & 0x04) != 0;
    info->transportPrivateDataFlag = (flags & 0x02) != 0;
    info->extensionFlag = (flags & 0x01) != 0;

    if (flags & 0x10) {
        if (p + 6 > end)
            return 0;
        info->hasPcr = true;
        info->pcr = readClockReference(packet + p);
        p += 6;
    }
    if (flags & 0x08) {
        if (p + 6 > end)
            return 0;
        info->hasOpcr = true;
        info->opcr = readClockReference(packet + p);
        p += 6;
    }
    if (info->splicingPointFlag) {
        if (p + 1 > end)
            return 0;
        info->hasSpliceCountdown = true;
        info->spliceCountdown = (int)(signed char)packet[p];
        p += 1;
    }
    if (info->transportPrivateDataFlag) {
        if (p + 1 > end)
            return 0;
        info->transportPrivateDataLength = packet[p];
        p += 1 + info->transportPrivateDataLength;
        if (p > end)
            return 0;
    }
    if (info->extensionFlag) {
        if (p + 2 > end)
            return 0;
        info->extensionLength = packet[p];
        // The flags byte counts in adaptation_field_extension_length.
        if (info->extensionLength < 1 || p + 1 + info->extensionLength > end)
            return 0;
        info->extensionFlags = packet[p + 1];
        info->hasExtension = true;
    }
    return 0;
}
