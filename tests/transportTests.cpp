// Transport layer: the per-PID front end (continuity), the adaptation field processor
// (PCR time line, wraps, data points, reserved bits) and the transport processor
// (packet cutting and carry-over, PAT/PMT following, dispatch, end reports), observed
// through callbacks registered in the event registry and through the log.
#include "engine/adaptationFieldProcessor.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/mpeg2TransportStreamProcessor.h"
#include "engine/msgCallback.h"
#include "engine/patProcessor.h"
#include "engine/pesProcessor.h"
#include "engine/pmtProcessor.h"
#include "platform/fileLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

const long long kModulus = 2576980377600LL;  // 2^33 * 300

// ---- event recorder ------------------------------------------------------------------

struct Ev {
    int id = -1;
    int pid = -1;
    std::string text;
    uint64_t packetNumber = 0;
    double value = 0;
    long long llValue = 0;
    DurationInfo dur = {0, 0, 0, 0};
    PcrBitrateDataPoint point = {0, 0};

    bool operator==(const Ev& o) const
    {
        return id == o.id && pid == o.pid && text == o.text && packetNumber == o.packetNumber &&
               value == o.value && llValue == o.llValue && dur.hours == o.dur.hours &&
               dur.minutes == o.dur.minutes && dur.seconds == o.dur.seconds && dur.final == o.dur.final &&
               point.pcrTimeMs == o.point.pcrTimeMs && point.bitrateKbps == o.point.bitrateKbps;
    }
};

std::ostream& operator<<(std::ostream& os, const Ev& e)
{
    return os << "{id " << e.id << " pid " << e.pid << " '" << e.text << "' #" << e.packetNumber << " v "
              << e.value << "}";
}

std::vector<Ev> g_ev;

template <int ID>
void recPacketEvent(void* p, StreamMessagePool*)
{
    PacketEventInfo* info = static_cast<PacketEventInfo*>(p);
    Ev e;
    e.id = ID;
    e.pid = info->pid;
    e.text = info->text ? info->text : "";
    e.packetNumber = info->packetNumber;
    g_ev.push_back(e);
}

template <int ID>
void recDouble(void* p, StreamMessagePool*)
{
    ValueUnitsInfo* info = static_cast<ValueUnitsInfo*>(p);
    Ev e;
    e.id = ID;
    e.pid = info->pid;
    e.value = *static_cast<double*>(info->value);
    e.text = info->units ? info->units : "";
    g_ev.push_back(e);
}

template <int ID>
void recString(void* p, StreamMessagePool*)
{
    PidValueInfo* info = static_cast<PidValueInfo*>(p);
    Ev e;
    e.id = ID;
    e.pid = info->pid;
    e.text = *static_cast<std::string*>(info->value);
    g_ev.push_back(e);
}

template <int ID>
void recTable(void* p, StreamMessagePool*)
{
    Ev e;
    e.id = ID;
    e.pid = static_cast<TableInfo*>(p)->pid;
    g_ev.push_back(e);
}

void recDuration(void* p, StreamMessagePool*)
{
    Ev e;
    e.id = CB_MPEG2TS_DURATION;
    e.dur = *static_cast<DurationInfo*>(p);
    g_ev.push_back(e);
}

void recDataPoint(void* p, StreamMessagePool*)
{
    Ev e;
    e.id = CB_MPEG2TS_PCR_BITRATE_DATA_POINT;
    e.point = *static_cast<PcrBitrateDataPoint*>(p);
    g_ev.push_back(e);
}

void recAlive(void*, StreamMessagePool*)
{
    Ev e;
    e.id = CB_STATUS_ALIVE;
    g_ev.push_back(e);
}

