// The fast paths of the packet path must give what the plain algorithms give: the start
// code and sync word searches, the sliding window, the dispatch straight to a PID's
// processor, the heartbeat's sparse clock reads and the search for the packet grid after
// a lost sync byte, and the file source's slices of its large reader buffers.

#include "engine/adaptationFieldProcessor.h"
#include "engine/elemStreamProcessor.h"
#include "engine/fileSrcAsynch.h"
#include "engine/h262Processor.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/msgCallback.h"
#include "engine/pesProcessor.h"
#include "engine/videoProcessor.h"
#include "tests/elemEventRecorder.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// Random bytes with many 0x00 and 0x01 (runs of zeros, prefixes, near misses), or plain
// noise, so that every step of the three-byte search is taken.
Bytes startCodeNoise(std::mt19937& rng, size_t n, int density)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned r = rng();
        b[i] = (r & 255) < (unsigned)density ? (unsigned char)((r >> 8) % 3) : (unsigned char)(r >> 16);
    }
    return b;
}

// Offsets of every 00 00 01 that has its value byte, by the plain byte-by-byte test.
template <typename Seq>
std::vector<long long> plainStartCodes(const Seq& b)
{
    std::vector<long long> at;
    for (size_t i = 0; i + 3 < b.size(); ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1)
            at.push_back((long long)i);
    }
    return at;
}

// Walks the start codes as the H.262 processor does: after each one the search goes on
// one byte further and the alignment counter takes one more byte.
class StartCodeWalker : public VideoProcessor {
public:
    explicit StartCodeWalker(MsgCallback* registry) : VideoProcessor(registry, 0x100) {}
    int processRawBuff(unsigned char* data, long long n) override
    {
        appendChunk(data, n);
        m_llStreamBytes += n;
        long long base = m_llStreamBytes - m_iBufferLevel;  // stream offset of window[0]
        for (int p; (p = scanForStartCodePrefix(&m_uiCounter)) >= 0;) {
            found.push_back(base + p);
            counterAt.push_back(m_uiCounter);
            ++m_uiCounter;
            m_iSearchPosition = p + 1;
        }
        return 1;
    }
    std::vector<long long> found;
    std::vector<unsigned> counterAt;

private:
    long long m_llStreamBytes = 0;
    unsigned m_uiCounter = 0;
};

// Appends and runs the two-byte sync searches without parsing anything.
class SyncWalker : public ElemStreamProcessor {
public:
    SyncWalker(MsgCallback* registry, bool ac3) : ElemStreamProcessor(registry), m_bAc3(ac3) {}
    int processRawBuff(unsigned char* data, long long n) override
    {
        appendChunk(data, n);
        m_llStreamBytes += n;
        long long base = m_llStreamBytes - m_iBufferLevel;
        for (int p; (p = m_bAc3 ? searchForAc3Sync() : searchForTwelveOnes()) >= 0;) {
            found.push_back(base + p);
            m_iSearchPosition = p + 1;
        }
        return 1;
    }
    std::vector<long long> found;

private:
    bool m_bAc3;
    long long m_llStreamBytes = 0;
};

class WindowProbe : public ElemStreamProcessor {
public:
    explicit WindowProbe(MsgCallback* registry) : ElemStreamProcessor(registry) {}
    int processRawBuff(unsigned char* data, long long n) override
    {
        appendChunk(data, n);
        return 1;
    }
    void setSearchPosition(int p) { m_iSearchPosition = p; }
};

template <class Walker>
void feedRandomChunks(Walker& w, const Bytes& stream, std::mt19937& rng, int maxChunk)
{
    for (size_t pos = 0; pos < stream.size();) {
        size_t n = std::min<size_t>(1 + rng() % maxChunk, stream.size() - pos);
        w.processRawBuff(const_cast<unsigned char*>(&stream[pos]), (long long)n);
        pos += n;
    }
}

// The start code searches run once with the narrow steps and once with the wide ones,
// where the processor has them.
class PacketPathStartCode : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (!VideoProcessor::setWideSearch(GetParam()))
            GTEST_SKIP() << "no wide search on this processor";
    }
    void TearDown() override { VideoProcessor::setWideSearch(true); }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Steps, PacketPathStartCode, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Wide" : "Narrow");
                         });

