#include "tests/fuzz/fuzzHarness.h"

#include <cstring>
#include <random>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzTransportPath(data, size);
    return 0;
}

namespace {

const size_t PACKET = 188;
const size_t SETTINGS = 2;  // the harness's settings bytes at the end

}  // namespace

// A byte inserted or lost in front of a packet misaligns all that follows, and the
// processor then drops every later packet: plain mutations rarely get past the first one
// they touch. Most mutations here therefore keep the packet grid: they change the bytes
// of one packet behind its sync byte, its header fields, or move whole packets.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand r(seed);
    size_t stream = size > SETTINGS ? size - SETTINGS : 0;
    size_t packets = stream / PACKET;
    unsigned kind = r() % 10;
    if (packets == 0 || kind < 2)
        return LLVMFuzzerMutate(data, size, maxSize);

    size_t at = (r() % packets) * PACKET;
    switch (kind) {
    case 2:
    case 3:
    case 4: {
        // The body of one packet, sync byte kept, length kept.
        uint8_t body[PACKET - 1];
        memcpy(body, data + at + 1, sizeof(body));
        size_t n = LLVMFuzzerMutate(body, sizeof(body), sizeof(body));
        memcpy(data + at + 1, body, n);
        return size;
    }
    case 5: {
        // A header field: PID, flags, counter, adaptation field length or flags, pointer_field.
        unsigned field = 1 + r() % 5;
        if (r() % 2)
            data[at + field] ^= (uint8_t)(1u << (r() % 8));
        else
            data[at + field] = (uint8_t)r();
        return size;
    }
    case 6:
        if (size + PACKET <= maxSize) {
            // One packet repeated elsewhere (a retransmission, a stuck multiplexer).
            uint8_t copy[PACKET];
            memcpy(copy, data + at, PACKET);
            size_t to = (r() % (packets + 1)) * PACKET;
            memmove(data + to + PACKET, data + to, size - to);
            memcpy(data + to, copy, PACKET);
            return size + PACKET;
        }
        [[fallthrough]];
    case 7:
        if (packets > 1) {
            // One packet lost.
            memmove(data + at, data + at + PACKET, size - at - PACKET);
            return size - PACKET;
        }
        return LLVMFuzzerMutate(data, size, maxSize);
    case 8: {
        // Two packets trade places.
        size_t other = (r() % packets) * PACKET;
        uint8_t copy[PACKET];
        memcpy(copy, data + at, PACKET);
        memmove(data + at, data + other, PACKET);
        memcpy(data + other, copy, PACKET);
        if (r() % 4 == 0)
            data[size - 1 - r() % SETTINGS] = (uint8_t)r();  // and other settings now and then
        return size;
    }
    default: {
        // Anything, then the grid put back.
        size_t n = LLVMFuzzerMutate(data, size, maxSize);
        for (size_t i = 0; i + PACKET + SETTINGS <= n; i += PACKET)
            data[i] = 0x47;
        return n;
    }
    }
}
