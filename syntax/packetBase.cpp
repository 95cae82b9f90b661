#include "syntax/packetBase.h"

unsigned int getPacketPayloadOffset(const unsigned char* packet)
{
    switch (getAdaptationFieldControl(packet)) {
    case 1:
        return 4;
    case 3: {
        unsigned int offset = 5u + packet[4];
        return offset <= TS_PACKET_SIZE ? offset : TS_PACKET_SIZE;
    }
    default:
        return TS_PACKET_SIZE;
    }
}

unsigned int getPointerField(const unsigned char* packet)
{
    unsigned int offset = getPacketPayloadOffset(packet);
    return offset < TS_PACKET_SIZE ? packet[offset] : 0;
}

unsigned char* getMpegPacketPrivateSectionRawData(unsigned char* packet, unsigned int skip,
                                                  unsigned int* length, int atSectionStart)
{
    unsigned int payload = getPacketPayloadOffset(packet);
    unsigned int start;
    unsigned int available;

    if (!atSectionStart && getPayloadUnitStart(packet)) {
        // The bytes between the pointer_field and the new section.
        if (payload >= TS_PACKET_SIZE) {
            *length = 0;
            return packet + TS_PACKET_SIZE;
        }
        start = payload + 1;
        available = TS_PACKET_SIZE - start;
        unsigned int pointer = packet[payload];
        *length = pointer < available ? pointer : available;
        return packet + start;
    }

    unsigned long long wanted = (unsigned long long)payload + (atSectionStart ? 1u : 0u) + skip;
    if (wanted >= TS_PACKET_SIZE) {
        *length = 0;
        return packet + TS_PACKET_SIZE;
    }
    start = (unsigned int)wanted;
    *length = TS_PACKET_SIZE - start;
    return packet + start;
}

int getPsiPacketPayload(const unsigned char* packet, PsiPacketPayload* out)
{
    unsigned int payload = getPacketPayloadOffset(packet);
    out->unitStart = getPayloadUnitStart(packet);
    out->tail = packet + TS_PACKET_SIZE;
    out->tailLength = 0;
    out->section = packet + TS_PACKET_SIZE;
    out->sectionLength = 0;

    if (payload >= TS_PACKET_SIZE)
        return 1;

    if (!out->unitStart) {
        out->tail = packet + payload;
        out->tailLength = TS_PACKET_SIZE - payload;
        return 0;
    }

    unsigned int pointer = packet[payload];
    unsigned int first = payload + 1;
    out->tail = packet + first;
    if (first + pointer >= TS_PACKET_SIZE) {
        // The new section would start at or past the end of the packet.
        out->tailLength = TS_PACKET_SIZE - first;
        return 2;
    }
    out->tailLength = pointer;
    out->section = packet + first + pointer;
    out->sectionLength = TS_PACKET_SIZE - (first + pointer);
    return 0;
}
