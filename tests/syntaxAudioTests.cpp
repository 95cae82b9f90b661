// Audio header readers: AC-3, MPEG audio, ADTS and LPCM, on header bytes taken from the
// fixtures (values checked against ffprobe) and on hand-made headers.

#include "syntax/aacAdtsAudio.h"
#include "syntax/ac3.h"
#include "syntax/mpegAudio.h"
#include "syntax/pcmAudio.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::fixture;
using testsupport::extractElementaryStream;

namespace {

// Offset of the first two-byte sync (first byte exact, second under mask) at or after from.
size_t findSync(const std::vector<uint8_t>& es, uint8_t first, uint8_t second, uint8_t mask,
                size_t from = 0)
{
    for (size_t i = from; i + 1 < es.size(); ++i) {
        if (es[i] == first && (es[i + 1] & mask) == second)
            return i;
    }
    return std::string::npos;
}

}  // namespace

// ---- AC-3 ------------------------------------------------------------------------------

struct Ac3Case {
    const char* name;
    uint8_t header[7];
    int fscod, frmsizecod, bsid, bsmod, acmod, lfeon;
    const char* rate;
    const char* bitrate;
    const char* acm;
    const char* ordering;
    int channels;
};

// First frames of the AC-3 fixtures (ffprobe: 48000 Hz, 2.0 192 kbit/s and 5.1 448 kbit/s).
const Ac3Case kAc3Cases[] = {
    {"mpeg2_576_16x9_ac3", {0x0B, 0x77, 0xFE, 0x95, 0x14, 0x40, 0x43}, 0, 20, 8, 0, 2, 0, "48000",
     "192000", "2/0", "L,R", 2},
    {"mpeg2_1080i_ac3_51", {0x0B, 0x77, 0xB5, 0x0B, 0x1E, 0x40, 0xEB}, 0, 30, 8, 0, 7, 1, "48000",
     "448000", "3/2", "L,C,R,SL,SR", 5},
};

TEST(AudioAc3, FixtureHeaders)
{
    for (const Ac3Case& c : kAc3Cases) {
        SCOPED_TRACE(c.name);
        Ac3SyncInfo si;
        Ac3Bsi bsi;
        ASSERT_EQ(0, fillSyncInfo(c.header, sizeof(c.header), &si));
        ASSERT_EQ(0, fillBsi(c.header, sizeof(c.header), &bsi));
        EXPECT_EQ(0x0B77, si.syncword);
        EXPECT_EQ(c.fscod, si.fscod);
        EXPECT_EQ(c.frmsizecod, si.frmsizecod);
        EXPECT_EQ(c.bsid, bsi.bsid);
        EXPECT_EQ(c.bsmod, bsi.bsmod);
        EXPECT_EQ(c.acmod, bsi.acmod);
        EXPECT_EQ(c.lfeon, bsi.lfeon);
        EXPECT_STREQ(c.rate, getSamplingRateDesc(si.fscod));
        EXPECT_STREQ(c.bitrate, getBitrate(si.frmsizecod));
        EXPECT_STREQ(c.acm, getAcmDesc(bsi.acmod));
        EXPECT_STREQ(c.ordering, getChArrayOrdering(bsi.acmod));
        EXPECT_STREQ("main audio service: complete main (CM)", getBsmDesc(bsi.bsmod, bsi.acmod));
        EXPECT_EQ(c.channels, getNumberOfChannels(bsi.acmod));
    }
}

TEST(AudioAc3, HeaderDugOutOfTheTransportStream)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("mpeg2_1080i_ac3_51.ts"), 129);
    size_t at = findSync(es, 0x0B, 0x77, 0xFF);
    ASSERT_NE(std::string::npos, at);
    Ac3SyncInfo si;
    Ac3Bsi bsi;
    ASSERT_EQ(0, fillSyncInfo(&es[at], (long)(es.size() - at), &si));
    ASSERT_EQ(0, fillBsi(&es[at], (long)(es.size() - at), &bsi));
    EXPECT_STREQ("448000", getBitrate(si.frmsizecod));
    EXPECT_STREQ("3/2", getAcmDesc(bsi.acmod));
}

