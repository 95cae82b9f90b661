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
#include "platform/debugMap.h"
#include "platform/fileLogger.h"

#include <gtest/gtest.h>

#include <malloc.h>

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

#include "tests/support/testSupport.h"

using testsupport::readFixture;
using testsupport::Packet;
using testsupport::makePacket;

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

struct StreamRun {
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

StreamRun runStream(const Bytes& data, size_t chunk, int durationLimit = 0)
{
    g_ev.clear();
    MsgCallback registry;
    registerAll(registry);
    StreamRun r;
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
            feedPacket(proc, makePacket(c.pid, s.cc, false, Bytes(184, 0xAB), s.afc, af), number);
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

namespace {

// Counts what the front end hands on.
class CountingProcessor : public Mpeg2TransportStreamProcessor {
public:
    CountingProcessor(MsgCallback* r, int pid) : Mpeg2TransportStreamProcessor(r, pid) {}
    int processOwnTransportPacket(unsigned char*, long long) override
    {
        ++own;
        return 1;
    }
    int own = 0;
};

}  // namespace

TEST(TsContinuity, DuplicatePayloadIsHandedOnOnce)
{
    MsgCallback registry;
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    CountingProcessor pes(&registry, 0x100);
    // As in one dispatch: the adaptation field processor first, then the PES owner.
    auto dispatch = [&](const Packet& p, long long n) {
        uint8_t buf[188];
        memcpy(buf, p.b, 188);
        af.processMpeg2TsPacket(buf, 188, n);
        return pes.processMpeg2TsPacket(buf, 188, n);
    };
    EXPECT_EQ(1, dispatch(makePacket(0x100, 3, true, Bytes(184, 1)), 0));
    EXPECT_EQ(1, dispatch(makePacket(0x100, 3, true, Bytes(184, 1)), 1));  // the duplicate
    EXPECT_EQ(1, dispatch(makePacket(0x100, 4, false, Bytes(184, 2)), 2));
    EXPECT_EQ(2, pes.own);
    EXPECT_EQ(1u, af.getDuplicateCount());
    EXPECT_EQ(0u, af.getContinuityErrorCount());
    // Both count the duplicate's bytes: it occupies the multiplex.
    EXPECT_EQ(3 * 188, pes.getByteCount());
    EXPECT_EQ(3 * 188, af.getByteCount());
}

TEST(TsProcessorBase, BitrateComputations)
{
    MsgCallback registry;
    CountingProcessor p(&registry, 0x30);
    // No packet: 0, also for a span of 0 or less.
    p.calculateBitrateBps(2.0);
    EXPECT_EQ(0.0, p.getBitrate());
    for (int i = 0; i < 10; ++i)
        feedPacket(p, makePacket(0x30, i, false, {}), i);
    p.calculateBitrateBps(2.0);
    EXPECT_DOUBLE_EQ(10 * 188 * 8 / 2.0, p.getBitrate());
    p.calculateBitrateBps(0.0);
    EXPECT_EQ(0.0, p.getBitrate());
    p.calculateBitrateBps(-1.0);
    EXPECT_EQ(0.0, p.getBitrate());

    // A first sample sets minimum and maximum; an equal one leaves them; 0 resets the minimum.
    p.calculateSampleBitrateBps(1.0);
    EXPECT_DOUBLE_EQ(15040.0, p.getSampleBitrate());
    EXPECT_DOUBLE_EQ(15040.0, p.getMinStreamBitrate());
    EXPECT_DOUBLE_EQ(15040.0, p.getMaxStreamBitrate());
    for (int i = 0; i < 10; ++i)
        feedPacket(p, makePacket(0x30, 10 + i, false, {}), 10 + i);
    p.calculateSampleBitrateBps(1.0);
    EXPECT_DOUBLE_EQ(15040.0, p.getMinStreamBitrate());
    p.calculateSampleBitrateBps(1.0);  // nothing since the last sample
    EXPECT_EQ(0.0, p.getMinStreamBitrate());
    EXPECT_DOUBLE_EQ(15040.0, p.getMaxStreamBitrate());
    for (int i = 0; i < 20; ++i)
        feedPacket(p, makePacket(0x30, 20 + i, false, {}), 20 + i);
    p.calculateSampleBitrateBps(1.0);
    EXPECT_DOUBLE_EQ(30080.0, p.getMinStreamBitrate());
    EXPECT_DOUBLE_EQ(30080.0, p.getMaxStreamBitrate());
    p.calculateSampleBitrateBps(0.0);  // a span of 0 gives 0, never inf
    EXPECT_EQ(0.0, p.getSampleBitrate());
}

// A feed damaged for days repeats the same fault once a packet: its log lines stop at the
// limit, with one line saying so, while the counts go on.
TEST(TsContinuity, LogLinesOfARepeatingFaultStopAtTheLimit)
{
    char name[128];
    snprintf(name, sizeof(name), "/tmp/korbalt_transport_test_%d.log", (int)getpid());
    unlink(name);
    ASSERT_EQ(1, initFileLogger(name));
    const int repeats = (int)LOGGED_REPEAT_LIMIT + 2;
    uint64_t continuityErrors = 0;
    {
        MsgCallback registry;
        Mpeg2TransportStreamProcessor proc(&registry, 0x123);
        AdaptationFieldProcessor af(nullptr, &registry, 0x124);
        for (int i = 0; i <= repeats; ++i) {
            feedPacket(proc, makePacket(0x123, (2 * i) & 0x0F, false, {}), i);  // skips a value each time
            feedPacket(af, makePacket(0x124, 0, false, {}, 2, {0x01, 0x01, 0x00}), i);  // no payload: the counter stays
        }
        continuityErrors = proc.getContinuityErrorCount();
    }
    shutdownFileLogger();
    std::ifstream in(name);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(name);
    const std::string log = ss.str();
    EXPECT_EQ((uint64_t)repeats, continuityErrors);
    auto count = [&](const std::string& line) {
        size_t n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(LOGGED_REPEAT_LIMIT, count("Continuity error on pid 291\n"));
    EXPECT_EQ(LOGGED_REPEAT_LIMIT, count("Invalid Reserved bits on pid 292\n"));
    const std::string continuityEnd = "Continuity error on pid 291\nFurther continuity errors on pid 291 are not logged\n";
    const std::string reservedEnd =
        "Invalid Reserved bits on pid 292\nFurther invalid reserved bits on pid 292 are not logged\n";
    EXPECT_EQ(1u, count(continuityEnd));
    EXPECT_EQ(1u, count(reservedEnd));
    // Nothing of either kind after the line that closes it.
    EXPECT_EQ(std::string::npos, log.find("Continuity error on pid 291", log.find(continuityEnd) + continuityEnd.size()));
    EXPECT_EQ(std::string::npos, log.find("Invalid Reserved", log.find(reservedEnd) + reservedEnd.size()));
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
        if (!splices.empty()) {
            EXPECT_EQ("splicing_point_flag set", splices[0].text);
        }
    }
}

TEST_F(TsAdaptation, DamagedAdaptationFieldLength)
{
    // adaptation_field_length past the packet: nothing read, the packet only counted.
    AdaptationFieldProcessor af(nullptr, &registry, 0x100);
    for (int len : {184, 200, 255}) {
        Packet p = makePacket(0x100, cc++, false, {}, 3, afPcr(999));
        p.b[4] = (uint8_t)len;
        EXPECT_EQ(2, feedPacket(af, p, 0));
    }
    EXPECT_EQ(-1, af.getFirstPcr());
    // Length 0 and a PCR flag in a field too short for the PCR: no PCR either.
    EXPECT_EQ(2, feedPacket(af, makePacket(0x100, cc++, false, {}, 3, {}), 0));
    EXPECT_EQ(0, feedPacket(af, makePacket(0x100, cc++, false, {}, 3, {0x10, 0, 0, 0}), 0));
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
    AdaptationFieldProcessor af2(&owner, &registry, 0x100);
    feedPacket(af2, makePacket(0x100, 0, true, Bytes(50, 0), 3, afPcr(kModulus - 2000)), 0);
    feedPacket(af2, makePacket(0x100, 1, true, Bytes(50, 0), 3, afPcr(kModulus - 100)), 1);
    feedPacket(af2, makePacket(0x100, 2, true, Bytes(50, 0), 3, afPcr(200)), 2);
    EXPECT_EQ(kModulus - 100, af2.getSampleStartPcr());
    EXPECT_EQ(kModulus + 200, af2.getSampleEndPcr());
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

// ======================================================================================
// Transport processor
// ======================================================================================

namespace {

struct FixtureCase {
    const char* file;
    int videoType;      // 0 when the program has no video
    int audioType;
    double ffprobeDuration;  // format duration from ffprobe
    double frame;            // seconds per video frame (0: audio only)
    bool constantRate;       // muxed at a constant rate with a PCR every 20 ms
};

const FixtureCase kFixtures[] = {
    {"mpeg2_480_4x3_mp2.ts", 2, 3, 1.011023, 1001.0 / 30000, false},
    {"mpeg2_576_16x9_ac3.ts", 2, 129, 1.005333, 0.04, false},
    {"mpeg2_1080i_ac3_51.ts", 2, 129, 0.512000, 1001.0 / 30000, false},
    {"h264_baseline_360_aac.ts", 27, 15, 1.023222, 1.0 / 30, false},
    {"h264_main_576i_mp3.ts", 27, 3, 1.025056, 0.04, false},
    {"h264_high_720_ac3_51.ts", 27, 129, 1.024000, 0.04, false},
    {"h264_high_1080_aac_51.ts", 27, 15, 0.621933, 1001.0 / 30000, false},
    {"s302m_2ch_20.ts", 0, 6, 0.490667, 0, false},
    {"s302m_4ch_24.ts", 0, 6, 0.490667, 0, false},
    {"two_programs.ts", 2, 3, 1.021333, 0.04, false},
    {"pcr_wrap.ts", 2, 3, 3.010022, 0.04, false},
    {"cbr_mpeg2_ac3.ts", 2, 129, 3.005333, 0.04, true},
    {"cbr_h264_aac.ts", 27, 15, 3.041811, 1001.0 / 30000, true},
};

}  // namespace

TEST(TsTransport, FixturesFollowTablesAndReportAtTheEnd)
{
    for (const FixtureCase& fc : kFixtures) {
        SCOPED_TRACE(fc.file);
        Bytes data = readFixture(fc.file);
        ASSERT_GT(data.size(), 10000u);
        std::vector<Pkt> pk = scan(data);
        StreamRun r = runStream(data, 65536);

        // PAT, then the first program's PMT, each fired once.
        EXPECT_EQ(Mpeg2TransportProcessor::STATE_RUNNING, r.state);
        EXPECT_EQ((long long)pk.size(), r.packets);
        std::vector<Ev> pats = eventsOf(r.events, CB_MPEG2TS_PAT);
        std::vector<Ev> pmts = eventsOf(r.events, CB_MPEG2TS_PMT);
        ASSERT_EQ(1u, pats.size());
        EXPECT_EQ(0, pats[0].pid);
        ASSERT_EQ(1u, pmts.size());
        EXPECT_EQ(0x1000, pmts[0].pid);
        EXPECT_EQ(1, r.pmtProgram);

        // PAT, PMT, adaptation field on the PCR PID, then one PES processor per stream.
        std::vector<std::pair<int, int>> want = {{0, -1}, {0x1000, -1}, {0x100, -1}};
        if (fc.videoType) {
            want.push_back({0x100, fc.videoType});
            want.push_back({0x101, fc.audioType});
        } else {
            want.push_back({0x100, fc.audioType});
        }
        std::vector<std::pair<int, int>> got;
        for (const ProcInfo& p : r.procs)
            got.push_back({p.pid, p.streamType});
        EXPECT_EQ(want, got);

        // No continuity error in a clean stream.
        EXPECT_TRUE(eventsOf(r.events, CB_MPEG2TS_CONTINUITY_ERROR).empty());

        // Duration: the PCR span against ffprobe. Where PCRs come only every so often, the
        // end of the stream lies up to one PCR interval beyond the last one.
        PcrModel m = pcrModel(pk, 0x100);
        double span = (double)m.span / 27e6;
        EXPECT_NEAR(span, r.spanSeconds, 1e-9);
        double tolerance = fc.frame + (fc.constantRate ? 0 : m.maxGap);
        if (fc.frame == 0)
            tolerance = m.maxGap + 0.001;
        EXPECT_NEAR(fc.ffprobeDuration, r.spanSeconds, tolerance);
        std::vector<Ev> durations = eventsOf(r.events, CB_MPEG2TS_DURATION);
        ASSERT_FALSE(durations.empty());
        const Ev& final = durations.back();
        EXPECT_EQ(1u, final.dur.final);
        EXPECT_EQ((uint32_t)llround(span), final.dur.hours * 3600 + final.dur.minutes * 60 + final.dur.seconds);

        // Multiplex bit rate: the bytes between the first and the last PCR over their span;
        // at a constant rate that is the file's bytes over the span within 1 %.
        std::vector<Ev> mux = eventsOf(r.events, CB_MPEG2TS_MUX_BITRATE);
        ASSERT_EQ(1u, mux.size());
        EXPECT_EQ("bps", mux[0].text);
        double between = (double)(m.lastIndex - m.firstIndex) * 188 * 8 / span;
        EXPECT_NEAR(between, mux[0].value, between * 1e-9);
        if (fc.constantRate) {
            double fileRate = (double)data.size() * 8 / span;
            EXPECT_NEAR(fileRate, mux[0].value, fileRate * 0.01);
            EXPECT_NEAR(600000.0, mux[0].value, 600000.0 * 0.01);
        }

        // Per-PID bit rates: PSI PIDs with event 9, PES PIDs with event 10, each the PID's
        // own bytes since its processor existed over the span.
        std::vector<Ev> psiRates = eventsOf(r.events, CB_MPEG2TS_TRANSP_BITRATE);
        std::vector<Ev> pesRates = eventsOf(r.events, CB_MPEG2TS_PES_STREAM_BITRATE);
        ASSERT_EQ(2u, psiRates.size());
        EXPECT_EQ(0, psiRates[0].pid);
        EXPECT_EQ(0x1000, psiRates[1].pid);
        ASSERT_EQ(r.procs.size() - 3, pesRates.size());
        for (size_t i = 0; i < r.procs.size(); ++i) {
            if (i == 2)
                continue;
            const Ev& e = i < 2 ? psiRates[i] : pesRates[i - 3];
            EXPECT_EQ(r.procs[i].pid, e.pid);
            EXPECT_EQ("bps", e.text);
            EXPECT_NEAR((double)r.procs[i].byteCount * 8 / span, e.value, 1e-6);
            EXPECT_GT(r.procs[i].byteCount, 0);
        }
    }
}

TEST(TsTransport, RemovedPacketsGiveOneContinuityErrorEach)
{
    for (const char* file : {"mpeg2_576_16x9_ac3.ts", "cbr_h264_aac.ts", "two_programs.ts"}) {
        SCOPED_TRACE(file);
        Bytes data = readFixture(file);
        std::vector<Pkt> pk = scan(data);
        const std::vector<int> tracked = {0, 0x1000, 0x100, 0x101};

        // Pick packets of every tracked PID spread over the stream, each with payload
        // and with payload-carrying neighbours of its PID, well after the PMT.
        std::vector<size_t> removed;
        std::vector<size_t> nullsRemoved;
        for (size_t i = 40; i < pk.size(); ++i) {
            if (pk[i].pid == 0x1FFF && nullsRemoved.size() < 3 && i % 7 == 0) {
                nullsRemoved.push_back(i);
                continue;
            }
            if (std::find(tracked.begin(), tracked.end(), pk[i].pid) == tracked.end())
                continue;
            if (!removed.empty() && i < removed.back() + pk.size() / 12)
                continue;
            size_t prev = i, next = i;
            while (prev > 0 && pk[--prev].pid != pk[i].pid) {
            }
            while (next + 1 < pk.size() && pk[++next].pid != pk[i].pid) {
            }
            if (next == i || pk[next].pid != pk[i].pid || pk[prev].pid != pk[i].pid)
                continue;
            auto payload = [](const Pkt& k) { return k.afc == 1 || k.afc == 3; };
            if (!payload(pk[prev]) || !payload(pk[i]) || !payload(pk[next]) || pk[next].disc)
                continue;
            removed.push_back(i);
        }
        ASSERT_GE(removed.size(), 6u);

        Bytes cut;
        std::vector<size_t> all = removed;
        all.insert(all.end(), nullsRemoved.begin(), nullsRemoved.end());
        std::sort(all.begin(), all.end());
        struct Want {
            int pid;
            std::string text;
            uint64_t number;
        };
        std::vector<Want> wants;
        size_t out = 0;
        for (size_t i = 0; i < pk.size(); ++i) {
            if (std::binary_search(all.begin(), all.end(), i))
                continue;
            cut.insert(cut.end(), data.begin() + i * 188, data.begin() + (i + 1) * 188);
            ++out;
        }
        // Expected: at the next packet of the PID after each removal.
        for (size_t idx : removed) {
            size_t prev = idx, next = idx;
            while (pk[--prev].pid != pk[idx].pid) {
            }
            while (pk[++next].pid != pk[idx].pid) {
            }
            size_t before = 0;
            for (size_t a : all)
                before += a < next;
            char text[64];
            snprintf(text, sizeof(text), "Old counter is %d New Counter is %d", pk[prev].cc, pk[next].cc);
            wants.push_back({pk[idx].pid, text, (uint64_t)(next - before)});
        }

        std::sort(wants.begin(), wants.end(), [](const Want& a, const Want& b) { return a.number < b.number; });
        StreamRun r = runStream(cut, 65536);
        std::vector<Ev> errors = eventsOf(r.events, CB_MPEG2TS_CONTINUITY_ERROR);
        ASSERT_EQ(wants.size(), errors.size());
        for (size_t i = 0; i < wants.size(); ++i) {
            EXPECT_EQ(wants[i].pid, errors[i].pid);
            EXPECT_EQ(wants[i].text, errors[i].text);
            EXPECT_EQ(wants[i].number, errors[i].packetNumber);
        }
    }
}

// A packet that shares its predecessor's counter is a duplicate only when it repeats it byte for
// byte (a PCR aside): after a loss of 15 packets, or with one byte changed, it is an error, and it
// is analysed, a PES start and its PTS included. The video PID is the PCR PID: two processors take
// its packets.
TEST(TsTransport, OnlyARepeatedPacketIsADuplicate)
{
    const Bytes data = readFixture("mpeg2_576_16x9_ac3.ts");
    const std::vector<Pkt> pk = scan(data);
    enum Change { LOSE_15, REPEAT, REPEAT_WITH_NEW_PCR, REPEAT_WITH_NEW_BYTE_8, REPEAT_WITH_NEW_LAST_BYTE };
    const std::pair<int, Change> cases[] = {{0x101, LOSE_15},
                                            {0x100, LOSE_15},
                                            {0x101, REPEAT},
                                            {0x100, REPEAT},
                                            {0x100, REPEAT_WITH_NEW_PCR},
                                            {0x101, REPEAT_WITH_NEW_BYTE_8},
                                            {0x100, REPEAT_WITH_NEW_LAST_BYTE}};
    for (const auto& [pid, change] : cases) {
        SCOPED_TRACE(std::to_string(pid) + " " + std::to_string(change));
        const bool error = change == LOSE_15 || change >= REPEAT_WITH_NEW_BYTE_8;
        // Where the change falls, after 20 of the PID's packets: a PES start after the loss; a
        // packet whose copy follows the next packet, of another PID; the others are copied at
        // once: one with a PCR, one without adaptation field or PES start, a PES start.
        std::vector<size_t> own;
        size_t at = 0;
        for (size_t i = 0; i + 1 < pk.size() && !at; ++i) {
            const bool fits = change == LOSE_15                  ? pk[i].pusi
                              : change == REPEAT                 ? pk[i + 1].pid != pid
                              : change == REPEAT_WITH_NEW_PCR    ? pk[i].hasPcr
                              : change == REPEAT_WITH_NEW_BYTE_8 ? pk[i].afc == 1 && !pk[i].pusi
                                                                 : pk[i].pusi && !pk[i].hasPcr;
            if (pk[i].pid == pid && own.size() >= 20 && fits)
                at = i;
            if (pk[i].pid == pid)
                own.push_back(i);
        }
        ASSERT_GT(at, 0u);
        Bytes cut;
        long long starts = change == REPEAT_WITH_NEW_LAST_BYTE;  // the changed copy counts again
        uint64_t errorAt = 0;
        for (size_t i = 0; i < pk.size(); ++i) {
            if (change == LOSE_15 && std::find(own.end() - 16, own.end() - 1, i) != own.end() - 1)
                continue;
            errorAt = i == at ? cut.size() / 188 + (change != LOSE_15) : errorAt;
            starts += pk[i].pid == pid && pk[i].pusi;
            cut.insert(cut.end(), data.begin() + i * 188, data.begin() + (i + 1) * 188);
            if (change != LOSE_15 && i == at + (change == REPEAT)) {
                cut.insert(cut.end(), data.begin() + at * 188, data.begin() + (at + 1) * 188);
                // Byte 11 is the low byte of the PCR extension.
                const size_t changed = change == REPEAT_WITH_NEW_PCR      ? 11
                                       : change == REPEAT_WITH_NEW_BYTE_8 ? 8
                                                                          : 187;
                cut[cut.size() - 188 + changed] ^= change >= REPEAT_WITH_NEW_PCR;
            }
        }
        // The predecessor lies in the same buffer, or (packets split between buffers) in the
        // transport processor's own.
        for (size_t chunk : {65536, 100}) {
            StreamRun r = runStream(cut, chunk);
            EXPECT_EQ(starts, std::find_if(r.procs.begin(), r.procs.end(), [&](const ProcInfo& p) {
                                  return p.streamType > 0 && p.pid == pid;
                              })->ptsCount);
            std::vector<Ev> errors = eventsOf(r.events, CB_MPEG2TS_CONTINUITY_ERROR);
            ASSERT_EQ(error ? 1u : 0u, errors.size()) << chunk;
            if (error) {
                const std::string cc = std::to_string(pk[at].cc);
                EXPECT_EQ("Old counter is " + cc + " New Counter is " + cc, errors[0].text);
                EXPECT_EQ(errorAt, errors[0].packetNumber);
            }
        }
    }
}

TEST(TsTransport, EveryChunkSizeGivesTheSameAnalysis)
{
    Bytes data = readFixture("h264_baseline_360_aac.ts");
    StreamRun whole = runStream(data, data.size());
    ASSERT_EQ(Mpeg2TransportProcessor::STATE_RUNNING, whole.state);
    ASSERT_GT(whole.events.size(), 8u);
    ASSERT_EQ(5u, whole.procs.size());
    ASSERT_GT(whole.procs[3].ptsCount, 10);
    ASSERT_GT(whole.procs[4].ptsCount, 5);
    for (size_t chunk = 1; chunk <= 400; ++chunk) {
        StreamRun r = runStream(data, chunk);
        ASSERT_EQ(whole.packets, r.packets) << "chunk " << chunk;
        ASSERT_EQ(whole.events, r.events) << "chunk " << chunk;
        ASSERT_EQ(whole.procs.size(), r.procs.size()) << "chunk " << chunk;
        for (size_t i = 0; i < r.procs.size(); ++i) {
            ASSERT_EQ(whole.procs[i].byteCount, r.procs[i].byteCount) << "chunk " << chunk;
            ASSERT_EQ(whole.procs[i].ptsCount, r.procs[i].ptsCount) << "chunk " << chunk;
        }
        ASSERT_EQ((long long)data.size(), r.byteCount);
    }
}

TEST(TsTransport, ShortBuffersCompleteTheCarriedPacket)
{
    MsgCallback registry;
    Mpeg2TransportProcessor tp(&registry, 0);
    Bytes data = readFixture("mpeg2_576_16x9_ac3.ts");
    const uint8_t* d = data.data();
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d), 100));
    EXPECT_EQ(88u, tp.getBytesMissing());
    EXPECT_EQ(0, tp.getPacketNumber());
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d + 100), 50));
    EXPECT_EQ(38u, tp.getBytesMissing());
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d + 150), 38));
    EXPECT_EQ(0u, tp.getBytesMissing());
    EXPECT_EQ(1, tp.getPacketNumber());
    // Completing one and carrying the start of the next in the same short buffer.
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d + 188), 150));
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d + 338), 100));
    EXPECT_EQ(2, tp.getPacketNumber());
    EXPECT_EQ(188u * 3 - 438, tp.getBytesMissing());
    EXPECT_EQ(438, tp.getByteCount());
    // An empty buffer changes nothing.
    EXPECT_EQ(0, tp.processRawBuff(const_cast<uint8_t*>(d + 438), 0));
    EXPECT_EQ(188u * 3 - 438, tp.getBytesMissing());
}