void registerAll(MsgCallback& r)
{
    r.registerMsgCallback(CB_MPEG2TS_PAT, recTable<CB_MPEG2TS_PAT>, true);
    r.registerMsgCallback(CB_MPEG2TS_PMT, recTable<CB_MPEG2TS_PMT>, true);
    r.registerMsgCallback(CB_MPEG2TS_DURATION, recDuration, true);
    r.registerMsgCallback(CB_MPEG2TS_MUX_BITRATE, recDouble<CB_MPEG2TS_MUX_BITRATE>, true);
    r.registerMsgCallback(CB_MPEG2TS_TRANSP_BITRATE, recDouble<CB_MPEG2TS_TRANSP_BITRATE>, true);
    r.registerMsgCallback(CB_MPEG2TS_PES_STREAM_BITRATE, recDouble<CB_MPEG2TS_PES_STREAM_BITRATE>, true);
    r.registerMsgCallback(CB_MPEG2TS_STREAM_TYPE, recString<CB_MPEG2TS_STREAM_TYPE>, true);
    r.registerMsgCallback(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, recDataPoint, true);
    r.registerMsgCallback(CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, recPacketEvent<CB_MPEG2TS_SPLICE_POINT_FLAG_INFO>, true);
    r.registerMsgCallback(CB_MPEG2TS_PCR_ROLL_OVER, recPacketEvent<CB_MPEG2TS_PCR_ROLL_OVER>, true);
    r.registerMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR, recPacketEvent<CB_MPEG2TS_CONTINUITY_ERROR>, true);
    r.registerMsgCallback(CB_MPEG2TS_RESERVED_BITS_ERROR, recPacketEvent<CB_MPEG2TS_RESERVED_BITS_ERROR>, true);
    r.registerMsgCallback(CB_STATUS_ALIVE, recAlive, true);
}

std::vector<Ev> eventsOf(const std::vector<Ev>& all, int id)
{
    std::vector<Ev> out;
    for (const Ev& e : all)
        if (e.id == id)
            out.push_back(e);
    return out;
}

// ---- packet builders -------------------------------------------------------------------

struct Packet {
    uint8_t b[188];
};

Packet makePacket(int pid, int cc, bool pusi, const Bytes& payload, int afc = 1, const Bytes& af = {})
{
    Packet p;
    memset(p.b, 0xFF, sizeof(p.b));
    p.b[0] = 0x47;
    p.b[1] = (uint8_t)((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p.b[2] = (uint8_t)pid;
    p.b[3] = (uint8_t)((afc << 4) | (cc & 0x0F));
    size_t pos = 4;
    if (afc == 2 || afc == 3) {
        size_t afLength = afc == 2 ? 183 : af.size();
        p.b[4] = (uint8_t)afLength;
        memcpy(p.b + 5, af.data(), std::min(af.size(), (size_t)183));
        pos = 5 + afLength;
    }
    if ((afc == 1 || afc == 3) && pos < 188)
        memcpy(p.b + pos, payload.data(), std::min(payload.size(), 188 - pos));
    return p;
}

Bytes pcrBytes(long long pcr)
{
    long long base = pcr / 300, ext = pcr % 300;
    return {(uint8_t)(base >> 25), (uint8_t)(base >> 17), (uint8_t)(base >> 9), (uint8_t)(base >> 1),
            (uint8_t)(((base & 1) << 7) | 0x7E | ((ext >> 8) & 1)), (uint8_t)ext};
}

// Adaptation field bytes (after the length byte) carrying a PCR.
Bytes afPcr(long long pcr, uint8_t extraFlags = 0)
{
    Bytes af = {(uint8_t)(0x10 | extraFlags)};
    Bytes p = pcrBytes(pcr);
    af.insert(af.end(), p.begin(), p.end());
    return af;
}

Bytes finishSection(Bytes s)
{
    size_t sectionLength = s.size() - 3 + 4;
    s[1] = (uint8_t)((s[1] & 0xF0) | ((sectionLength >> 8) & 0x0F));
    s[2] = (uint8_t)(sectionLength & 0xFF);
    s.insert(s.end(), {0, 0, 0, 0});  // the CRC_32 is not checked
    return s;
}

Bytes patPayload(const std::vector<std::pair<int, int>>& programs)
{
    Bytes s = {0x00, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00};
    for (auto& pr : programs)
        s.insert(s.end(), {(uint8_t)(pr.first >> 8), (uint8_t)pr.first, (uint8_t)(0xE0 | (pr.second >> 8)),
                           (uint8_t)pr.second});
    s = finishSection(s);
    s.insert(s.begin(), 0x00);  // pointer_field
    return s;
}

struct Element {
    int type;
    int pid;
    Bytes descriptors;
};

Bytes pmtPayload(int program, int pcrPid, const std::vector<Element>& elements)
{
    Bytes s = {0x02, 0xB0, 0x00, (uint8_t)(program >> 8), (uint8_t)program, 0xC1, 0x00, 0x00,
               (uint8_t)(0xE0 | (pcrPid >> 8)), (uint8_t)pcrPid, 0xF0, 0x00};
    for (const Element& e : elements) {
        s.insert(s.end(), {(uint8_t)e.type, (uint8_t)(0xE0 | (e.pid >> 8)), (uint8_t)e.pid,
                           (uint8_t)(0xF0 | (e.descriptors.size() >> 8)), (uint8_t)e.descriptors.size()});
        s.insert(s.end(), e.descriptors.begin(), e.descriptors.end());
    }
    s = finishSection(s);
    s.insert(s.begin(), 0x00);
    return s;
}

void append(Bytes& stream, const Packet& p)
{
    stream.insert(stream.end(), p.b, p.b + 188);
}

// Each call of the front end gets a fresh heap copy of exactly 188 bytes.
int feedPacket(Mpeg2TransportStreamProcessor& proc, const Packet& p, long long number)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[188]);
    memcpy(copy.get(), p.b, 188);
    return proc.processMpeg2TsPacket(copy.get(), 188, number);
}