// Every 00 00 01 whose value byte has arrived is found once, in order, however the bytes
// come; and the bytes counted up to each one are its distance from the stream start (the
// three-byte stepping counts exactly the bytes it passes, whatever its steps).
TEST_P(PacketPathStartCode, StartCodesAndAlignmentCountMatchThePlainScan)
{
    std::mt19937 rng(2024);
    for (int round = 0; round < 60; ++round) {
        const int density = round % 4 == 0 ? 0 : (round % 4) * 60;
        Bytes stream = startCodeNoise(rng, 3000 + rng() % 5000, density);
        const std::vector<long long> expected = plainStartCodes(stream);
        MsgCallback registry;
        StartCodeWalker walker(&registry);
        const int maxChunk = round % 3 == 0 ? 188 : round % 3 == 1 ? 7 : 184;
        feedRandomChunks(walker, stream, rng, maxChunk);
        ASSERT_EQ(expected, walker.found) << "round " << round;
        for (size_t k = 0; k < walker.found.size(); ++k)
            ASSERT_EQ((unsigned)walker.found[k], walker.counterAt[k]) << "round " << round << " code " << k;
        // A failed search stops where a start code could still begin once more bytes come.
        EXPECT_GE(walker.getSearchPosition(), walker.getBufferLevel() - 3);
        EXPECT_LE(walker.getSearchPosition(), walker.getBufferLevel());
    }
}

TEST_P(PacketPathStartCode, PrefixAtEveryWindowPositionIsFound)
{
    // One prefix, placed at each offset of a full window in turn (both ends, and the
    // blocks the wide compare reads past the fill level).
    for (int at = 0; at + 4 <= ElemStreamProcessor::WINDOW_SIZE; ++at) {
        Bytes stream(ElemStreamProcessor::WINDOW_SIZE, 0x80);
        stream[at] = 0;
        stream[at + 1] = 0;
        stream[at + 2] = 1;
        stream[at + 3] = 0xB3;
        MsgCallback registry;
        StartCodeWalker walker(&registry);
        walker.processRawBuff(stream.data(), (long long)stream.size());
        ASSERT_EQ(std::vector<long long>{at}, walker.found) << at;
    }
    // A prefix whose value byte has not come yet is not reported, and is found later.
    MsgCallback registry;
    StartCodeWalker walker(&registry);
    unsigned char a[] = {0x80, 0x80, 0x00, 0x00, 0x01};
    walker.processRawBuff(a, sizeof(a));
    EXPECT_TRUE(walker.found.empty());
    unsigned char b[] = {0xB8};
    walker.processRawBuff(b, sizeof(b));
    EXPECT_EQ(std::vector<long long>{2}, walker.found);
}

// The video of every fixture, handed over as the PES processor does (packet payloads, a
// short piece at each PES start, now and then odd sizes): the same start codes and
// alignment counts as the plain scan of the whole elementary stream.
TEST_P(PacketPathStartCode, FixtureVideoMatchesThePlainScan)
{
    std::mt19937 rng(188);
    int streams = 0;
    for (const auto& entry : std::filesystem::directory_iterator(testsupport::fixture(""))) {
        if (entry.path().extension() != ".ts")
            continue;
        for (int type : {2, 27}) {
            std::vector<size_t> pesStarts;
            std::vector<uint8_t> es = testsupport::extractElementaryStream(entry.path().string(), type, &pesStarts);
            if (es.empty())
                continue;
            ++streams;
            const std::vector<long long> expected = plainStartCodes(es);
            MsgCallback registry;
            StartCodeWalker walker(&registry);
            size_t nextStart = 0;
            for (size_t pos = 0; pos < es.size();) {
                while (nextStart < pesStarts.size() && pesStarts[nextStart] <= pos)
                    ++nextStart;
                size_t n = rng() % 16 == 0 ? 1 + rng() % 188 : 184;
                if (nextStart < pesStarts.size())
                    n = std::min(n, pesStarts[nextStart] - pos);
                n = std::min(n, es.size() - pos);
                walker.processRawBuff(&es[pos], (long long)n);
                pos += n;
            }
            const std::string name = entry.path().filename().string() + " type " + std::to_string(type);
            ASSERT_EQ(expected, walker.found) << name;
            for (size_t k = 0; k < walker.found.size(); ++k)
                ASSERT_EQ((unsigned)walker.found[k], walker.counterAt[k]) << name << " code " << k;
        }
    }
    EXPECT_GE(streams, 10);
}

