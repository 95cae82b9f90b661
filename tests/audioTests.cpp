// Audio elementary processors: first-header reports against ffprobe's reading of the
// fixtures, chunking, split sync words and damaged headers.
#include "elemEventRecorder.h"

#include "engine/aacProcessor.h"
#include "engine/ac3Processor.h"
#include "engine/mpegAudioProcessor.h"
#include "engine/pcmProcessor.h"
#include "engine/pesProcessor.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

using namespace elemtest;

namespace {

const int kPid = 0x101;

// The events an audio kind fires for its first header, in firing order.
const std::vector<int> kMpegAudioEvents = {CB_MPEG2TS_MPEG_AUDIO_LAYER, CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ,
                                           CB_MPEG2TS_MPEG_AUDIO_MODE, CB_MPEG2TS_MPEG_AUDIO_BITRATE};
const std::vector<int> kAc3Events = {CB_MPEG2TS_AC3_SAMPLING_RATE, CB_MPEG2TS_AC3_BITRATE,
                                     CB_MPEG2TS_AC3_AUDIO_CODING_MODE, CB_MPEG2TS_AC3_CH_ORDERING,
                                     CB_MPEG2TS_AC3_STREAM_MODE, CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS};
const std::vector<int> kAacEvents = {CB_MPEG2TS_AAC_AUDIO_LAYER, CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ,
                                     CB_MPEG2TS_AAC_AUDIO_PROFILE, CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS,
                                     CB_MPEG2TS_AAC_AUDIO_MODE, CB_MPEG2TS_AAC_AUDIO_BITRATE};
const std::vector<int> kPcmEvents = {CB_MPEG2TS_PCM_AUDIO_FREQ, CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH,
                                     CB_MPEG2TS_PCM_AUDIO_CHAN_ID, CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE,
                                     CB_MPEG2TS_PCM_AUDIO_BITRATE, CB_MPEG2TS_PCM_AUDIO_MODE};

std::unique_ptr<ElemStreamProcessor> makeAudioProcessor(int streamType, MsgCallback* registry)
{
    switch (streamType) {
    case 3:
    case 4: return std::make_unique<MpegAudioProcessor>(registry, kPid);
    case 15: return std::make_unique<AacProcessor>(registry, kPid);
    case 129: return std::make_unique<AC3Processor>(registry, kPid);
    default: return nullptr;
    }
}

// The events (ids and texts) of a recorder, for comparing runs.
std::vector<std::pair<int, std::string>> summary(const EventRecorder& rec)
{
    std::vector<std::pair<int, std::string>> out;
    for (const auto& e : rec.events())
        out.emplace_back(e.id, e.text + "|" + e.units);
    return out;
}

struct AudioFixtureCase {
    const char* file;
    std::vector<int> streamTypes;
    // Expected texts, in the order of the kind's event list ("" = not checked).
    std::vector<std::string> texts;
};

// Values as ffprobe reads the same streams (sample rate, channels, bit rate), in the
// terms the reports use.
const AudioFixtureCase kAudioFixtures[] = {
    {"mpeg2_480_4x3_mp2.ts", {3, 4}, {"Layer II", "48000", "stereo", "192000"}},
    {"h264_main_576i_mp3.ts", {3, 4}, {"Layer III", "44100", "single channel", "64000"}},
    {"two_programs.ts", {3, 4}, {"Layer II", "48000", "single channel", "128000"}},
    {"mpeg2_576_16x9_ac3.ts", {129},
     {"48000", "192000", "2/0", "L,R", "main audio service: complete main (CM)", "2"}},
    {"mpeg2_1080i_ac3_51.ts", {129},
     {"48000", "448000", "3/2", "L,C,R,SL,SR", "main audio service: complete main (CM)", "6"}},
    {"h264_high_720_ac3_51.ts", {129},
     {"48000", "448000", "3/2", "L,C,R,SL,SR", "main audio service: complete main (CM)", "6"}},
    {"h264_baseline_360_aac.ts", {15}, {"Reserved", "44100", "AAC LC", "2", "stereo", "Variable"}},
    {"h264_high_1080_aac_51.ts", {15}, {"Reserved", "48000", "AAC LC", "6", "surround", "Variable"}},
    // make_audio_fixtures.sh: the codes whose real header used to be refused, letting a sync
    // word inside a frame be reported (ffprobe and mediainfo agree on every value).
    {"aac_7350_mono.ts", {15}, {"Reserved", "7350", "AAC LC", "1", "mono", "Variable"}},
    {"mp3_mpeg25_8k.ts", {3, 4}, {"Layer III", "8000", "single channel", "32000"}},
    {"mp3_mpeg25_11k.ts", {3, 4}, {"Layer III", "11025", "single channel", "24000"}},
    // Channel configuration 7 is 7.1; AC-3 2/0 with the LFE channel is 2.1.
    {"aac_71.ts", {15}, {"Reserved", "48000", "AAC LC", "8", "surround", "Variable"}},
    {"ac3_21_44k.ts", {129}, {"44100", "96000", "2/0", "L,R", "main audio service: complete main (CM)", "3"}},
    // LAME's VBR: frames of 64 to 256 kbit/s (ffprobe averages 69.5, mediainfo says VBR).
    {"mp3_vbr.ts", {3, 4}, {"Layer III", "44100", "joint stereo", "Variable"}},
};

const std::vector<int>& eventsFor(int streamType)
{
    if (streamType == 129)
        return kAc3Events;
    if (streamType == 15)
        return kAacEvents;
    return kMpegAudioEvents;
}

}  // namespace