// Feeds a byte stream in chunks, each in a heap block of its own exact size.
std::vector<int> feedChunks(Mpeg2TransportProcessor& tp, const Bytes& data, size_t chunk)
{
    std::vector<int> results;
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
        size_t n = std::min(chunk, data.size() - pos);
        std::unique_ptr<uint8_t[]> buf(new uint8_t[n]);
        memcpy(buf.get(), data.data() + pos, n);
        results.push_back(tp.processRawBuff(buf.get(), (long long)n));
    }
    return results;
}

Bytes readFile(const std::string& name)
{
    std::ifstream in(std::string(KORBALT_SOURCE_DIR) + "/tests/data/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- an independent reading of a stream, for the expected values ---------------------

struct Pkt {
    int pid;
    int cc;
    int afc;
    bool pusi;
    bool disc;
    bool hasPcr;
    long long pcr;
};

std::vector<Pkt> scan(const Bytes& d)
{
    std::vector<Pkt> out;
    for (size_t i = 0; i + 188 <= d.size(); i += 188) {
        const uint8_t* p = &d[i];
        Pkt k;
        k.pid = ((p[1] & 0x1F) << 8) | p[2];
        k.cc = p[3] & 0x0F;
        k.afc = p[3] >> 4;
        k.pusi = (p[1] & 0x40) != 0;
        k.disc = false;
        k.hasPcr = false;
        k.pcr = 0;
        if ((k.afc == 2 || k.afc == 3) && p[4] > 0) {
            k.disc = (p[5] & 0x80) != 0;
            if (p[4] >= 7 && (p[5] & 0x10)) {
                k.hasPcr = true;
                long long base = ((long long)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
                k.pcr = base * 300 + (((p[10] & 1) << 8) | p[11]);
            }
        }
        out.push_back(k);
    }
    return out;
}

struct PcrModel {
    int firstIndex = -1;
    int lastIndex = -1;
    long long span = 0;   // wrap-corrected
    double maxGap = 0;    // seconds
};

PcrModel pcrModel(const std::vector<Pkt>& pk, int pcrPid)
{
    PcrModel m;
    long long offset = 0, prev = -1, first = -1, last = -1;
    for (size_t i = 0; i < pk.size(); ++i) {
        if (pk[i].pid != pcrPid || !pk[i].hasPcr)
            continue;
        if (prev >= 0 && pk[i].pcr < prev)
            offset += kModulus;
        long long c = pk[i].pcr + offset;
        if (first < 0) {
            first = c;
            m.firstIndex = (int)i;
        } else {
            m.maxGap = std::max(m.maxGap, (double)(c - last) / 27e6);
        }
        last = c;
        prev = pk[i].pcr;
        m.lastIndex = (int)i;
    }
    m.span = last - first;
    return m;
}

// ---- one run of the transport processor over a stream ---------------------------------

struct ProcInfo {
    int pid;
    int streamType;  // -1 for PAT, PMT and adaptation field processors
    long long byteCount;
    long long ptsCount;
};

struct Run {
    std::vector<Ev> events;  // everything but the heartbeat
    std::vector<int> results;
    std::vector<ProcInfo> procs;
    unsigned state = 0;
    long long packets = 0;
    double spanSeconds = 0;
    long long totalBytes = 0;
    long long byteCount = 0;
    int pmtProgram = -1;
};

Run runStream(const Bytes& data, size_t chunk, int durationLimit = 0)
{
    g_ev.clear();
    MsgCallback registry;
    registerAll(registry);
    Run r;
    {
        std::unique_ptr<Mpeg2TransportProcessor> tp(new Mpeg2TransportProcessor(&registry, durationLimit));
        for (size_t pos = 0; pos < data.size(); pos += chunk) {
            size_t n = std::min(chunk, data.size() - pos);
            std::unique_ptr<uint8_t[]> buf(new uint8_t[n]);
            memcpy(buf.get(), data.data() + pos, n);
            int rc = tp->processRawBuff(buf.get(), (long long)n);
            r.results.push_back(rc);
            if (rc == 3)
                break;
        }
        r.state = tp->getState();
        r.packets = tp->getPacketNumber();
        r.spanSeconds = tp->getPcrSpanSeconds();
        r.byteCount = tp->getByteCount();
        if (tp->getAdaptationFieldProcessor())
            r.totalBytes = tp->getAdaptationFieldProcessor()->getTotalBytes();
        if (tp->getPmtProcessor())
            r.pmtProgram = (int)tp->getPmtProcessor()->getProgramNumber();
        const auto& procs = tp->getProcessors();
        for (size_t i = 0; i < procs.size(); ++i) {
            ProcInfo info = {procs[i]->getPid(), -1, procs[i]->getByteCount(), 0};
            if (i >= 3) {
                PesProcessor* pes = static_cast<PesProcessor*>(procs[i]);
                info.streamType = pes->getStreamType();
                info.ptsCount = pes->getPtsCount();
            }
            r.procs.push_back(info);
        }
    }
    for (const Ev& e : g_ev)
        if (e.id != CB_STATUS_ALIVE)
            r.events.push_back(e);
    return r;
}

}  // namespace

// ======================================================================================
// Continuity (per-PID front end)
// ======================================================================================

namespace {

struct CcStep {
    int cc;
    int afc;
    bool disc;
};

struct CcCase {
    const char* name;
    int pid;
    std::vector<CcStep> steps;
    // (index of the step that errs, old counter, new counter)
    std::vector<std::tuple<int, int, int>> errors;
};

}  // namespace

TEST(TsContinuity, RulesOfTheStandard)
{
    const std::vector<CcCase> cases = {
        {"first counter is only recorded", 0x100, {{7, 1, false}, {8, 1, false}}, {}},
        {"15 wraps to 0", 0x100, {{14, 1, false}, {15, 1, false}, {0, 1, false}, {1, 1, false}}, {}},
        {"one duplicate is allowed", 0x100, {{4, 1, false}, {5, 1, false}, {5, 1, false}, {6, 1, false}}, {}},
        {"a second duplicate is not", 0x100, {{4, 1, false}, {5, 1, false}, {5, 1, false}, {5, 1, false}},
         {std::make_tuple(3, 5, 5)}},
        {"duplicate with adaptation field", 0x100, {{4, 3, false}, {4, 3, false}, {5, 1, false}}, {}},
        {"no payload keeps the counter", 0x100, {{4, 1, false}, {4, 2, false}, {5, 1, false}}, {}},
        {"no payload must not advance", 0x100, {{4, 1, false}, {5, 2, false}}, {std::make_tuple(1, 4, 5)}},
        {"a repeat after a payload-less packet is no duplicate", 0x100,
         {{4, 1, false}, {4, 2, false}, {4, 1, false}}, {std::make_tuple(2, 4, 4)}},
        {"a jump is an error, then the counter resynchronises", 0x100,
         {{3, 1, false}, {7, 1, false}, {8, 1, false}}, {std::make_tuple(1, 3, 7)}},
        {"discontinuity_indicator allows a jump", 0x100, {{3, 1, false}, {9, 3, true}, {10, 1, false}}, {}},
        {"discontinuity_indicator on a payload-less packet", 0x100, {{3, 1, false}, {12, 2, true}, {13, 1, false}},
         {}},
        {"null packets are not checked", 0x1FFF, {{0, 1, false}, {0, 1, false}, {0, 1, false}, {9, 1, false}}, {}},
        {"two errors in a row", 0x44, {{0, 1, false}, {2, 1, false}, {4, 1, false}},
         {std::make_tuple(1, 0, 2), std::make_tuple(2, 2, 4)}},
    };

    for (const CcCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_ev.clear();
        MsgCallback registry;
        registerAll(registry);
        Mpeg2TransportStreamProcessor proc(&registry, c.pid);
        long long number = 100;
        for (const CcStep& s : c.steps) {
            Bytes af;
            if (s.afc == 3 || s.afc == 2)
                af = {(uint8_t)(s.disc ? 0x80 : 0x00)};
            EXPECT_EQ(2, feedPacket(proc, makePacket(c.pid, s.cc, false, Bytes(184, 0xAB), s.afc, af), number));
            ++number;
        }
        std::vector<Ev> errors = eventsOf(g_ev, CB_MPEG2TS_CONTINUITY_ERROR);
        ASSERT_EQ(c.errors.size(), errors.size());
        for (size_t i = 0; i < errors.size(); ++i) {
            char text[64];
            snprintf(text, sizeof(text), "Old counter is %d New Counter is %d", std::get<1>(c.errors[i]),
                     std::get<2>(c.errors[i]));
            EXPECT_EQ(text, errors[i].text);
            EXPECT_EQ(c.pid, errors[i].pid);
            EXPECT_EQ((uint64_t)(100 + std::get<0>(c.errors[i])), errors[i].packetNumber);
        }
        EXPECT_EQ(c.errors.size(), proc.getContinuityErrorCount());
        EXPECT_EQ((long long)c.steps.size() * 188, proc.getByteCount());
    }
}

TEST(TsContinuity, OtherPidsAndMarkedPacketsAreNotChecked)
{
    g_ev.clear();
    MsgCallback registry;
    registerAll(registry);
    Mpeg2TransportStreamProcessor first(&registry, 0x100);
    Mpeg2TransportStreamProcessor second(&registry, 0x100);

    // Packets of another PID pass by without a check or a count.
    feedPacket(first, makePacket(0x100, 0, false, {}), 0);
    EXPECT_EQ(2, feedPacket(first, makePacket(0x101, 9, false, {}), 1));
    EXPECT_EQ(188, first.getByteCount());

    // Within one dispatch the first owner marks the packet, the second skips the check.
    Packet p = makePacket(0x100, 5, false, {});  // a jump from 0
    uint8_t buf[188];
    memcpy(buf, p.b, 188);
    first.processMpeg2TsPacket(buf, 188, 2);
    EXPECT_EQ(0xFF, buf[0]);
    second.processMpeg2TsPacket(buf, 188, 2);
    EXPECT_EQ(1u, first.getContinuityErrorCount());
    EXPECT_EQ(0u, second.getContinuityErrorCount());
    EXPECT_EQ(Mpeg2TransportStreamProcessor::NO_COUNTER, second.getLastContinuityCounter());
}

TEST(TsContinuity, LogLines)
{
    char name[128];
    snprintf(name, sizeof(name), "/tmp/korbalt_transport_test_%d.log", (int)getpid());
    unlink(name);
    ASSERT_EQ(1, initFileLogger(name));
    {
        MsgCallback registry;
        Mpeg2TransportStreamProcessor proc(&registry, 0x123);
        feedPacket(proc, makePacket(0x123, 1, false, {}), 0);
        feedPacket(proc, makePacket(0x123, 3, false, {}), 1);
        AdaptationFieldProcessor af(nullptr, &registry, 0x124);
        feedPacket(af, makePacket(0x124, 0, false, {}, 2, {0x01, 0x01, 0x00}), 2);
    }
    shutdownFileLogger();
    std::ifstream in(name);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(name);
    EXPECT_NE(std::string::npos, ss.str().find("Continuity error on pid 291\n"));
    EXPECT_NE(std::string::npos, ss.str().find("Invalid Reserved bits on pid 292\n"));
}

// ======================================================================================
// Adaptation field processor
// ======================================================================================

namespace {

class TsAdaptation : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_ev.clear();
        registerAll(registry);
    }
    // One packet of the PCR PID with a PCR, then `others` packets of another PID.
    void pcrPacket(AdaptationFieldProcessor& af, long long pcr, int others = 0, uint8_t extraFlags = 0)
    {
        feedPacket(af, makePacket(0x100, cc++, false, Bytes(100, 0), 3, afPcr(pcr, extraFlags)), number++);
        for (int i = 0; i < others; ++i)
            feedPacket(af, makePacket(0x200, 0, false, {}), number++);
    }
    MsgCallback registry;
    int cc = 0;
    long long number = 0;
};

}  // namespace

