// Writes a long transport stream for the throughput benchmark by repeating a short one.
// Plain concatenation would break every PID's continuity counter and set the clocks back
// at each join, so the analysis of it would mostly measure error reporting. Here each copy
// carries the counters on and has its PCR, PTS and DTS moved by the copies before it, so
// the result reads like one long, clean recording.
//
//   korbalt_mkstream FIXTURE OUTPUT SIZE_MB

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const int PACKET = 188;
const int PID_COUNT = 8192;
const uint64_t PCR_MODULO = (1ULL << 33) * 300;  // 27 MHz ticks
const uint64_t PTS_MODULO = 1ULL << 33;          // 90 kHz ticks

int pidOf(const unsigned char* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

bool hasPayload(const unsigned char* p)
{
    unsigned afc = p[3] >> 4;
    return afc == 1 || afc == 3;
}

// Byte offset of the PCR in the packet, or 0 when it carries none.
int pcrOffset(const unsigned char* p)
{
    unsigned afc = p[3] >> 4;
    if ((afc != 2 && afc != 3) || p[4] < 7 || (p[5] & 0x10) == 0)
        return 0;
    return 6;
}

uint64_t readPcr(const unsigned char* b)
{
    uint64_t base = ((uint64_t)b[0] << 25) | ((uint64_t)b[1] << 17) | ((uint64_t)b[2] << 9) |
                    ((uint64_t)b[3] << 1) | (uint64_t)(b[4] >> 7);
    uint64_t ext = ((uint64_t)(b[4] & 1) << 8) | b[5];
    return base * 300 + ext;
}

void writePcr(unsigned char* b, uint64_t ticks)
{
    uint64_t base = ticks / 300, ext = ticks % 300;
    b[0] = (unsigned char)(base >> 25);
    b[1] = (unsigned char)(base >> 17);
    b[2] = (unsigned char)(base >> 9);
    b[3] = (unsigned char)(base >> 1);
    b[4] = (unsigned char)(((base & 1) << 7) | (b[4] & 0x7E) | ((ext >> 8) & 1));
    b[5] = (unsigned char)ext;
}

uint64_t readTimestamp(const unsigned char* b)
{
    return ((uint64_t)((b[0] >> 1) & 0x07) << 30) | ((uint64_t)b[1] << 22) |
           ((uint64_t)(b[2] >> 1) << 15) | ((uint64_t)b[3] << 7) | (uint64_t)(b[4] >> 1);
}

void writeTimestamp(unsigned char* b, uint64_t t)
{
    b[0] = (unsigned char)((b[0] & 0xF1) | ((t >> 29) & 0x0E));
    b[1] = (unsigned char)(t >> 22);
    b[2] = (unsigned char)((((t >> 15) & 0x7F) << 1) | 1);
    b[3] = (unsigned char)(t >> 7);
    b[4] = (unsigned char)(((t & 0x7F) << 1) | 1);
}

// Offset of the PES header's PTS in a packet that starts a PES packet with the optional
// header, or 0. *flags gets PTS_DTS_flags.
int ptsOffset(const unsigned char* p, unsigned* flags)
{
    if ((p[1] & 0x40) == 0 || !hasPayload(p))
        return 0;
    int start = 4;
    if ((p[3] >> 4) == 3)
        start = 5 + p[4];
    if (start + 19 > PACKET)
        return 0;
    const unsigned char* pes = p + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1)
        return 0;
    unsigned id = pes[3];
    if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xF2 ||
        id == 0xF8 || id == 0xFF)
        return 0;
    *flags = pes[7] >> 6;
    return (*flags & 2) ? start + 9 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s FIXTURE OUTPUT SIZE_MB\n", argv[0]);
        return 2;
    }
    FILE* in = fopen(argv[1], "rb");
    if (!in) {
        fprintf(stderr, "%s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    std::vector<unsigned char> src;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), in)) > 0)
        src.insert(src.end(), chunk, chunk + got);
    fclose(in);
    const size_t packets = src.size() / PACKET;
    if (packets < 2 || src.size() % PACKET != 0) {
        fprintf(stderr, "%s: not a whole number of transport packets\n", argv[1]);
        return 1;
    }
    for (size_t i = 0; i < packets; ++i) {
        if (src[i * PACKET] != 0x47) {
            fprintf(stderr, "%s: packet %zu has no sync byte\n", argv[1], i);
            return 1;
        }
    }

    // Per PID: the counter step that one copy adds, so the next copy's first packet follows
    // the last one of this copy.
    std::vector<int> firstCc(PID_COUNT, -1), lastCc(PID_COUNT, -1);
    std::vector<bool> firstHasPayload(PID_COUNT, false);
    int pcrPid = -1;
    size_t firstPcrPacket = 0, lastPcrPacket = 0;
    uint64_t firstPcr = 0, lastPcr = 0;
    for (size_t i = 0; i < packets; ++i) {
        const unsigned char* p = &src[i * PACKET];
        int pid = pidOf(p);
        if (firstCc[pid] < 0) {
            firstCc[pid] = p[3] & 0x0F;
            firstHasPayload[pid] = hasPayload(p);
        }
        lastCc[pid] = p[3] & 0x0F;
        int off = pcrOffset(p);
        if (off && (pcrPid < 0 || pid == pcrPid)) {
            uint64_t pcr = readPcr(p + off);
            if (pcrPid < 0) {
                pcrPid = pid;
                firstPcr = pcr;
                firstPcrPacket = i;
            }
            lastPcr = pcr;
            lastPcrPacket = i;
        }
    }
    if (pcrPid < 0 || lastPcrPacket == firstPcrPacket || lastPcr <= firstPcr) {
        fprintf(stderr, "%s: needs at least two rising PCRs on one PID\n", argv[1]);
        return 1;
    }
    // One copy lasts as long as its bytes take at the multiplex rate of the PCRs.
    const uint64_t copyTicks = (uint64_t)((double)(lastPcr - firstPcr) * (double)packets /
                                          (double)(lastPcrPacket - firstPcrPacket));
    std::vector<int> ccStep(PID_COUNT, 0);
    for (int pid = 0; pid < PID_COUNT; ++pid) {
        if (firstCc[pid] >= 0)
            ccStep[pid] = (lastCc[pid] + (firstHasPayload[pid] ? 1 : 0) - firstCc[pid] + 32) & 0x0F;
    }

    const unsigned long long want = strtoull(argv[3], nullptr, 10) * 1024ULL * 1024ULL;
    FILE* out = fopen(argv[2], "wb");
    if (!out) {
        fprintf(stderr, "%s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    std::vector<unsigned char> copy(src.size());
    unsigned long long written = 0;
    for (uint64_t k = 0; written < want; ++k) {
        memcpy(copy.data(), src.data(), src.size());
        const uint64_t pcrShift = (k * copyTicks) % PCR_MODULO;
        const uint64_t ptsShift = (k * (copyTicks / 300)) % PTS_MODULO;
        for (size_t i = 0; i < packets; ++i) {
            unsigned char* p = &copy[i * PACKET];
            int pid = pidOf(p);
            p[3] = (unsigned char)((p[3] & 0xF0) | ((p[3] + k * ccStep[pid]) & 0x0F));
            if (int off = pcrOffset(p))
                writePcr(p + off, (readPcr(p + off) + pcrShift) % PCR_MODULO);
            unsigned flags = 0;
            if (int off = ptsOffset(p, &flags)) {
                writeTimestamp(p + off, (readTimestamp(p + off) + ptsShift) % PTS_MODULO);
                if (flags == 3)
                    writeTimestamp(p + off + 5, (readTimestamp(p + off + 5) + ptsShift) % PTS_MODULO);
            }
        }
        if (fwrite(copy.data(), 1, copy.size(), out) != copy.size()) {
            fprintf(stderr, "%s: %s\n", argv[2], strerror(errno));
            fclose(out);
            return 1;
        }
        written += copy.size();
    }
    if (fclose(out) != 0) {
        fprintf(stderr, "%s: %s\n", argv[2], strerror(errno));
        return 1;
    }
    return 0;
}