// Every chunk size from 1 to 600 finds the first header once, with the same values.
TEST(AudioFixture, FirstHeaderAgreesWithFfprobeInEveryChunkSize)
{
    for (const auto& fc : kAudioFixtures) {
        SCOPED_TRACE(fc.file);
        auto ts = readFile(fixture(fc.file));
        ASSERT_FALSE(ts.empty());
        int type = -1;
        int pid = findElementaryPid(ts, fc.streamTypes, &type);
        ASSERT_GT(pid, 0);
        auto es = extractElementaryStream(ts, pid);
        ASSERT_GT(es.size(), 2048u);
        // A prefix keeps the sweep quick: its frames give every value, the VBR fixture's
        // Variable included.
        if (es.size() > 4096)
            es.resize(4096);
        const auto& ids = eventsFor(type);

        std::vector<std::pair<int, std::string>> reference;
        for (size_t chunk = 1; chunk <= 600; chunk++) {
            SCOPED_TRACE(chunk);
            EventRecorder rec;
            auto proc = makeAudioProcessor(type, rec.registry());
            feedInChunks(*proc, es, chunk);
            proc->endOfRun();
            ASSERT_EQ(rec.events().size(), ids.size());
            for (size_t k = 0; k < ids.size(); k++) {
                EXPECT_EQ(rec.events()[k].id, ids[k]);
                EXPECT_EQ(rec.events()[k].pid, kPid);
                if (!fc.texts[k].empty()) {
                    EXPECT_EQ(rec.events()[k].text, fc.texts[k]) << "event " << ids[k];
                }
            }
            if (chunk == 1) {
                reference = summary(rec);
            } else {
                ASSERT_EQ(summary(rec), reference);
            }
            // Audio processors count no bytes of their own.
            EXPECT_EQ(proc->getByteCount(), 0);
        }
    }
}

TEST(AudioFixture, UnitsOfTheValueEvents)
{
    auto ts = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
    int pid = findElementaryPid(ts, {129});
    auto es = extractElementaryStream(ts, pid);
    EventRecorder rec;
    AC3Processor proc(rec.registry(), kPid);
    feedInChunks(proc, es, 184);
    EXPECT_EQ(rec.first(CB_MPEG2TS_AC3_SAMPLING_RATE).units, "Hz");
    EXPECT_EQ(rec.first(CB_MPEG2TS_AC3_BITRATE).units, "bps");
    EXPECT_EQ(rec.count(CB_MPEG2TS_AC3_BITRATE), 1);
    EXPECT_STREQ(proc.getName(), "AC3Processor");
}