TEST_F(TsAdaptation, DataPointsAndRunningDurations)
{
    // 10 Mbit/s: a PCR every 40 ms with 266 packets (50,008 bytes) per interval.
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    const long long step = 40 * 27000;
    for (int i = 0; i <= 150; ++i)  // 6 s
        pcrPacket(af, 1000000 + i * step, 265);
    std::vector<Ev> points = eventsOf(g_ev, CB_MPEG2TS_PCR_BITRATE_DATA_POINT);
    std::vector<Ev> durations = eventsOf(g_ev, CB_MPEG2TS_DURATION);
    // A point once the span since the last one reaches 2 s (integer seconds above 1).
    ASSERT_EQ(3u, points.size());
    ASSERT_EQ(3u, durations.size());
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(10001.6, points[i].point.bitrateKbps, 1.0);
        EXPECT_EQ((uint32_t)((1000000 + (i + 1) * 50 * step) / 27000), points[i].point.pcrTimeMs);
        EXPECT_EQ(0u, durations[i].dur.final);
        EXPECT_EQ(2 * (i + 1), durations[i].dur.seconds);
    }
    EXPECT_EQ(150 * step, af.getPcrSpan());
    EXPECT_EQ(150LL * 266 * 188, af.getTotalBytes());
    EXPECT_TRUE(eventsOf(g_ev, CB_MPEG2TS_PCR_ROLL_OVER).empty());
}