TEST(AudioAc3, FieldPositionsOfHandMadeHeader)
{
    // fscod 2, frmsizecod 0x2A; bsid 0x1F, bsmod 5; acmod 6, surmixlev 2, lfeon 1.
    const uint8_t h[7] = {0x0B, 0x77, 0x12, 0x34, 0xAA, 0xFD, 0xDF};
    Ac3SyncInfo si;
    Ac3Bsi bsi;
    ASSERT_EQ(0, fillSyncInfo(h, 7, &si));
    ASSERT_EQ(0, fillBsi(h, 7, &bsi));
    EXPECT_EQ(0x1234, si.crc1);
    EXPECT_EQ(2, si.fscod);
    EXPECT_EQ(0x2A, si.frmsizecod);
    EXPECT_EQ(0x1F, bsi.bsid);
    EXPECT_EQ(5, bsi.bsmod);
    EXPECT_EQ(6, bsi.acmod);
    EXPECT_EQ(1, bsi.lfeon);
}

TEST(AudioAc3, ShortInputIsRefusedAndZeroed)
{
    const uint8_t h[7] = {0x0B, 0x77, 0xFE, 0x95, 0x14, 0x40, 0x43};
    Ac3SyncInfo si;
    Ac3Bsi bsi;
    memset(&si, 0xAB, sizeof(si));
    memset(&bsi, 0xAB, sizeof(bsi));
    EXPECT_EQ(1, fillSyncInfo(h, 4, &si));
    EXPECT_EQ(0, si.syncword);
    EXPECT_EQ(1, fillBsi(h, 6, &bsi));
    EXPECT_EQ(0, bsi.acmod);
    EXPECT_EQ(1, fillSyncInfo(nullptr, 7, &si));
    EXPECT_EQ(0, fillSyncInfo(h, 5, &si));  // syncinfo alone is 5 bytes
}

TEST(AudioAc3, LookupBoundaries)
{
    EXPECT_STREQ("32000", getBitrate(0));
    EXPECT_STREQ("32000", getBitrate(1));
    EXPECT_STREQ("640000", getBitrate(37));
    EXPECT_EQ(nullptr, getBitrate(38));
    EXPECT_EQ(nullptr, getBitrate(63));
    EXPECT_EQ(nullptr, getBitrate(-1));
    EXPECT_STREQ("Reserved", getSamplingRateDesc(3));
    EXPECT_EQ(nullptr, getSamplingRateDesc(4));
    EXPECT_EQ(nullptr, getSamplingRateDesc(-1));
    EXPECT_STREQ("1+1", getAcmDesc(0));
    EXPECT_EQ(nullptr, getAcmDesc(8));
    EXPECT_STREQ("Ch1, Ch2", getChArrayOrdering(0));
    EXPECT_EQ(nullptr, getChArrayOrdering(8));
    EXPECT_EQ(2, getNumberOfChannels(0));
    EXPECT_EQ(1, getNumberOfChannels(1));
    EXPECT_EQ(-1, getNumberOfChannels(8));
    EXPECT_EQ(-1, getNumberOfChannels(-1));
}

TEST(AudioAc3, StreamModeDependsOnCodingModeForSeven)
{
    EXPECT_STREQ("associated service: emergency (E)", getBsmDesc(6, 0));
    EXPECT_STREQ("associated service: voice over (VO)", getBsmDesc(7, 1));
    EXPECT_STREQ("main audio service: karaoke", getBsmDesc(7, 2));
    EXPECT_STREQ("main audio service: karaoke", getBsmDesc(7, 7));
    EXPECT_EQ(nullptr, getBsmDesc(7, 0));
    EXPECT_EQ(nullptr, getBsmDesc(7, 8));
    EXPECT_EQ(nullptr, getBsmDesc(8, 2));
    EXPECT_EQ(nullptr, getBsmDesc(-1, 2));
}

// ---- MPEG audio ------------------------------------------------------------------------

struct MpegAudioCase {
    const char* name;
    uint8_t header[4];
    int id, layer, bitrateIndex, samplingFrequency, mode;
    const char* layerText;
    const char* rate;
    const char* bitrate;
    const char* modeText;
};