// Once a picture is found misaligned the H.262 search steps over slice start codes: the
// events (and what each chunk returns) of every MPEG-2 video fixture are those of the walk
// over every start code, in packet-sized chunks and in odd ones.
TEST_P(PacketPathStartCode, H262SliceSkippingMatchesThePlainWalk)
{
    struct Run {
        std::vector<int> results;
        std::vector<std::string> events;
        bool aligned = false;
    };
    auto run = [](const std::vector<uint8_t>& es, int chunk, bool skip) {
        Run r;
        elemtest::EventRecorder recorder;
        {
            H262Processor h262(recorder.registry(), 0x100);
            h262.setSliceCodeSkipping(skip);
            for (size_t pos = 0; pos < es.size(); pos += (size_t)chunk) {
                size_t n = std::min(es.size() - pos, (size_t)chunk);
                r.results.push_back(h262.processRawBuff(const_cast<uint8_t*>(&es[pos]), (long long)n));
            }
            r.aligned = h262.isQuadByteAligned();
        }
        for (const auto& e : recorder.events())
            r.events.push_back(std::to_string(e.id) + " " + std::to_string(e.pid) + " " + e.text + " " +
                               std::to_string(e.number) + " " + e.units);
        return r;
    };
    int misaligned = 0;
    for (const auto& entry : std::filesystem::directory_iterator(testsupport::fixture(""))) {
        if (entry.path().extension() != ".ts")
            continue;
        std::vector<uint8_t> es = testsupport::extractElementaryStream(entry.path().string(), 2);
        if (es.empty())
            continue;
        for (int chunk : {184, 61, 7}) {
            Run plain = run(es, chunk, false);
            Run fast = run(es, chunk, true);
            const std::string name = entry.path().filename().string() + " chunk " + std::to_string(chunk);
            ASSERT_EQ(plain.events, fast.events) << name;
            ASSERT_EQ(plain.results, fast.results) << name;
            ASSERT_EQ(plain.aligned, fast.aligned) << name;
            misaligned += !plain.aligned;
        }
    }
    EXPECT_GT(misaligned, 0) << "no fixture exercises the skipping";
}

TEST(PacketPathSearch, SyncWordsMatchThePlainScan)
{
    std::mt19937 rng(77);
    for (int ac3 = 0; ac3 <= 1; ++ac3) {
        for (int round = 0; round < 30; ++round) {
            Bytes stream(2000 + rng() % 3000);
            for (auto& b : stream) {
                unsigned r = rng() % 8;
                b = r == 0 ? 0xFF : r == 1 ? 0x0B : r == 2 ? 0x77 : r == 3 ? 0xF3 : (unsigned char)rng();
            }
            std::vector<long long> expected;
            for (size_t i = 0; i + 2 < stream.size(); ++i) {
                bool hit = ac3 ? (stream[i] == 0x0B && stream[i + 1] == 0x77)
                               : (stream[i] == 0xFF && (stream[i + 1] & 0xF0) == 0xF0);
                if (hit)
                    expected.push_back((long long)i);
            }
            MsgCallback registry;
            SyncWalker walker(&registry, ac3 != 0);
            feedRandomChunks(walker, stream, rng, round % 2 ? 188 : 5);
            ASSERT_EQ(expected, walker.found) << (ac3 ? "AC-3" : "twelve ones") << " round " << round;
        }
    }
}

