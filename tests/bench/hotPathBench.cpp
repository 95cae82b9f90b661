// Micro-benchmarks of the packet path: cutting and dispatch, the continuity check, the PES
// processor and the sync searches of the elementary processors. Built and run by
// `make bench` only; nothing here asserts a time.

#include "engine/aacProcessor.h"
#include "engine/ac3Processor.h"
#include "engine/h262Processor.h"
#include "engine/h264Processor.h"
#include "engine/korbalt.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/mpeg2TransportStreamProcessor.h"
#include "engine/mpegAudioProcessor.h"
#include "engine/msgCallback.h"
#include "engine/pesProcessor.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "engine/videoProcessor.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const int PACKET = 188;
const long long SOURCE_BUFFER = 65536;  // what the file source hands the decoder

struct Fixture {
    std::vector<unsigned char> bytes;          // whole packets only
    std::vector<int> pidsBySize;               // PIDs, most packets first
    std::map<int, std::vector<size_t>> packetsOf;  // packet offsets by PID
};

std::vector<unsigned char> readFile(const std::string& path)
{
    std::vector<unsigned char> data;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return data;
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), f)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    fclose(f);
    return data;
}

const Fixture& fixture(const char* name)
{
    static std::map<std::string, Fixture> cache;
    auto it = cache.find(name);
    if (it != cache.end())
        return it->second;
    Fixture& fx = cache[name];
    fx.bytes = readFile(std::string(KORBALT_SOURCE_DIR) + "/" + name);
    fx.bytes.resize(fx.bytes.size() / PACKET * PACKET);
    for (size_t off = 0; off < fx.bytes.size(); off += PACKET) {
        const unsigned char* p = &fx.bytes[off];
        if (p[0] != 0x47)
            continue;
        fx.packetsOf[Mpeg2TransportStreamProcessor::packetPid(p)].push_back(off);
    }
    for (const auto& kv : fx.packetsOf)
        fx.pidsBySize.push_back(kv.first);
    std::sort(fx.pidsBySize.begin(), fx.pidsBySize.end(), [&](int a, int b) {
        return fx.packetsOf[a].size() > fx.packetsOf[b].size();
    });
    return fx;
}

// The payload bytes of one PID's packets, in the pieces a PES processor hands on.
struct Payload {
    std::vector<unsigned char> bytes;
    std::vector<std::pair<size_t, int>> pieces;  // offset, length
};

Payload payloadOf(const Fixture& fx, int pid)
{
    Payload pl;
    auto it = fx.packetsOf.find(pid);
    if (it == fx.packetsOf.end())
        return pl;
    for (size_t off : it->second) {
        const unsigned char* p = &fx.bytes[off];
        int start = Mpeg2TransportStreamProcessor::payloadOffset(p);
        if (start >= PACKET)
            continue;
        pl.pieces.emplace_back(pl.bytes.size(), PACKET - start);
        pl.bytes.insert(pl.bytes.end(), p + start, p + PACKET);
    }
    return pl;
}

int videoPid(const Fixture& fx)
{
    return fx.pidsBySize.empty() ? -1 : fx.pidsBySize[0];
}

int audioPid(const Fixture& fx)
{
    return fx.pidsBySize.size() < 2 ? -1 : fx.pidsBySize[1];
}

bool haveData(benchmark::State& state, const Fixture& fx)
{
    if (fx.bytes.empty()) {
        state.SkipWithError("fixture missing");
        return false;
    }
    return true;
}

void deleteQueuedMessages(MsgCallback& registry)
{
    while (StreamMessage* m = registry.getMsgPool()->getUnprocessedMsg())
        delete m;
}

// ---------------------------------------------------------------- cutting and dispatch

// Cutting alone: null packets only, so the processor never leaves the wait for the PAT.
// Arg: the buffer length; 65536 is not a multiple of 188, so every buffer after the
// first starts by completing a carried packet.
void BM_PacketCutting(benchmark::State& state)
{
    const long long bufferLength = state.range(0);
    std::vector<unsigned char> stream(PACKET * 20000);
    for (size_t off = 0; off < stream.size(); off += PACKET) {
        unsigned char* p = &stream[off];
        p[0] = 0x47;
        p[1] = 0x1F;
        p[2] = 0xFF;
        p[3] = 0x10;
        memset(p + 4, 0xFF, PACKET - 4);
    }
    MsgCallback registry;
    Mpeg2TransportProcessor tp(&registry, 0);
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += (size_t)bufferLength) {
            long long n = std::min<long long>(bufferLength, (long long)(stream.size() - off));
            benchmark::DoNotOptimize(tp.processRawBuff(&stream[off], n));
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)stream.size());
}
BENCHMARK(BM_PacketCutting)->Arg(SOURCE_BUFFER)->Arg(PACKET * 348);

