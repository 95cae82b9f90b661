// PES processor (header gathering, PTS/DTS counts, payload hand-over, bit rates and the CBR
// verdict) and the elementary processor's sliding window.
#include "elemEventRecorder.h"

#include "engine/h262Processor.h"
#include "engine/pcmProcessor.h"
#include "engine/pesProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numeric>

using namespace elemtest;

namespace {

const int kPid = 0x44;

// One transport packet of kPid carrying the payload; a payload shorter than 184 bytes is
// padded with adaptation field stuffing, as muxers do.
std::vector<unsigned char> tsPacket(const std::vector<unsigned char>& payload, bool unitStart, int cc,
                                    int pid = kPid)
{
    std::vector<unsigned char> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = (unsigned char)((unitStart ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p[2] = (unsigned char)(pid & 0xFF);
    size_t n = std::min(payload.size(), (size_t)184);
    if (n == 184) {
        p[3] = (unsigned char)(0x10 | (cc & 15));
        memcpy(&p[4], payload.data(), 184);
    } else {
        p[3] = (unsigned char)(0x30 | (cc & 15));
        p[4] = (unsigned char)(183 - n);
        if (p[4] > 0)
            p[5] = 0x00;
        memcpy(&p[188 - n], payload.data(), n);
    }
    return p;
}

std::vector<unsigned char> timeStamp(int prefix, unsigned long long t)
{
    return {(unsigned char)((prefix << 4) | (((t >> 30) & 7) << 1) | 1), (unsigned char)((t >> 22) & 0xFF),
            (unsigned char)((((t >> 15) & 0x7F) << 1) | 1), (unsigned char)((t >> 7) & 0xFF),
            (unsigned char)(((t & 0x7F) << 1) | 1)};
}

// PES header: start code, stream_id, length 0, and for ids with the optional header the
// flags byte pair, PES_header_data_length and the time stamps padded to that length.
std::vector<unsigned char> pesHeader(int streamId, int ptsDtsFlags, int headerDataLength)
{
    std::vector<unsigned char> h = {0x00, 0x00, 0x01, (unsigned char)streamId, 0x00, 0x00};
    if (streamId == 0xBF || streamId == 0xBE)
        return h;
    h.push_back(0x80);
    h.push_back((unsigned char)(ptsDtsFlags << 6));
    h.push_back((unsigned char)headerDataLength);
    size_t start = h.size();
    if (ptsDtsFlags >= 2) {
        auto pts = timeStamp(ptsDtsFlags == 3 ? 3 : 2, 900000);
        h.insert(h.end(), pts.begin(), pts.end());
    }
    if (ptsDtsFlags == 3) {
        auto dts = timeStamp(1, 896400);
        h.insert(h.end(), dts.begin(), dts.end());
    }
    while (h.size() < start + (size_t)headerDataLength)
        h.push_back(0xFF);
    return h;
}

std::vector<unsigned char> counting(size_t n, unsigned char from = 0x10)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (unsigned char)(from + i * 7);  // never 00 00 01
    return v;
}

std::vector<unsigned char> concat(std::vector<unsigned char> a, const std::vector<unsigned char>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct PesRun {
    EventRecorder rec;
    std::unique_ptr<PesProcessor> pes;
    long long packetNumber = 0;
    int cc = 0;
    explicit PesRun(int streamType) : pes(std::make_unique<PesProcessor>(rec.registry(), kPid, streamType)) {}
    int send(std::vector<unsigned char> packet) { return pes->processMpeg2TsPacket(packet.data(), 188, packetNumber++); }
    int sendPayload(const std::vector<unsigned char>& payload, bool unitStart) { return send(tsPacket(payload, unitStart, cc++)); }
    H262Processor* video() { return dynamic_cast<H262Processor*>(pes->getElemStreamProcessor()); }
    void end() { pes.reset(); }
};

// Exposes the window of the base class.
class WindowProbe : public ElemStreamProcessor {
public:
    WindowProbe() : ElemStreamProcessor(nullptr) {}
    int processRawBuff(unsigned char* data, long long n) override
    {
        appendChunk(data, n);
        return 1;
    }
    void setSearchPosition(int p) { m_iSearchPosition = p; }
    std::vector<unsigned char> window() const { return std::vector<unsigned char>(m_aucWindow, m_aucWindow + m_iBufferLevel); }
};

}  // namespace

TEST(PesHeader, VideoHeaderWithPtsAndDtsInOnePacket)
{
    PesRun run(2);
    auto header = pesHeader(0xE0, 3, 10);
    ASSERT_EQ(header.size(), 19u);
    auto payload = concat(header, counting(184 - 19));
    EXPECT_EQ(run.sendPayload(payload, true), 1);
    EXPECT_EQ(run.pes->getStreamId(), 0xE0);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_PASSING_PAYLOAD);
    ASSERT_NE(run.video(), nullptr);
    // The payload from buffer byte 19 on was handed over.
    EXPECT_EQ(run.video()->getByteCount(), 184 - 19);
    auto window = std::vector<unsigned char>(run.video()->getWindow(), run.video()->getWindow() + run.video()->getBufferLevel());
    EXPECT_EQ(window, counting(184 - 19));
    // Continuation packets go straight through.
    run.sendPayload(counting(184), false);
    EXPECT_EQ(run.video()->getByteCount(), 2 * 184 - 19);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_PTS_COUNT).number, 1);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_DTS_COUNT).number, 1);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_PTS_COUNT).pid, kPid);
}