// The window always holds the newest bytes, oldest first, and the search position moves
// back with the bytes it pointed at, through many slides and chunks of every size.
TEST(PacketPathWindow, SlidesKeepTheNewestBytes)
{
    std::mt19937 rng(5);
    MsgCallback registry;
    WindowProbe w(&registry);
    Bytes all;
    const int W = ElemStreamProcessor::WINDOW_SIZE;
    for (int step = 0; step < 4000; ++step) {
        int n = step % 97 == 0 ? 600 + (int)(rng() % 400) : 1 + (int)(rng() % 188);
        Bytes chunk(n);
        for (auto& b : chunk)
            b = (unsigned char)rng();
        int level = w.getBufferLevel();
        int search = level > 0 ? (int)(rng() % (level + 1)) : 0;
        w.setSearchPosition(search);
        long long searchedByte = (long long)all.size() - level + search;  // stream offset
        w.processRawBuff(chunk.data(), n);
        all.insert(all.end(), chunk.begin(), chunk.end());

        int expectedLevel = (int)std::min<size_t>(all.size(), (size_t)W);
        ASSERT_EQ(expectedLevel, w.getBufferLevel()) << step;
        ASSERT_EQ(0, memcmp(w.getWindow(), &all[all.size() - expectedLevel], (size_t)expectedLevel)) << step;
        long long windowStart = (long long)all.size() - expectedLevel;
        long long expectedSearch = n > W ? 0 : std::max(0LL, searchedByte - windowStart);
        ASSERT_EQ(expectedSearch, w.getSearchPosition()) << step;
    }
}

// ---------------------------------------------------------------- dispatch and heartbeat

namespace {

struct Ts {
    Bytes bytes;
    int cc[8192] = {};

    void packet(int pid, bool pusi, const Bytes& payload, const Bytes& af = {})
    {
        unsigned char p[188];
        memset(p, 0xFF, sizeof(p));
        p[0] = 0x47;
        p[1] = (unsigned char)((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F));
        p[2] = (unsigned char)pid;
        int afc = af.empty() ? 1 : 3;
        p[3] = (unsigned char)((afc << 4) | (cc[pid]++ & 0x0F));
        size_t pos = 4;
        if (!af.empty()) {
            p[4] = (unsigned char)af.size();
            memcpy(p + 5, af.data(), af.size());
            pos = 5 + af.size();
        }
        memcpy(p + pos, payload.data(), std::min(payload.size(), 188 - pos));
        bytes.insert(bytes.end(), p, p + 188);
    }
};

Bytes section(Bytes s)
{
    size_t length = s.size() - 3 + 4;
    s[1] = (unsigned char)(0xB0 | ((length >> 8) & 0x0F));
    s[2] = (unsigned char)length;
    s.insert(s.end(), {0, 0, 0, 0});
    s.insert(s.begin(), 0x00);  // pointer_field
    return s;
}

Bytes pcrField(long long pcr)
{
    long long base = pcr / 300, ext = pcr % 300;
    return {0x10, (unsigned char)(base >> 25), (unsigned char)(base >> 17), (unsigned char)(base >> 9),
            (unsigned char)(base >> 1), (unsigned char)(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1)),
            (unsigned char)ext};
}

Bytes pesStart()
{
    return {0x00, 0x00, 0x01, 0xC0, 0x00, 0x00, 0x80, 0x00, 0x00};
}

long long g_clockReads = 0;
long long g_nowMs = 0;
long long countingClock()
{
    ++g_clockReads;
    return g_nowMs;
}

}  // namespace