// A whole analysis of one fixture held in memory, in source-sized buffers: cutting, PSI,
// PCR, continuity, PES and the elementary processor(s). A fresh processor per pass.
// With callbacks the analysis callbacks are registered as in a run; the messages they
// queue are deleted outside the timing.
void transportAnalysis(benchmark::State& state, const char* name, bool withCallbacks)
{
    const Fixture& fx = fixture(name);
    if (!haveData(state, fx))
        return;
    std::vector<unsigned char> stream = fx.bytes;
    MsgCallback registry;
    if (withCallbacks)
        registerAnalysisCallbacks(&registry, false);
    for (auto _ : state) {
        {
            Mpeg2TransportProcessor tp(&registry, 0);
            for (size_t off = 0; off < stream.size(); off += SOURCE_BUFFER) {
                long long n = std::min<long long>(SOURCE_BUFFER, (long long)(stream.size() - off));
                benchmark::DoNotOptimize(tp.processRawBuff(&stream[off], n));
            }
        }
        state.PauseTiming();
        deleteQueuedMessages(registry);
        state.ResumeTiming();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)stream.size());
}
BENCHMARK_CAPTURE(transportAnalysis, mpeg2_mp2_sample, "samples/sample.ts", false);
BENCHMARK_CAPTURE(transportAnalysis, mpeg2_mp2_sample_callbacks, "samples/sample.ts", true);
BENCHMARK_CAPTURE(transportAnalysis, mpeg2_1080i_ac3, "tests/data/mpeg2_1080i_ac3_51.ts", false);
BENCHMARK_CAPTURE(transportAnalysis, h264_1080_aac, "tests/data/h264_high_1080_aac_51.ts", false);

// ---------------------------------------------------------------- continuity check

// Per-PID front end on its own packets: continuity check, counting, the no-op own-packet
// step. As in the transport processor, packets are handled where they lie, the sync byte is
// restored after each, and the last packet is kept once a buffer.
void BM_ContinuityOwnPackets(benchmark::State& state)
{
    const int pid = 0x100;
    std::vector<unsigned char> packets(PACKET * 1024);
    for (int i = 0; i < 1024; ++i) {
        unsigned char* p = &packets[(size_t)i * PACKET];
        p[0] = 0x47;
        p[1] = (unsigned char)(pid >> 8);
        p[2] = (unsigned char)pid;
        p[3] = (unsigned char)(0x10 | (i & 0x0F));
    }
    MsgCallback registry;
    Mpeg2TransportStreamProcessor sp(&registry, pid);
    sp.setPacketsHeldByCaller(true);
    long long number = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < packets.size(); off += PACKET) {
            benchmark::DoNotOptimize(sp.processMpeg2TsPacket(&packets[off], PACKET, number++));
            packets[off] = 0x47;
        }
        sp.keepLastPacket();
    }
    if (sp.getContinuityErrorCount() != 0)
        state.SkipWithError("unexpected continuity errors");
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(BM_ContinuityOwnPackets);