// First frame headers: the fixtures' MP2 and MP3 (ffprobe 48000 Hz stereo 192 kbit/s and
// 44100 Hz mono 64 kbit/s), and ffmpeg's lower-sampling-frequency encodings (ffprobe 24000 Hz
// mono 64 kbit/s, 16000 Hz 32 kbit/s, 22050 Hz 32 kbit/s).
const MpegAudioCase kMpegAudioCases[] = {
    {"mp2 48k", {0xFF, 0xFD, 0xA4, 0x04}, 1, 2, 10, 1, 0, "Layer II", "48000", "192000", "stereo"},
    {"mp3 44.1k", {0xFF, 0xFB, 0x50, 0xC0}, 1, 1, 5, 0, 3, "Layer III", "44100", "64000",
     "single channel"},
    {"mp2 24k lsf", {0xFF, 0xF5, 0x84, 0xC4}, 0, 2, 8, 1, 3, "Layer II", "24000", "64000",
     "single channel"},
    {"mp2 16k lsf", {0xFF, 0xF5, 0x48, 0xC4}, 0, 2, 4, 2, 3, "Layer II", "16000", "32000",
     "single channel"},
    {"mp3 22.05k lsf", {0xFF, 0xF3, 0x40, 0xC4}, 0, 1, 4, 0, 3, "Layer III", "22050", "32000",
     "single channel"},
    {"spec example", {0xFF, 0xFD, 0x94, 0x44}, 1, 2, 9, 1, 1, "Layer II", "48000", "160000",
     "joint stereo"},
};

TEST(AudioMpeg, FixtureHeaders)
{
    for (const MpegAudioCase& c : kMpegAudioCases) {
        SCOPED_TRACE(c.name);
        MpegAudioHeader h;
        ASSERT_EQ(0, fillHeaderInfo(c.header, 4, &h));
        EXPECT_EQ(c.id, h.ID);
        EXPECT_EQ(c.layer, h.layer);
        EXPECT_EQ(c.bitrateIndex, h.bitrate_index);
        EXPECT_EQ(c.samplingFrequency, h.sampling_frequency);
        EXPECT_EQ(c.mode, h.mode);
        EXPECT_STREQ(c.layerText, getMpegAudioLayer(h.layer));
        EXPECT_STREQ(c.rate, getMpegAudioSampleFreq(h.ID, h.sampling_frequency));
        EXPECT_STREQ(c.bitrate, getMpegAudioBitrate(h.ID, h.layer, h.bitrate_index));
        EXPECT_STREQ(c.modeText, getMpegAudioMode(h.mode));
    }
}