// LPCM needs the PES start flag, so the fixtures go through the PES processor.
TEST(AudioPcm, Smpte302mFixturesThroughPesProcessor)
{
    struct Case {
        const char* file;
        const char* channels;
        const char* bits;
        int bitrate;  // ffprobe: about 2305500 and 5377500 with the packet headers
    } cases[] = {
        {"s302m_2ch_20.ts", "2", "20", 2304000},
        {"s302m_4ch_24.ts", "4", "24", 5376000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto ts = readFile(fixture(c.file));
        int pid = findElementaryPid(ts, {6});
        ASSERT_GT(pid, 0);
        EventRecorder rec;
        {
            PesProcessor pes(rec.registry(), pid, 6);
            long long n = 0;
            for (size_t i = 0; i + 188 <= ts.size(); i += 188, n++)
                pes.processMpeg2TsPacket(&ts[i], 188, n);
        }
        ASSERT_EQ(rec.count(CB_MPEG2TS_PCM_AUDIO_FREQ), 1);
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_FREQ).text, "48000");
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_FREQ).units, "Hz");
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH).text, c.channels);
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE).text, c.bits);
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE).units, "bits/dataword");
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BITRATE).number, c.bitrate);
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BITRATE).units, "bps");
        EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_MODE).text, "Not Stated");
        EXPECT_EQ(rec.first(CB_MPEG2TS_STREAM_TYPE).text, "Audio");
    }
}

TEST(AudioPcm, BitrateTable)
{
    // Rows number_channels 0..3, columns bits_per_sample 0..3 (3 reserved: none).
    const int expected[4][4] = {
        {1920000, 2304000, 2688000, 0},
        {3840000, 4608000, 5376000, 0},
        {5760000, 6912000, 8064000, 0},
        {7680000, 9216000, 10752000, 0},
    };
    for (int ch = 0; ch < 4; ch++)
        for (int b = 0; b < 4; b++)
            EXPECT_EQ(PcmProcessor::pcmBitrate(ch, b), expected[ch][b]) << ch << "," << b;
    EXPECT_EQ(PcmProcessor::pcmBitrate(4, 0), 0);
    EXPECT_EQ(PcmProcessor::pcmBitrate(-1, 0), 0);
}

TEST(AudioPcm, HeaderAfterPesStartOnlyAndSplitAcrossChunks)
{
    EventRecorder rec;
    PcmProcessor proc(rec.registry(), kPid);
    // Bytes before any PES start are skipped.
    unsigned char junk[] = {0x02, 0x40, 0x5F, 0x90, 0x11, 0x22};
    EXPECT_EQ(proc.processRawBuff(junk, sizeof(junk)), 1);
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_PCM_AUDIO_FREQ));

    // number_channels 1, bits_per_sample 2, channel_identification 0x3F, split 2 + 1 + 3.
    unsigned char header[] = {0x02, 0x40, 0x4F, 0xE0, 0xAA, 0xBB};
    proc.setPesStart();
    proc.processRawBuff(header, 2);
    proc.processRawBuff(header + 2, 1);
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_PCM_AUDIO_FREQ));
    proc.processRawBuff(header + 3, 3);
    ASSERT_TRUE(rec.fired(CB_MPEG2TS_PCM_AUDIO_FREQ));
    EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH).text, "4");
    EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE).text, "24");
    EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_CHAN_ID).text, "63");
    EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BITRATE).number, 5376000);
    EXPECT_FALSE(proc.getPesStart());

    // A second PES start reads again but reports nothing more.
    unsigned char header2[] = {0x02, 0x40, 0x00, 0x00, 0x00};
    proc.setPesStart();
    proc.processRawBuff(header2, sizeof(header2));
    EXPECT_EQ(proc.getHeader().number_channels, 0);
    EXPECT_EQ(rec.count(CB_MPEG2TS_PCM_AUDIO_FREQ), 1);
}

TEST(AudioPcm, ReservedBitsPerSampleGivesNoBitrate)
{
    EventRecorder rec;
    PcmProcessor proc(rec.registry(), kPid);
    unsigned char header[] = {0x02, 0x40, 0x00, 0x30, 0x00, 0x00};  // bits_per_sample 3
    proc.setPesStart();
    proc.processRawBuff(header, sizeof(header));
    EXPECT_EQ(rec.first(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE).text, "Reserved");
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_PCM_AUDIO_BITRATE));
    EXPECT_TRUE(rec.fired(CB_MPEG2TS_PCM_AUDIO_MODE));
}

// A frame of the given length that opens with the header (the rest zeros), then the header
// again where the next frame begins: the next header confirms the first.
std::vector<unsigned char> framed(std::vector<unsigned char> header, size_t frameLength)
{
    std::vector<unsigned char> out(header);
    out.resize(frameLength, 0x00);
    out.insert(out.end(), header.begin(), header.end());
    return out;
}

struct HandHeaderCase {
    const char* name;
    int streamType;
    std::vector<unsigned char> header;
    size_t frameLength;
    std::vector<std::string> texts;
};

