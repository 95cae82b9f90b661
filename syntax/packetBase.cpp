#include "syntax/packetBase.h"

#include "syntax/adaptationField.h"

#include <cstring>

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

namespace {

bool isPacketOfPid(const unsigned char* buffer, unsigned long length, long offset, unsigned int pid)
{
    if (offset < 0 || (unsigned long)offset > length || length - (unsigned long)offset < TS_PACKET_SIZE)
        return false;
    const unsigned char* p = buffer + offset;
    return p[0] == TS_SYNC_BYTE && getPacketPid(p) == pid;
}

bool carriesPcr(const unsigned char* p)
{
    AdaptationFieldInfo af;
    return readAdaptationField(p, &af) == 0 && af.hasPcr;
}

}  // namespace

long findPidPacket(const unsigned char* buffer, unsigned long length, long from, unsigned int pid, bool backward)
{
    if (!buffer || from < 0)
        return -1;
    if (backward) {
        if (length < TS_PACKET_SIZE)
            return -1;
        // A start past the last whole packet steps back onto it, on the same grid.
        const long last = (long)(length - TS_PACKET_SIZE);
        if (from > last) {
            const long over = from - last, step = (long)TS_PACKET_SIZE;
            from -= (over / step + (over % step != 0)) * step;
        }
        for (long offset = from; offset >= 0; offset -= TS_PACKET_SIZE)
            if (isPacketOfPid(buffer, length, offset, pid))
                return offset;
        return -1;
    }
    for (unsigned long offset = (unsigned long)from; offset < length && length - offset >= TS_PACKET_SIZE;
         offset += TS_PACKET_SIZE)
        if (isPacketOfPid(buffer, length, (long)offset, pid))
            return (long)offset;
    return -1;
}

long findPcrPacket(const unsigned char* buffer, unsigned long length, long from, unsigned int pid)
{
    for (long offset = findPidPacket(buffer, length, from, pid); offset >= 0;
         offset = findPidPacket(buffer, length, offset + (long)TS_PACKET_SIZE, pid))
        if (carriesPcr(buffer + offset))
            return offset;
    return -1;
}

bool isPsiSectionComplete(const unsigned char* section, unsigned int length)
{
    if (length < 3)
        return false;
    unsigned int sectionLength = ((section[1] & 0x0Fu) << 8) | section[2];
    return length - 3 >= sectionLength;
}

int gatherPidSection(const unsigned char* buffer, unsigned long length, long from, unsigned int pid,
                     SectionCompleteTest complete, unsigned char* out, unsigned int capacity,
                     unsigned int* gathered, long* next)
{
    if (!complete)
        complete = isPsiSectionComplete;
    unsigned int have = 0;
    bool started = false;
    bool full = false;
    int lastCounter = -1;

    // Appends what fits; true when the section is then complete.
    auto append = [&](const unsigned char* bytes, unsigned int n) {
        unsigned int room = capacity - have;
        unsigned int take = n < room ? n : room;
        if (take)
            memcpy(out + have, bytes, take);
        have += take;
        full = have == capacity;
        return complete(out, have);
    };
    auto finish = [&](int rc, long offset) {
        *gathered = started ? have : 0;
        if (next)
            *next = offset < 0 ? -1 : offset + (long)TS_PACKET_SIZE;
        return rc;
    };

    for (long offset = findPidPacket(buffer, length, from, pid); offset >= 0;
         offset = findPidPacket(buffer, length, offset + (long)TS_PACKET_SIZE, pid)) {
        const unsigned char* p = buffer + offset;
        PsiPacketPayload payload;
        if (getPsiPacketPayload(p, &payload) == 1)
            continue;  // no payload, and its counter does not advance
        int counter = (int)getContinuityCounter(p);
        if (started && counter == lastCounter)
            continue;  // sent twice
        if (started && counter != ((lastCounter + 1) & 0x0F))
            started = false;  // a packet went missing: what was gathered is broken
        lastCounter = counter;

        if (started && payload.tailLength) {
            if (append(payload.tail, payload.tailLength))
                return finish(SECTION_GATHERED, offset);
            if (full)
                return finish(SECTION_TOO_LONG, offset);
        }
        if (payload.sectionLength) {
            // A new section starts: one still unfinished is given up.
            started = true;
            have = 0;
            if (append(payload.section, payload.sectionLength))
                return finish(SECTION_GATHERED, offset);
            if (full)
                return finish(SECTION_TOO_LONG, offset);
        } else if (payload.unitStart) {
            started = false;  // pointer_field past the packet: no start to follow
        }
    }
    return finish(SECTION_BUFFER_ENDED, -1);
}