TEST(AudioMpeg, HeadersDugOutOfTheTransportStreams)
{
    struct {
        const char* file;
        int streamType;
        const char* rate;
        const char* bitrate;
    } cases[] = {{"mpeg2_480_4x3_mp2.ts", 3, "48000", "192000"},
                 {"h264_main_576i_mp3.ts", 3, "44100", "64000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> es = extractElementaryStream(fixture(c.file), c.streamType);
        if (es.empty())  // ffmpeg may label MPEG-2 audio as type 4
            es = extractElementaryStream(fixture(c.file), 4);
        size_t at = findSync(es, 0xFF, 0xF0, 0xF0);
        ASSERT_NE(std::string::npos, at);
        MpegAudioHeader h;
        ASSERT_EQ(0, fillHeaderInfo(&es[at], (long)(es.size() - at), &h));
        EXPECT_STREQ(c.rate, getMpegAudioSampleFreq(h.ID, h.sampling_frequency));
        EXPECT_STREQ(c.bitrate, getMpegAudioBitrate(h.ID, h.layer, h.bitrate_index));
    }
}

TEST(AudioMpeg, BitrateTablesOfBothStandards)
{
    // {id, layer code, index, text}: table ends and the entries where the tables differ.
    struct {
        int id, layer, index;
        const char* text;
    } rows[] = {
        {1, 3, 1, "32000"},  {1, 3, 14, "448000"}, {1, 2, 1, "32000"},  {1, 2, 14, "384000"},
        {1, 1, 1, "32000"},  {1, 1, 14, "320000"}, {1, 1, 2, "40000"},  {1, 2, 2, "48000"},
        {0, 3, 1, "32000"},  {0, 3, 14, "256000"}, {0, 3, 9, "144000"}, {0, 2, 1, "8000"},
        {0, 2, 14, "160000"}, {0, 1, 1, "8000"},   {0, 1, 13, "144000"}, {0, 1, 14, "160000"},
        {1, 2, 0, "free"},   {0, 1, 0, "free"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << "id " << r.id << " layer " << r.layer << " index " << r.index);
        EXPECT_STREQ(r.text, getMpegAudioBitrate(r.id, r.layer, r.index));
    }
}

TEST(AudioMpeg, LookupsOutsideTheirTablesGiveNull)
{
    EXPECT_EQ(nullptr, getMpegAudioBitrate(1, 2, 15));  // the forbidden index
    EXPECT_EQ(nullptr, getMpegAudioBitrate(1, 0, 5));   // reserved layer
    EXPECT_EQ(nullptr, getMpegAudioBitrate(0, 4, 5));
    EXPECT_EQ(nullptr, getMpegAudioBitrate(2, 2, 5));
    EXPECT_EQ(nullptr, getMpegAudioBitrate(1, 2, -1));
    EXPECT_EQ(nullptr, getMpegAudioSampleFreq(1, 3));  // reserved
    EXPECT_EQ(nullptr, getMpegAudioSampleFreq(0, 3));
    EXPECT_EQ(nullptr, getMpegAudioSampleFreq(-1, 0));
    EXPECT_STREQ("Reserved", getMpegAudioLayer(0));
    EXPECT_STREQ("Layer I", getMpegAudioLayer(3));
    EXPECT_EQ(nullptr, getMpegAudioLayer(4));
    EXPECT_EQ(nullptr, getMpegAudioMode(4));
    EXPECT_NE(nullptr, getMpegAudioModeExtension(1, 3));
    EXPECT_NE(nullptr, getMpegAudioModeExtension(2, 0));
    EXPECT_EQ(nullptr, getMpegAudioModeExtension(0, 0));
    EXPECT_EQ(nullptr, getMpegAudioModeExtension(2, 4));
}

TEST(AudioMpeg, ShortInputIsRefused)
{
    const uint8_t h[4] = {0xFF, 0xFD, 0xA4, 0x04};
    MpegAudioHeader m;
    memset(&m, 0x55, sizeof(m));
    EXPECT_EQ(1, fillHeaderInfo(h, 3, &m));
    EXPECT_EQ(0, m.layer);
    EXPECT_EQ(0, m.ID);
    EXPECT_EQ(1, fillHeaderInfo(nullptr, 4, &m));
}

// ---- ADTS ------------------------------------------------------------------------------

TEST(AudioAdts, FixtureHeaders)
{
    // First frames of the AAC fixtures (ffprobe: LC 44100 Hz stereo, LC 48000 Hz 5.1).
    struct {
        const char* name;
        uint8_t header[7];
        int id, profile, sfi, channels;
        const char* rate;
        const char* mode;
        int frameLength;
    } cases[] = {
        {"h264_baseline_360_aac", {0xFF, 0xF1, 0x50, 0x80, 0x2B, 0x3F, 0xFC}, 0, 1, 4, 2, "44100",
         "stereo", 0x159},
        {"h264_high_1080_aac_51", {0xFF, 0xF1, 0x4D, 0x80, 0x25, 0x7F, 0xFC}, 0, 1, 3, 6, "48000",
         "surround", 0x12B},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AdtsFixedHeader h;
        ASSERT_EQ(0, fillAdtsFixedHeaderInfo(c.header, 7, &h));
        EXPECT_EQ(c.id, h.ID);
        EXPECT_EQ(0, h.layer);
        EXPECT_EQ(1, h.protection_absent);
        EXPECT_EQ(c.profile, h.profile);
        EXPECT_EQ(c.sfi, h.sampling_frequency_index);
        EXPECT_EQ(c.channels, h.channel_configuration);
        EXPECT_STREQ(c.rate, getAacAudioSamplingFreq(h.sampling_frequency_index));
        EXPECT_STREQ("AAC LC", getAacAudioMpeg4Profile(h.profile));
        EXPECT_STREQ("Low Complexity (LC)", getAacAudioProfile(h.profile));
        EXPECT_STREQ(c.mode, getAacAudioMode(h.channel_configuration));
        AdtsVariableHeader v;
        ASSERT_EQ(0, fillAdtsVariableHeaderInfo(c.header, 7, &v));
        EXPECT_EQ(c.frameLength, v.frame_length);
        EXPECT_EQ(0x7FF, v.adts_buffer_fullness);
        EXPECT_EQ(0, v.number_of_raw_data_blocks_in_frame);
    }
}

TEST(AudioAdts, FrameLengthsOfTheTransportStreamChainFromOneSyncToTheNext)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_baseline_360_aac.ts"), 15);
    size_t at = findSync(es, 0xFF, 0xF0, 0xF6);  // layer bits 00
    ASSERT_NE(std::string::npos, at);
    int frames = 0;
    while (at + 7 <= es.size() && frames < 20) {
        AdtsVariableHeader v;
        AdtsFixedHeader f;
        ASSERT_EQ(0, fillAdtsFixedHeaderInfo(&es[at], (long)(es.size() - at), &f));
        ASSERT_EQ(0, fillAdtsVariableHeaderInfo(&es[at], (long)(es.size() - at), &v));
        ASSERT_EQ(0xFF, es[at]);
        ASSERT_EQ(0xF0, es[at + 1] & 0xF0);
        EXPECT_EQ(4, f.sampling_frequency_index);
        ASSERT_GE(v.frame_length, 7);
        at += v.frame_length;
        ++frames;
    }
    EXPECT_EQ(20, frames);
}

