// H264Processor: the report values of the H.264 fixtures (checked against ffprobe), chunking,
// NAL units at chunk edges, SEI captions built here, GOP bookkeeping and damaged input.

#include "engine/h264Processor.h"
#include "engine/msgCallback.h"
#include "engine/pesProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::fixture;
using testsupport::BitWriter;
using testsupport::extractElementaryStream;
using testsupport::makePacket;

namespace {

const int kPid = 481;

// ---- event recording ----------------------------------------------------------------------

struct Event {
    int id;
    int pid;
    std::string text;
    double number;
};

std::vector<Event>* g_events = nullptr;

template <int ID>
void textCb(void* data, StreamMessagePool*)
{
    auto* info = static_cast<PidValueInfo*>(data);
    const char* t = static_cast<const char*>(info->value);
    g_events->push_back({ID, info->pid, t ? t : "<null>", 0.0});
}

template <int ID>
void doubleCb(void* data, StreamMessagePool*)
{
    auto* info = static_cast<PidValueInfo*>(data);
    g_events->push_back({ID, info->pid, "", *static_cast<double*>(info->value)});
}

template <int ID>
void intCb(void* data, StreamMessagePool*)
{
    auto* info = static_cast<PidValueInfo*>(data);
    g_events->push_back({ID, info->pid, "", (double)*static_cast<int*>(info->value)});
}

void bitrateCb(void* data, StreamMessagePool*)
{
    auto* info = static_cast<ValueUnitsInfo*>(data);
    g_events->push_back({CB_MPEG2TS_ELM_STREAM_BITRATE, info->pid, info->units,
                         *static_cast<double*>(info->value)});
}

void captionCb(void* data, StreamMessagePool*)
{
    auto* cc = static_cast<ClosedCaptionInfo*>(data);
    std::string flags = std::string(cc->atscEia608 ? "608" : "-") + (cc->atscEia708 ? "708" : "-") +
                        (cc->scte20 ? "s20" : "-") + (cc->scte21 ? "s21" : "-");
    g_events->push_back({CB_MPEG2TS_CC, cc->pid, flags, 0.0});
}

// A registry that records every firing (all registered repeating).
class Recorder {
public:
    Recorder()
    {
        g_events = &m_events;
        m_cb.registerMsgCallback(CB_MPEG2TS_VIDEO_RES, textCb<CB_MPEG2TS_VIDEO_RES>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_FRAME_RATE, textCb<CB_MPEG2TS_FRAME_RATE>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_DROP_FRAME, textCb<CB_MPEG2TS_DROP_FRAME>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_CHROMA, textCb<CB_MPEG2TS_CHROMA>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_PROFILE_AND_LEVEL, textCb<CB_MPEG2TS_PROFILE_AND_LEVEL>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_GOP_PAYLOAD, textCb<CB_MPEG2TS_GOP_PAYLOAD>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_GOP_STRUCT, textCb<CB_MPEG2TS_GOP_STRUCT>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_OPEN_CLOSED_GOP, textCb<CB_MPEG2TS_OPEN_CLOSED_GOP>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_ADAPTIVE_GOP, textCb<CB_MPEG2TS_ADAPTIVE_GOP>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_ASPECT_RATIO, doubleCb<CB_MPEG2TS_ASPECT_RATIO>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, doubleCb<CB_MPEG2TS_SAMPLE_ASPECT_RATIO>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_GOP_SIZE, intCb<CB_MPEG2TS_GOP_SIZE>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_FIELD_COUNT, intCb<CB_MPEG2TS_FIELD_COUNT>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_FRAME_COUNT, intCb<CB_MPEG2TS_FRAME_COUNT>, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_ELM_STREAM_BITRATE, bitrateCb, true);
        m_cb.registerMsgCallback(CB_MPEG2TS_CC, captionCb, true);
    }
    ~Recorder() { g_events = nullptr; }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    MsgCallback* callback() { return &m_cb; }
    const std::vector<Event>& events() const { return m_events; }
    int count(int id) const
    {
        int n = 0;
        for (const Event& e : m_events)
            n += e.id == id;
        return n;
    }
    const Event* first(int id) const
    {
        for (const Event& e : m_events)
            if (e.id == id)
                return &e;
        return nullptr;
    }
    std::string text(int id) const
    {
        const Event* e = first(id);
        return e ? e->text : "<none>";
    }
    double number(int id) const
    {
        const Event* e = first(id);
        return e ? e->number : -1.0;
    }
    // Every event as one line, to compare whole runs.
    std::string dump() const
    {
        std::string s;
        char buf[64];
        for (const Event& e : m_events) {
            snprintf(buf, sizeof(buf), "%d/%d/%.9g/", e.id, e.pid, e.number);
            s += buf + e.text + "\n";
        }
        return s;
    }

private:
    std::vector<Event> m_events;
    MsgCallback m_cb;
};

// Feeds es in chunks of the given size, deletes the processor (its end events), and returns
// the byte count it reported.
long long analyse(Recorder& rec, const std::vector<uint8_t>& es, size_t chunk,
                  int* unusableSps = nullptr, double spanSeconds = 0.0)
{
    auto proc = std::make_unique<H264Processor>(rec.callback(), kPid);
    std::vector<uint8_t> copy(es);  // processRawBuff takes a modifiable pointer
    for (size_t at = 0; at < copy.size(); at += chunk) {
        size_t n = std::min(chunk, copy.size() - at);
        // An exact heap copy of each chunk, so that the sanitizer sees any read past it.
        std::unique_ptr<uint8_t[]> piece(new uint8_t[n]);
        memcpy(piece.get(), &copy[at], n);
        int r = proc->processRawBuff(piece.get(), (long long)n);
        EXPECT_TRUE(r == 1 || r == 2);
    }
    long long bytes = proc->getByteCount();
    if (unusableSps)
        *unusableSps = proc->getUnusableSpsCount();
    // The transport processor's end report; without it no elementary rate is reported.
    if (spanSeconds > 0)
        proc->calculateBitrateBps(spanSeconds);
    proc.reset();
    return bytes;
}

// ---- streams ---------------------------------------------------------------------------

// A NAL unit in Annex B form: 4-byte start code, header, payload with emulation prevention.
void appendNal(std::vector<uint8_t>& out, int type, const std::vector<uint8_t>& rbsp)
{
    const uint8_t start[] = {0, 0, 0, 1, (uint8_t)((type == 6 || type == 9 ? 0 : 0x60) | type)};
    out.insert(out.end(), start, start + sizeof(start));
    int zeros = 0;
    for (uint8_t b : rbsp) {
        if (zeros >= 2 && b <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        out.push_back(b);
        zeros = b == 0 ? zeros + 1 : 0;
    }
}

// Profiles without the high-profile fields only.
struct SpsSpec {
    int profile = 77;
    int level = 30;
    unsigned widthMbsM1 = 21, heightMapM1 = 17;  // 352 x 288
    bool frameMbsOnly = true;
    unsigned log2MaxFrameNumM4 = 0;
    unsigned cropBottom = 0;
    int aspectIdc = 1;  // -1: none
    bool timing = true;
    uint32_t units = 1, scale = 50;
};

std::vector<uint8_t> spsRbsp(const SpsSpec& s)
{
    BitWriter w;
    w.bits((unsigned)s.profile, 8);
    w.bits(0x40, 8);
    w.bits((unsigned)s.level, 8);
    w.ue(0);
    w.ue(s.log2MaxFrameNumM4);
    w.ue(2);  // pic_order_cnt_type
    w.ue(1);
    w.bit(0);
    w.ue(s.widthMbsM1);
    w.ue(s.heightMapM1);
    w.bit(s.frameMbsOnly);
    if (!s.frameMbsOnly)
        w.bit(0);
    w.bit(1);
    w.bit(s.cropBottom != 0);
    if (s.cropBottom) {
        w.ue(0);
        w.ue(0);
        w.ue(0);
        w.ue(s.cropBottom);
    }
    w.bit(1);  // VUI
    w.bit(s.aspectIdc >= 0);
    if (s.aspectIdc >= 0)
        w.bits((unsigned)s.aspectIdc, 8);
    w.bit(0);
    w.bit(0);
    w.bit(0);
    w.bit(s.timing);
    if (s.timing) {
        w.bits(s.units, 32);
        w.bits(s.scale, 32);
        w.bit(1);
    }
    w.bits(0, 4);
    w.trailing();
    return w.data();
}

// A slice with its first fields and some payload bytes (including zero runs that need
// emulation prevention).
std::vector<uint8_t> sliceRbsp(unsigned sliceType, unsigned frameNum, int field = -1,
                               size_t payload = 40)
{
    BitWriter w;
    w.ue(0);
    w.ue(sliceType);
    w.ue(0);
    w.bits(frameNum & 0xF, 4);
    if (field >= 0) {
        w.bit(1);                    // field_pic_flag
        w.bit((unsigned)field);      // bottom_field_flag
    }
    for (size_t i = 0; i < payload; ++i)
        w.byte((uint8_t)(i % 7 == 3 ? 0 : (i * 37 + 11)));
    w.trailing();
    return w.data();
}

// SEI with one user_data_registered_itu_t_t35 message carrying ATSC cc_data.
std::vector<uint8_t> captionSeiRbsp(const std::vector<std::vector<uint8_t>>& constructs,
                                    uint8_t typeCode = 0x03, bool processCcData = true,
                                    const char* identifier = "GA94")
{
    std::vector<uint8_t> payload = {0xB5, 0x00, 0x31};
    payload.insert(payload.end(), identifier, identifier + 4);
    payload.push_back(typeCode);
    payload.push_back((uint8_t)((processCcData ? 0x40 : 0) | (constructs.size() & 0x1F)));
    payload.push_back(0xFF);  // em_data
    for (const auto& c : constructs)
        payload.insert(payload.end(), c.begin(), c.end());
    payload.push_back(0xFF);  // marker_bits
    std::vector<uint8_t> rbsp;
    rbsp.push_back(4);
    size_t size = payload.size();
    while (size >= 255) {
        rbsp.push_back(0xFF);
        size -= 255;
    }
    rbsp.push_back((uint8_t)size);
    rbsp.insert(rbsp.end(), payload.begin(), payload.end());
    rbsp.push_back(0x80);
    return rbsp;
}

// An SEI message of another type with a payload of the given size.
std::vector<uint8_t> seiMessage(unsigned type, size_t size, uint8_t fill = 0x5A)
{
    std::vector<uint8_t> m;
    unsigned t = type;
    while (t >= 255) {
        m.push_back(0xFF);
        t -= 255;
    }
    m.push_back((uint8_t)t);
    size_t s = size;
    while (s >= 255) {
        m.push_back(0xFF);
        s -= 255;
    }
    m.push_back((uint8_t)s);
    m.insert(m.end(), size, fill);
    return m;
}

const std::vector<uint8_t> kCc608 = {0xFC, 0x94, 0x2C};
const std::vector<uint8_t> kCc708 = {0xFE, 0x02, 0x21};
const std::vector<uint8_t> kCcInvalid608 = {0xF8, 0x80, 0x80};  // cc_valid 0

// One GOP: SPS, PPS, IDR (or a non-IDR I), then P/B slices by type letters.
void appendGop(std::vector<uint8_t>& es, const SpsSpec& sps, const char* types, bool idr = true,
               bool withSps = true)
{
    if (withSps)
        appendNal(es, 7, spsRbsp(sps));
    appendNal(es, 8, {0xCE, 0x38, 0x80});
    unsigned frame = 0;
    for (const char* t = types; *t; ++t) {
        appendNal(es, 9, {0x10});
        unsigned sliceType = *t == 'I' ? 7 : *t == 'P' ? 5 : 6;
        int nalType = (*t == 'I' && idr && t == types) ? 5 : 1;
        appendNal(es, nalType, sliceRbsp(sliceType, frame++));
    }
}

struct FixtureExpect {
    const char* file;
    const char* resolution;
    const char* frameRate;
    double aspect;
    double sampleAspect;
    const char* chroma;
    const char* profileLevel;
    int gopSize;
    const char* gopStruct;
    const char* open;
    const char* adaptive;
    int frames;
};

// ffprobe: width x height, r_frame_rate, display and sample aspect ratio, pix_fmt, profile and
// level, nb_read_frames; the key-frame distance for the GOP size where a GOP ends inside the
// file (a single GOP that the file ends gives 0: no GOP boundary).
const FixtureExpect kFixtures[] = {
    {"h264_baseline_360_aac.ts", "640x360", "30", 16.0 / 9, 1.0, "4:2:0", "Baseline@Level 3", 0,
     "", "false", "false", 30},
    {"h264_main_576i_mp3.ts", "720x576", "25", 5.0 / 4, 1.0, "4:2:0", "Main@Level 3", 0, "",
     "false", "false", 25},
    {"h264_high_720_ac3_51.ts", "1280x720", "25", 16.0 / 9, 1.0, "4:2:0", "High@Level 3.1", 0, "",
     "false", "false", 25},
    // One whole GOP and the start of the next: that GOP describes the stream.
    {"h264_high_1080_aac_51.ts", "1920x1080", "29.97", 16.0 / 9, 1.0, "4:2:0", "High@Level 4", 15,
     "IPBBBPPPPBBBPPB", "false", "false", 18},
    {"h264_gop12_cif.ts", "352x288", "25", 11.0 / 9, 1.0, "4:2:0", "High@Level 1.3", 12, "IPBB",
     "false", "false", 60},
    // Open GOPs of 12 (the first has no leading pictures, so 10 in coded order).
    {"h264_open_gop.ts", "352x288", "25", 11.0 / 9, 1.0, "4:2:0", "High@Level 1.3", 12, "IBBP",
     "true", "false", 60},
    // Parameter sets before every picture: the GOPs come from the pictures all the same.
    {"h264_sps_every_picture.ts", "176x144", "25", 11.0 / 9, 1.0, "4:2:0", "High@Level 1.1", 12,
     "IPBB", "false", "false", 50},
    // Open GOPs of 25 (ffprobe's key frame distance) with 1, 2 and 1 leading B pictures, so 24
    // and 26 pictures in coded order; x264's B decisions repeat no period: the whole GOP.
    {"h264_open_gop_adaptive_b.ts", "160x96", "25", 5.0 / 3, 1.0, "4:2:0", "High@Level 1.1", 25,
     "IBPBBBPBBBPBBBPBPBBPPBBB", "true", "false", 80},
    {"h264_high422_sar.ts", "320x180", "25", 1024.0 / 405, 64.0 / 45, "4:2:2",
     "High 4:2:2@Level 1.2", 0, "", "false", "false", 10},
    {"h264_high444.ts", "352x288", "25", 11.0 / 9, 1.0, "4:4:4",
     "High 4:4:4 Predictive@Level 1.3", 0, "", "false", "false", 10},
};

}  // namespace

TEST(H264Fixtures, ReportValuesAgreeWithFfprobe)
{
    for (const FixtureExpect& f : kFixtures) {
        SCOPED_TRACE(f.file);
        std::vector<uint8_t> es = extractElementaryStream(fixture(f.file), 27);
        ASSERT_GT(es.size(), 1000u);
        Recorder rec;
        int unusable = -1;
        EXPECT_EQ((long long)es.size(), analyse(rec, es, 184, &unusable));
        EXPECT_EQ(0, unusable);
        EXPECT_EQ(f.resolution, rec.text(CB_MPEG2TS_VIDEO_RES));
        EXPECT_EQ(f.frameRate, rec.text(CB_MPEG2TS_FRAME_RATE));
        EXPECT_EQ("false", rec.text(CB_MPEG2TS_DROP_FRAME));
        EXPECT_NEAR(f.aspect, rec.number(CB_MPEG2TS_ASPECT_RATIO), 1e-9);
        EXPECT_NEAR(f.sampleAspect, rec.number(CB_MPEG2TS_SAMPLE_ASPECT_RATIO), 1e-9);
        EXPECT_EQ(f.chroma, rec.text(CB_MPEG2TS_CHROMA));
        EXPECT_EQ(f.profileLevel, rec.text(CB_MPEG2TS_PROFILE_AND_LEVEL));
        EXPECT_EQ(f.gopSize, rec.number(CB_MPEG2TS_GOP_SIZE));
        EXPECT_EQ(f.gopStruct, rec.text(CB_MPEG2TS_GOP_STRUCT));
        EXPECT_EQ(f.open, rec.text(CB_MPEG2TS_OPEN_CLOSED_GOP));
        EXPECT_EQ(f.adaptive, rec.text(CB_MPEG2TS_ADAPTIVE_GOP));
        EXPECT_EQ(f.frames, rec.number(CB_MPEG2TS_FRAME_COUNT));
        EXPECT_EQ(0, rec.number(CB_MPEG2TS_FIELD_COUNT));
        EXPECT_EQ("----", rec.text(CB_MPEG2TS_CC));
        // Every event carries the PID.
        for (const Event& e : rec.events())
            EXPECT_EQ(kPid, e.pid) << e.id;
    }
}

TEST(H264Fixtures, ClosedGopPayloadAndEventOrder)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_gop12_cif.ts"), 27);
    Recorder rec;
    analyse(rec, es, 184, nullptr, 2.4);
    // The second GOP is recorded (I P B B P B B P B B P B in coded order).
    EXPECT_EQ("IPBBPBBPBBPB", rec.text(CB_MPEG2TS_GOP_PAYLOAD));
    // End events: the codec's GOP texts first, then the common ones in their order.
    std::vector<int> tail;
    for (const Event& e : rec.events()) {
        if (e.id == CB_MPEG2TS_GOP_STRUCT || e.id == CB_MPEG2TS_GOP_PAYLOAD ||
            e.id == CB_MPEG2TS_ELM_STREAM_BITRATE || e.id == CB_MPEG2TS_CC ||
            e.id == CB_MPEG2TS_OPEN_CLOSED_GOP || e.id == CB_MPEG2TS_ADAPTIVE_GOP ||
            e.id == CB_MPEG2TS_GOP_SIZE || e.id == CB_MPEG2TS_FIELD_COUNT ||
            e.id == CB_MPEG2TS_FRAME_COUNT)
            tail.push_back(e.id);
    }
    std::vector<int> order = {CB_MPEG2TS_GOP_STRUCT,      CB_MPEG2TS_GOP_PAYLOAD,
                              CB_MPEG2TS_ELM_STREAM_BITRATE, CB_MPEG2TS_CC,
                              CB_MPEG2TS_OPEN_CLOSED_GOP, CB_MPEG2TS_ADAPTIVE_GOP,
                              CB_MPEG2TS_GOP_SIZE,        CB_MPEG2TS_FIELD_COUNT,
                              CB_MPEG2TS_FRAME_COUNT};
    EXPECT_EQ(order, tail);
    // One SPS per GOP: five of each per-SPS event.
    EXPECT_EQ(5, rec.count(CB_MPEG2TS_PROFILE_AND_LEVEL));
    EXPECT_EQ(5, rec.count(CB_MPEG2TS_ASPECT_RATIO));
    EXPECT_EQ(60, rec.count(CB_MPEG2TS_VIDEO_RES));
}

