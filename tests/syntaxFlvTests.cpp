// FLV header, tag, audio and video readers, their texts, and container detection.
#include "engine/contentFlv.h"
#include "engine/contentMPEG2TS.h"
#include "engine/contentRTP.h"
#include "syntax/audioData.h"
#include "syntax/diagSource.h"
#include "syntax/flvHeader.h"
#include "syntax/flvTag.h"
#include "syntax/soundFormats.h"
#include "syntax/videoData.h"
#include "syntax/videoFormats.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::readFixture;

namespace {

typedef std::vector<unsigned char> Bytes;

// Heap copy of exactly n bytes, so a read past them is caught by the sanitizer build.
std::unique_ptr<unsigned char[]> exact(const Bytes& b, size_t n)
{
    std::unique_ptr<unsigned char[]> p(new unsigned char[n ? n : 1]);
    if (n)
        memcpy(p.get(), b.data(), n);
    return p;
}

const char* orEmpty(const char* s)
{
    return s ? s : "(null)";
}

}  // namespace

TEST(SyntaxFlvHeader, FieldsFromBytes)
{
    Bytes b = {'F', 'L', 'V', 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};
    FlvHeader h;
    ASSERT_EQ(0, fillFlvHeader(b.data(), &h, (long long)b.size()));
    EXPECT_EQ(0, memcmp(h.Signature, "FLV", 3));
    EXPECT_EQ(1, h.Version);
    EXPECT_EQ(1, h.TypeFlagsAudio);
    EXPECT_EQ(1, h.TypeFlagsVideo);
    EXPECT_EQ(0, h.TypeFlagsReserved_1);
    EXPECT_EQ(0, h.TypeFlagsReserved_2);
    EXPECT_EQ(9u, h.DataOffset);
    EXPECT_EQ(9u, getFlvHeaderSize(&h));

    b = {'F', 'L', 'V', 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    ASSERT_EQ(0, fillFlvHeader(b.data(), &h, (long long)b.size()));
    EXPECT_EQ(0xFE, h.Version);
    EXPECT_EQ(31, h.TypeFlagsReserved_1);
    EXPECT_EQ(1, h.TypeFlagsReserved_2);
    EXPECT_EQ(0xFFFFFFFEu, h.DataOffset);  // full unsigned 32 bits

    b = {'F', 'L', 'V', 0x01, 0x02, 0x01, 0x02, 0x03, 0x04};
    ASSERT_EQ(0, fillFlvHeader(b.data(), &h, (long long)b.size()));
    EXPECT_EQ(0, h.TypeFlagsAudio);
    EXPECT_EQ(0, h.TypeFlagsVideo);
    EXPECT_EQ(1, h.TypeFlagsReserved_2);
    EXPECT_EQ(0x01020304u, h.DataOffset);
}

TEST(SyntaxFlvHeader, WrongOrShortSignatureRefused)
{
    Bytes good = {'F', 'L', 'V', 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};
    for (size_t n = 0; n < good.size(); ++n) {
        auto p = exact(good, n);
        FlvHeader h;
        memset(&h, 0x55, sizeof(h));
        EXPECT_EQ(1, fillFlvHeader(p.get(), &h, (long long)n)) << n;
        EXPECT_EQ(0u, h.DataOffset);
        EXPECT_EQ(0, h.Version);
        FlvHeader* ph = reinterpret_cast<FlvHeader*>(1);
        EXPECT_EQ(1, readFlvHeader(p.get(), &ph, (long long)n));
        EXPECT_EQ(nullptr, ph);
    }
    for (int i = 0; i < 3; ++i) {
        Bytes b = good;
        b[i] = 'f';
        FlvHeader h;
        EXPECT_EQ(1, fillFlvHeader(b.data(), &h, (long long)b.size())) << i;
    }
    FlvHeader* ph = nullptr;
    auto p = exact(good, good.size());
    ASSERT_EQ(0, readFlvHeader(p.get(), &ph, (long long)good.size()));
    ASSERT_NE(nullptr, ph);
    EXPECT_EQ(9u, ph->DataOffset);
    free(ph);
}

TEST(SyntaxFlvTag, FieldsAndBounds)
{
    Bytes b = {0x09, 0x01, 0x02, 0x03, 0x0A, 0x0B, 0x0C, 0x7F, 0xFF, 0xFE, 0xFD};
    FlvTag t;
    ASSERT_EQ(0, fillFlvTag(b.data(), &t, (long long)b.size()));
    EXPECT_EQ(9, t.TagType);
    EXPECT_EQ(0x010203u, t.DataSize);
    EXPECT_EQ(0x010203u, getTagDataSize(&t));
    EXPECT_EQ(0x0A0B0Cu, t.Timestamp);
    EXPECT_EQ(0x7F, t.TimestampExtended);
    EXPECT_EQ(0xFFFEFDu, t.StreamID);

    for (size_t n = 0; n < b.size(); ++n) {
        auto p = exact(b, n);
        memset(&t, 0x55, sizeof(t));
        EXPECT_EQ(1, fillFlvTag(p.get(), &t, (long long)n)) << n;
        EXPECT_EQ(0u, t.DataSize);
        FlvTag* pt = reinterpret_cast<FlvTag*>(1);
        EXPECT_EQ(1, readFlvTag(p.get(), &pt, (long long)n));
        EXPECT_EQ(nullptr, pt);
    }
    FlvTag* pt = nullptr;
    auto p = exact(b, b.size());
    ASSERT_EQ(0, readFlvTag(p.get(), &pt, (long long)b.size()));
    EXPECT_EQ(0x010203u, pt->DataSize);
    free(pt);
}

TEST(SyntaxFlvAudio, FlagsAndTexts)
{
    struct Case {
        unsigned char b0;
        unsigned int format, rate, size, type;
        const char* formatText;
        const char* rateText;
        const char* sizeText;
        const char* typeText;
    } cases[] = {
        {0xAF, 10, 3, 1, 1, "AAC", "44 kHz", "16 bit", "Stereo"},
        {0x2E, 2, 3, 1, 0, "MP3", "44 kHz", "16 bit", "Mono"},
        {0x6A, 6, 2, 1, 0, "Nellymoser", "22 kHz", "16 bit", "Mono"},
        {0x00, 0, 0, 0, 0, "Linear PCM, platform endian", "5.5 kHz", "8 bit", "Mono"},
        {0x15, 1, 1, 0, 1, "ADPCM", "11 kHz", "8 bit", "Stereo"},
        {0x30, 3, 0, 0, 0, "Linear PCM, little endian", "5.5 kHz", "8 bit", "Mono"},
        {0x40, 4, 0, 0, 0, "Nellymoser 16-kHz mono", "5.5 kHz", "8 bit", "Mono"},
        {0x50, 5, 0, 0, 0, "Nellymoser 8-kHz mono", "5.5 kHz", "8 bit", "Mono"},
        {0x70, 7, 0, 0, 0, "G.711 A-law logarithmic PCM", "5.5 kHz", "8 bit", "Mono"},
        {0x80, 8, 0, 0, 0, "G.711 mu-law logarithmic PCM", "5.5 kHz", "8 bit", "Mono"},
        {0x90, 9, 0, 0, 0, "reserved", "5.5 kHz", "8 bit", "Mono"},
        {0xB6, 11, 1, 1, 0, "Speex", "11 kHz", "16 bit", "Mono"},
        {0xC0, 12, 0, 0, 0, nullptr, "5.5 kHz", "8 bit", "Mono"},
        {0xDF, 13, 3, 1, 1, nullptr, "44 kHz", "16 bit", "Stereo"},
        {0xE8, 14, 2, 0, 0, "MP3 8-kHz", "22 kHz", "8 bit", "Mono"},
        {0xFF, 15, 3, 1, 1, "Device Specific Sound", "44 kHz", "16 bit", "Stereo"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE((int)c.b0);
        Bytes body = {c.b0, 0x01};
        AudioData a;
        ASSERT_EQ(0, fillAudioData(body.data(), &a, 2));
        EXPECT_EQ(c.format, a.SoundFormat);
        EXPECT_EQ(c.rate, a.SoundRate);
        EXPECT_EQ(c.size, a.SoundSize);
        EXPECT_EQ(c.type, a.SoundType);
        EXPECT_EQ(0x01, a.SoundData);
        if (c.formatText) {
            EXPECT_STREQ(c.formatText, orEmpty(getTagSoundFormat(&a)));
        } else {
            EXPECT_EQ(nullptr, getTagSoundFormat(&a));
        }
        EXPECT_STREQ(c.rateText, orEmpty(getTagSoundRate(&a)));
        EXPECT_STREQ(c.sizeText, orEmpty(getTagSoundSampleSize(&a)));
        EXPECT_STREQ(c.typeText, orEmpty(getTagSoundType(&a)));
    }
    // One byte of body: flags read, no second byte; none: refused.
    Bytes body = {0xAF};
    auto p = exact(body, 1);
    AudioData a;
    ASSERT_EQ(0, fillAudioData(p.get(), &a, 1));
    EXPECT_EQ(10, a.SoundFormat);
    EXPECT_EQ(0, a.SoundData);
    EXPECT_EQ(1, fillAudioData(p.get(), &a, 0));
    EXPECT_EQ(0, a.SoundFormat);
}

TEST(SyntaxFlvVideo, FlagsAndTexts)
{
    const char* frames[16] = {nullptr,
                              "Key Frame (for AVC, a seekable frame)",
                              "Inter Frame (for AVC, non-seekable frame)",
                              "Disposable Inter Frame (H.263 only)",
                              "Generated Keyframe (reserved for server use only)",
                              "Video Info/Command Frame"};
    const char* codecs[16] = {nullptr,   "JPEG (currently unused)", "Sorenson H.263",
                              "Screen Video", "On2 VP6",       "On2 VP6 with alpha channel",
                              "Screen Video Version 2", "AVC"};
    for (unsigned int b = 0; b < 256; ++b) {
        unsigned char body = (unsigned char)b;
        VideoData v;
        ASSERT_EQ(0, fillVideoData(&body, &v, 1));
        EXPECT_EQ(b >> 4, v.FrameType);
        EXPECT_EQ(b & 0x0F, v.CodecID);
        const char* f = getTagFrameType(&v);
        const char* c = getTagCodecId(&v);
        if (frames[b >> 4]) {
            EXPECT_STREQ(frames[b >> 4], orEmpty(f)) << b;
        } else {
            EXPECT_EQ(nullptr, f) << b;
        }
        if (codecs[b & 0x0F]) {
            EXPECT_STREQ(codecs[b & 0x0F], orEmpty(c)) << b;
        } else {
            EXPECT_EQ(nullptr, c) << b;
        }
    }
    unsigned char body = 0x17;
    VideoData v;
    EXPECT_EQ(1, fillVideoData(&body, &v, 0));
    EXPECT_EQ(0, v.CodecID);
}

TEST(SyntaxFlvDiag, ClassifiesFirstBuffer)
{
    Bytes flvHeader = {'F', 'L', 'V', 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};
    Bytes ts(3 * 188, 0x00);
    for (size_t i = 0; i < ts.size(); i += 188)
        ts[i] = 0x47;

    struct Case {
        const char* what;
        Bytes bytes;
        int expected;
    } cases[] = {
        {"empty", {}, DIAG_SOURCE_UNKNOWN},
        {"one sync byte", {0x47}, DIAG_SOURCE_UNKNOWN},
        {"187 bytes", Bytes(ts.begin(), ts.begin() + 187), DIAG_SOURCE_UNKNOWN},
        {"one packet", Bytes(ts.begin(), ts.begin() + 188), DIAG_SOURCE_MPEG2TS},
        {"one packet and a sync byte", Bytes(ts.begin(), ts.begin() + 189), DIAG_SOURCE_MPEG2TS},
        {"three packets", ts, DIAG_SOURCE_MPEG2TS},
        {"FLV header", flvHeader, DIAG_SOURCE_FLV},
        {"FLV header cut", Bytes(flvHeader.begin(), flvHeader.begin() + 8), DIAG_SOURCE_UNKNOWN},
        {"garbage", Bytes(400, 0x12), DIAG_SOURCE_UNKNOWN},
    };
    for (auto& c : cases) {
        auto p = exact(c.bytes, c.bytes.size());
        EXPECT_EQ(c.expected, diagSourceStreamType(p.get(), (int)c.bytes.size())) << c.what;
    }
    // 200 bytes starting 0x47 whose byte 188 is not a sync byte.
    Bytes bad(200, 0x00);
    bad[0] = 0x47;
    EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(bad.data(), 200));
    bad = ts;
    bad[376] = 0x46;
    EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(bad.data(), (int)bad.size()));
    EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(nullptr, 100));
    EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(ts.data(), -5));

    // Off the grid from the first byte: five sync bytes 188 apart anywhere in the buffer make
    // a transport stream, the fifth may be the buffer's last byte; four do not, nor does a
    // grid of 204-byte packets.
    for (size_t lead : {(size_t)1, (size_t)187, (size_t)189, (size_t)3000}) {
        Bytes grid(lead + 4 * 188 + 1, 0x00);
        for (int k = 0; k < 5; ++k)
            grid[lead + k * 188] = 0x47;
        auto p = exact(grid, grid.size());
        EXPECT_EQ(DIAG_SOURCE_MPEG2TS, diagSourceStreamType(p.get(), (int)grid.size())) << lead;
        EXPECT_EQ((int)lead, diagSourceFindPacketGrid(p.get(), (int)grid.size())) << lead;
        EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(p.get(), (int)grid.size() - 1)) << lead;
        EXPECT_EQ(-1, diagSourceFindPacketGrid(p.get(), (int)grid.size() - 1)) << lead;
    }
    Bytes rs(20 * 204, 0x00);
    for (size_t i = 0; i < rs.size(); i += 204)
        rs[i] = 0x47;
    EXPECT_EQ(DIAG_SOURCE_UNKNOWN, diagSourceStreamType(rs.data(), (int)rs.size()));
    // A damaged sync byte in the first buffer no longer hides the grid around it.
    Bytes hurt(10 * 188, 0x00);
    for (size_t i = 0; i < hurt.size(); i += 188)
        hurt[i] = 0x47;
    hurt[3 * 188] = 0x46;
    EXPECT_EQ(DIAG_SOURCE_MPEG2TS, diagSourceStreamType(hurt.data(), (int)hurt.size()));
}