TEST(AudioAdts, ChannelConfigurationSpansTwoBytes)
{
    // channel_configuration 5 = bit 0 of byte 2 (1) and bits 7..6 of byte 3 (01).
    const uint8_t h[4] = {0xFF, 0xF8, 0x4D, 0x40 | 0x20 | 0x10};
    AdtsFixedHeader a;
    ASSERT_EQ(0, fillAdtsFixedHeaderInfo(h, 4, &a));
    EXPECT_EQ(1, a.ID);
    EXPECT_EQ(0, a.protection_absent);
    EXPECT_EQ(5, a.channel_configuration);
    EXPECT_EQ(1, a.original_copy);
    EXPECT_EQ(1, a.home);
    EXPECT_EQ(0, a.private_bit);
}

TEST(AudioAdts, LookupBoundaries)
{
    EXPECT_STREQ("96000", getAacAudioSamplingFreq(0));
    EXPECT_STREQ("8000", getAacAudioSamplingFreq(11));
    EXPECT_STREQ("Reserved", getAacAudioSamplingFreq(15));
    EXPECT_EQ(nullptr, getAacAudioSamplingFreq(16));
    EXPECT_STREQ("unknown", getAacAudioMode(0));
    EXPECT_STREQ("mono", getAacAudioMode(1));
    EXPECT_STREQ("stereo", getAacAudioMode(3));
    EXPECT_STREQ("surround", getAacAudioMode(7));
    EXPECT_STREQ("unknown", getAacAudioMode(8));
    EXPECT_STREQ("unknown", getAacAudioMode(-3));
    EXPECT_STREQ("Reserved", getAacAudioProfile(3));
    EXPECT_EQ(nullptr, getAacAudioProfile(4));
    EXPECT_STREQ("AAC LTP", getAacAudioMpeg4Profile(3));
    EXPECT_EQ(nullptr, getAacAudioMpeg4Profile(4));
    EXPECT_STREQ("Reserved", getAacAudioLayer(0));
    EXPECT_EQ(nullptr, getAacAudioLayer(4));
    EXPECT_EQ(33, getPredSfbMax(0));
    EXPECT_EQ(34, getPredSfbMax(11));
    EXPECT_EQ(-1, getPredSfbMax(12));
    EXPECT_EQ(-1, getPredSfbMax(-1));
}

TEST(AudioAdts, ShortInputIsRefused)
{
    const uint8_t h[7] = {0xFF, 0xF1, 0x50, 0x80, 0x2B, 0x3F, 0xFC};
    AdtsFixedHeader f;
    AdtsVariableHeader v;
    EXPECT_EQ(1, fillAdtsFixedHeaderInfo(h, 3, &f));
    EXPECT_EQ(0, f.sampling_frequency_index);
    EXPECT_EQ(0, fillAdtsFixedHeaderInfo(h, 4, &f));
    EXPECT_EQ(1, fillAdtsVariableHeaderInfo(h, 6, &v));
    EXPECT_EQ(0, v.frame_length);
}