TEST(H264Fixtures, PictureInSeveralSlicesCountsOnce)
{
    // 24 pictures of four slices each, in two closed GOPs of 12 (ffprobe counts 24 frames).
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_four_slices.ts"), 27);
    ASSERT_GT(es.size(), 1000u);
    Recorder rec;
    analyse(rec, es, 184);
    EXPECT_EQ(24, rec.number(CB_MPEG2TS_FRAME_COUNT));
    EXPECT_EQ(0, rec.number(CB_MPEG2TS_FIELD_COUNT));
    EXPECT_EQ(12, rec.number(CB_MPEG2TS_GOP_SIZE));
}

TEST(H264Fixtures, EveryChunkSizeGivesTheSameReport)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_high_1080_aac_51.ts"), 27);
    Recorder reference;
    analyse(reference, es, 184);
    const std::string expected = reference.dump();
    ASSERT_NE(std::string::npos, expected.find("1920x1080"));
    ASSERT_EQ(15, reference.number(CB_MPEG2TS_GOP_SIZE));  // the second GOP was found
    for (size_t chunk = 1; chunk <= 600; ++chunk) {
        Recorder rec;
        EXPECT_EQ((long long)es.size(), analyse(rec, es, chunk));
        ASSERT_EQ(expected, rec.dump()) << "chunk " << chunk;
    }
}