TEST(AudioHeader, HandMadeHeaders)
{
    const HandHeaderCase cases[] = {
        // layer code 2, bitrate index 9, sampling_frequency 1, mode 1: 144 * 160000 / 48000
        {"mpeg layer II", 3, {0xFF, 0xFD, 0x94, 0x44}, 480, {"Layer II", "48000", "joint stereo", "160000"}},
        // ID 0 (lower sampling frequencies): Layer III, index 8, 22.05 kHz, single channel,
        // padded: 72 * 64000 / 22050 + 1
        {"mpeg-2 lsf", 4, {0xFF, 0xF3, 0x82, 0xC0}, 209, {"Layer III", "22050", "single channel", "64000"}},
        // Layer I, index 12 (384 kbit/s), 44.1 kHz, padded: 4 * (12 * 384000 / 44100 + 1)
        {"mpeg layer I", 3, {0xFF, 0xFF, 0xC2, 0x00}, 420, {"Layer I", "44100", "stereo", "384000"}},
        // MPEG-2.5 (bit 4 of byte 1 clear): Layer III, index 4 (32 kbit/s), 12 kHz: 72 * 32000 / 12000
        {"mpeg-2.5 12k", 4, {0xFF, 0xE3, 0x44, 0xC0}, 192, {"Layer III", "12000", "single channel", "32000"}},
        // MPEG-2.5 Layer II, index 2 (16 kbit/s), 11.025 kHz, padded: 144 * 16000 / 11025 + 1
        {"mpeg-2.5 layer II 11k", 4, {0xFF, 0xE5, 0x22, 0xC0}, 209, {"Layer II", "11025", "single channel", "16000"}},
        // fscod 0, frmsizecod 30 (448 kbit/s: 1792 bytes), bsid 8, bsmod 0, acmod 7, lfeon 0
        {"ac3 3/2", 129, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0}, 1792,
         {"48000", "448000", "3/2", "L,C,R,SL,SR", "main audio service: complete main (CM)", "5"}},
        // the same with lfeon (after cmixlev and surmixlev): 5.1
        {"ac3 3/2 lfe", 129, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE1}, 1792,
         {"48000", "448000", "3/2", "L,C,R,SL,SR", "main audio service: complete main (CM)", "6"}},
        // acmod 1 (no mix levels before lfeon), lfeon 1; 44.1 kHz, frmsizecod 9 (64 kbit/s, odd:
        // one word more than 139): 2 * 140
        {"ac3 1/0 lfe 44.1k", 129, {0x0B, 0x77, 0x00, 0x00, 0x49, 0x40, 0x30}, 280,
         {"44100", "64000", "1/0", "C", "main audio service: complete main (CM)", "2"}},
        // MPEG-2 ADTS (ID 1), LC, 48 kHz, 2 channels, frame_length 16
        {"adts mpeg-2 lc", 15, {0xFF, 0xF9, 0x4C, 0x80, 0x02, 0x1F, 0xFC}, 16,
         {"Reserved", "48000", "Low Complexity (LC)", "2", "stereo", "Variable"}},
        // sampling index 12, channel configuration 7, frame_length 16
        {"adts 7350 7.1", 15, {0xFF, 0xF1, 0x71, 0xC0, 0x02, 0x1F, 0xFC}, 16,
         {"Reserved", "7350", "AAC LC", "8", "surround", "Variable"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventRecorder rec;
        auto proc = makeAudioProcessor(c.streamType, rec.registry());
        auto bytes = framed(c.header, c.frameLength);
        proc->processRawBuff(bytes.data(), (long long)bytes.size());
        proc->endOfRun();
        const auto& ids = eventsFor(c.streamType);
        ASSERT_EQ(rec.events().size(), ids.size());
        for (size_t k = 0; k < ids.size(); k++)
            EXPECT_EQ(rec.events()[k].text, c.texts[k]) << "event " << ids[k];
        // One byte short of the next header's place, or one byte beyond it: unconfirmed.
        for (long shift : {-1L, 1L}) {
            EventRecorder other;
            auto p2 = makeAudioProcessor(c.streamType, other.registry());
            auto moved = framed(c.header, (size_t)((long)c.frameLength + shift));
            p2->processRawBuff(moved.data(), (long long)moved.size());
            p2->endOfRun();
            EXPECT_FALSE(other.fired(ids[0])) << "shift " << shift;
        }
    }
}