TEST(SyntaxFlvDiag, SniffersOnFixtures)
{
    struct Case {
        const char* file;
        bool ts, flv;
    } cases[] = {
        {"mpeg2_480_4x3_mp2.ts", true, false}, {"two_programs.ts", true, false}, {"flv_h264_aac.flv", false, true},
        {"flv_spark_mp3.flv", false, true},    {"flv_nellymoser.flv", false, true},
    };
    ContentMPEG2TS cts;
    ContentFlv cflv;
    ContentRTP crtp;
    for (auto& c : cases) {
        Bytes b = readFixture(c.file);
        ASSERT_FALSE(b.empty()) << c.file;
        // The decoder offers the first buffer, at most 65536 bytes.
        long long n = (long long)std::min<size_t>(b.size(), 65536);
        EXPECT_EQ(c.ts, cts.isType(b.data(), n)) << c.file;
        EXPECT_EQ(c.flv, cflv.isType(b.data(), n)) << c.file;
        EXPECT_FALSE(crtp.isType(b.data(), n)) << c.file;
    }
    unsigned char dummy = 0x47;
    EXPECT_FALSE(cts.isType(&dummy, 0));
    EXPECT_FALSE(cts.isType(&dummy, -1));
    ContentType* base = new ContentFlv();
    delete base;  // through the base: virtual destructor
}