TEST(H264Fixtures, ChunksLargerThanTheWindow)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_gop12_cif.ts"), 27);
    Recorder reference;
    analyse(reference, es, 184);
    for (size_t chunk : {563u, 564u, 565u, 1000u, 4096u, 65536u, 1000000u}) {
        Recorder rec;
        EXPECT_EQ((long long)es.size(), analyse(rec, es, chunk));
        EXPECT_EQ(reference.dump(), rec.dump()) << chunk;
    }
}

// ---- NAL units at chunk edges ---------------------------------------------------------------

TEST(H264Nal, ParameterSetSplitAtEveryByteIsReadOnceAndRight)
{
    SpsSpec spec;
    spec.profile = 77;
    spec.level = 41;
    spec.widthMbsM1 = 119;
    spec.heightMapM1 = 67;
    spec.cropBottom = 4;
    spec.units = 1001;
    spec.scale = 60000;
    std::vector<uint8_t> es;
    appendNal(es, 9, {0x10});
    appendGop(es, spec, "IPPB");
    // Where the SPS lies: every split inside it and around it.
    size_t spsAt = 6;
    for (size_t split = spsAt; split < spsAt + 40 && split < es.size(); ++split) {
        Recorder rec;
        auto proc = std::make_unique<H264Processor>(rec.callback(), kPid);
        std::vector<uint8_t> a(es.begin(), es.begin() + split);
        std::vector<uint8_t> b(es.begin() + split, es.end());
        if (!a.empty())
            proc->processRawBuff(a.data(), (long long)a.size());
        proc->processRawBuff(b.data(), (long long)b.size());
        EXPECT_EQ(0, proc->getUnusableSpsCount()) << split;
        EXPECT_EQ((long long)es.size(), proc->getByteCount());
        proc.reset();
        EXPECT_EQ(1, rec.count(CB_MPEG2TS_PROFILE_AND_LEVEL)) << split;
        EXPECT_EQ("Main@Level 4.1", rec.text(CB_MPEG2TS_PROFILE_AND_LEVEL));
        EXPECT_EQ("29.97", rec.text(CB_MPEG2TS_FRAME_RATE));
        EXPECT_EQ("1920x1080", rec.text(CB_MPEG2TS_VIDEO_RES));
        EXPECT_EQ(4, rec.number(CB_MPEG2TS_FRAME_COUNT)) << split;
    }
}