TEST(AudioSync, SyncWordSplitOverTwoChunksIsFoundOnTheSecond)
{
    EventRecorder rec;
    AacProcessor proc(rec.registry(), kPid);
    unsigned char first[] = {0x12, 0x34, 0x56, 0xFF};
    // ID 0, LC, 44.1 kHz, stereo, frame_length 16, then the next header.
    auto rest = framed({0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC}, 16);
    rest.erase(rest.begin());
    EXPECT_EQ(proc.processRawBuff(first, sizeof(first)), 1);
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_AAC_AUDIO_LAYER));
    proc.processRawBuff(rest.data(), (long long)rest.size());
    ASSERT_EQ(rec.count(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ), 1);
    EXPECT_EQ(rec.first(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ).text, "44100");
    EXPECT_EQ(rec.first(CB_MPEG2TS_AAC_AUDIO_PROFILE).text, "AAC LC");
}

TEST(AudioSync, HeaderNotYetInTheWindowReturnsTwoAndIsReadLater)
{
    EventRecorder rec;
    AC3Processor proc(rec.registry(), kPid);
    unsigned char head[] = {0x00, 0x0B, 0x77, 0x00, 0x00};
    unsigned char tail[] = {0x1E, 0x40, 0xE0, 0x00};
    EXPECT_EQ(proc.processRawBuff(head, sizeof(head)), 2);
    EXPECT_EQ(proc.getSearchPosition(), 1);  // left on the sync word
    EXPECT_EQ(proc.processRawBuff(tail, sizeof(tail)), 1);
    // The frame (1792 bytes from the sync word) and the next header confirm it.
    auto rest = framed({0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0}, 1792);
    rest.erase(rest.begin(), rest.begin() + 8);
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_AC3_BITRATE));
    feedInChunks(proc, rest, 100);
    EXPECT_EQ(rec.first(CB_MPEG2TS_AC3_BITRATE).text, "448000");
}

TEST(AudioSync, TooFewBytesAfterTheSearchPositionDoNotMoveIt)
{
    EventRecorder rec;
    MpegAudioProcessor proc(rec.registry(), kPid);
    unsigned char two[] = {0x00, 0xFF};
    EXPECT_EQ(proc.processRawBuff(two, sizeof(two)), 1);
    EXPECT_EQ(proc.getSearchPosition(), 0);
    unsigned char one[] = {0xFB};
    EXPECT_EQ(proc.processRawBuff(one, sizeof(one)), 1);  // three bytes: pair at 0 checked
    EXPECT_EQ(proc.getSearchPosition(), 1);
}

// A false sync word with reserved codes is not the first header; the real one later is.
TEST(AudioSync, ReservedCodesAreNotReportedAsTheFirstHeader)
{
    struct Case {
        int streamType;
        std::vector<unsigned char> bad;
        std::vector<unsigned char> good;
        size_t goodLength;
        int probe;
        const char* expected;
    } cases[] = {
        {3, {0xFF, 0xF9, 0x90, 0x00, 0x00}, {0xFF, 0xFD, 0x94, 0x44}, 480, CB_MPEG2TS_MPEG_AUDIO_LAYER, "Layer II"},
        {3, {0xFF, 0xFD, 0xFC, 0x00, 0x00}, {0xFF, 0xFD, 0x94, 0x44}, 480, CB_MPEG2TS_MPEG_AUDIO_BITRATE, "160000"},
        // version bits 01 are reserved
        {3, {0xFF, 0xEB, 0x90, 0x00, 0x00}, {0xFF, 0xFD, 0x94, 0x44}, 480, CB_MPEG2TS_MPEG_AUDIO_LAYER, "Layer II"},
        {129, {0x0B, 0x77, 0x00, 0x00, 0xC0, 0x40, 0xE0, 0x00}, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0}, 1792,
         CB_MPEG2TS_AC3_SAMPLING_RATE, "48000"},
        // sampling index 13
        {15, {0xFF, 0xF1, 0x74, 0x80, 0x02, 0x1F, 0xFC}, {0xFF, 0xF1, 0x50, 0x80, 0x02, 0x1F, 0xFC}, 16,
         CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, "44100"},
    };
    for (const auto& c : cases) {
        EventRecorder rec;
        auto proc = makeAudioProcessor(c.streamType, rec.registry());
        std::vector<unsigned char> bytes(c.bad);
        auto good = framed(c.good, c.goodLength);
        bytes.insert(bytes.end(), good.begin(), good.end());
        proc->processRawBuff(bytes.data(), (long long)bytes.size());
        proc->endOfRun();
        EXPECT_EQ(rec.count(c.probe), 1) << c.streamType;
        EXPECT_EQ(rec.first(c.probe).text, c.expected) << c.streamType;
    }
}