// ---- Frame lengths ----------------------------------------------------------------------

// From the first sync word each frame's length leads to the next header, through the whole
// stream and exactly to its end: every bit rate, sampling frequency and padding code the
// fixtures use (MPEG-2.5 at 8 and 11.025 kHz, AC-3 at 44.1 kHz with its alternating sizes).
TEST(AudioFrameLength, ChainsThroughEveryFrameOfTheFixtures)
{
    struct {
        const char* file;
        int streamType;
        int firstVersion;  // MPEG audio: version bits of the first header
    } cases[] = {
        {"mpeg2_480_4x3_mp2.ts", 3, 3},  {"lsf_mp2_24k.ts", 4, 2},      {"lsf_mp3_22k.ts", 4, 2},
        {"mp3_mpeg25_8k.ts", 4, 0},      {"mp3_mpeg25_11k.ts", 4, 0},  {"mpeg2_576_16x9_ac3.ts", 129, -1},
        {"mpeg2_1080i_ac3_51.ts", 129, -1}, {"ac3_21_44k.ts", 129, -1}, {"h264_baseline_360_aac.ts", 15, -1},
        {"aac_7350_mono.ts", 15, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> es = extractElementaryStream(fixture(c.file), c.streamType);
        ASSERT_GT(es.size(), 100u);
        size_t at = 0;
        int frames = 0;
        while (at < es.size()) {
            SCOPED_TRACE(frames);
            ASSERT_GE(es.size() - at, 7u);
            int length = 0;
            if (c.streamType == 129) {
                ASSERT_EQ(0x0B, es[at]);
                ASSERT_EQ(0x77, es[at + 1]);
                length = getAc3FrameSize(es[at + 4] >> 6, es[at + 4] & 0x3F);
            } else if (c.streamType == 15) {
                AdtsVariableHeader v;
                ASSERT_EQ(0, fillAdtsVariableHeaderInfo(&es[at], 7, &v));
                ASSERT_EQ(0xFF, es[at]);
                length = v.frame_length;
            } else {
                MpegAudioHeader h;
                ASSERT_EQ(0, fillHeaderInfo(&es[at], 4, &h));
                ASSERT_EQ(0xFF, es[at]);
                ASSERT_EQ(0xE0, es[at + 1] & 0xE0);
                if (frames == 0) {
                    EXPECT_EQ(c.firstVersion, h.version);
                }
                length = getMpegAudioFrameLength(h);
            }
            ASSERT_GT(length, 0);
            at += (size_t)length;
            ++frames;
        }
        EXPECT_EQ(es.size(), at);
        EXPECT_GT(frames, 4);
    }
}

TEST(AudioMpeg, Mpeg25HeadersOfTheFixtures)
{
    // ffprobe: mp3 8000 Hz mono 32 kbit/s, 11025 Hz mono 24 kbit/s (its frames are 156 or,
    // padded, 157 bytes: 72 * 24000 / 11025 = 156.7).
    struct {
        const char* file;
        const char* rate;
        const char* bitrate;
    } cases[] = {{"mp3_mpeg25_8k.ts", "8000", "32000"}, {"mp3_mpeg25_11k.ts", "11025", "24000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> es = extractElementaryStream(fixture(c.file), 4);
        ASSERT_GE(es.size(), 4u);
        MpegAudioHeader h;
        ASSERT_EQ(0, fillHeaderInfo(&es[0], 4, &h));
        EXPECT_EQ(0, h.version);
        EXPECT_EQ(0, h.ID);
        EXPECT_STREQ("Layer III", getMpegAudioLayer(h.layer));
        EXPECT_STREQ(c.rate, getMpegAudioVersionSampleFreq(h.version, h.sampling_frequency));
        EXPECT_STREQ(c.bitrate, getMpegAudioBitrate(h.ID, h.layer, h.bitrate_index));
    }
    EXPECT_STREQ("12000", getMpegAudioVersionSampleFreq(0, 1));
    EXPECT_EQ(nullptr, getMpegAudioVersionSampleFreq(1, 0));  // version 01 is reserved
    EXPECT_EQ(nullptr, getMpegAudioVersionSampleFreq(0, 3));
    EXPECT_STREQ("44100", getMpegAudioVersionSampleFreq(3, 0));
    EXPECT_STREQ("16000", getMpegAudioVersionSampleFreq(2, 2));
}

// ---- LPCM ------------------------------------------------------------------------------

TEST(AudioPcm, HandMadeHeader)
{
    const uint8_t h[4] = {0x02, 0x40, 0x5F, 0x90};
    PcmAudioHeader p;
    ASSERT_EQ(0, fillPcmAudioHeaderInfo(h, 4, &p));
    EXPECT_EQ(576u, p.audio_packet_size);
    EXPECT_EQ(1, p.number_channels);
    EXPECT_EQ(126, p.channel_identification);
    EXPECT_EQ(1, p.bits_per_sample);
    EXPECT_EQ(0, p.alignment_bits);
}

TEST(AudioPcm, HeadersOfTheS302mFixtures)
{
    // ffprobe: 2 channels at 20 bits, 4 channels at 24 bits; each PES payload opens with the
    // header, audio_packet_size being the payload bytes after it.
    struct {
        const char* file;
        const char* channels;
        const char* bits;
    } cases[] = {{"s302m_2ch_20.ts", "2", "20"}, {"s302m_4ch_24.ts", "4", "24"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<size_t> starts;
        std::vector<uint8_t> es = extractElementaryStream(fixture(c.file), 6, &starts);
        ASSERT_GE(starts.size(), 3u);
        for (size_t k = 0; k + 1 < starts.size() && k < 5; ++k) {
            PcmAudioHeader p;
            ASSERT_EQ(0, fillPcmAudioHeaderInfo(&es[starts[k]], (long)(es.size() - starts[k]), &p));
            EXPECT_STREQ(c.channels, getPcmAudioChannelsNumber(p.number_channels));
            EXPECT_STREQ(c.bits, getPcmAudioBitsPerSample(p.bits_per_sample));
            EXPECT_EQ(starts[k + 1] - starts[k] - 4, p.audio_packet_size);
        }
    }
}

TEST(AudioPcm, LookupBoundariesAndShortInput)
{
    EXPECT_STREQ("8", getPcmAudioChannelsNumber(3));
    EXPECT_EQ(nullptr, getPcmAudioChannelsNumber(4));
    EXPECT_STREQ("16", getPcmAudioBitsPerSample(0));
    EXPECT_STREQ("Reserved", getPcmAudioBitsPerSample(3));
    EXPECT_EQ(nullptr, getPcmAudioBitsPerSample(4));
    EXPECT_EQ(nullptr, getPcmAudioBitsPerSample(-1));
    const uint8_t h[4] = {0x02, 0x40, 0x5F, 0x90};
    PcmAudioHeader p;
    EXPECT_EQ(1, fillPcmAudioHeaderInfo(h, 3, &p));
    EXPECT_EQ(0u, p.audio_packet_size);
}

// Every lookup over every code a field of its width can hold, and a few beyond: no crash, and
// a text is either null or non-empty.
TEST(AudioLookups, EveryCodeOfEveryFieldIsSafe)
{
    const char* (*oneArg[])(int) = {getSamplingRateDesc,     getBitrate,
                                    getAcmDesc,              getChArrayOrdering,
                                    getMpegAudioLayer,       getMpegAudioMode,
                                    getAacAudioLayer,        getAacAudioSamplingFreq,
                                    getAacAudioProfile,      getAacAudioMpeg4Profile,
                                    getAacAudioMode,         getPcmAudioChannelsNumber,
                                    getPcmAudioBitsPerSample};
    for (auto fn : oneArg) {
        for (int code = -300; code < 300; ++code) {
            const char* t = fn(code);
            if (t) {
                EXPECT_GT(strlen(t), 0u);
            }
        }
    }
    for (int a = -2; a < 10; ++a) {
        for (int b = -2; b < 70; ++b) {
            const char* t = getBsmDesc(a, b);
            if (t) {
                EXPECT_GT(strlen(t), 0u);
            }
            for (int id = -1; id < 3; ++id) {
                t = getMpegAudioBitrate(id, a, b);
                if (t) {
                    EXPECT_GT(strlen(t), 0u);
                }
                t = getMpegAudioSampleFreq(id, b);
                if (t) {
                    EXPECT_GT(strlen(t), 0u);
                }
            }
        }
    }
}