TEST(H264Nal, LastUnitOfTheDataWaitsForItsEnd)
{
    // An SPS whose end is not yet known is not read; the next start code completes it.
    SpsSpec spec;
    std::vector<uint8_t> sps;
    appendNal(sps, 7, spsRbsp(spec));
    Recorder rec;
    H264Processor proc(rec.callback(), kPid);
    EXPECT_EQ(2, proc.processRawBuff(sps.data(), (long long)sps.size()));
    EXPECT_FALSE(proc.isSpsSeen());
    EXPECT_EQ(0, rec.count(CB_MPEG2TS_PROFILE_AND_LEVEL));
    std::vector<uint8_t> aud;
    appendNal(aud, 9, {0x10});
    proc.processRawBuff(aud.data(), (long long)aud.size());
    EXPECT_TRUE(proc.isSpsSeen());
    EXPECT_EQ(1, rec.count(CB_MPEG2TS_PROFILE_AND_LEVEL));
    EXPECT_EQ(0, proc.getUnusableSpsCount());
}

// ---- captions --------------------------------------------------------------------------------

TEST(H264Captions, AtscCaptionKindsInSei)
{
    struct {
        const char* name;
        std::vector<std::vector<uint8_t>> constructs;
        uint8_t typeCode;
        bool process;
        const char* identifier;
        const char* flags;
    } rows[] = {
        {"608", {kCc608}, 3, true, "GA94", "608---"},
        {"708", {kCc708}, 3, true, "GA94", "-708--"},
        {"both", {kCc608, kCc708, kCc708}, 3, true, "GA94", "608708--"},
        {"invalid 608 only", {kCcInvalid608}, 3, true, "GA94", "----"},
        {"process_cc_data_flag clear", {kCc608, kCc708}, 3, false, "GA94", "----"},
        {"bar data, not captions", {kCc608}, 6, true, "GA94", "----"},
        {"other identifier", {kCc608}, 3, true, "DTG1", "----"},
        {"31 constructs", std::vector<std::vector<uint8_t>>(31, kCc708), 3, true, "GA94", "-708--"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        SpsSpec spec;
        std::vector<uint8_t> es;
        appendNal(es, 7, spsRbsp(spec));
        appendNal(es, 6, captionSeiRbsp(r.constructs, r.typeCode, r.process, r.identifier));
        appendNal(es, 5, sliceRbsp(7, 0));
        appendNal(es, 9, {0x10});
        Recorder rec;
        analyse(rec, es, 7);
        EXPECT_EQ(r.flags, rec.text(CB_MPEG2TS_CC));
    }
}

TEST(H264Captions, CaptionSeiSplitAtEveryByte)
{
    std::vector<uint8_t> es;
    appendNal(es, 7, spsRbsp(SpsSpec()));
    size_t seiAt = es.size();
    appendNal(es, 6, captionSeiRbsp({kCc708, kCc608}));
    appendNal(es, 5, sliceRbsp(7, 0));
    for (size_t split = seiAt; split < es.size(); ++split) {
        Recorder rec;
        {
            H264Processor proc(rec.callback(), kPid);
            std::vector<uint8_t> a(es.begin(), es.begin() + split);
            std::vector<uint8_t> b(es.begin() + split, es.end());
            proc.processRawBuff(a.data(), (long long)a.size());
            proc.processRawBuff(b.data(), (long long)b.size());
        }
        EXPECT_EQ("608708--", rec.text(CB_MPEG2TS_CC)) << split;
    }
}

TEST(H264Captions, SeiLargerThanTheWindowIsSkippedAndTheStreamGoesOn)
{
    // An SEI of 2000 bytes (one unregistered user data message, as encoders write their
    // settings), then a caption SEI, an SPS and slices: the later units are all read.
    std::vector<uint8_t> es;
    std::vector<uint8_t> big = seiMessage(5, 2000);
    big.push_back(0x80);
    appendNal(es, 6, big);
    // Several messages in one unit: a big one first hides the caption message after it, which
    // lies beyond what the window can hold.
    std::vector<uint8_t> mixed = seiMessage(5, 700);
    std::vector<uint8_t> cc = captionSeiRbsp({kCc608});
    mixed.insert(mixed.end(), cc.begin(), cc.end());
    appendNal(es, 6, mixed);
    appendNal(es, 6, captionSeiRbsp({kCc708}));
    appendNal(es, 7, spsRbsp(SpsSpec()));
    appendNal(es, 5, sliceRbsp(7, 0));
    appendNal(es, 1, sliceRbsp(5, 1));
    appendNal(es, 9, {0x10});
    for (size_t chunk : {1u, 13u, 184u, 564u, 5000u}) {
        SCOPED_TRACE(chunk);
        Recorder rec;
        analyse(rec, es, chunk);
        EXPECT_EQ("-708--", rec.text(CB_MPEG2TS_CC));
        EXPECT_EQ("352x288", rec.text(CB_MPEG2TS_VIDEO_RES));
        EXPECT_EQ(2, rec.number(CB_MPEG2TS_FRAME_COUNT));
    }
}

TEST(H264Captions, SeveralMessagesInOneUnit)
{
    std::vector<uint8_t> rbsp = seiMessage(1, 3);  // pic_timing-like
    std::vector<uint8_t> cc = captionSeiRbsp({kCc608});
    cc.pop_back();  // no trailing bits yet
    rbsp.insert(rbsp.end(), cc.begin(), cc.end());
    std::vector<uint8_t> recovery = seiMessage(6, 2, 0x80);  // payload bytes that look like trailing bits
    rbsp.insert(rbsp.end(), recovery.begin(), recovery.end());
    std::vector<uint8_t> cc2 = captionSeiRbsp({kCc708});
    rbsp.insert(rbsp.end(), cc2.begin(), cc2.end());
    std::vector<uint8_t> es;
    appendNal(es, 6, rbsp);
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 184);
    EXPECT_EQ("608708--", rec.text(CB_MPEG2TS_CC));
}