// A header-like pattern inside the bytes ahead of the first frame (as when the analysis
// starts within a frame) is not reported: its frame length leads to no next header. The
// fixtures' own first header is.
TEST(AudioSync, FalseSyncAheadOfTheFirstFrameIsNotReported)
{
    struct Case {
        const char* file;
        int streamType;
        std::vector<unsigned char> fake;  // a valid header with other values
        int probe;
        const char* expected;
    } cases[] = {
        // MPEG-1 Layer III 128 kbit/s 44.1 kHz (417 bytes) before Layer II at 48 kHz
        {"mpeg2_480_4x3_mp2.ts", 3, {0xFF, 0xFB, 0x90, 0xC0}, CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, "48000"},
        // ADTS 48 kHz mono, 100 bytes, before 44.1 kHz stereo
        {"h264_baseline_360_aac.ts", 15, {0xFF, 0xF1, 0x4C, 0x40, 0x0C, 0x9F, 0xFC}, CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ,
         "44100"},
        // AC-3 448 kbit/s 3/2 (1792 bytes) before 192 kbit/s 2/0
        {"mpeg2_576_16x9_ac3.ts", 129, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0}, CB_MPEG2TS_AC3_BITRATE, "192000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto ts = readFile(fixture(c.file));
        int pid = findElementaryPid(ts, {c.streamType});
        ASSERT_GT(pid, 0);
        auto es = extractElementaryStream(ts, pid);
        std::vector<unsigned char> bytes(c.fake);
        bytes.resize(64, 0x11);
        bytes.insert(bytes.end(), es.begin(), es.begin() + 4096);
        for (size_t chunk : {1, 184, 4160}) {
            EventRecorder rec;
            auto proc = makeAudioProcessor(c.streamType, rec.registry());
            feedInChunks(*proc, bytes, chunk);
            proc->endOfRun();
            ASSERT_EQ(rec.count(c.probe), 1) << chunk;
            EXPECT_EQ(rec.first(c.probe).text, c.expected) << chunk;
        }
    }
}

// A free-format frame (bit rate index 0) has no length of its own: it ends where the next
// header of its kind begins. A lone free-format pattern ahead of a stream is not reported.
TEST(AudioSync, FreeFormatHeaderIsConfirmedByTheNextOfItsKind)
{
    {
        EventRecorder rec;
        MpegAudioProcessor proc(rec.registry(), kPid);
        auto bytes = framed({0xFF, 0xFD, 0x04, 0xC0}, 700);  // Layer II, 48 kHz, free format
        feedInChunks(proc, bytes, 184);
        proc.endOfRun();
        ASSERT_EQ(rec.count(CB_MPEG2TS_MPEG_AUDIO_BITRATE), 1);
        EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_BITRATE).text, "free");
        EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ).text, "48000");
    }
    {
        EventRecorder rec;
        MpegAudioProcessor proc(rec.registry(), kPid);
        std::vector<unsigned char> bytes = {0xFF, 0xFB, 0x00, 0xC0};  // Layer III, 44.1 kHz, free format
        bytes.resize(50, 0x11);
        auto good = framed({0xFF, 0xFD, 0x94, 0x44}, 480);
        bytes.insert(bytes.end(), good.begin(), good.end());
        feedInChunks(proc, bytes, 184);
        proc.endOfRun();
        ASSERT_EQ(rec.count(CB_MPEG2TS_MPEG_AUDIO_BITRATE), 1);
        EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_BITRATE).text, "160000");
    }
    {
        // The same free-format look-alike eight bytes into every frame (Layer II encoders
        // write such a pattern): its copy in the next frame turns up just after the frame's
        // own next header, and must not win over it.
        EventRecorder rec;
        MpegAudioProcessor proc(rec.registry(), kPid);
        std::vector<unsigned char> bytes;
        for (int f = 0; f < 3; ++f) {
            std::vector<unsigned char> frame = {0xFF, 0xFD, 0x94, 0x44};
            frame.resize(480, 0x00);
            const unsigned char lookAlike[] = {0xFF, 0xFC, 0x00, 0x00};
            std::copy(lookAlike, lookAlike + 4, frame.begin() + 8);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        feedInChunks(proc, bytes, 184);
        proc.endOfRun();
        ASSERT_EQ(rec.count(CB_MPEG2TS_MPEG_AUDIO_BITRATE), 1);
        EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_BITRATE).text, "160000");
        EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ).text, "48000");
    }
}