TEST(PesHeader, PtsDtsFlagsCountAsCoded)
{
    struct Case {
        int flags, length;
        long long pts, dts;
    } cases[] = {{2, 5, 1, 0}, {3, 10, 1, 1}, {0, 0, 0, 0}, {1, 0, 0, 0},
                 {3, 5, 1, 0},   // DTS announced but not covered by the header length
                 {2, 0, 0, 0}};  // PTS announced, header length 0
    for (const auto& c : cases) {
        PesRun run(2);
        auto header = pesHeader(0xE0, c.flags, c.length);
        header.resize(9 + (size_t)c.length);
        run.sendPayload(concat(header, counting(50)), true);
        EXPECT_EQ(run.pes->getPtsCount(), c.pts) << c.flags << "/" << c.length;
        EXPECT_EQ(run.pes->getDtsCount(), c.dts) << c.flags << "/" << c.length;
    }
}

TEST(PesHeader, PrivateStreamOneHasTheHeaderPrivateStreamTwoHasNot)
{
    {
        PesRun run(2);
        run.sendPayload(concat(pesHeader(0xBF, 0, 0), counting(100)), true);
        ASSERT_NE(run.video(), nullptr);
        EXPECT_EQ(run.video()->getByteCount(), 100);  // payload from byte 6
        EXPECT_FALSE(run.video()->getPesStart());
    }
    {
        PesRun run(6);
        // LPCM header: 2 channels, 20 bits.
        std::vector<unsigned char> lpcm = {0x02, 0x40, 0x00, 0x10, 0x00, 0x00, 0x00};
        run.sendPayload(concat(pesHeader(0xBD, 2, 5), lpcm), true);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH).text, "2");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_PCM_AUDIO_BITRATE).number, 2304000);
        EXPECT_EQ(run.pes->getPtsCount(), 1);
    }
}

TEST(PesHeader, HeaderSplitOverPacketsWithLargeAdaptationFields)
{
    PesRun run(2);
    auto header = pesHeader(0xE0, 3, 10);
    auto data = concat(header, counting(40));
    // 4 bytes: start code and stream_id only; nothing can be decided yet.
    run.sendPayload(std::vector<unsigned char>(data.begin(), data.begin() + 4), true);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_GATHERING_HEADER);
    EXPECT_EQ(run.pes->getStreamId(), 0);
    // 5 more: PES_header_data_length is in, the header is not.
    run.sendPayload(std::vector<unsigned char>(data.begin() + 4, data.begin() + 9), false);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_GATHERING_HEADER);
    EXPECT_EQ(run.pes->getStreamId(), 0xE0);
    EXPECT_TRUE(run.pes->checkCompleteness(1));
    EXPECT_FALSE(run.pes->checkCompleteness(2));
    run.sendPayload(std::vector<unsigned char>(data.begin() + 9, data.end()), false);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_PASSING_PAYLOAD);
    EXPECT_EQ(run.pes->getPtsCount(), 1);
    EXPECT_EQ(run.video()->getByteCount(), 40);
}