// ---- GOP bookkeeping ------------------------------------------------------------------------

TEST(H264Gop, IdrOnlyStreamNeverOpens)
{
    std::vector<uint8_t> es;
    SpsSpec spec;
    for (int g = 0; g < 6; ++g)
        appendGop(es, spec, "IPP");
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 100);
    EXPECT_EQ("false", rec.text(CB_MPEG2TS_OPEN_CLOSED_GOP));
    EXPECT_EQ("false", rec.text(CB_MPEG2TS_ADAPTIVE_GOP));
    EXPECT_EQ(3, rec.number(CB_MPEG2TS_GOP_SIZE));
    EXPECT_EQ("IP", rec.text(CB_MPEG2TS_GOP_STRUCT));
    EXPECT_EQ(18, rec.number(CB_MPEG2TS_FRAME_COUNT));
}

TEST(H264Gop, NonIdrIntraAfterSpsOpensTheGop)
{
    std::vector<uint8_t> es;
    SpsSpec spec;
    appendGop(es, spec, "IPBB");
    appendGop(es, spec, "IBBP", false);  // non-IDR I after an SPS
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 64);
    EXPECT_EQ("true", rec.text(CB_MPEG2TS_OPEN_CLOSED_GOP));
    // The two B pictures after the open GOP's I display before it: 4 + 2 pictures.
    EXPECT_EQ(6, rec.number(CB_MPEG2TS_GOP_SIZE));
}

TEST(H264Gop, IntraWithoutSpsIsNoBoundary)
{
    // I slices inside a GOP (no SPS before them) do not start a GOP.
    std::vector<uint8_t> es;
    SpsSpec spec;
    appendGop(es, spec, "IPIPIP");
    appendGop(es, spec, "IPIPIP");
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 64);
    EXPECT_EQ(6, rec.number(CB_MPEG2TS_GOP_SIZE));
    EXPECT_EQ("false", rec.text(CB_MPEG2TS_OPEN_CLOSED_GOP));
}