// The same front end offered packets of another PID (what every processor before the
// owner in the dispatch order sees).
void BM_ContinuityForeignPackets(benchmark::State& state)
{
    std::vector<unsigned char> packets(PACKET * 1024);
    for (int i = 0; i < 1024; ++i) {
        unsigned char* p = &packets[(size_t)i * PACKET];
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x01;
        p[3] = (unsigned char)(0x10 | (i & 0x0F));
    }
    MsgCallback registry;
    Mpeg2TransportStreamProcessor sp(&registry, 0x100);
    long long number = 0;
    for (auto _ : state) {
        for (size_t off = 0; off < packets.size(); off += PACKET)
            benchmark::DoNotOptimize(sp.processMpeg2TsPacket(&packets[off], PACKET, number++));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(BM_ContinuityForeignPackets);

// ---------------------------------------------------------------- PES processor

// Arg: stream_type. 2 adds the H.262 processor behind the PES processor; 0x80 has no
// elementary processor, which leaves PES header gathering and payload hand-over alone.
void BM_PesProcessor(benchmark::State& state)
{
    const Fixture& fx = fixture("samples/sample.ts");
    if (!haveData(state, fx))
        return;
    const int pid = videoPid(fx);
    const std::vector<size_t>& offsets = fx.packetsOf.at(pid);
    MsgCallback registry;
    PesProcessor pes(&registry, pid, (int)state.range(0));
    unsigned char packet[PACKET];
    long long number = 0;
    for (auto _ : state) {
        for (size_t off : offsets) {
            memcpy(packet, &fx.bytes[off], PACKET);
            benchmark::DoNotOptimize(pes.processMpeg2TsPacket(packet, PACKET, number++));
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)offsets.size() * PACKET);
}
BENCHMARK(BM_PesProcessor)->Arg(0x80)->Arg(2);

// ---------------------------------------------------------------- sync searches

// The 00 00 01 scan alone over a video elementary stream: every start code is stepped
// over without looking at its header.
class StartCodeWalker : public VideoProcessor {
public:
    explicit StartCodeWalker(MsgCallback* registry) : VideoProcessor(registry, 0) {}
    int processRawBuff(unsigned char* data, long long n) override
    {
        appendChunk(data, n);
        int found = 0;
        for (int p; (p = searchForStartCodePrefix()) >= 0;) {
            m_iSearchPosition = p + 1;
            ++found;
        }
        return found;
    }
};

template <class Processor>
void elementaryStream(benchmark::State& state, const char* name, bool video)
{
    const Fixture& fx = fixture(name);
    if (!haveData(state, fx))
        return;
    Payload pl = payloadOf(fx, video ? videoPid(fx) : audioPid(fx));
    if (pl.pieces.empty()) {
        state.SkipWithError("no payload");
        return;
    }
    MsgCallback registry;
    Processor proc(&registry, 0);
    for (auto _ : state) {
        for (const auto& piece : pl.pieces)
            benchmark::DoNotOptimize(proc.processRawBuff(&pl.bytes[piece.first], piece.second));
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pl.bytes.size());
}

void BM_StartCodeScan(benchmark::State& state)
{
    const Fixture& fx = fixture("samples/sample.ts");
    if (!haveData(state, fx))
        return;
    Payload pl = payloadOf(fx, videoPid(fx));
    MsgCallback registry;
    StartCodeWalker walker(&registry);
    for (auto _ : state) {
        for (const auto& piece : pl.pieces)
            benchmark::DoNotOptimize(walker.processRawBuff(&pl.bytes[piece.first], piece.second));
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pl.bytes.size());
}
BENCHMARK(BM_StartCodeScan);

void BM_ElementaryH262(benchmark::State& state)
{
    elementaryStream<H262Processor>(state, "samples/sample.ts", true);
}
void BM_ElementaryH264(benchmark::State& state)
{
    elementaryStream<H264Processor>(state, "tests/data/h264_high_1080_aac_51.ts", true);
}
void BM_ElementaryMpegAudio(benchmark::State& state)
{
    elementaryStream<MpegAudioProcessor>(state, "samples/sample.ts", false);
}
void BM_ElementaryAc3(benchmark::State& state)
{
    elementaryStream<AC3Processor>(state, "tests/data/mpeg2_1080i_ac3_51.ts", false);
}
void BM_ElementaryAac(benchmark::State& state)
{
    elementaryStream<AacProcessor>(state, "tests/data/h264_high_1080_aac_51.ts", false);
}
BENCHMARK(BM_ElementaryH262);
BENCHMARK(BM_ElementaryH264);
BENCHMARK(BM_ElementaryMpegAudio);
BENCHMARK(BM_ElementaryAc3);
BENCHMARK(BM_ElementaryAac);

// ---------------------------------------------------------------- registry

void noteCallback(void*, StreamMessagePool*) {}

// Firing an event nobody registered (the status-alive heartbeat of a run without an
// outgoing queue).
void BM_RegistryFireEmpty(benchmark::State& state)
{
    MsgCallback registry;
    for (auto _ : state)
        benchmark::DoNotOptimize(registry.callMsgCallback(CB_STATUS_ALIVE, nullptr));
}
BENCHMARK(BM_RegistryFireEmpty);

// Firing a one-shot event that has already run (most video events, at every header).
void BM_RegistryFireSpentOneShot(benchmark::State& state)
{
    MsgCallback registry;
    registry.registerMsgCallback(CB_MPEG2TS_FRAME_RATE, noteCallback, false);
    registry.callMsgCallback(CB_MPEG2TS_FRAME_RATE, nullptr);
    for (auto _ : state)
        benchmark::DoNotOptimize(registry.callMsgCallback(CB_MPEG2TS_FRAME_RATE, nullptr));
}
BENCHMARK(BM_RegistryFireSpentOneShot);

}  // namespace

BENCHMARK_MAIN();