// The longest header (9 + 255 bytes) arriving in small pieces: the 368-byte buffer is
// never overfilled, and the bytes behind the header reach the elementary processor in
// order, also those that did not fit the buffer.
TEST(PesHeader, LongHeaderInSmallPiecesNeverOverfillsTheBuffer)
{
    PesRun run(2);
    auto header = pesHeader(0xE0, 2, 255);
    ASSERT_EQ(header.size(), 264u);
    auto after = counting(120);
    auto data = concat(header, after);
    run.sendPayload(std::vector<unsigned char>(data.begin(), data.begin() + 100), true);
    run.sendPayload(std::vector<unsigned char>(data.begin() + 100, data.begin() + 200), false);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_GATHERING_HEADER);
    run.sendPayload(std::vector<unsigned char>(data.begin() + 200, data.end()), false);  // 184 bytes
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_PASSING_PAYLOAD);
    ASSERT_NE(run.video(), nullptr);
    EXPECT_EQ(run.video()->getByteCount(), 120);
    std::vector<unsigned char> window(run.video()->getWindow(), run.video()->getWindow() + run.video()->getBufferLevel());
    EXPECT_EQ(window, after);
}

TEST(PesState, WaitsForTheFirstUnitStart)
{
    PesRun run(2);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_IGNORING);
    // A continuation of a PES whose start we never saw, even one that looks like a header.
    run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(100)), false);
    run.sendPayload(counting(184), false);
    EXPECT_EQ(run.video()->getByteCount(), 0);
    EXPECT_EQ(run.pes->getPtsCount(), 0);
    run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(100)), true);
    EXPECT_EQ(run.video()->getByteCount(), 100);
    EXPECT_EQ(run.pes->getPtsCount(), 1);
}

TEST(PesState, InvalidStartCodeIgnoresTheRestOfThatPes)
{
    PesRun run(2);
    std::vector<unsigned char> bad = {0x00, 0x00, 0x02, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05};
    run.sendPayload(concat(bad, counting(100)), true);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_IGNORING);
    run.sendPayload(counting(184), false);
    EXPECT_EQ(run.video()->getByteCount(), 0);
    run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(10)), true);
    EXPECT_EQ(run.pes->getPesState(), PesProcessor::PES_PASSING_PAYLOAD);
    EXPECT_EQ(run.video()->getByteCount(), 10);
}

TEST(PesState, StreamIdChangeKeepsTheFirst)
{
    PesRun run(2);
    run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(10)), true);
    run.sendPayload(concat(pesHeader(0xE1, 2, 5), counting(10)), true);
    EXPECT_EQ(run.pes->getStreamId(), 0xE0);
    EXPECT_EQ(run.pes->getPtsCount(), 2);
    EXPECT_EQ(run.video()->getByteCount(), 20);
}

// adaptation_field_control and adaptation_field_length decide where the payload is; a
// length beyond the packet means no payload at all.
TEST(PesPacket, AdaptationFieldBounds)
{
    struct Case {
        int afc;
        int afLength;
        bool unitStart;
        int expectedState;
    } cases[] = {
        {2, 183, true, PesProcessor::PES_PASSING_PAYLOAD},  // no payload: the PUSI is not looked at
        {0, 0, true, PesProcessor::PES_PASSING_PAYLOAD},    // reserved: no payload
        {3, 183, true, PesProcessor::PES_GATHERING_HEADER},  // room for none, PES still begins
        {3, 184, true, PesProcessor::PES_IGNORING},    // 5 + 184 > 188: damaged
        {3, 255, true, PesProcessor::PES_IGNORING},
        {3, 255, false, PesProcessor::PES_PASSING_PAYLOAD},
    };
    for (const auto& c : cases) {
        PesRun run(2);
        run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(10)), true);
        ASSERT_EQ(run.pes->getPesState(), PesProcessor::PES_PASSING_PAYLOAD);
        std::vector<unsigned char> p(188, 0x00);  // zeros: a start code would be 00 00 01
        p[0] = 0x47;
        p[1] = (unsigned char)((c.unitStart ? 0x40 : 0) | (kPid >> 8));
        p[2] = kPid & 0xFF;
        p[3] = (unsigned char)((c.afc << 4) | 1);
        p[4] = (unsigned char)c.afLength;
        EXPECT_EQ(run.send(p), 1);
        EXPECT_EQ(run.pes->getPesState(), c.expectedState) << c.afc << "/" << c.afLength;
        EXPECT_EQ(run.video()->getByteCount(), 10) << c.afc << "/" << c.afLength;
    }
}