TEST(H264Gop, StructureFromTheSecondGopAndAdaptiveTest)
{
    struct {
        const char* name;
        std::vector<const char*> gops;
        int size;
        const char* structure;
        const char* payload;
        const char* adaptive;
    } rows[] = {
        {"fixed IPBB", {"IPBBPBBPBBPB", "IPBBPBBPBBPB", "IPBBPBBPBBPB", "IPBBPBBPBBPB", "IP"}, 12,
         "IPBB", "IPBBPBBPBBPB", "false"},
        // The first GOP is not compared (as for MPEG-2 video).
        {"first two differ", {"IPPPP", "IPPP", "IPPP", "IPPP"}, 4, "IP", "IPPP", "false"},
        {"third differs", {"IPPP", "IPPP", "IPP", "IPPP", "IP"}, 4, "IP", "IPPP", "true"},
        {"all equal but the last", {"IPBP", "IPBP", "IPBP", "IPBP", "IPBPBP"}, 4, "IPBP", "IPBP",
         "false"},
        {"two whole GOPs", {"IPBB", "IPBB", "IPBB"}, 4, "IPBB", "IPBB", "false"},
        {"one whole GOP", {"IPPBPPBPPB", "IPB"}, 10, "IPPB", "IPPBPPBPPB", "false"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> es;
        SpsSpec spec;
        for (const char* g : r.gops)
            appendGop(es, spec, g);
        appendNal(es, 9, {0x10});
        Recorder rec;
        analyse(rec, es, 97);
        EXPECT_EQ(r.size, rec.number(CB_MPEG2TS_GOP_SIZE));
        EXPECT_EQ(r.structure, rec.text(CB_MPEG2TS_GOP_STRUCT));
        EXPECT_EQ(r.payload, rec.text(CB_MPEG2TS_GOP_PAYLOAD));
        EXPECT_EQ(r.adaptive, rec.text(CB_MPEG2TS_ADAPTIVE_GOP));
    }
}

// Field pictures (PAFF): each frame is one GOP picture, an I frame when one of its fields is I
// (an IDR I field followed by a P field), whichever parity comes first.
TEST(H264Gop, FieldPairsCountAsOneGopPicture)
{
    SpsSpec spec;
    spec.frameMbsOnly = false;
    spec.heightMapM1 = 17;  // 18 field map units: 576 lines
    spec.widthMbsM1 = 44;
    spec.cropBottom = 0;
    for (int first : {0, 1}) {
        SCOPED_TRACE(first ? "bottom field first" : "top field first");
        std::vector<uint8_t> es;
        for (int g = 0; g < 5; ++g) {
            appendNal(es, 7, spsRbsp(spec));
            appendNal(es, 8, {0xCE, 0x38, 0x80});
            unsigned frame = 0;
            const char* types = "IPP";
            for (const char* t = types; *t; ++t, ++frame) {
                unsigned st = *t == 'I' ? 7 : 5;
                appendNal(es, t == types ? 5 : 1, sliceRbsp(st, frame, first));
                appendNal(es, 1, sliceRbsp(st == 7 ? 5 : st, frame, 1 - first));
            }
        }
        appendNal(es, 9, {0x10});
        Recorder rec;
        analyse(rec, es, 184);
        EXPECT_EQ("720x576", rec.text(CB_MPEG2TS_VIDEO_RES));
        EXPECT_EQ(30, rec.number(CB_MPEG2TS_FIELD_COUNT));
        EXPECT_EQ(0, rec.number(CB_MPEG2TS_FRAME_COUNT));
        EXPECT_EQ(3, rec.number(CB_MPEG2TS_GOP_SIZE));
        EXPECT_EQ("IP", rec.text(CB_MPEG2TS_GOP_STRUCT));
        EXPECT_EQ("IPP", rec.text(CB_MPEG2TS_GOP_PAYLOAD));
        EXPECT_EQ("false", rec.text(CB_MPEG2TS_OPEN_CLOSED_GOP));
    }
}

// ---- parameter sets in the report ---------------------------------------------------------

TEST(H264Sps, FirstParameterSetReportsAspectAndLaterOnesRepeatIt)
{
    SpsSpec spec;
    spec.aspectIdc = 2;  // 12:11
    spec.widthMbsM1 = 44;
    spec.heightMapM1 = 35;  // 720 x 576
    std::vector<uint8_t> es;
    appendGop(es, spec, "IP");
    appendGop(es, spec, "IP");
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 50);
    EXPECT_EQ(2, rec.count(CB_MPEG2TS_ASPECT_RATIO));
    EXPECT_NEAR(720.0 * 12 / (576.0 * 11), rec.number(CB_MPEG2TS_ASPECT_RATIO), 1e-12);
    EXPECT_NEAR(12.0 / 11, rec.number(CB_MPEG2TS_SAMPLE_ASPECT_RATIO), 1e-12);
}

TEST(H264Sps, NoAspectInformationNoAspectEvents)
{
    SpsSpec spec;
    spec.aspectIdc = -1;
    std::vector<uint8_t> es;
    appendGop(es, spec, "IP");
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 50);
    EXPECT_EQ(0, rec.count(CB_MPEG2TS_ASPECT_RATIO));
    EXPECT_EQ(0, rec.count(CB_MPEG2TS_SAMPLE_ASPECT_RATIO));
    EXPECT_EQ("352x288", rec.text(CB_MPEG2TS_VIDEO_RES));
}

// Without PES time stamps a parameter set without timing gives no rate at all.
TEST(H264Sps, FrameRateNeverInfiniteOrNaN)
{
    struct {
        bool timing;
        uint32_t units, scale;
        const char* rate;
    } rows[] = {{false, 0, 0, "<none>"}, {true, 0, 50, "<none>"}, {true, 1, 0, "<none>"},
                {true, 1001, 48000, "23.976"}, {true, 1, 120, "60"}};
    for (const auto& r : rows) {
        SpsSpec spec;
        spec.timing = r.timing;
        spec.units = r.units;
        spec.scale = r.scale;
        std::vector<uint8_t> es;
        appendGop(es, spec, "I");
        appendNal(es, 9, {0x10});
        Recorder rec;
        analyse(rec, es, 50);
        EXPECT_EQ(r.rate, rec.text(CB_MPEG2TS_FRAME_RATE)) << r.units << "/" << r.scale;
        EXPECT_EQ("false", rec.text(CB_MPEG2TS_DROP_FRAME));
    }
}