TEST(TsTransport, BadSyncBytesAreSkippedWithoutNumbers)
{
    Bytes data = readFixture("mpeg2_576_16x9_ac3.ts");
    data.resize(188 * 200);
    for (size_t i : {50, 51, 120})
        data[i * 188] = 0x46;
    StreamRun r = runStream(data, 65536);
    EXPECT_EQ(197, r.packets);
}

namespace {

long long g_fakeNowMs = 0;
long long fakeClock()
{
    return g_fakeNowMs;
}

}  // namespace

TEST(TsTransport, StatusAliveAtMostOncePerSecond)
{
    Bytes data = readFixture("mpeg2_576_16x9_ac3.ts");
    g_ev.clear();
    MsgCallback registry;
    registerAll(registry);
    {
        Mpeg2TransportProcessor tp(&registry, 0);
        tp.setClock(fakeClock);
        g_fakeNowMs = 5000;
        feedChunks(tp, Bytes(data.begin(), data.begin() + 188 * 100), 188 * 10);
        EXPECT_EQ(1u, tp.getStatusAliveCount());  // the first packet fires
        g_fakeNowMs = 5999;
        feedChunks(tp, Bytes(data.begin(), data.begin() + 188 * 100), 188 * 10);
        EXPECT_EQ(1u, tp.getStatusAliveCount());
        g_fakeNowMs = 6000;
        feedChunks(tp, Bytes(data.begin(), data.begin() + 188 * 100), 188 * 10);
        EXPECT_EQ(2u, tp.getStatusAliveCount());
        // Also a buffer that starts mid-packet may fire: the rule is time, not position.
        g_fakeNowMs = 9000;
        feedChunks(tp, Bytes(data.begin() + 7, data.begin() + 188 * 3 + 7), 100);
        EXPECT_EQ(3u, tp.getStatusAliveCount());
        // A clock that steps back does not silence the heartbeat for good.
        g_fakeNowMs = 100;
        feedChunks(tp, Bytes(data.begin(), data.begin() + 188 * 3), 188);
        EXPECT_EQ(4u, tp.getStatusAliveCount());
    }
    EXPECT_EQ(4u, eventsOf(g_ev, CB_STATUS_ALIVE).size());

    // With the real clock a whole file, fed as fast as it goes, fires once per second.
    g_ev.clear();
    auto start = std::chrono::steady_clock::now();
    uint64_t fired = 0;
    {
        Mpeg2TransportProcessor tp(&registry, 0);
        for (int k = 0; k < 5; ++k)
            feedChunks(tp, data, 65536);
        fired = tp.getStatusAliveCount();
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(fired, 1u);
    EXPECT_LE((double)fired, 1 + elapsed + 0.01);
}

TEST(TsTransport, DurationLimitStopsAfterTheWholeBuffer)
{
    Bytes data = readFixture("pcr_wrap.ts");
    std::vector<Pkt> pk = scan(data);
    const size_t chunk = 65536;
    // The first buffer at whose end the PCR span exceeds one second.
    long long first = -1, offset = 0, prev = -1, last = -1;
    size_t expectedCall = 0;
    for (size_t i = 0; i < pk.size() && !expectedCall; ++i) {
        if (pk[i].pid == 0x100 && pk[i].hasPcr) {
            if (prev >= 0 && pk[i].pcr < prev)
                offset += kModulus;
            prev = pk[i].pcr;
            if (first < 0)
                first = pk[i].pcr + offset;
            else
                last = pk[i].pcr + offset;
        }
        // Packet i is the last one handled in the call whose data holds its last byte when
        // the next packet ends beyond that call's data.
        size_t endByte = (i + 1) * 188;
        size_t call = (endByte + chunk - 1) / chunk;
        bool bufferEnds = call * chunk < endByte + 188 || i + 1 == pk.size();
        if (bufferEnds && last >= 0 && (double)(last - first) / 27e6 > 1.0)
            expectedCall = call;
    }
    ASSERT_GT(expectedCall, 1u);
    StreamRun r = runStream(data, chunk, 1);
    ASSERT_EQ(expectedCall, r.results.size());
    EXPECT_EQ(3, r.results.back());
    EXPECT_EQ((long long)((expectedCall - 1) * chunk), r.byteCount);
    EXPECT_GT(r.spanSeconds, 1.0);
    // The whole stopping buffer was dispatched.
    EXPECT_EQ((long long)(expectedCall * chunk / 188), r.packets);
}

TEST(TsTransport, PcrWrapFixture)
{
    Bytes data = readFixture("pcr_wrap.ts");
    StreamRun r = runStream(data, 65536);
    std::vector<Ev> rolls = eventsOf(r.events, CB_MPEG2TS_PCR_ROLL_OVER);
    ASSERT_EQ(1u, rolls.size());
    EXPECT_EQ(0x100, rolls[0].pid);
    EXPECT_EQ("pcr rollover detected", rolls[0].text);
    EXPECT_NEAR(2.96, r.spanSeconds, 1e-6);
    std::vector<Ev> d = eventsOf(r.events, CB_MPEG2TS_DURATION);
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(1u, d.back().dur.final);
    EXPECT_EQ(0u, d.back().dur.hours);
    EXPECT_EQ(0u, d.back().dur.minutes);
    EXPECT_EQ(3u, d.back().dur.seconds);
}

TEST(TsTransport, TwoProgramsOnlyTheFirstPmtSeen)
{
    Bytes data = readFixture("two_programs.ts");
    StreamRun r = runStream(data, 65536);
    EXPECT_EQ(1, r.pmtProgram);
    for (const ProcInfo& p : r.procs) {
        EXPECT_NE(0x1001, p.pid);
        EXPECT_NE(0x102, p.pid);
        EXPECT_NE(0x103, p.pid);
    }
    EXPECT_EQ(1u, eventsOf(r.events, CB_MPEG2TS_PMT).size());
}

namespace {

// PAT, PMT and then `count` packets of PID 0x100 carrying PCRs at the given times.
Bytes syntheticStream(const std::vector<Element>& elements, const std::vector<long long>& pcrs, int count)
{
    Bytes s;
    append(s, makePacket(0, 0, true, patPayload({{1, 0x1000}})));
    append(s, makePacket(0x1000, 0, true, pmtPayload(1, 0x100, elements)));
    size_t next = 0;
    for (int i = 0; i < count; ++i) {
        Bytes pes = {0x00, 0x00, 0x01, 0xBD, 0x00, 0x00, 0x80, 0x00, 0x00};
        bool start = i % 10 == 0;
        if (next < pcrs.size() && i % 5 == 0)
            append(s, makePacket(0x100, i, start, pes, 3, afPcr(pcrs[next++])));
        else
            append(s, makePacket(0x100, i, start, pes));
    }
    return s;
}

}  // namespace

TEST(TsTransport, FewerThanTwoPcrsGiveNoSpanReports)
{
    struct Case {
        std::vector<long long> pcrs;
        bool reports;
    };
    const Case cases[] = {{{}, false}, {{27000000}, false}, {{27000000, 27000000}, false},
                          {{27000000, 54000000}, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pcrs.size());
        StreamRun r = runStream(syntheticStream({{2, 0x100, {}}}, c.pcrs, 40), 65536);
        ASSERT_EQ(Mpeg2TransportProcessor::STATE_RUNNING, r.state);
        size_t want = c.reports ? 1 : 0;
        EXPECT_EQ(want, eventsOf(r.events, CB_MPEG2TS_DURATION).size());
        EXPECT_EQ(want, eventsOf(r.events, CB_MPEG2TS_MUX_BITRATE).size());
        EXPECT_EQ(2 * want, eventsOf(r.events, CB_MPEG2TS_TRANSP_BITRATE).size());
        EXPECT_EQ(want, eventsOf(r.events, CB_MPEG2TS_PES_STREAM_BITRATE).size());
        for (const Ev& e : r.events)
            EXPECT_TRUE(std::isfinite(e.value));
    }
    // Without a PMT nothing is reported at the end at all.
    Bytes onlyPat;
    append(onlyPat, makePacket(0, 0, true, patPayload({{1, 0x1000}})));
    StreamRun r = runStream(onlyPat, 65536);
    EXPECT_EQ(Mpeg2TransportProcessor::STATE_WAIT_PMT, r.state);
    EXPECT_TRUE(eventsOf(r.events, CB_MPEG2TS_DURATION).empty());
}

TEST(TsTransport, PrivateDataStreamsNeedBssd)
{
    const Bytes bssd = {0x05, 0x04, 'B', 'S', 'S', 'D'};
    const Bytes other = {0x05, 0x04, 'A', 'C', '-', '3'};
    struct Case {
        const char* name;
        Bytes descriptors;
        size_t pesCount;
    };
    Bytes two = bssd;
    two.insert(two.end(), other.begin(), other.end());
    two.insert(two.end(), bssd.begin(), bssd.end());
    const Case cases[] = {{"none", {}, 0}, {"another registration", other, 0}, {"one", bssd, 1}, {"two", two, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StreamRun r = runStream(syntheticStream({{6, 0x100, c.descriptors}, {0x86, 0x101, {}}}, {27000000, 54000000}, 30),
                          65536);
        ASSERT_EQ(3 + c.pesCount, r.procs.size());
        for (size_t i = 3; i < r.procs.size(); ++i) {
            EXPECT_EQ(6, r.procs[i].streamType);
            EXPECT_EQ(0x100, r.procs[i].pid);
        }
        // Only the first of two processors on one PID receives its packets.
        if (c.pesCount == 2) {
            EXPECT_EQ(30 * 188, r.procs[3].byteCount);
            EXPECT_EQ(0, r.procs[4].byteCount);
        }
    }
}

TEST(TsTransport, PesOnThePcrPidSharesPacketsWithTheAdaptationField)
{
    StreamRun r = runStream(syntheticStream({{2, 0x100, {}}}, {27000000, 28000000, 29000000}, 40), 65536);
    ASSERT_EQ(4u, r.procs.size());
    EXPECT_EQ(40 * 188, r.procs[2].byteCount);
    EXPECT_EQ(40 * 188, r.procs[3].byteCount);
    EXPECT_TRUE(eventsOf(r.events, CB_MPEG2TS_CONTINUITY_ERROR).empty());
}

TEST(TsTransport, DamagedStreamsStayInsideTheirBuffers)
{
    // Random damage to headers and lengths of a real stream: nothing may crash or read
    // outside a buffer (run under the address sanitizer), and the end stays finite.
    Bytes clean = readFixture("two_programs.ts");
    uint32_t seed = 2024;
    auto rnd = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 30; ++round) {
        Bytes data = clean;
        size_t packets = data.size() / 188;
        for (int k = 0; k < 300; ++k) {
            size_t p = rnd() % packets;
            size_t offset = 1 + rnd() % 12;  // header, adaptation field, pointer_field, section start
            data[p * 188 + offset] = (uint8_t)rnd();
        }
        StreamRun r = runStream(data, 1 + rnd() % 5000);
        for (const Ev& e : r.events)
            EXPECT_TRUE(std::isfinite(e.value));
    }
}

TEST(TsTransport, PacketPathAllocatesNothing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own books";
#else
    // Once the tables are read, repeated PAT and PMT sections, PCR packets and packets of
    // unknown PIDs go through the whole dispatch; the heap must not move.
    Bytes setup = syntheticStream({{0x86, 0x101, {}}}, {27000000, 28000000}, 10);
    Bytes steady;
    for (int i = 0; i < 2000; ++i) {
        if (i % 100 == 0) {
            append(steady, makePacket(0, 1 + i / 100, true, patPayload({{1, 0x1000}})));
            append(steady, makePacket(0x1000, 1 + i / 100, true, pmtPayload(1, 0x100, {{0x86, 0x101, {}}})));
        }
        if (i % 10 == 0)
            append(steady, makePacket(0x100, 10 + i / 10, false, {}, 3, afPcr(28000000 + 27000LL * i)));
        append(steady, makePacket(0x1234, i, false, Bytes(184, 0x55)));
    }
    MsgCallback registry;
    registerAll(registry);
    g_ev.clear();
    g_ev.reserve(100000);
    Mpeg2TransportProcessor tp(&registry, 0);
    tp.processRawBuff(setup.data(), (long long)setup.size());
    ASSERT_EQ(Mpeg2TransportProcessor::STATE_RUNNING, tp.getState());
    size_t before = mallinfo2().uordblks;
    for (size_t pos = 0; pos + 1000 <= steady.size(); pos += 1000)
        tp.processRawBuff(steady.data() + pos, 1000);
    size_t after = mallinfo2().uordblks;
    EXPECT_EQ(before, after);
    EXPECT_GT(tp.getPacketNumber(), 2000);
#endif
}