TEST(PesPacket, OtherPidIsNotTaken)
{
    PesRun run(2);
    auto p = tsPacket(concat(pesHeader(0xE0, 2, 5), counting(10)), true, 0, kPid + 1);
    EXPECT_EQ(run.pes->processMpeg2TsPacket(p.data(), 188, 0), 2);
    EXPECT_EQ(run.pes->getByteCount(), 0);
    EXPECT_EQ(run.video()->getByteCount(), 0);
}

TEST(PesTypes, ElementaryProcessorAndEventsByStreamType)
{
    struct Case {
        int type;
        const char* kind;  // nullptr: no processor, no stream type event
        const char* name;
    } cases[] = {
        {2, "Video", "H262Processor"}, {27, "Video", "H264Processor"},
        {3, "Audio", "MpegAudioProcessor"}, {4, "Audio", "MpegAudioProcessor"},
        {6, "Audio", "PcmProcessor"}, {15, "Audio", "AacProcessor"}, {17, "Audio", "AacProcessor"},
        {129, "Audio", "AC3Processor"}, {134, nullptr, nullptr}, {1, nullptr, nullptr},
        {300, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        PesRun run(c.type);
        if (c.kind) {
            ASSERT_NE(run.pes->getElemStreamProcessor(), nullptr);
            EXPECT_STREQ(run.pes->getElemStreamProcessor()->getName(), c.name);
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_STREAM_TYPE).text, c.kind);
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_STREAM_TYPE).pid, kPid);
        } else {
            EXPECT_EQ(run.pes->getElemStreamProcessor(), nullptr);
            EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_STREAM_TYPE));
        }
        ASSERT_EQ(run.rec.count(CB_MPEG2TS_STREAM_DESC), 1);
        EXPECT_NE(run.rec.first(CB_MPEG2TS_STREAM_DESC).text, "<null>");
        // Packets of a stream without an elementary processor are still gathered safely.
        run.sendPayload(concat(pesHeader(0xC0, 2, 5), counting(150)), true);
        run.sendPayload(counting(184), false);
        run.pes->calculateBitrateBps(1.0);
        run.pes->calculateSampleBitrateBps(1.0);
        EXPECT_EQ(run.pes->getPtsCount(), 1);
        run.end();
        EXPECT_EQ(run.rec.count(CB_MPEG2TS_PTS_COUNT), 1);
        EXPECT_EQ(run.rec.count(CB_MPEG2TS_DTS_COUNT), 1);
        // Video skips its first span: no sample, so no verdict either.
        EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_VIDEO_CBR));
    }
    PesRun h262(2);
    EXPECT_EQ(h262.rec.first(CB_MPEG2TS_STREAM_DESC).text,
              "ITU-T Rec. H.262 | ISO/IEC 13818-2 Video or ISO/IEC 11172-2 constrained parameter video stream");
    PesRun ac3(129);
    EXPECT_EQ(ac3.rec.first(CB_MPEG2TS_STREAM_DESC).text, "AC3");
}