// The last frame of a stream has no next header: the end of the input confirms it when it
// falls where the frame ends, or so soon after that no header fits in between (a stream cut
// just into its next frame). Here the stream is that one frame: AAC at 7350 Hz, mono, and
// MPEG audio Layer II.
TEST(AudioSync, FrameEndingWithTheInputIsConfirmedAtTheEnd)
{
    struct Case {
        const char* file;
        int streamType;
        long headerBytes;
        int probe;
        const char* expected;
    } cases[] = {
        {"aac_7350_mono.ts", 15, 7, CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, "7350"},
        {"mpeg2_480_4x3_mp2.ts", 3, 4, CB_MPEG2TS_MPEG_AUDIO_BITRATE, "192000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto ts = readFile(fixture(c.file));
        auto es = extractElementaryStream(ts, findElementaryPid(ts, {c.streamType}));
        ASSERT_GT(es.size(), 7u);
        size_t length;
        if (c.streamType == 15) {
            length = ((es[3] & 0x03) << 11) | (es[4] << 3) | (es[5] >> 5);
        } else {
            MpegAudioHeader h;
            fillHeaderInfo(es.data(), MPEG_AUDIO_HEADER_SIZE, &h);
            length = (size_t)getMpegAudioFrameLength(h);
        }
        ASSERT_LT(length + 8, es.size());
        for (long cut : {-1L, 0L, 1L, c.headerBytes - 1}) {
            SCOPED_TRACE(cut);
            EventRecorder rec;
            auto proc = makeAudioProcessor(c.streamType, rec.registry());
            std::vector<unsigned char> frame(es.begin(), es.begin() + (long)length + cut);
            feedInChunks(*proc, frame, 184);
            EXPECT_FALSE(rec.fired(c.probe));
            proc->endOfInput();
            proc->endOfRun();
            if (cut >= 0) {
                ASSERT_TRUE(rec.fired(c.probe));
                EXPECT_EQ(rec.first(c.probe).text, c.expected);
            } else {
                EXPECT_FALSE(rec.fired(c.probe));
            }
        }
    }
}

// Layer II frames of one bit rate (bitrate_index in the high nibble of rateByte), 48 kHz,
// each its header and zeros.
void appendLayer2Frames(std::vector<unsigned char>& out, unsigned char rateByte, size_t length, int count)
{
    for (int f = 0; f < count; ++f) {
        const size_t at = out.size();
        out.resize(at + length, 0x00);
        out[at] = 0xFF;
        out[at + 1] = 0xFD;
        out[at + 2] = rateByte;
        out[at + 3] = 0x44;
    }
}

// Only a header that the next one confirms counts as a frame, and a rate on one frame alone
// is no change: bytes lost from a frame break the chain, and the frames are followed again from
// the next confirmed header; a look-alike where the hop then lands, a header damaged into a
// rate whose frame spans two, or a tag frame ahead of the rest (as LAME's Info frame) leaves a
// constant stream constant, at the rate its frames carry.
TEST(AudioSync, OnlyRatesOfSeveralConfirmedFramesMakeTheStreamVariable)
{
    enum Damage { LOST_THEN_LOOK_ALIKE, LOST_THEN_OTHER_RATE, HEADER_OF_DOUBLE_LENGTH, TAG_FRAME_FIRST };
    const struct {
        Damage damage;
        const char* rate;
    } cases[] = {
        {LOST_THEN_LOOK_ALIKE, "160000"},
        {LOST_THEN_OTHER_RATE, "Variable"},
        {HEADER_OF_DOUBLE_LENGTH, "160000"},
        {TAG_FRAME_FIRST, "160000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage);
        // Frames of 160 kbit/s (480 bytes), 192 kbit/s (576) or 320 kbit/s (960).
        std::vector<unsigned char> bytes;
        if (c.damage == TAG_FRAME_FIRST)
            appendLayer2Frames(bytes, 0xA4, 576, 1);
        appendLayer2Frames(bytes, 0x94, 480, 6);
        if (c.damage == LOST_THEN_LOOK_ALIKE || c.damage == LOST_THEN_OTHER_RATE)
            bytes.erase(bytes.begin() + 3 * 480 + 50, bytes.begin() + 3 * 480 + 150);
        if (c.damage == LOST_THEN_LOOK_ALIKE) {
            // Where the fourth frame's length leads: a 192 kbit/s look-alike.
            const unsigned char fake[] = {0xFF, 0xFD, 0xA4, 0x44};
            std::copy(fake, fake + 4, bytes.begin() + 4 * 480);
        }
        if (c.damage == HEADER_OF_DOUBLE_LENGTH)
            bytes[3 * 480 + 2] = 0xD4;
        appendLayer2Frames(bytes, c.damage == LOST_THEN_OTHER_RATE ? 0xA4 : 0x94,
                           c.damage == LOST_THEN_OTHER_RATE ? 576 : 480, 3);
        for (size_t chunk : {1, 184, 5000}) {
            SCOPED_TRACE(chunk);
            EventRecorder rec;
            MpegAudioProcessor proc(rec.registry(), kPid);
            feedInChunks(proc, bytes, chunk);
            proc.endOfInput();
            proc.endOfRun();
            ASSERT_EQ(rec.count(CB_MPEG2TS_MPEG_AUDIO_BITRATE), 1);
            EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_BITRATE).text, c.rate);
        }
    }
}