// PMT order 0x102 (stream_type 3), 0x101 (3), two BSSD elements on 0x103 and a PES on the
// PCR PID 0x101: every packet reaches the first processor of its PID, and only that one;
// foreign and unknown PIDs reach none of them.
TEST(PacketPathDispatch, EachPacketReachesTheFirstProcessorOfItsPid)
{
    Ts ts;
    ts.packet(0, true, section({0x00, 0, 0, 0x00, 0x01, 0xC1, 0, 0, 0x00, 0x01, 0xF0, 0x00}));
    Bytes bssd = {0x05, 0x04, 'B', 'S', 'S', 'D'};
    Bytes pmt = {0x02, 0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE1, 0x01, 0xF0, 0x00,
                 0x03, 0xE1, 0x02, 0xF0, 0x00,
                 0x03, 0xE1, 0x01, 0xF0, 0x00,
                 0x06, 0xE1, 0x03, 0xF0, 12};
    pmt.insert(pmt.end(), bssd.begin(), bssd.end());
    pmt.insert(pmt.end(), bssd.begin(), bssd.end());
    ts.packet(0x1000, true, section(pmt));
    const int perRound[][2] = {{0x101, 3}, {0x102, 2}, {0x103, 1}, {0x555, 1}};
    for (int round = 0; round < 10; ++round) {
        for (const auto& c : perRound) {
            for (int k = 0; k < c[1]; ++k) {
                if (c[0] == 0x101 && k == 0)
                    ts.packet(c[0], round == 0, round == 0 ? pesStart() : Bytes(10, 0x11),
                              pcrField(27000000LL * (round + 1)));
                else
                    ts.packet(c[0], round == 0 && k == 0, round == 0 && k == 0 ? pesStart() : Bytes(10, 0x22));
            }
        }
    }
    MsgCallback registry;
    Mpeg2TransportProcessor tp(&registry, 0);
    tp.processRawBuff(ts.bytes.data(), (long long)ts.bytes.size());
    ASSERT_EQ(Mpeg2TransportProcessor::STATE_RUNNING, tp.getState());
    const auto& list = tp.getProcessors();
    ASSERT_EQ(7u, list.size());  // PAT, PMT, AF, 0x102, 0x101, 0x103, 0x103
    EXPECT_EQ(0x102, list[3]->getPid());
    EXPECT_EQ(0x101, list[4]->getPid());
    EXPECT_EQ(20 * 188, list[3]->getByteCount());
    EXPECT_EQ(30 * 188, list[4]->getByteCount());
    EXPECT_EQ(10 * 188, list[5]->getByteCount());
    EXPECT_EQ(0, list[6]->getByteCount());  // the second processor of 0x103 never gets one
    EXPECT_EQ(0u, list[3]->getContinuityErrorCount());
    EXPECT_EQ(0u, list[4]->getContinuityErrorCount());
    EXPECT_EQ(0u, list[5]->getContinuityErrorCount());
    // The adaptation field processor still sees every packet on the PCR PID first.
    EXPECT_EQ(30 * 188, list[2]->getByteCount());
}

TEST(PacketPathHeartbeat, ClockIsReadOncePerBufferAndEveryFewHundredPackets)
{
    Ts ts;
    for (int i = 0; i < 1000; ++i)
        ts.packet(0x1FFF, false, Bytes(184, 0xFF));
    MsgCallback registry;
    Mpeg2TransportProcessor tp(&registry, 0);
    tp.setClock(countingClock);
    g_clockReads = 0;
    g_nowMs = 1000;
    tp.processRawBuff(ts.bytes.data(), (long long)ts.bytes.size());
    const long long every = Mpeg2TransportProcessor::STATUS_ALIVE_CHECK_PACKETS;
    EXPECT_EQ((1000 + every - 1) / every, g_clockReads);
    EXPECT_EQ(1u, tp.getStatusAliveCount());

    // Small buffers: one read each, and a fire once a second has passed.
    g_clockReads = 0;
    for (int b = 0; b < 10; ++b) {
        g_nowMs = 1500 + b * 100;  // 1500 .. 2400: the fire comes at 2000
        tp.processRawBuff(ts.bytes.data() + b * 188 * 3, 188 * 3);
    }
    EXPECT_EQ(10, g_clockReads);
    EXPECT_EQ(2u, tp.getStatusAliveCount());

    // A buffer that only completes a carried packet reads the clock for that packet.
    g_clockReads = 0;
    tp.processRawBuff(ts.bytes.data(), 100);
    EXPECT_EQ(0, g_clockReads);  // no whole packet yet
    g_nowMs = 5000;
    tp.processRawBuff(ts.bytes.data() + 100, 88);
    EXPECT_EQ(1, g_clockReads);
    EXPECT_EQ(3u, tp.getStatusAliveCount());
}

// ---------------------------------------------------------------- sync loss