// Sample spans of packets; the first two of a video stream are skipped, and a verdict needs
// two samples.
TEST(PesBitrate, ConstantBitrateVerdict)
{
    struct Case {
        int type;
        std::vector<int> packetsPerSpan;
        const char* verdict;  // nullptr: no verdict event
        double minKbit, maxKbit;
    } cases[] = {
        {2, {5, 400, 96, 100, 98}, "true", 96 * 1.504, 100 * 1.504},
        {2, {5, 400, 90, 100}, "false", 90 * 1.504, 100 * 1.504},
        {27, {1, 1, 100, 100, 100}, "true", 150.4, 150.4},
        {2, {}, nullptr, 0, 0},          // no samples: no verdict
        {2, {7, 9}, nullptr, 0, 0},      // only skipped samples
        {2, {1, 1, 100}, nullptr, 150.4, 150.4},  // one sample cannot vary: no verdict
        {2, {1, 1, 0, 0}, "false", 0, 0},  // empty spans: no ratio
        {3, {5, 400, 96, 100}, nullptr, 5 * 1.504, 400 * 1.504},  // audio: nothing skipped, no verdict
    };
    for (const auto& c : cases) {
        PesRun run(c.type);
        for (int packets : c.packetsPerSpan) {
            for (int k = 0; k < packets; k++)
                run.sendPayload(concat(pesHeader(0xE0, 0, 0), counting(100)), true);
            run.pes->calculateSampleBitrateBps(1.0);
            if (run.pes->getElemStreamProcessor()) {
                EXPECT_EQ(run.pes->getElemStreamProcessor()->getSampleByteCount(), 0u);
            }
        }
        EXPECT_NEAR(run.pes->getMinStreamBitrate(), c.minKbit * 1000, 1e-6);
        EXPECT_NEAR(run.pes->getMaxStreamBitrate(), c.maxKbit * 1000, 1e-6);
        run.end();
        if (c.verdict) {
            ASSERT_EQ(run.rec.count(CB_MPEG2TS_VIDEO_CBR), 1);
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_VIDEO_CBR).text, c.verdict) << c.packetsPerSpan.size();
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_VIDEO_CBR).pid, kPid);
        } else {
            EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_VIDEO_CBR));
        }
    }
}

// An audio frame that ends its PES packet is confirmed by the header that opens the next
// packet's payload; a false sync ahead of it, whose length leads nowhere, is not reported.
TEST(PesAudio, FrameEndingAPesIsConfirmedByTheNextPes)
{
    PesRun run(15);
    // ADTS LC 44.1 kHz stereo, 40 bytes, and a false one (48 kHz mono, 30 bytes) before it.
    const std::vector<unsigned char> header = {0xFF, 0xF1, 0x50, 0x80, 0x05, 0x1F, 0xFC};
    std::vector<unsigned char> fake = {0xFF, 0xF1, 0x4C, 0x40, 0x03, 0xDF, 0xFC};
    fake.resize(27, 0x22);
    std::vector<unsigned char> frame(header);
    frame.resize(40, 0x33);
    run.sendPayload(concat(pesHeader(0xC0, 2, 5), concat(fake, frame)), true);
    EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ));
    run.sendPayload(concat(pesHeader(0xC0, 2, 5), frame), true);
    ASSERT_EQ(run.rec.count(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ), 1);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ).text, "44100");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS).text, "2");
}

TEST(PesBitrate, AverageBitratePassesToTheElementaryProcessor)
{
    PesRun run(2);
    run.sendPayload(concat(pesHeader(0xE0, 2, 5), counting(150)), true);
    run.sendPayload(counting(184), false);
    run.pes->calculateBitrateBps(2.0);
    EXPECT_DOUBLE_EQ(run.pes->getBitrate(), 2 * 188 * 8 / 2.0);
    EXPECT_DOUBLE_EQ(run.video()->getBitrate(), (150 + 184) * 8 / 2.0);
    run.pes->calculateBitrateBps(0.0);
    EXPECT_EQ(run.pes->getBitrate(), 0.0);
    EXPECT_TRUE(std::isfinite(run.video()->getBitrate()));
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_ELM_STREAM_BITRATE).number, 0.0);
}

