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
        ASSERT_GT(es.size(), 4096u);
        // The first header is all that is reported; a prefix keeps the sweep quick.
        es.resize(4096);
        const auto& ids = eventsFor(type);

        std::vector<std::pair<int, std::string>> reference;
        for (size_t chunk = 1; chunk <= 600; chunk++) {
            SCOPED_TRACE(chunk);
            EventRecorder rec;
            auto proc = makeAudioProcessor(type, rec.registry());
            feedInChunks(*proc, es, chunk);
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

struct HandHeaderCase {
    const char* name;
    int streamType;
    std::vector<unsigned char> bytes;
    std::vector<std::string> texts;
};

TEST(AudioHeader, HandMadeHeaders)
{
    const HandHeaderCase cases[] = {
        // layer code 2, bitrate index 9, sampling_frequency 1, mode 1
        {"mpeg layer II", 3, {0xFF, 0xFD, 0x94, 0x44, 0x00, 0x00}, {"Layer II", "48000", "joint stereo", "160000"}},
        // ID 0 (lower sampling frequencies): Layer III, index 8, 22.05 kHz, single channel
        {"mpeg-2 lsf", 4, {0xFF, 0xF3, 0x80, 0xC0, 0x00, 0x00}, {"Layer III", "22050", "single channel", "64000"}},
        // fscod 0, frmsizecod 30, bsid 8, bsmod 0, acmod 7
        {"ac3 5.1", 129, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0, 0x00, 0x00},
         {"48000", "448000", "3/2", "L,C,R,SL,SR", "main audio service: complete main (CM)", "5"}},
        // MPEG-2 ADTS (ID 1), LC, 48 kHz, 2 channels
        {"adts mpeg-2 lc", 15, {0xFF, 0xF9, 0x4C, 0x80, 0x00}, {"Reserved", "48000", "Low Complexity (LC)", "2", "stereo", "Variable"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EventRecorder rec;
        auto proc = makeAudioProcessor(c.streamType, rec.registry());
        std::vector<unsigned char> copy(c.bytes);
        proc->processRawBuff(copy.data(), (long long)copy.size());
        const auto& ids = eventsFor(c.streamType);
        ASSERT_EQ(rec.events().size(), ids.size());
        for (size_t k = 0; k < ids.size(); k++)
            EXPECT_EQ(rec.events()[k].text, c.texts[k]) << "event " << ids[k];
    }
}

TEST(AudioSync, SyncWordSplitOverTwoChunksIsFoundOnTheSecond)
{
    EventRecorder rec;
    AacProcessor proc(rec.registry(), kPid);
    unsigned char first[] = {0x12, 0x34, 0x56, 0xFF};
    unsigned char second[] = {0xF1, 0x50, 0x80, 0x00, 0x1F};  // ID 0, LC, 44.1 kHz, stereo
    EXPECT_EQ(proc.processRawBuff(first, sizeof(first)), 1);
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_AAC_AUDIO_LAYER));
    proc.processRawBuff(second, sizeof(second));
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
    EXPECT_FALSE(rec.fired(CB_MPEG2TS_AC3_BITRATE));
    EXPECT_EQ(proc.processRawBuff(tail, sizeof(tail)), 1);
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
        int probe;
        const char* expected;
    } cases[] = {
        {3, {0xFF, 0xF9, 0x90, 0x00, 0x00}, {0xFF, 0xFD, 0x94, 0x44, 0x00}, CB_MPEG2TS_MPEG_AUDIO_LAYER, "Layer II"},
        {3, {0xFF, 0xFD, 0xFC, 0x00, 0x00}, {0xFF, 0xFD, 0x94, 0x44, 0x00}, CB_MPEG2TS_MPEG_AUDIO_BITRATE, "160000"},
        {129, {0x0B, 0x77, 0x00, 0x00, 0xC0, 0x40, 0xE0, 0x00}, {0x0B, 0x77, 0x00, 0x00, 0x1E, 0x40, 0xE0, 0x00},
         CB_MPEG2TS_AC3_SAMPLING_RATE, "48000"},
        {15, {0xFF, 0xF1, 0x70, 0x80, 0x00}, {0xFF, 0xF1, 0x50, 0x80, 0x00}, CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, "44100"},
    };
    for (const auto& c : cases) {
        EventRecorder rec;
        auto proc = makeAudioProcessor(c.streamType, rec.registry());
        std::vector<unsigned char> bytes(c.bad);
        bytes.insert(bytes.end(), c.good.begin(), c.good.end());
        proc->processRawBuff(bytes.data(), (long long)bytes.size());
        EXPECT_EQ(rec.count(c.probe), 1) << c.streamType;
        EXPECT_EQ(rec.first(c.probe).text, c.expected) << c.streamType;
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