namespace {

struct SyncEvent {
    int id;
    int pid;
    unsigned long long packet;
    std::string text;
    bool operator==(const SyncEvent& o) const
    {
        return id == o.id && pid == o.pid && packet == o.packet && text == o.text;
    }
};
std::vector<SyncEvent> g_syncEvents;

void PrintTo(const SyncEvent& e, std::ostream* os)
{
    *os << "{" << e.id << ", pid " << e.pid << ", packet " << e.packet << ", \"" << e.text << "\"}";
}

template <int ID>
void recordPacketEvent(void* p, StreamMessagePool*)
{
    const PacketEventInfo* info = static_cast<const PacketEventInfo*>(p);
    g_syncEvents.push_back({ID, info->pid, (unsigned long long)info->packetNumber, info->text ? info->text : ""});
}

struct SyncRun {
    std::vector<SyncEvent> events;
    long long packets = 0;
    long long skipped = 0;
    unsigned long long losses = 0;
    bool searching = false;
};

// Feeds the stream in chunks of the given sizes (cycled), each in a heap block of its own
// exact size, which must come back unchanged.
SyncRun runChunks(const Bytes& stream, const std::vector<size_t>& sizes, bool endOfInput)
{
    MsgCallback registry;
    registry.registerMsgCallback(CB_MPEG2TS_SYNC_LOSS, recordPacketEvent<CB_MPEG2TS_SYNC_LOSS>, true);
    registry.registerMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR, recordPacketEvent<CB_MPEG2TS_CONTINUITY_ERROR>, true);
    g_syncEvents.clear();
    SyncRun run;
    {
        Mpeg2TransportProcessor tp(&registry, 0);
        size_t k = 0;
        for (size_t pos = 0; pos < stream.size(); ++k) {
            size_t n = std::min(sizes[k % sizes.size()], stream.size() - pos);
            std::unique_ptr<unsigned char[]> chunk(new unsigned char[n]);
            memcpy(chunk.get(), &stream[pos], n);
            tp.processRawBuff(chunk.get(), (long long)n);
            EXPECT_EQ(0, memcmp(chunk.get(), &stream[pos], n)) << "the caller's bytes changed at " << pos;
            pos += n;
        }
        if (endOfInput)
            tp.endOfInput();
        run.packets = tp.getPacketNumber();
        run.skipped = tp.getBytesSkipped();
        run.losses = tp.getSyncLossCount();
        run.searching = tp.isSearchingSync();
        registry.nullAllCallbacks();  // the end reports are not looked at here
    }
    run.events = g_syncEvents;
    return run;
}

std::vector<SyncEvent> syncLosses(const SyncRun& run)
{
    std::vector<SyncEvent> out;
    for (const SyncEvent& e : run.events)
        if (e.id == CB_MPEG2TS_SYNC_LOSS)
            out.push_back(e);
    return out;
}

SyncEvent loss(unsigned long long packet, const std::string& text)
{
    return {CB_MPEG2TS_SYNC_LOSS, Mpeg2TransportProcessor::SYNC_LOSS_PID, packet, text};
}

// 200 packets of a real stream, damaged the ways captures are: started mid-packet, a byte
// lost inside a packet, a byte slipped in before a sync byte, a sync byte lost, a run of
// garbage with near-miss sync bytes, two bad sync bytes in a row, and a byte lost in the
// third-last packet, so that only the end of the input confirms the last packet.
Bytes damagedStream()
{
    Bytes clean = testsupport::readFixture("mpeg2_576_16x9_ac3.ts");
    clean.resize(200 * 188);
    auto P = [&clean](size_t k) { return clean.begin() + (long)(k * 188); };
    Bytes garbage(1000);
    std::mt19937 rng(11);
    for (auto& b : garbage) {
        b = (unsigned char)rng();
        if (b == 0x47)
            b = 0x46;
    }
    garbage[100] = garbage[288] = 0x47;  // two of three
    garbage[600] = 0x47;
    Bytes d(P(0) + 100, P(20) + 50);     // starts 100 bytes into packet 0
    d.insert(d.end(), P(20) + 51, P(40));  // lost byte in packet 20
    d.push_back(0x00);                     // slipped in before packet 40
    d.insert(d.end(), P(40), P(60));
    d.insert(d.end(), P(60) + 1, P(80) + 188);  // packet 60 without its sync byte
    d.insert(d.end(), garbage.begin(), garbage.end());
    size_t firstBad = d.size() + 19 * 188;
    d.insert(d.end(), P(81), P(197) + 10);
    d[firstBad] = d[firstBad + 188] = 0x46;  // packets 100 and 101
    d.insert(d.end(), P(197) + 11, P(200));
    return d;
}

}  // namespace