// The fixture's video PID through the PES processor: one PTS per picture, a DTS for each
// PES whose decoding time differs (I and P pictures with B pictures around), as the
// packets themselves say.
TEST(PesFixture, PtsAndDtsCountsOfTheMpeg2Fixtures)
{
    for (const char* name : {"mpeg2_480_4x3_mp2.ts", "mpeg2_576_16x9_ac3.ts", "mpeg2_1080i_ac3_51.ts"}) {
        SCOPED_TRACE(name);
        auto ts = readFile(fixture(name));
        int pid = findElementaryPid(ts, {2});
        ASSERT_GT(pid, 0);
        long long expectPts = 0, expectDts = 0, headers = 0;
        for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
            const unsigned char* p = &ts[i];
            if (tsPid(p) != pid || !(p[1] & 0x40))
                continue;
            int off, len;
            tsPayload(p, &off, &len);
            ASSERT_GE(len, 9);
            int flags = p[off + 7] >> 6;
            headers++;
            expectPts += flags >= 2;
            expectDts += flags == 3;
        }
        EventRecorder rec;
        long long esBytes = (long long)extractElementaryStream(ts, pid).size();
        {
            PesProcessor pes(rec.registry(), pid, 2);
            long long n = 0;
            for (size_t i = 0; i + 188 <= ts.size(); i += 188, n++) {
                std::vector<unsigned char> packet(ts.begin() + (long)i, ts.begin() + (long)i + 188);
                pes.processMpeg2TsPacket(packet.data(), 188, n);
            }
            EXPECT_EQ(pes.getElemStreamProcessor()->getByteCount(), esBytes);
        }
        EXPECT_GT(expectPts, 0);
        EXPECT_EQ(rec.first(CB_MPEG2TS_PTS_COUNT).number, expectPts);
        EXPECT_EQ(rec.first(CB_MPEG2TS_DTS_COUNT).number, expectDts);
        EXPECT_EQ(headers, rec.first(CB_MPEG2TS_FRAME_COUNT).number);  // one picture per PES here
    }
}

TEST(ElemWindow, AppendSlideAndSearchPosition)
{
    WindowProbe w;
    auto a = counting(500);
    w.processRawBuff(a.data(), 500);
    EXPECT_EQ(w.getBufferLevel(), 500);
    w.setSearchPosition(450);
    // 100 more: 36 oldest bytes are dropped, the window is full, the search position follows.
    auto b = counting(100, 0x80);
    w.processRawBuff(b.data(), 100);
    EXPECT_EQ(w.getBufferLevel(), ElemStreamProcessor::WINDOW_SIZE);
    EXPECT_EQ(w.getSearchPosition(), 450 - 36);
    auto expected = concat(std::vector<unsigned char>(a.begin() + 36, a.end()), b);
    EXPECT_EQ(w.window(), expected);
    // Full window: every further byte drops exactly one.
    unsigned char one = 0x42;
    w.processRawBuff(&one, 1);
    EXPECT_EQ(w.getSearchPosition(), 450 - 37);
    EXPECT_EQ(w.window().back(), 0x42);
    EXPECT_EQ(w.window().front(), a[37]);
}

TEST(ElemWindow, ChunksLongerThanTheWindowKeepTheNewestBytes)
{
    for (int held : {0, 10, 300, 564}) {
        for (int n : {563, 564, 565, 2000}) {
            WindowProbe w;
            auto a = counting((size_t)held);
            w.processRawBuff(a.data(), held);
            w.setSearchPosition(held / 2);
            auto b = counting((size_t)n, 0x33);
            w.addBitsToBuffer(b.data(), n);  // the plain append, without slicing
            std::vector<unsigned char> all = concat(a, b);
            size_t keep = std::min(all.size(), (size_t)ElemStreamProcessor::WINDOW_SIZE);
            EXPECT_EQ(w.window(), std::vector<unsigned char>(all.end() - (long)keep, all.end())) << held << "+" << n;
            EXPECT_GE(w.getSearchPosition(), 0);
            EXPECT_LE(w.getSearchPosition(), w.getBufferLevel());
            int expectedPos = held / 2 - (int)(all.size() - keep);
            EXPECT_EQ(w.getSearchPosition(), std::max(0, expectedPos)) << held << "+" << n;
        }
    }
}

TEST(ElemWindow, NothingToAppend)
{
    WindowProbe w;
    w.addBitsToBuffer(nullptr, 10);
    unsigned char b = 1;
    w.addBitsToBuffer(&b, 0);
    w.addBitsToBuffer(&b, -5);
    EXPECT_EQ(w.getBufferLevel(), 0);
    EXPECT_EQ(w.getSearchPosition(), 0);
}