TEST_F(TsAdaptation, FirstPcrOnly)
{
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    feedPacket(af, makePacket(0x200, 0, false, {}), number++);
    pcrPacket(af, 5000, 10);
    EXPECT_EQ(5000, af.getFirstPcr());
    EXPECT_EQ(-1, af.getLastPcr());
    EXPECT_FALSE(af.hasPcrSpan());
    EXPECT_EQ(0, af.getPcrSpan());
    EXPECT_EQ(0, af.getTotalBytes());
    EXPECT_TRUE(g_ev.empty());
}

TEST_F(TsAdaptation, WrapAtExactly2To33Times300)
{
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    pcrPacket(af, kModulus - 600, 3);
    pcrPacket(af, 10, 3);  // 610 ticks later
    std::vector<Ev> rolls = eventsOf(g_ev, CB_MPEG2TS_PCR_ROLL_OVER);
    ASSERT_EQ(1u, rolls.size());
    EXPECT_EQ("pcr rollover detected", rolls[0].text);
    EXPECT_EQ(0x100, rolls[0].pid);
    EXPECT_EQ(4u, rolls[0].packetNumber);
    EXPECT_EQ(kModulus + 10, af.getLastPcr());
    EXPECT_EQ(610, af.getPcrSpan());

    // Later PCRs continue the corrected line without further events.
    pcrPacket(af, 1000);
    EXPECT_EQ(kModulus + 1000, af.getLastPcr());
    EXPECT_EQ(1u, af.getRollOverCount());
    EXPECT_EQ(1u, eventsOf(g_ev, CB_MPEG2TS_PCR_ROLL_OVER).size());
}