// Each loss is found where the damage is, reports the bytes skipped and the number of the
// first packet after the gap, and leaves the continuity state alone; every way of cutting
// the input into buffers gives the same events.
TEST(PacketPathSync, DamageIsSkippedAndReportedWhateverTheBuffers)
{
    const Bytes stream = damagedStream();
    SyncRun whole = runChunks(stream, {stream.size()}, true);
    const std::vector<SyncEvent> expected = {
        loss(0, "88 bytes skipped"),    loss(20, "187 bytes skipped"),  loss(38, "1 bytes skipped"),
        loss(58, "187 bytes skipped"),  loss(78, "1000 bytes skipped"), loss(97, "376 bytes skipped"),
        loss(193, "187 bytes skipped"),
    };
    EXPECT_EQ(expected, syncLosses(whole));
    EXPECT_EQ(194, whole.packets);
    EXPECT_EQ(88 + 187 + 1 + 187 + 1000 + 376 + 187, whole.skipped);
    EXPECT_EQ(expected.size(), whole.losses);
    EXPECT_FALSE(whole.searching);
    // The packets lost in the gaps (21, 60, 100, 101, 198) are continuity errors too.
    size_t continuity = whole.events.size() - expected.size();
    EXPECT_GE(continuity, 4u);

    std::vector<std::vector<size_t>> cuts;
    for (size_t c = 1; c <= 400; ++c)
        cuts.push_back({c});
    cuts.push_back({752, 753, 4096});
    cuts.push_back({65536});
    cuts.push_back({187, 1, 376, 2, 189});
    std::mt19937 rng(3);
    for (int i = 0; i < 20; ++i) {
        std::vector<size_t> sizes;
        for (int k = 0; k < 50; ++k)
            sizes.push_back(1 + rng() % (k % 3 == 0 ? 20 : 900));
        cuts.push_back(sizes);
    }
    for (const auto& sizes : cuts) {
        SyncRun r = runChunks(stream, sizes, true);
        ASSERT_EQ(whole.events, r.events) << "chunks of " << sizes[0] << " (" << sizes.size() << " sizes)";
        ASSERT_EQ(whole.packets, r.packets) << "chunks of " << sizes[0];
        ASSERT_EQ(whole.skipped, r.skipped) << "chunks of " << sizes[0];
    }

    // Without the end of the input (an abort) the last candidate stays undecided.
    SyncRun open = runChunks(stream, {4096}, false);
    EXPECT_EQ(std::vector<SyncEvent>(expected.begin(), expected.end() - 1), syncLosses(open));
    EXPECT_EQ(193, open.packets);
    EXPECT_TRUE(open.searching);
}

// At the end of the input the confirming sync bytes count as far as the data reaches: a
// whole last packet is taken, a cut one is not, and a loss never regained is reported
// with the bytes up to the end.
TEST(PacketPathSync, EndOfInputDecidesTheLastCandidates)
{
    Bytes clean = testsupport::readFixture("mpeg2_576_16x9_ac3.ts");
    clean.resize(10 * 188);
    for (size_t chunk : {(size_t)1, (size_t)100, (size_t)188, (size_t)4096}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        Bytes twoLast(clean.begin() + 8 * 188, clean.end());  // bad sync, then one whole packet
        twoLast[0] = 0x46;
        SyncRun r = runChunks(twoLast, {chunk}, true);
        EXPECT_EQ(std::vector<SyncEvent>{loss(0, "188 bytes skipped")}, syncLosses(r));
        EXPECT_EQ(1, r.packets);

        Bytes cutLast(clean.begin(), clean.begin() + 2 * 188 + 100);  // packet 1 bad, packet 2 cut
        cutLast[188] = 0x46;
        r = runChunks(cutLast, {chunk}, true);
        EXPECT_EQ(std::vector<SyncEvent>{loss(1, "288 bytes skipped to the end")}, syncLosses(r));
        EXPECT_EQ(1, r.packets);

        Bytes tail(clean);
        tail.insert(tail.end(), 300, 0x00);
        r = runChunks(tail, {chunk}, true);
        EXPECT_EQ(std::vector<SyncEvent>{loss(10, "300 bytes skipped to the end")}, syncLosses(r));
        EXPECT_EQ(10, r.packets);
    }
}