namespace {

// Display positions of pictures given in coded order: the B pictures after an I or P picture
// display before it.
std::vector<int> displayOrder(const std::string& types)
{
    std::vector<int> pos(types.size());
    int next = 0;
    for (size_t i = 0; i < types.size(); ++i) {
        if (types[i] == 'B')
            continue;
        size_t k = i + 1;
        while (k < types.size() && types[k] == 'B')
            ++k;
        for (size_t b = i + 1; b < k; ++b)
            pos[b] = next++;
        pos[i] = next++;
    }
    return pos;
}

// Runs a stream through the PES processor: one PES packet per access unit (or per group of
// perPes access units) carrying the PTS of its first picture, in transport packets. With
// redundantEvery, every such picture has a second slice at macroblock 0.
void analyseThroughPes(Recorder& rec, const SpsSpec& spec, const std::string& types,
                       const std::vector<unsigned long long>& pts, int perPes, int redundantEvery = 0)
{
    PesProcessor proc(rec.callback(), kPid, 27);
    int cc = 0;
    for (size_t i = 0; i < types.size(); i += (size_t)perPes) {
        std::vector<uint8_t> es;
        for (size_t k = i; k < i + (size_t)perPes && k < types.size(); ++k) {
            appendNal(es, 9, {0x10});
            if (types[k] == 'I') {
                appendNal(es, 7, spsRbsp(spec));
                appendNal(es, 8, {0xCE, 0x38, 0x80});
            }
            unsigned sliceType = types[k] == 'I' ? 7 : types[k] == 'P' ? 5 : 6;
            appendNal(es, types[k] == 'I' ? 5 : 1, sliceRbsp(sliceType, (unsigned)k));
            if (redundantEvery && k % (size_t)redundantEvery == 0)
                appendNal(es, types[k] == 'I' ? 5 : 1, sliceRbsp(sliceType, (unsigned)k));
        }
        const unsigned long long t = pts[i] & ((1ULL << 33) - 1);
        std::vector<uint8_t> pes = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05,
                                    (uint8_t)(0x21 | ((t >> 29) & 0x0E)), (uint8_t)(t >> 22),
                                    (uint8_t)(((t >> 14) & 0xFE) | 1), (uint8_t)(t >> 7),
                                    (uint8_t)(((t << 1) & 0xFE) | 1)};
        pes.insert(pes.end(), es.begin(), es.end());
        for (size_t off = 0; off < pes.size(); off += 184) {
            std::vector<uint8_t> payload(pes.begin() + (long)off,
                                         pes.begin() + (long)std::min(pes.size(), off + 184));
            std::vector<uint8_t> stuffing;
            if (payload.size() < 184) {
                stuffing.assign(183 - payload.size(), 0xFF);
                if (!stuffing.empty())
                    stuffing[0] = 0x00;
            }
            testsupport::Packet p =
                makePacket(kPid, cc++, off == 0, payload, payload.size() < 184 ? 3 : 1, stuffing);
            proc.processMpeg2TsPacket(p.b, 188, 0);
        }
    }
}

}  // namespace