TEST_F(TsAdaptation, SeveralWraps)
{
    // 5 s steps over 60 hours of PCR: two wraps of the 26.5-hour range.
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    const long long step = 5 * 27000000LL;
    const long long start = kModulus - 3 * step;
    const int n = 60 * 3600 / 5;
    for (int i = 0; i <= n; ++i)
        pcrPacket(af, (start + i * step) % kModulus);
    EXPECT_EQ(3u, af.getRollOverCount());
    EXPECT_EQ(3u, eventsOf(g_ev, CB_MPEG2TS_PCR_ROLL_OVER).size());
    EXPECT_EQ((long long)n * step, af.getPcrSpan());
    EXPECT_EQ(0u, af.getNewSpanCount());
    std::vector<Ev> d = eventsOf(g_ev, CB_MPEG2TS_DURATION);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(60u, d.back().dur.hours);
}

TEST_F(TsAdaptation, BackwardJumpStartsANewSpan)
{
    struct Case {
        const char* name;
        std::vector<long long> pcrs;
        std::vector<uint8_t> disc;  // per PCR: discontinuity_indicator
        long long span;
        uint64_t newSpans;
    };
    const long long s = 27000000LL;
    const std::vector<Case> cases = {
        // 1 s, then back to 0.5 s (not near the top of the range), on for 1 s more.
        {"backward in the middle", {10 * s, 11 * s, s / 2, s / 2 + s}, {0, 0, 0, 0}, 2 * s, 1},
        // From just after 0 to near the top: backwards across the boundary.
        {"backward across the boundary", {s, 2 * s, kModulus - s, kModulus - s / 2}, {0, 0, 0, 0}, s + s / 2, 1},
        // A forward leap of an hour with the discontinuity signalled: a new time base.
        {"signalled forward leap", {s, 2 * s, 3602 * s, 3603 * s}, {0, 0, 1, 0}, 2 * s, 1},
        // The same leap unsignalled: the time is taken as passed.
        {"unsignalled forward leap", {s, 2 * s, 3602 * s, 3603 * s}, {0, 0, 0, 0}, 3602 * s, 0},
        // A signalled discontinuity with a normal step changes nothing.
        {"signalled small step", {s, 2 * s, 3 * s}, {0, 1, 0}, 2 * s, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_ev.clear();
        AdaptationFieldProcessor af(nullptr, &registry, 0x100);
        for (size_t i = 0; i < c.pcrs.size(); ++i)
            pcrPacket(af, c.pcrs[i], 2, c.disc[i] ? 0x80 : 0);
        EXPECT_EQ(c.span, af.getPcrSpan());
        EXPECT_EQ(c.newSpans, af.getNewSpanCount());
        EXPECT_TRUE(eventsOf(g_ev, CB_MPEG2TS_PCR_ROLL_OVER).empty());
    }
}

TEST_F(TsAdaptation, ExtensionReservedBitsAndSplicePoints)
{
    struct Case {
        const char* name;
        int afc;
        Bytes af;
        int reservedErrors;
        const char* text;
        int splices;
    };
    Bytes pcr = pcrBytes(12345);
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const std::vector<Case> cases = {
        {"PCR and extension, reserved all ones", 3, cat({{0x11}, pcr, {0x01, 0xFF}}), 0, "", 0},
        {"PCR and extension, reserved zero", 3, cat({{0x11}, pcr, {0x01, 0xE0}}), 1,
         "The 5 reserved bits after the seamless_splice_flag have the value '0x0'", 0},
        {"no PCR: second byte after the flags", 2, {0x01, 0x01, 0x1E}, 1,
         "The 5 reserved bits after the seamless_splice_flag have the value '0x1e'", 0},
        {"OPCR, splice countdown and private data before the extension", 3,
         cat({{0x0F}, pcr, {0x05}, {0x02, 0xAA, 0xBB}, {0x02, 0x00, 0x00}}), 1,
         "The 5 reserved bits after the seamless_splice_flag have the value '0x0'", 1},
        {"splice point only", 3, {0x04, 0xFE}, 0, "", 1},
        {"extension flag but the field ends", 3, {0x01}, 0, "", 0},
        {"extension length beyond the field", 3, {0x01, 0x05, 0x00}, 0, "", 0},
        {"private data length beyond the field", 3, {0x03, 0x40, 0x01, 0x00}, 0, "", 0},
        {"extension length 0", 3, {0x01, 0x00, 0x00}, 0, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_ev.clear();
        AdaptationFieldProcessor af(nullptr, &registry, 0x100);
        EXPECT_EQ(0, feedPacket(af, makePacket(0x100, 0, false, Bytes(10, 0), c.afc, c.af), 77));
        std::vector<Ev> errors = eventsOf(g_ev, CB_MPEG2TS_RESERVED_BITS_ERROR);
        ASSERT_EQ((size_t)c.reservedErrors, errors.size());
        if (!errors.empty()) {
            EXPECT_EQ(c.text, errors[0].text);
            EXPECT_EQ(77u, errors[0].packetNumber);
            EXPECT_EQ(0x100, errors[0].pid);
        }
        std::vector<Ev> splices = eventsOf(g_ev, CB_MPEG2TS_SPLICE_POINT_FLAG_INFO);
        ASSERT_EQ((size_t)c.splices, splices.size());
        if (!splices.empty())
            EXPECT_EQ("splicing_point_flag set", splices[0].text);
    }
}

TEST_F(TsAdaptation, DamagedAdaptationFieldLength)
{
    // adaptation_field_length past the packet: nothing read, the packet only counted.
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    for (int len : {184, 200, 255}) {
        Packet p = makePacket(0x100, 0, false, {}, 3, afPcr(999));
        p.b[4] = (uint8_t)len;
        EXPECT_EQ(2, feedPacket(af, p, 0));
    }
    EXPECT_EQ(-1, af.getFirstPcr());
    // Length 0 and a PCR flag in a field too short for the PCR: no PCR either.
    EXPECT_EQ(2, feedPacket(af, makePacket(0x100, 0, false, {}, 3, {}), 0));
    EXPECT_EQ(0, feedPacket(af, makePacket(0x100, 0, false, {}, 3, {0x10, 0, 0, 0}), 0));
    EXPECT_EQ(-1, af.getFirstPcr());
    EXPECT_TRUE(g_ev.empty());
}

TEST_F(TsAdaptation, SampleSpansFromPayloadStartPackets)
{
    Mpeg2TransportProcessor owner(&registry, 0);
    AdaptationFieldProcessor af(&owner, &registry, 0x100);
    auto pusiPcr = [&](long long pcr) {
        feedPacket(af, makePacket(0x100, cc++, true, Bytes(50, 0), 3, afPcr(pcr)), number++);
    };
    pcrPacket(af, 1000);  // no PUSI: not a sample point
    EXPECT_EQ(-1, af.getSampleStartPcr());
    pusiPcr(2000);
    EXPECT_EQ(2000, af.getSampleStartPcr());
    EXPECT_FALSE(owner.getSampleFlag());
    pusiPcr(5000);
    EXPECT_EQ(2000, af.getSampleStartPcr());
    EXPECT_EQ(5000, af.getSampleEndPcr());
    EXPECT_TRUE(owner.getSampleFlag());
    owner.setSampleFlag(false);
    pusiPcr(9000);
    EXPECT_EQ(5000, af.getSampleStartPcr());
    EXPECT_EQ(9000, af.getSampleEndPcr());
    // Across a wrap the sample span stays on the corrected line.
    pusiPcr(kModulus - 100);
    pusiPcr(200);
    EXPECT_EQ(kModulus - 100, af.getSampleStartPcr());
    EXPECT_EQ(kModulus + 200, af.getSampleEndPcr());
}

TEST_F(TsAdaptation, LogDurationRounding)
{
    struct Case {
        long long ticks;
        uint32_t h, m, s;
    };
    const Case cases[] = {
        {97200000000LL, 1, 0, 0},
        {13500000, 0, 0, 1},       // 0.5 s rounds away from zero
        {13499999, 0, 0, 0},
        {27000000LL * 3599 + 14000000, 1, 0, 0},
        {27000000LL * 61, 0, 1, 1},
        {-5, 0, 0, 0},
    };
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    for (const Case& c : cases) {
        g_ev.clear();
        af.logDuration(c.ticks, true);
        ASSERT_EQ(1u, g_ev.size());
        EXPECT_EQ(c.h, g_ev[0].dur.hours) << c.ticks;
        EXPECT_EQ(c.m, g_ev[0].dur.minutes) << c.ticks;
        EXPECT_EQ(c.s, g_ev[0].dur.seconds) << c.ticks;
        EXPECT_EQ(1u, g_ev[0].dur.final);
    }
}