// Bits flipped in rate fields that double (Layer II, 48 kHz) or quadruple (Layer III, 44.1 kHz,
// padded frames) a frame's length land the hop on a real header: in the first frame, two frames in
// a row and the last, that is damage, not a variable rate.
TEST(AudioDamage, RateFieldsFlippedToLongerFramesLeaveTheRateConstant)
{
    const struct {
        const char* file;
        unsigned char flip;
        const char* rate;
    } cases[] = {{"mpeg2_480_4x3_mp2.ts", 0x40, "192000"}, {"h264_main_576i_mp3.ts", 0x80, "64000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto ts = readFile(fixture(c.file));
        auto es = extractElementaryStream(ts, findElementaryPid(ts, {3, 4}));
        size_t at = 0;
        for (size_t frame = 0; frame <= 20; ++frame) {
            ASSERT_EQ(0xFF, es.at(at));
            MpegAudioHeader h;
            fillHeaderInfo(es.data() + at, MPEG_AUDIO_HEADER_SIZE, &h);
            es[at + 2] ^= frame == 0 || frame == 8 || frame == 9 || frame == 20 ? c.flip : 0;
            at += (size_t)getMpegAudioFrameLength(h);
        }
        es.resize(at);  // the last damaged frame ends the input
        for (size_t chunk : {1, 184, 5000}) {
            EventRecorder rec;
            MpegAudioProcessor proc(rec.registry(), kPid);
            feedInChunks(proc, es, chunk);
            proc.endOfInput();
            proc.endOfRun();
            EXPECT_EQ(rec.first(CB_MPEG2TS_MPEG_AUDIO_BITRATE).text, c.rate) << chunk;
        }
    }
}

// Noise in every kind and many chunk sizes: nothing crashes, nothing reads outside the
// window, and no event ever carries a null text.
TEST(AudioDamage, RandomBytesNeverCrashAndNeverFireNullTexts)
{
    std::mt19937 rng(1234);
    std::vector<unsigned char> noise(20000);
    for (auto& b : noise) {
        // Bias towards sync bytes so that many false headers are parsed.
        unsigned r = rng() % 8;
        b = r == 0 ? 0xFF : r == 1 ? 0x0B : r == 2 ? 0x77 : (unsigned char)rng();
    }
    for (int type : {3, 15, 129, 6}) {
        for (size_t chunk : {1, 3, 184, 600, 5000}) {
            EventRecorder rec;
            std::unique_ptr<ElemStreamProcessor> proc;
            if (type == 6)
                proc = std::make_unique<PcmProcessor>(rec.registry(), kPid);
            else
                proc = makeAudioProcessor(type, rec.registry());
            std::vector<unsigned char> copy(noise);
            for (size_t i = 0; i < copy.size(); i += chunk) {
                if (type == 6 && (i / chunk) % 3 == 0)
                    proc->setPesStart();
                proc->processRawBuff(copy.data() + i, (long long)std::min(chunk, copy.size() - i));
                ASSERT_GE(proc->getSearchPosition(), 0);
                ASSERT_LE(proc->getSearchPosition(), proc->getBufferLevel());
            }
            for (const auto& e : rec.events())
                EXPECT_NE(e.text, "<null>") << "event " << e.id;
        }
    }
}