// A parameter set without timing information says nothing of the frame rate: the rate comes
// from the PTS of the pictures (ffprobe does the same), never from a default.
TEST(H264Sps, FrameRateFromThePictureTimeStamps)
{
    struct {
        const char* name;
        double period;  // 90 kHz ticks
        int pictures;
        int perPes;
        bool timing;
        const char* rate;
        const char* pattern;  // coded order, repeated; IPBBPBBPBBPB when not given
    } rows[] = {
        {"25 fps", 3600, 40, 1, false, "25", nullptr},
        {"29.97 fps", 3003, 40, 1, false, "29.97", nullptr},
        {"23.976 fps, ticks rounded", 3753.75, 40, 1, false, "23.976", nullptr},
        {"50 fps, many pictures", 1800, 150, 1, false, "50", nullptr},
        {"two pictures per PES packet", 3600, 40, 2, false, "25", nullptr},
        // Without B pictures every spacing spans the pictures of a whole PES packet.
        {"I and P pictures, two per PES packet", 3600, 100, 2, false, "25", "IPPPPPPPPPPP"},
        {"I and P pictures, three per PES packet", 3003, 99, 3, false, "29.97", "IPPPPPPPPPPP"},
        {"timing information wins", 3600, 40, 1, true, "50", nullptr},
        {"too few pictures", 3600, 2, 1, false, "<none>", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::string types;
        while ((int)types.size() < r.pictures)
            types += r.pattern ? r.pattern : "IPBBPBBPBBPB";
        types.resize((size_t)r.pictures);
        std::vector<int> display = displayOrder(types);
        std::vector<unsigned long long> pts;
        // Across the 33-bit wrap.
        const unsigned long long base = (1ULL << 33) - 10 * 3600;
        for (int d : display)
            pts.push_back(base + (unsigned long long)std::llround(d * r.period));
        SpsSpec spec;
        spec.timing = r.timing;
        spec.units = 1;
        spec.scale = 100;
        Recorder rec;
        analyseThroughPes(rec, spec, types, pts, r.perPes);
        EXPECT_EQ(r.rate, rec.text(CB_MPEG2TS_FRAME_RATE));
        EXPECT_EQ(r.pictures, rec.number(CB_MPEG2TS_FRAME_COUNT));
    }
    // Spacings that are no whole number of one period: no rate.
    std::string types(30, 'P');
    types[0] = 'I';
    std::vector<unsigned long long> pts;
    for (int k = 0; k < 30; ++k)
        pts.push_back(90000 + (unsigned long long)k * 3600 + (k % 2 ? 1500 : 0));
    SpsSpec spec;
    spec.timing = false;
    Recorder rec;
    analyseThroughPes(rec, spec, types, pts, 1);
    EXPECT_EQ("<none>", rec.text(CB_MPEG2TS_FRAME_RATE));

    // Pictures counted twice (a second slice at macroblock 0 in every other one) are no
    // pictures between the time stamps: the rate stays 25, not 50.
    pts.clear();
    for (int k = 0; k < 30; ++k)
        pts.push_back(90000 + (unsigned long long)k * 3600);
    Recorder twice;
    analyseThroughPes(twice, spec, types, pts, 1, 2);
    EXPECT_EQ("25", twice.text(CB_MPEG2TS_FRAME_RATE));
}

TEST(H264Sps, UnusableParameterSetIsIgnored)
{
    SpsSpec good;
    SpsSpec bad;
    bad.log2MaxFrameNumM4 = 13;
    bad.profile = 66;
    std::vector<uint8_t> es;
    appendGop(es, good, "IP");
    appendGop(es, bad, "IP");
    appendNal(es, 9, {0x10});
    Recorder rec;
    int unusable = 0;
    analyse(rec, es, 50, &unusable);
    EXPECT_EQ(1, unusable);
    EXPECT_EQ(1, rec.count(CB_MPEG2TS_PROFILE_AND_LEVEL));
    EXPECT_EQ("Main@Level 3", rec.text(CB_MPEG2TS_PROFILE_AND_LEVEL));
    // The slices after it are read with the good one (4-bit frame_num).
    EXPECT_EQ(4, rec.number(CB_MPEG2TS_FRAME_COUNT));
}

TEST(H264Sps, SlicesBeforeAnyParameterSetCountAsFrames)
{
    std::vector<uint8_t> es;
    appendNal(es, 1, sliceRbsp(5, 0));
    appendNal(es, 1, sliceRbsp(6, 0));
    appendNal(es, 9, {0x10});
    Recorder rec;
    analyse(rec, es, 10);
    EXPECT_EQ(2, rec.number(CB_MPEG2TS_FRAME_COUNT));
    EXPECT_EQ(0, rec.count(CB_MPEG2TS_VIDEO_RES));
    EXPECT_EQ(0, rec.number(CB_MPEG2TS_GOP_SIZE));
    EXPECT_EQ("", rec.text(CB_MPEG2TS_GOP_STRUCT));
}

// ---- damaged input ------------------------------------------------------------------------

TEST(H264Damage, RandomBytesAndBrokenUnits)
{
    std::mt19937 rng(99);
    std::vector<uint8_t> good = extractElementaryStream(fixture("h264_baseline_360_aac.ts"), 27);
    good.resize(12000);
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> es;
        if (round % 3 == 0) {
            es.resize(20000);
            for (auto& b : es)
                b = (uint8_t)(rng() % 4 == 0 ? 0 : rng());
        } else if (round % 3 == 1) {
            // Start codes with random NAL types and random payloads of random lengths.
            for (int k = 0; k < 200; ++k) {
                std::vector<uint8_t> rbsp(rng() % 80);
                for (auto& b : rbsp)
                    b = (uint8_t)rng();
                appendNal(es, (int)(rng() % 32), rbsp);
            }
        } else {
            // The real stream with bytes flipped.
            es = good;
            for (int k = 0; k < 40; ++k)
                es[rng() % es.size()] ^= (uint8_t)(1u << (rng() % 8));
        }
        Recorder rec;
        size_t chunk = 1 + rng() % 700;
        EXPECT_EQ((long long)es.size(), analyse(rec, es, chunk));
        for (const Event& e : rec.events())
            EXPECT_TRUE(std::isfinite(e.number));
    }
}

TEST(H264Damage, WindowFullOfOneUnit)
{
    // A unit that never ends (no further start code) must neither stall nor be misread.
    std::vector<uint8_t> es;
    appendNal(es, 7, std::vector<uint8_t>(3000, 0x42));
    appendNal(es, 6, std::vector<uint8_t>(3000, 0xFF));
    appendNal(es, 7, spsRbsp(SpsSpec()));
    appendNal(es, 5, sliceRbsp(7, 0));
    appendNal(es, 9, {0x10});
    for (size_t chunk : {1u, 184u, 2000u}) {
        Recorder rec;
        int unusable = 0;
        analyse(rec, es, chunk, &unusable);
        EXPECT_EQ(1, unusable) << chunk;
        EXPECT_EQ("352x288", rec.text(CB_MPEG2TS_VIDEO_RES)) << chunk;
    }
}

TEST(H264Damage, EmptyAndTinyCalls)
{
    Recorder rec;
    {
        H264Processor proc(rec.callback(), kPid);
        EXPECT_EQ(1, proc.processRawBuff(nullptr, 0));
        uint8_t one = 0;
        EXPECT_EQ(1, proc.processRawBuff(&one, 1));
        uint8_t start[] = {0, 0, 1};
        EXPECT_EQ(1, proc.processRawBuff(start, 3));
        uint8_t type = 0x67;
        EXPECT_EQ(2, proc.processRawBuff(&type, 1));  // an SPS whose bytes are still to come
        EXPECT_EQ(5, proc.getByteCount());
    }
    EXPECT_EQ(0, rec.number(CB_MPEG2TS_FRAME_COUNT));
}

TEST(H264Rbsp, EmulationPreventionRemoval)
{
    Recorder rec;
    H264Processor proc(rec.callback(), kPid);
    uint8_t data[] = {0x11, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x03, 0x22, 0x00, 0x03, 0x00, 0x00, 0x03};
    proc.processRawBuff(data, sizeof(data));
    int n = proc.removeEmulationByte(0, (int)sizeof(data));
    const uint8_t expect[] = {0x11, 0x00, 0x00, 0x00, 0x00, 0x03, 0x22, 0x00, 0x03, 0x00, 0x00};
    ASSERT_EQ((int)sizeof(expect), n);
    EXPECT_EQ(0, memcmp(expect, proc.getRbspBuffer(), sizeof(expect)));
    EXPECT_EQ(0, proc.removeEmulationByte(5, 2));
    EXPECT_EQ(2, proc.removeEmulationByte(11, 1000));  // clamped to the fill level
}