namespace {

struct SourceRun {
    std::vector<std::pair<long long, int>> pieces;  // length and percentage of each
    std::string bytes;
    bool ended = false;
};

// Reads a file through a file source built by make; stops after stopAfter pieces when
// that is not negative (the buffer in hand given back, then the reader told to end).
template <class Make>
SourceRun readThroughSource(Make make, int stopAfter = -1)
{
    SourceRun r;
    std::unique_ptr<FileSrcAsynch> src = make();
    if (!src->init() || src->startFileReader() != 0)
        return r;
    for (int guard = 0; guard < 100000 && src->getState() != StreamSrcAsynch::SRC_STATE_ENDED; ++guard) {
        unsigned char* b = nullptr;
        long long n = 0;
        if (!src->getRawDataBuff(&b, &n))
            continue;
        r.pieces.emplace_back(n, src->getPercentComplete());
        r.bytes.append((const char*)b, (size_t)n);
        if ((int)r.pieces.size() == stopAfter) {
            src->releaseRawDataBuff();
            src->stopReader();
            break;
        }
        src->releaseRawDataBuff();
    }
    r.ended = src->getState() == StreamSrcAsynch::SRC_STATE_ENDED;
    return r;
}

}  // namespace

// The reader fills large buffers, the decoder gets them in slices: the pieces (their sizes,
// bytes and percentages) are those of buffers of the slice size, for every fixture, with
// the default sizes and with small ones that put many slice and buffer ends in each file.
// A stop in the middle of a large buffer ends the source all the same.
TEST(PacketPathFileSlices, SlicesAreThePiecesOfPlainBuffers)
{
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(testsupport::fixture(""))) {
        if (entry.path().extension() != ".ts")
            continue;
        const std::string name = entry.path().string();
        const long long size = (long long)std::filesystem::file_size(entry.path());
        ++files;
        struct Sizes {
            int buffers, bufferSize, slice;
        };
        for (Sizes z : {Sizes{FileSrcAsynch::FILE_SRC_BUFFERS, FileSrcAsynch::FILE_SRC_BUFFER_SIZE,
                              FileSrcAsynch::FILE_SRC_SLICE_SIZE},
                        Sizes{3, 4 * 1000, 1000}, Sizes{6, 5 * 4096, 4096}}) {
            const std::string what = entry.path().filename().string() + " slice " + std::to_string(z.slice);
            SourceRun plain = readThroughSource(
                [&] { return std::make_unique<FileSrcAsynch>(name, FileSrcAsynch::FILE_SRC_BUFFERS, z.slice); });
            SourceRun sliced = readThroughSource([&] {
                if (z.bufferSize == FileSrcAsynch::FILE_SRC_BUFFER_SIZE)
                    return std::make_unique<FileSrcAsynch>(name);
                return std::make_unique<FileSrcAsynch>(name, z.buffers, z.bufferSize, z.slice);
            });
            ASSERT_TRUE(plain.ended && sliced.ended) << what;
            ASSERT_EQ((size_t)size, plain.bytes.size()) << what;
            ASSERT_EQ(plain.pieces, sliced.pieces) << what;
            ASSERT_TRUE(plain.bytes == sliced.bytes) << what;
            if (size > 6 * z.slice) {
                SourceRun stopped = readThroughSource(
                    [&] { return std::make_unique<FileSrcAsynch>(name, z.buffers, z.bufferSize, z.slice); }, 6);
                EXPECT_TRUE(stopped.ended) << what;
                EXPECT_EQ(plain.bytes.substr(0, stopped.bytes.size()), stopped.bytes) << what;
                EXPECT_EQ(6u, stopped.pieces.size()) << what;
            }
        }
    }
    EXPECT_GE(files, 10);
}
