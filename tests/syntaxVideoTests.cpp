// Video header readers: the bit readers and Exp-Golomb codes, the H.262 headers, and the H.264
// SPS, slice header, SEI and ATSC caption readers. Real header bytes come from the fixtures
// (their values checked against ffprobe and ffmpeg's trace_headers); the rest is built here
// with a small bit writer.

#include "syntax/atsc.h"
#include "syntax/expGolomb.h"
#include "syntax/gop.h"
#include "syntax/picture.h"
#include "syntax/seiMessage.h"
#include "syntax/seqParSet.h"
#include "syntax/sequence.h"
#include "syntax/slice.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::fixture;
using testsupport::BitWriter;
using testsupport::extractElementaryStream;

namespace {

// Removes emulation-prevention bytes (00 00 03 -> 00 00).
std::vector<uint8_t> unescape(const std::vector<uint8_t>& nal)
{
    std::vector<uint8_t> out;
    int zeros = 0;
    for (uint8_t b : nal) {
        if (zeros >= 2 && b == 3) {
            zeros = 0;
            continue;
        }
        zeros = b == 0 ? zeros + 1 : 0;
        out.push_back(b);
    }
    return out;
}

std::vector<uint8_t> hexBytes(const char* hex)
{
    std::vector<uint8_t> out;
    unsigned v;
    int n;
    while (sscanf(hex, " %2x%n", &v, &n) == 1) {
        out.push_back((uint8_t)v);
        hex += n;
    }
    return out;
}

// Payload (after the NAL header byte, emulation bytes removed) of the first NAL unit of the
// given type in an Annex B stream.
std::vector<uint8_t> firstNalRbsp(const std::vector<uint8_t>& es, int type)
{
    for (size_t i = 0; i + 3 < es.size(); ++i) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && (es[i + 3] & 0x1F) == type) {
            size_t end = i + 4;
            while (end + 2 < es.size() && !(es[end] == 0 && es[end + 1] == 0 && es[end + 2] <= 1))
                ++end;
            return unescape(std::vector<uint8_t>(es.begin() + i + 4, es.begin() + end));
        }
    }
    return {};
}

// A heap copy of exactly the given bytes, so that the sanitizer catches any read past them.
struct ExactBuffer {
    explicit ExactBuffer(const std::vector<uint8_t>& v, size_t n) : p(new uint8_t[n ? n : 1])
    {
        if (n)
            memcpy(p, v.data(), n);
    }
    ~ExactBuffer() { delete[] p; }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;
    uint8_t* p;
};

}  // namespace

// ---- bit readers ------------------------------------------------------------------------

TEST(BitsExpGolomb, ShortCodes)
{
    // {bits as text, value, bits consumed}
    struct {
        const char* code;
        unsigned value;
        int used;
    } rows[] = {{"1", 0, 1},       {"010", 1, 3},         {"011", 2, 3},       {"00100", 3, 5},
                {"00111", 6, 5},   {"0001000", 7, 7},     {"0001111", 14, 7},  {"000010000", 15, 9},
                {"00000000100000000", 255, 17}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.code);
        BitWriter w;
        for (const char* c = r.code; *c; ++c)
            w.bit(*c == '1');
        w.bits(0xFF, 8);  // whatever follows
        std::vector<uint8_t> d = w.data();
        for (int offset = 0; offset < 8; ++offset) {
            // the same code at every bit offset
            BitWriter s;
            s.bits(0, offset);
            for (const char* c = r.code; *c; ++c)
                s.bit(*c == '1');
            s.bits(0xFF, 8);
            unsigned v = 12345;
            EXPECT_EQ(r.used, getExpGolombUe(s.data().data(), offset, &v,
                                             s.data().data() + s.data().size()));
            EXPECT_EQ(r.value, v);
        }
    }
}

TEST(BitsExpGolomb, LeadingZerosRunAcrossAByteBoundary)
{
    // 0x00 read from offset 4 gives 4 zeros, 0x9F gives the 1 and then b = 0b0011.
    const uint8_t d[] = {0x00, 0x9F};
    unsigned v = 0;
    EXPECT_EQ(9, getExpGolombUe(d, 4, &v, d + sizeof(d)));
    EXPECT_EQ((1u << 4) - 1 + 3, v);
    // Six zeros across the boundary: 0x00 from offset 2, then 0x03 (000000 11): n = 6 + 6.
    const uint8_t e[] = {0xC0, 0x03, 0xFF, 0xF0};
    EXPECT_EQ(25, getExpGolombUe(e, 2, &v, e + sizeof(e)));
    EXPECT_EQ((1u << 12) - 1 + 0xFFF, v);
}

TEST(BitsExpGolomb, LongestCodeThatFitsAndTheFirstThatDoesNot)
{
    // 31 leading zeros: value 2^32 - 2 at most.
    BitWriter w;
    w.ue(0xFFFFFFFEull);
    EXPECT_EQ(63u, w.bitCount());
    unsigned v = 0;
    EXPECT_EQ(63, getExpGolombUe(w.data().data(), 0, &v, w.data().data() + w.data().size()));
    EXPECT_EQ(0xFFFFFFFEu, v);
    // 32 leading zeros is a value above 32 bits: refused.
    BitWriter x;
    x.ue(0xFFFFFFFFull);
    x.bits(0, 8);
    v = 77;
    EXPECT_EQ(-1, getExpGolombUe(x.data().data(), 0, &v, x.data().data() + x.data().size()));
    EXPECT_EQ(77u, v);
    // Nothing but zeros: no terminating bit anywhere.
    const uint8_t zeros[16] = {0};
    EXPECT_EQ(-1, getExpGolombUe(zeros, 0, &v, zeros + sizeof(zeros)));
}

TEST(BitsExpGolomb, CodesCutByTheEndAreRefused)
{
    BitWriter w;
    w.ue(1000);  // 19 bits
    std::vector<uint8_t> d = w.data();
    for (size_t n = 0; n < d.size(); ++n) {
        ExactBuffer b(d, n);
        unsigned v = 0;
        EXPECT_EQ(-1, getExpGolombUe(b.p, 0, &v, b.p + n)) << n;
    }
    ExactBuffer whole(d, d.size());
    unsigned v = 0;
    EXPECT_EQ(19, getExpGolombUe(whole.p, 0, &v, whole.p + d.size()));
    EXPECT_EQ(1000u, v);
    // A code that ends exactly on the last bit.
    const uint8_t one[] = {0x01};
    EXPECT_EQ(-1, getExpGolombUe(one, 0, &v, one + 1));  // 7 zeros, 1, then 7 bits missing
    const uint8_t last[] = {0x01};
    EXPECT_EQ(1, getExpGolombUe(last, 7, &v, last + 1));
    EXPECT_EQ(0u, v);
    EXPECT_EQ(-1, getExpGolombUe(last, 8, &v, last + 1));  // offset above 7
}

TEST(BitsExpGolomb, SignedMapping)
{
    struct {
        unsigned k;
        int v;
    } rows[] = {{0, 0}, {1, 1}, {2, -1}, {3, 2}, {4, -2}, {255, 128}, {256, -128},
                {0xFFFFFFFEu, -2147483647}, {0xFFFFFFFDu, 2147483647}};
    for (const auto& r : rows) {
        BitWriter w;
        w.ue(r.k);
        int v = 5;
        EXPECT_GT(getExpGolombSe(w.data().data(), 0, &v, w.data().data() + w.data().size()), 0);
        EXPECT_EQ(r.v, v) << r.k;
    }
}

TEST(BitsFixedWidth, CharShortLong)
{
    const uint8_t a[] = {0x1F, 0xE0};
    unsigned char c = 0;
    EXPECT_EQ(8, getUnsignedChar(a, 3, &c, a + 2));
    EXPECT_EQ(0xFF, c);
    EXPECT_EQ(8, getUnsignedChar(a, 0, &c, a + 1));  // offset 0 needs one byte only
    EXPECT_EQ(0x1F, c);
    EXPECT_EQ(-1, getUnsignedChar(a, 1, &c, a + 1));  // offset 1 needs the next byte
    c = 9;
    EXPECT_EQ(-1, getUnsignedChar(a, 8, &c, a + 2));
    EXPECT_EQ(0, c);

    const uint8_t l[] = {0x00, 0x00, 0x0B, 0xB8};
    unsigned long long v = ~0ull;
    EXPECT_EQ(32, getUnsignedLong(l, 0, &v, l + 4));
    EXPECT_EQ(3000u, v);
    EXPECT_EQ(-1, getUnsignedLong(l, 0, &v, l + 3));
    EXPECT_EQ(-1, getUnsignedLong(l, 1, &v, l + 4));

    const uint8_t s[] = {0xAB, 0xCD, 0xEF};
    unsigned u = 0;
    EXPECT_EQ(16, getUnsignedShort(s, 4, &u, s + 3));
    EXPECT_EQ(0xBCDEu, u);
    EXPECT_EQ(-1, getUnsignedShort(s, 4, &u, s + 2));
}

TEST(BitsFixedWidth, ReadNBits)
{
    const uint8_t d[] = {0xA5, 0x5A, 0xFF, 0x00, 0x81};
    const uint8_t* end = d + sizeof(d);
    unsigned v = 0;
    EXPECT_EQ(0, readNBitsUnsignedInt(d, 0, 0, &v, end));
    EXPECT_EQ(4, readNBitsUnsignedInt(d, 0, 4, &v, end));
    EXPECT_EQ(0xAu, v);
    // Not cleared first: the next 4 bits are shifted in behind.
    EXPECT_EQ(4, readNBitsUnsignedInt(d, 4, 4, &v, end));
    EXPECT_EQ(0xA5u, v);
    v = 0;
    EXPECT_EQ(32, readNBitsUnsignedInt(d, 8, 32, &v, end));
    EXPECT_EQ(0x5AFF0081u, v);
    v = 0;
    EXPECT_EQ(-1, readNBitsUnsignedInt(d, 9, 32, &v, end));  // one bit short
    EXPECT_EQ(0u, v);
    EXPECT_EQ(-1, readNBitsUnsignedInt(d, 0, 33, &v, end));
    // Offsets beyond 7 address later bytes.
    EXPECT_EQ(8, readNBitsUnsignedInt(d, 16, 8, &v, end));
    EXPECT_EQ(0xFFu, v);
}

TEST(BitsReader, StickyErrorAndPosition)
{
    const uint8_t d[] = {0xA0, 0x40, 0xFF};  // 1 010 0000, 0100 0000, 1111 1111
    BitReader r;
    initBitReader(&r, d, sizeof(d));
    EXPECT_EQ(0u, readUe(&r));  // "1"
    EXPECT_EQ(1u, readUe(&r));  // "010"
    EXPECT_EQ(0u, readBits(&r, 4));
    EXPECT_EQ(16L, getBitsLeft(&r));
    skipBits(&r, 1);
    EXPECT_EQ(1u, readBits(&r, 1));
    EXPECT_EQ(14L, getBitsLeft(&r));
    EXPECT_EQ(0xFFu, readBits(&r, 14) & 0xFF);
    EXPECT_FALSE(r.error);
    EXPECT_EQ(0L, getBitsLeft(&r));
    EXPECT_EQ(0u, readBits(&r, 1));  // past the end
    EXPECT_TRUE(r.error);
    EXPECT_EQ(0u, readBits(&r, 1));
    EXPECT_EQ(0u, readUe(&r));
    EXPECT_EQ(0L, getBitsLeft(&r));

    BitReader e;
    initBitReader(&e, d, 0);
    EXPECT_FALSE(readFlag(&e));
    EXPECT_TRUE(e.error);
    initBitReader(&e, nullptr, 4);
    EXPECT_TRUE(e.error);
    initBitReader(&e, d, sizeof(d));
    skipBits(&e, 25);
    EXPECT_TRUE(e.error);
}

TEST(BitsReader, RandomRoundTrip)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 200; ++round) {
        BitWriter w;
        struct Item {
            int kind;
            uint64_t u;
            int64_t s;
            int n;
        };
        std::vector<Item> items;
        int count = 1 + (int)(rng() % 40);
        for (int i = 0; i < count; ++i) {
            Item it{(int)(rng() % 3), 0, 0, 0};
            if (it.kind == 0) {
                it.n = 1 + (int)(rng() % 32);
                it.u = rng() & ((it.n == 32) ? 0xFFFFFFFFull : ((1ull << it.n) - 1));
                w.bits(it.u, it.n);
            } else if (it.kind == 1) {
                it.u = (rng() % 4 == 0) ? (uint64_t)rng() % 0xFFFFFFFFull : rng() % 300;
                w.ue(it.u);
            } else {
                it.s = (int64_t)(rng() % 2000) - 1000;
                w.se(it.s);
            }
            items.push_back(it);
        }
        ExactBuffer b(w.data(), w.data().size());
        BitReader r;
        initBitReader(&r, b.p, (long)w.data().size());
        for (const Item& it : items) {
            if (it.kind == 0)
                ASSERT_EQ(it.u, readBits(&r, (unsigned)it.n));
            else if (it.kind == 1)
                ASSERT_EQ(it.u, readUe(&r));
            else
                ASSERT_EQ(it.s, readSe(&r));
        }
        ASSERT_FALSE(r.error);
        ASSERT_LT(getBitsLeft(&r), 8);
    }
}

// ---- H.262 ------------------------------------------------------------------------------

TEST(H262Headers, SequenceHeadersOfTheFixtures)
{
    // ffprobe: 720x480 4:3 29.97, 720x576 16:9 25, 1920x1080 16:9 29.97 (1.5 Mbit/s maximum,
    // 1000 kbit buffer).
    struct {
        const char* name;
        const char* hex;
        unsigned w, h;
        int aspect, frc;
        unsigned bitRate, vbv;
        const char* rate;
    } rows[] = {
        {"480", "00 00 01 b3 2d 01 e0 24 ff ff e0 70", 720, 480, 2, 4, 0x3FFFF, 14, "29.97"},
        {"576", "00 00 01 b3 2d 02 40 33 ff ff e0 70", 720, 576, 3, 3, 0x3FFFF, 14, "25"},
        {"1080i", "00 00 01 b3 78 04 38 34 03 a9 a1 f0", 1920, 1080, 3, 4, 3750, 62, "29.97"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> d = hexBytes(r.hex);
        SequenceHeader s;
        ASSERT_EQ(0, fillSequenceHeader(d.data(), (long)d.size(), &s));
        EXPECT_EQ(r.w, s.horizontal_size_value);
        EXPECT_EQ(r.h, s.vertical_size_value);
        EXPECT_EQ(r.aspect, s.aspect_ratio_information);
        EXPECT_EQ(r.frc, s.frame_rate_code);
        EXPECT_EQ(r.bitRate, s.bit_rate_value);
        EXPECT_EQ(r.vbv, s.vbv_buffer_size_value);
        EXPECT_STREQ(r.rate, getFrameRateDesc(s.frame_rate_code));
        EXPECT_EQ(1, fillSequenceHeader(d.data(), (long)d.size() - 1, &s));
        EXPECT_EQ(0u, s.horizontal_size_value);
    }
}

TEST(H262Headers, SequenceExtensionsOfTheFixtures)
{
    struct {
        const char* hex;
        int pli, progressive, chroma;
        const char* profile;
        const char* level;
    } rows[] = {
        {"00 00 01 b5 14 8a 00 01 00 00", 0x48, 1, 1, "Main", "Main"},
        {"00 00 01 b5 14 42 00 01 00 00", 0x44, 0, 1, "Main", "High"},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> d = hexBytes(r.hex);
        SequenceExtension e;
        ASSERT_EQ(0, fillSequenceExtension(d.data(), (long)d.size(), &e));
        EXPECT_EQ(1, e.extension_start_code_identifier);
        EXPECT_EQ(r.pli, e.profile_and_level_indication);
        EXPECT_EQ(r.progressive, e.progressive_sequence);
        EXPECT_EQ(r.chroma, e.chroma_format);
        EXPECT_EQ(0, e.horizontal_size_extension);
        EXPECT_EQ(0, e.vertical_size_extension);
        EXPECT_EQ(0u, e.bit_rate_extension);
        EXPECT_STREQ(r.profile, getProfileDescription((e.profile_and_level_indication >> 4) & 7));
        EXPECT_STREQ(r.level, getLevelDescription(e.profile_and_level_indication & 0x0F));
        EXPECT_STREQ("4:2:0", getChromaDescription(e.chroma_format));
        EXPECT_EQ(1, fillSequenceExtension(d.data(), (long)d.size() - 1, &e));
    }
}

TEST(H262Headers, SequenceExtensionFieldsAcrossBytes)
{
    // profile_and_level 0x85 (escape), progressive 1, chroma 2, size extensions 3 and 2,
    // bit_rate_extension 0xABC, vbv extension 0x5A, low_delay 1, frame rate n 2, d 0x11.
    BitWriter w;
    w.bits(0x000001B5, 32);
    w.bits(1, 4);
    w.bits(0x85, 8);
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(3, 2);
    w.bits(2, 2);
    w.bits(0xABC, 12);
    w.bits(1, 1);  // marker
    w.bits(0x5A, 8);
    w.bits(1, 1);
    w.bits(2, 2);
    w.bits(0x11, 5);
    SequenceExtension e;
    ASSERT_EQ(10u, w.data().size());
    ASSERT_EQ(0, fillSequenceExtension(w.data().data(), 10, &e));
    EXPECT_EQ(0x85, e.profile_and_level_indication);
    EXPECT_EQ(1, e.progressive_sequence);
    EXPECT_EQ(2, e.chroma_format);
    EXPECT_EQ(3, e.horizontal_size_extension);
    EXPECT_EQ(2, e.vertical_size_extension);
    EXPECT_EQ(0xABCu, e.bit_rate_extension);
    EXPECT_EQ(0x5A, e.vbv_buffer_size_extension);
    EXPECT_EQ(1, e.low_delay);
    EXPECT_EQ(2, e.frame_rate_extension_n);
    EXPECT_EQ(0x11, e.frame_rate_extension_d);
}

TEST(H262Headers, DisplayExtensionWithAndWithoutColour)
{
    for (int colour = 0; colour < 2; ++colour) {
        SCOPED_TRACE(colour);
        BitWriter w;
        w.bits(0x000001B5, 32);
        w.bits(2, 4);
        w.bits(5, 3);  // video_format
        w.bits((unsigned)colour, 1);
        if (colour)
            w.bits(0x010203, 24);
        w.bits(1440, 14);
        w.bits(1, 1);  // marker
        w.bits(1080, 14);
        w.bits(0, 3);
        std::vector<uint8_t> d = w.data();
        ASSERT_EQ(colour ? 12u : 9u, d.size());
        DispSeqExtension e;
        ASSERT_EQ(0, fillDispSeqExtension(d.data(), (long)d.size(), &e));
        EXPECT_EQ(2, e.extension_start_code_identifier);
        EXPECT_EQ(5, e.video_format);
        EXPECT_EQ(colour, e.colour_description);
        EXPECT_EQ(1440u, e.display_horizontal_size);
        EXPECT_EQ(1080u, e.display_vertical_size);
        // One byte short of what that form needs.
        EXPECT_EQ(1, fillDispSeqExtension(d.data(), (long)d.size() - 1, &e));
        EXPECT_EQ(0u, e.display_horizontal_size);
    }
}

TEST(H262Headers, GopPictureAndCodingExtension)
{
    GopHeader g;
    std::vector<uint8_t> gop = hexBytes("00 00 01 b8 00 08 00 40");  // fixture: closed GOP
    ASSERT_EQ(0, fillGopHeader(gop.data(), 8, &g));
    EXPECT_EQ(0, g.drop_frame_flag);
    EXPECT_EQ(1, g.closed_gop);
    EXPECT_EQ(0, g.broken_link);
    gop[7] = 0x20;
    gop[4] = 0x80;
    ASSERT_EQ(0, fillGopHeader(gop.data(), 8, &g));
    EXPECT_EQ(1, g.drop_frame_flag);
    EXPECT_EQ(0, g.closed_gop);
    EXPECT_EQ(1, g.broken_link);
    EXPECT_EQ(1, fillGopHeader(gop.data(), 7, &g));

    // The fixtures' first three pictures in coded order: I (temporal reference 0), P (3), B (1).
    struct {
        const char* hex;
        unsigned tr;
        int type;
        unsigned vbvDelay;
        const char* text;
    } pics[] = {{"00 00 01 00 00 0f ff f8", 0, 1, 0xFFFF, "I"},
                {"00 00 01 00 00 d7 ff fb", 3, 2, 0xFFFF, "P"},
                {"00 00 01 00 00 5f ff fb", 1, 3, 0xFFFF, "B"},
                {"00 00 01 00 ff e2 34 58", 0x3FF, 4, (2u << 13) | (0x34 << 5) | (0x58 >> 3),
                 "DC Intra Coded"}};
    for (const auto& p : pics) {
        std::vector<uint8_t> d = hexBytes(p.hex);
        PictureHeader h;
        ASSERT_EQ(0, fillPictureHeader(d.data(), 8, &h));
        EXPECT_EQ(p.tr, h.temporal_reference);
        EXPECT_EQ(p.type, h.picture_coding_type);
        EXPECT_EQ(p.vbvDelay, h.vbv_delay);
        EXPECT_STREQ(p.text, getPicTypeDesc(h.picture_coding_type));
        EXPECT_EQ(1, fillPictureHeader(d.data(), 7, &h));
    }

    std::vector<uint8_t> pce = hexBytes("00 00 01 b5 8f ff f3 41 80");
    PictureCodingExtension c;
    ASSERT_EQ(0, fillPictureCodingExtension(pce.data(), (long)pce.size(), &c));
    EXPECT_EQ(3u, c.picture_structure);
    pce[6] = 0xF1;
    ASSERT_EQ(0, fillPictureCodingExtension(pce.data(), 7, &c));
    EXPECT_EQ(1u, c.picture_structure);
    EXPECT_EQ(1, fillPictureCodingExtension(pce.data(), 6, &c));
}

TEST(H262Headers, HeadersDugOutOfTheTransportStream)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("mpeg2_576_16x9_ac3.ts"), 2);
    ASSERT_GT(es.size(), 100u);
    ASSERT_EQ(0, es[0]);
    ASSERT_EQ(0xB3, es[3]);
    SequenceHeader s;
    ASSERT_EQ(0, fillSequenceHeader(es.data(), (long)es.size(), &s));
    EXPECT_EQ(720u, s.horizontal_size_value);
    EXPECT_EQ(576u, s.vertical_size_value);
    EXPECT_STREQ("9x16", getAspectRatioDesc(s.aspect_ratio_information));
    EXPECT_FLOAT_EQ(25.0f, getFrameRateValue(s.frame_rate_code));
    EXPECT_EQ(0, isDropFrame(s.frame_rate_code));
}

TEST(H262Lookups, Boundaries)
{
    EXPECT_EQ(nullptr, getFrameRateDesc(0));
    EXPECT_STREQ("23.97", getFrameRateDesc(1));
    EXPECT_STREQ("60", getFrameRateDesc(8));
    EXPECT_EQ(nullptr, getFrameRateDesc(9));
    EXPECT_EQ(nullptr, getFrameRateDesc(15));
    EXPECT_EQ(nullptr, getPicTypeDesc(0));
    EXPECT_EQ(nullptr, getPicTypeDesc(5));
    EXPECT_EQ(nullptr, getChromaDescription(0));
    EXPECT_STREQ("4:4:4", getChromaDescription(3));
    EXPECT_EQ(nullptr, getChromaDescription(4));
    EXPECT_EQ(nullptr, getProfileDescription(0));
    EXPECT_STREQ("High", getProfileDescription(1));
    EXPECT_STREQ("Simple", getProfileDescription(5));
    EXPECT_EQ(nullptr, getProfileDescription(6));
    EXPECT_STREQ("High 1440", getLevelDescription(6));
    EXPECT_STREQ("Low", getLevelDescription(10));
    EXPECT_EQ(nullptr, getLevelDescription(5));
    EXPECT_EQ(nullptr, getLevelDescription(11));
    EXPECT_STREQ("4:2:2 profile @ Main level", getProfileAndLevelDescription(133));
    EXPECT_STREQ("Multi-view profile @ Low level", getProfileAndLevelDescription(142));
    EXPECT_EQ(nullptr, getProfileAndLevelDescription(131));
    EXPECT_EQ(nullptr, getProfileAndLevelDescription(-1));
    EXPECT_EQ(nullptr, getAspectRatioDesc(0));
    EXPECT_STREQ("1x2.21", getAspectRatioDesc(4));
    EXPECT_EQ(nullptr, getAspectRatioDesc(5));
    EXPECT_STREQ("Sequence Extension ID", getExtensionIdDesc(1));
    EXPECT_EQ(nullptr, getExtensionIdDesc(11));
    // MPEG-1 pel shapes: code 2 is 16:9 on a 625-line picture of 720 (ffprobe: 49:33).
    EXPECT_EQ(0.0, getPelAspectRatio(0));
    EXPECT_EQ(1.0, getPelAspectRatio(1));
    EXPECT_NEAR(49.0 / 33.0, 1.0 / getPelAspectRatio(2), 1e-4);
    EXPECT_EQ(1.2015, getPelAspectRatio(14));
    EXPECT_EQ(0.0, getPelAspectRatio(15));
    EXPECT_FLOAT_EQ(30000.0f / 1001.0f, getFrameRateValue(4));
    EXPECT_FLOAT_EQ(0.0f, getFrameRateValue(9));
    EXPECT_FLOAT_EQ(0.0f, getFrameRateValue(-1));
    int drop[] = {0, 1, 0, 0, 1, 0, 0, 1, 0, 0};
    for (int code = 0; code < 10; ++code)
        EXPECT_EQ(drop[code], isDropFrame(code)) << code;
}

TEST(H262Headers, NullOrEmptyInputIsRefused)
{
    SequenceHeader s;
    SequenceExtension e;
    DispSeqExtension d;
    GopHeader g;
    PictureHeader p;
    PictureCodingExtension c;
    EXPECT_EQ(1, fillSequenceHeader(nullptr, 100, &s));
    EXPECT_EQ(1, fillSequenceExtension(nullptr, 100, &e));
    EXPECT_EQ(1, fillDispSeqExtension(nullptr, 100, &d));
    EXPECT_EQ(1, fillGopHeader(nullptr, 100, &g));
    EXPECT_EQ(1, fillPictureHeader(nullptr, 100, &p));
    EXPECT_EQ(1, fillPictureCodingExtension(nullptr, 100, &c));
    const uint8_t b[1] = {0};
    EXPECT_EQ(1, fillSequenceHeader(b, 0, &s));
    EXPECT_EQ(1, fillSequenceHeader(b, -5, &s));
}

// ---- H.264 SPS ----------------------------------------------------------------------------

namespace {

struct SpsExpect {
    const char* name;
    int profile, level;
    unsigned chroma, widthMbsM1, heightMapM1, frameMbsOnly, cropBottom;
    unsigned width, height;  // cropped, as ffprobe shows them
    double frameRate;
    int aspectIdc;
    unsigned sarW, sarH;
    const char* profileText;
    const char* levelText;
    const char* chromaText;
};

// SPS of the four fixtures (NAL payload after the header byte, emulation bytes included).
const struct {
    SpsExpect e;
    const char* hex;
} kFixtureSps[] = {
    {{"baseline 640x360", 66, 30, 1, 39, 22, 1, 4, 640, 360, 30.0, 1, 0, 0, "Baseline", "Level 3",
      "4:2:0"},
     "42 c0 1e da 02 80 bf e5 c0 44 00 00 03 00 04 00 00 03 00 f0 3c 58 ba 80"},
    {{"main 720x576i", 77, 30, 1, 44, 17, 0, 0, 720, 576, 25.0, 1, 0, 0, "Main", "Level 3",
      "4:2:0"},
     "4d 40 1e ec a0 5a 12 6c 04 40 00 00 03 00 40 00 00 0c 87 c5 0a 65 80"},
    {{"high 1280x720", 100, 31, 1, 79, 44, 1, 0, 1280, 720, 25.0, 1, 0, 0, "High", "Level 3.1",
      "4:2:0"},
     "64 00 1f ac d9 40 50 05 bb 01 10 00 00 03 00 10 00 00 03 03 20 f1 83 19 60"},
    {{"high 1920x1080", 100, 40, 1, 119, 67, 1, 4, 1920, 1080, 60000.0 / 1001 / 2, 1, 0, 0,
      "High", "Level 4", "4:2:0"},
     "64 00 28 ac d9 40 78 02 27 e5 c0 44 00 00 0f a4 00 03 a9 80 3c 60 c6 58"},
};

void checkSps(const SequenceParameterSet& s, const SpsExpect& e)
{
    EXPECT_EQ(e.profile, s.profile_idc);
    EXPECT_EQ(e.level, s.level_idc);
    EXPECT_EQ(e.chroma, s.chroma_format_idc);
    EXPECT_EQ(e.widthMbsM1, s.pic_width_in_mbs_minus1);
    EXPECT_EQ(e.heightMapM1, s.pic_height_in_map_units_minus1);
    EXPECT_EQ(e.frameMbsOnly, s.frame_mbs_only_flag);
    EXPECT_EQ(e.cropBottom, s.frame_crop_bottom_offset);
    EXPECT_EQ(e.width, getH264CroppedWidth(&s));
    EXPECT_EQ(e.height, getH264CroppedHeight(&s));
    EXPECT_DOUBLE_EQ(e.frameRate, getH264FrameRate(&s));
    EXPECT_EQ(1, s.aspect_ratio_info_present_flag);
    EXPECT_EQ(e.aspectIdc, s.aspect_ratio_idc);
    EXPECT_EQ(e.sarW, s.sar_width);
    EXPECT_EQ(e.sarH, s.sar_height);
    EXPECT_STREQ(e.profileText, getH264ProfileDescription(s.profile_idc));
    EXPECT_STREQ(e.levelText, getH264LevelDescription(&s));
    EXPECT_STREQ(e.chromaText, getH264ChromaDescription((int)s.chroma_format_idc));
    EXPECT_EQ(1u, s.timing_info_present_flag);
}

// A baseline-style SPS; the callers change what they test.
struct SpsParams {
    int profile = 66;
    int constraint = 0xC0;
    int level = 30;
    unsigned spsId = 0;
    unsigned chroma = 1;
    bool separatePlanes = false;
    unsigned bitDepthLuma = 0, bitDepthChroma = 0;
    std::vector<std::vector<int>> scalingDeltas;  // one entry per list; empty: list absent
    bool scalingMatrix = false;
    unsigned log2MaxFrameNumM4 = 0;
    unsigned pocType = 2;
    unsigned log2MaxPocLsbM4 = 0;
    std::vector<int> pocCycle;
    unsigned refFrames = 1;
    unsigned widthMbsM1 = 39, heightMapM1 = 22;
    bool frameMbsOnly = true;
    bool crop = false;
    unsigned cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    bool vui = false;
    int aspectIdc = -1;  // -1: no aspect information
    unsigned sarW = 0, sarH = 0;
    bool timing = false;
    uint32_t units = 1, scale = 60;
    unsigned chromaLocTop = 0;
    bool chromaLoc = false;
};

std::vector<uint8_t> buildSps(const SpsParams& p)
{
    BitWriter w;
    w.bits((unsigned)p.profile, 8);
    w.bits((unsigned)p.constraint, 8);
    w.bits((unsigned)p.level, 8);
    w.ue(p.spsId);
    bool high = p.profile == 100 || p.profile == 110 || p.profile == 122 || p.profile == 244 ||
                p.profile == 44 || p.profile == 83 || p.profile == 86 || p.profile == 118 ||
                p.profile == 128 || p.profile == 138 || p.profile == 139 || p.profile == 134 ||
                p.profile == 135 || p.profile == 144;
    if (high) {
        w.ue(p.chroma);
        if (p.chroma == 3)
            w.bit(p.separatePlanes);
        w.ue(p.bitDepthLuma);
        w.ue(p.bitDepthChroma);
        w.bit(0);
        w.bit(p.scalingMatrix);
        if (p.scalingMatrix) {
            size_t lists = p.chroma != 3 ? 8 : 12;
            for (size_t i = 0; i < lists; ++i) {
                bool present = i < p.scalingDeltas.size() && !p.scalingDeltas[i].empty();
                w.bit(present);
                if (present) {
                    for (int d : p.scalingDeltas[i])
                        w.se(d);
                }
            }
        }
    }
    w.ue(p.log2MaxFrameNumM4);
    w.ue(p.pocType);
    if (p.pocType == 0) {
        w.ue(p.log2MaxPocLsbM4);
    } else if (p.pocType == 1) {
        w.bit(0);
        w.se(-3);
        w.se(7);
        w.ue(p.pocCycle.size());
        for (int o : p.pocCycle)
            w.se(o);
    }
    w.ue(p.refFrames);
    w.bit(0);
    w.ue(p.widthMbsM1);
    w.ue(p.heightMapM1);
    w.bit(p.frameMbsOnly);
    if (!p.frameMbsOnly)
        w.bit(1);
    w.bit(1);
    w.bit(p.crop);
    if (p.crop) {
        w.ue(p.cropL);
        w.ue(p.cropR);
        w.ue(p.cropT);
        w.ue(p.cropB);
    }
    w.bit(p.vui);
    if (p.vui) {
        w.bit(p.aspectIdc >= 0);
        if (p.aspectIdc >= 0) {
            w.bits((unsigned)p.aspectIdc, 8);
            if (p.aspectIdc == 255) {
                w.bits(p.sarW, 16);
                w.bits(p.sarH, 16);
            }
        }
        w.bit(0);  // overscan
        w.bit(0);  // video signal type
        w.bit(p.chromaLoc);
        if (p.chromaLoc) {
            w.ue(p.chromaLocTop);
            w.ue(0);
        }
        w.bit(p.timing);
        if (p.timing) {
            w.bits(p.units, 32);
            w.bits(p.scale, 32);
            w.bit(1);
        }
        w.bit(0);  // nal hrd
        w.bit(0);  // vcl hrd
        w.bit(0);  // pic struct
        w.bit(0);  // bitstream restriction
    }
    w.trailing();
    return w.data();
}

int parse(const std::vector<uint8_t>& rbsp, SequenceParameterSet* sps)
{
    ExactBuffer b(rbsp, rbsp.size());
    return fillSequenceParameterSet(b.p, (int)rbsp.size(), sps);
}

}  // namespace

TEST(H264Sps, FixtureParameterSets)
{
    for (const auto& f : kFixtureSps) {
        SCOPED_TRACE(f.e.name);
        std::vector<uint8_t> rbsp = unescape(hexBytes(f.hex));
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(rbsp, &s));
        checkSps(s, f.e);
    }
}

TEST(H264Sps, ParameterSetsDugOutOfTheTransportStreams)
{
    // Values as ffprobe and ffmpeg's trace_headers read these files.
    const struct {
        const char* file;
        SpsExpect e;
    } rows[] = {
        {"h264_baseline_360_aac.ts", kFixtureSps[0].e},
        {"h264_main_576i_mp3.ts", kFixtureSps[1].e},
        {"h264_high_720_ac3_51.ts", kFixtureSps[2].e},
        {"h264_high_1080_aac_51.ts", kFixtureSps[3].e},
        {"h264_high422_sar.ts",
         {"4:2:2 320x180", 122, 12, 2, 19, 11, 1, 12, 320, 180, 25.0, 255, 64, 45, "High 4:2:2",
          "Level 1.2", "4:2:2"}},
        {"h264_high444.ts",
         {"4:4:4 352x288", 244, 13, 3, 21, 17, 1, 0, 352, 288, 25.0, 1, 0, 0,
          "High 4:4:4 Predictive", "Level 1.3", "4:4:4"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        std::vector<uint8_t> rbsp = firstNalRbsp(extractElementaryStream(fixture(r.file), 27), 7);
        ASSERT_FALSE(rbsp.empty());
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(rbsp, &s));
        checkSps(s, r.e);
    }
}

TEST(H264Sps, MbaffFixtureDoublesTheMapUnits)
{
    std::vector<uint8_t> rbsp = unescape(hexBytes(kFixtureSps[1].hex));
    SequenceParameterSet s;
    ASSERT_EQ(SPS_OK, parse(rbsp, &s));
    EXPECT_EQ(1u, s.mb_adaptive_frame_field_flag);
    EXPECT_EQ(0u, s.pic_order_cnt_type);
    EXPECT_EQ(2u, s.log2_max_pic_order_cnt_lsb_minus4);
    EXPECT_EQ(4u, s.max_num_ref_frames);
    EXPECT_EQ(576u, getH264FrameHeight(&s));
}

TEST(H264Sps, EveryCutOfARealParameterSetIsTruncatedNeverRead)
{
    for (const auto& f : kFixtureSps) {
        SCOPED_TRACE(f.e.name);
        std::vector<uint8_t> rbsp = unescape(hexBytes(f.hex));
        // The fields read end inside the VUI timing information, at most a few bytes before the
        // end; any cut before that is refused, and no cut reads past its end.
        int okFrom = -1;
        for (size_t n = 0; n <= rbsp.size(); ++n) {
            std::vector<uint8_t> cut(rbsp.begin(), rbsp.begin() + n);
            SequenceParameterSet s;
            int status = parse(cut, &s);
            if (status == SPS_OK && okFrom < 0)
                okFrom = (int)n;
            if (okFrom >= 0)
                EXPECT_EQ(SPS_OK, status) << n;
            else
                EXPECT_EQ(SPS_TRUNCATED, status) << n;
        }
        ASSERT_GT(okFrom, 10);
        EXPECT_GE((int)rbsp.size() - okFrom, 1);
    }
}

TEST(H264Sps, HighProfileBranchForEveryProfileThatHasIt)
{
    const int profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135, 144};
    for (int profile : profiles) {
        SCOPED_TRACE(profile);
        SpsParams p;
        p.profile = profile;
        p.constraint = 0;
        p.chroma = 2;
        p.bitDepthLuma = 2;
        p.bitDepthChroma = 1;
        p.widthMbsM1 = 44;
        p.heightMapM1 = 35;
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(buildSps(p), &s));
        EXPECT_EQ(2u, s.chroma_format_idc);
        EXPECT_EQ(2u, s.bit_depth_luma_minus8);
        EXPECT_EQ(1u, s.bit_depth_chroma_minus8);
        EXPECT_EQ(44u, s.pic_width_in_mbs_minus1);
        EXPECT_EQ(35u, s.pic_height_in_map_units_minus1);
    }
    // Other profiles have no such fields and default to 4:2:0.
    for (int profile : {66, 77, 88, 99, 0}) {
        SpsParams p;
        p.profile = profile;
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(buildSps(p), &s)) << profile;
        EXPECT_EQ(1u, s.chroma_format_idc);
        EXPECT_EQ(39u, s.pic_width_in_mbs_minus1);
    }
}

TEST(H264Sps, ScalingListsAreSkippedBitForBit)
{
    // A full 4x4 list, an 8x8 list ended early by a zero next scale (delta -8 from 8), lists
    // absent, and the largest deltas; then the fields that follow must still be right.
    std::vector<int> full4x4(16, 0);
    full4x4[0] = 5;
    full4x4[1] = -128;
    full4x4[2] = 127;
    std::vector<int> early8x8 = {3, -11};  // 8 + 3 = 11, then 11 - 11 = 0: the list ends
    std::vector<int> useDefault = {-8};      // next scale 0 at once: the default list
    std::vector<int> full8x8(64, 1);
    for (unsigned chroma : {1u, 3u}) {
        SCOPED_TRACE(chroma);
        SpsParams p;
        p.profile = 100;
        p.chroma = chroma;
        p.scalingMatrix = true;
        p.scalingDeltas = {full4x4, {}, useDefault, {}, {}, full4x4, early8x8, full8x8};
        if (chroma == 3)
            p.scalingDeltas.insert(p.scalingDeltas.end(), {full8x8, {}, useDefault, early8x8});
        p.log2MaxFrameNumM4 = 5;
        p.pocType = 0;
        p.log2MaxPocLsbM4 = 3;
        p.widthMbsM1 = 119;
        p.heightMapM1 = 67;
        p.crop = true;
        p.cropB = chroma == 3 ? 8 : 4;
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(buildSps(p), &s));
        EXPECT_EQ(1u, s.seq_scaling_matrix_present_flag);
        EXPECT_EQ(5u, s.log2_max_frame_num_minus4);
        EXPECT_EQ(3u, s.log2_max_pic_order_cnt_lsb_minus4);
        EXPECT_EQ(1920u, getH264CroppedWidth(&s));
        EXPECT_EQ(1080u, getH264CroppedHeight(&s));
    }
}

TEST(H264Sps, PicOrderCountTypeOneIsRead)
{
    SpsParams p;
    p.pocType = 1;
    p.pocCycle = {1, -2, 300, -70000};
    p.refFrames = 3;
    SequenceParameterSet s;
    ASSERT_EQ(SPS_OK, parse(buildSps(p), &s));
    EXPECT_EQ(1u, s.pic_order_cnt_type);
    EXPECT_EQ(3u, s.max_num_ref_frames);
    EXPECT_EQ(640u, getH264FrameWidth(&s));
    EXPECT_EQ(368u, getH264FrameHeight(&s));
}

TEST(H264Sps, CropUnitsFollowChromaAndFieldCoding)
{
    // {chroma, separate planes, frame_mbs_only, crop offsets L R T B, width, height}
    struct {
        unsigned chroma;
        bool separate;
        bool frameMbsOnly;
        unsigned l, r, t, b;
        unsigned width, height;
    } rows[] = {
        {1, false, true, 1, 2, 1, 3, 640 - 6, 368 - 8},    // units 2 x 2
        {1, false, false, 1, 0, 1, 1, 640 - 2, 736 - 8},   // units 2 x 4
        {2, false, true, 3, 0, 5, 0, 640 - 6, 368 - 5},    // units 2 x 1
        {2, false, false, 0, 0, 0, 3, 640, 736 - 6},       // units 2 x 2
        {3, false, true, 3, 1, 2, 2, 640 - 4, 368 - 4},    // units 1 x 1
        {3, true, true, 3, 1, 2, 2, 640 - 4, 368 - 4},     // separate planes: units 1 x 1
        {0, false, true, 5, 0, 0, 7, 640 - 5, 368 - 7},    // monochrome: units 1 x 1
        {0, false, false, 0, 0, 0, 7, 640, 736 - 14},      // monochrome fields: 1 x 2
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.chroma << " " << r.separate << " " << r.frameMbsOnly);
        SpsParams p;
        p.profile = 244;
        p.chroma = r.chroma;
        p.separatePlanes = r.separate;
        p.frameMbsOnly = r.frameMbsOnly;
        p.crop = true;
        p.cropL = r.l;
        p.cropR = r.r;
        p.cropT = r.t;
        p.cropB = r.b;
        SequenceParameterSet s;
        ASSERT_EQ(SPS_OK, parse(buildSps(p), &s));
        EXPECT_EQ(r.separate ? 1u : 0u, s.separate_colour_plane_flag);
        EXPECT_EQ(r.width, getH264CroppedWidth(&s));
        EXPECT_EQ(r.height, getH264CroppedHeight(&s));
    }
}

TEST(H264Sps, OutOfRangeValuesMakeItUnusable)
{
    struct {
        const char* what;
        void (*change)(SpsParams&);
    } rows[] = {
        {"seq_parameter_set_id 32", [](SpsParams& p) { p.spsId = 32; }},
        {"chroma_format_idc 4", [](SpsParams& p) { p.profile = 100; p.chroma = 4; }},
        {"bit_depth_luma_minus8 7", [](SpsParams& p) { p.profile = 110; p.bitDepthLuma = 7; }},
        {"bit_depth_chroma_minus8 7", [](SpsParams& p) { p.profile = 110; p.bitDepthChroma = 7; }},
        {"log2_max_frame_num_minus4 13", [](SpsParams& p) { p.log2MaxFrameNumM4 = 13; }},
        {"pic_order_cnt_type 3", [](SpsParams& p) { p.pocType = 3; }},
        {"log2_max_pic_order_cnt_lsb_minus4 13",
         [](SpsParams& p) { p.pocType = 0; p.log2MaxPocLsbM4 = 13; }},
        {"num_ref_frames_in_pic_order_cnt_cycle 256",
         [](SpsParams& p) { p.pocType = 1; p.pocCycle.assign(256, 0); }},
        {"max_num_ref_frames 17", [](SpsParams& p) { p.refFrames = 17; }},
        {"width 1056 macroblocks", [](SpsParams& p) { p.widthMbsM1 = 1055; }},
        {"height 1056 macroblocks", [](SpsParams& p) { p.heightMapM1 = 1055; }},
        {"field height 1056 macroblocks",
         [](SpsParams& p) { p.frameMbsOnly = false; p.heightMapM1 = 527; }},
        {"frame larger than any level",
         [](SpsParams& p) { p.widthMbsM1 = 1000; p.heightMapM1 = 200; }},
        {"crop all columns", [](SpsParams& p) { p.crop = true; p.cropL = 160; p.cropR = 160; }},
        {"crop all rows", [](SpsParams& p) { p.crop = true; p.cropB = 184; }},
        {"huge crop offset", [](SpsParams& p) { p.crop = true; p.cropT = 0xFFFFFFF0u; }},
        {"chroma_sample_loc_type 6",
         [](SpsParams& p) { p.vui = true; p.chromaLoc = true; p.chromaLocTop = 6; }},
        {"scaling delta 128",
         [](SpsParams& p) {
             p.profile = 100;
             p.scalingMatrix = true;
             p.scalingDeltas = {{128}};
         }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        SpsParams p;
        r.change(p);
        SequenceParameterSet s;
        EXPECT_EQ(SPS_OUT_OF_RANGE, parse(buildSps(p), &s));
    }
    // The largest values in range are accepted.
    SpsParams p;
    p.spsId = 31;
    p.log2MaxFrameNumM4 = 12;
    p.refFrames = 16;
    p.widthMbsM1 = 511;
    p.heightMapM1 = 271;
    p.crop = true;
    p.cropR = 4095;  // 8190 of the 8192 columns
    SequenceParameterSet s;
    EXPECT_EQ(SPS_OK, parse(buildSps(p), &s));
    EXPECT_EQ(2u, getH264CroppedWidth(&s));
}

TEST(H264Sps, NoTimingAndZeros)
{
    // Without timing information the stream has no rate of its own: none is made up.
    SequenceParameterSet s;
    SpsParams noVui;
    ASSERT_EQ(SPS_OK, parse(buildSps(noVui), &s));
    EXPECT_EQ(0u, s.num_units_in_tick);
    EXPECT_EQ(0u, s.time_scale);
    EXPECT_EQ(0.0, getH264FrameRate(&s));

    SpsParams vuiNoTiming;
    vuiNoTiming.vui = true;
    vuiNoTiming.aspectIdc = 2;
    ASSERT_EQ(SPS_OK, parse(buildSps(vuiNoTiming), &s));
    EXPECT_EQ(0u, s.timing_info_present_flag);
    EXPECT_EQ(0u, s.num_units_in_tick);
    EXPECT_EQ(0.0, getH264FrameRate(&s));

    SpsParams ntsc;
    ntsc.vui = true;
    ntsc.timing = true;
    ntsc.units = 1001;
    ntsc.scale = 60000;
    ASSERT_EQ(SPS_OK, parse(buildSps(ntsc), &s));
    EXPECT_DOUBLE_EQ(29.97002997002997, getH264FrameRate(&s));

    for (auto zero : {std::pair<uint32_t, uint32_t>{0, 50}, {1, 0}, {0, 0}}) {
        SpsParams p;
        p.vui = true;
        p.timing = true;
        p.units = zero.first;
        p.scale = zero.second;
        ASSERT_EQ(SPS_OK, parse(buildSps(p), &s));
        double rate = getH264FrameRate(&s);
        EXPECT_EQ(0.0, rate);
        EXPECT_TRUE(std::isfinite(rate));
    }
    EXPECT_EQ(0.0, getH264FrameRate(nullptr));

    SpsParams big;
    big.vui = true;
    big.timing = true;
    big.units = 0xFFFFFFFFu;
    big.scale = 0xFFFFFFFFu;
    ASSERT_EQ(SPS_OK, parse(buildSps(big), &s));
    EXPECT_EQ(0xFFFFFFFFull, s.num_units_in_tick);
    EXPECT_DOUBLE_EQ(0.5, getH264FrameRate(&s));
}

TEST(H264Sps, GarbageNeverReadsOutside)
{
    std::mt19937 rng(7);
    int ok = 0;
    for (int round = 0; round < 3000; ++round) {
        size_t n = rng() % 48;
        std::vector<uint8_t> d(n);
        for (auto& b : d)
            b = (uint8_t)rng();
        if (n > 0 && round % 2)
            d[0] = (round % 4 == 1) ? 100 : 66;  // reach the deeper branches more often
        SequenceParameterSet s;
        int status = parse(d, &s);
        EXPECT_TRUE(status == SPS_OK || status == SPS_TRUNCATED || status == SPS_OUT_OF_RANGE);
        if (status == SPS_OK) {
            ++ok;
            EXPECT_GT(getH264CroppedWidth(&s), 0u);
            EXPECT_GT(getH264CroppedHeight(&s), 0u);
            EXPECT_TRUE(std::isfinite(getH264FrameRate(&s)));
        }
    }
    EXPECT_GT(ok, 0);
    SequenceParameterSet s;
    EXPECT_EQ(SPS_TRUNCATED, fillSequenceParameterSet(nullptr, 10, &s));
    const uint8_t one[1] = {66};
    EXPECT_EQ(SPS_TRUNCATED, fillSequenceParameterSet(one, 0, &s));
}

TEST(H264Lookups, ProfileLevelChromaSlice)
{
    EXPECT_STREQ("Extended", getH264ProfileDescription(88));
    EXPECT_STREQ("High 10", getH264ProfileDescription(110));
    EXPECT_STREQ("High 4:4:4", getH264ProfileDescription(144));
    EXPECT_EQ(nullptr, getH264ProfileDescription(67));
    EXPECT_EQ(nullptr, getH264ProfileDescription(-1));
    SequenceParameterSet s;
    memset(&s, 0, sizeof(s));
    s.level_idc = 11;
    s.constraint_flags = 0x1;
    EXPECT_STREQ("Level 1b", getH264LevelDescription(&s));
    s.constraint_flags = 0x0;
    EXPECT_STREQ("Level 1.1", getH264LevelDescription(&s));
    s.constraint_flags = 0xE;  // other constraint flags do not matter
    EXPECT_STREQ("Level 1.1", getH264LevelDescription(&s));
    s.level_idc = 9;
    EXPECT_STREQ("Level 1b", getH264LevelDescription(&s));
    s.level_idc = 51;
    EXPECT_STREQ("Level 5.1", getH264LevelDescription(&s));
    s.level_idc = 62;
    EXPECT_STREQ("Level 6.2", getH264LevelDescription(&s));
    s.level_idc = 14;
    EXPECT_EQ(nullptr, getH264LevelDescription(&s));
    s.level_idc = 63;
    EXPECT_EQ(nullptr, getH264LevelDescription(&s));
    EXPECT_EQ(nullptr, getH264LevelDescription(nullptr));
    EXPECT_STREQ("Monochrome", getH264ChromaDescription(0));
    EXPECT_STREQ("4:4:4", getH264ChromaDescription(3));
    EXPECT_EQ(nullptr, getH264ChromaDescription(4));
    const char* types[] = {"P", "B", "I", "SP", "SI", "P", "B", "I", "SP", "SI"};
    for (int t = 0; t < 10; ++t)
        EXPECT_STREQ(types[t], getSliceTypeDesc(t));
    EXPECT_EQ(nullptr, getSliceTypeDesc(10));
    EXPECT_EQ(nullptr, getSliceTypeDesc(-1));
    EXPECT_STREQ("Unspecified", getH264AspectDescription(0));
    EXPECT_STREQ("160:99", getH264AspectDescription(13));
    EXPECT_STREQ("4:3", getH264AspectDescription(14));
    EXPECT_STREQ("2:1", getH264AspectDescription(16));
    EXPECT_EQ(nullptr, getH264AspectDescription(17));
    EXPECT_STREQ("Extended SAR", getH264AspectDescription(255));
    EXPECT_STREQ("4:3", getH264AspectDescInformative(2, 720));
    EXPECT_STREQ("16:9", getH264AspectDescInformative(4, 720));
    EXPECT_STREQ("16:9", getH264AspectDescInformative(1, 1920));
    EXPECT_STREQ("Unspecified", getH264AspectDescInformative(0, 1920));
}

TEST(H264Lookups, AspectRatios)
{
    const double sar[] = {0.0,
                          1.0,
                          1.0909090909090908,
                          0.9090909090909091,
                          1.4545454545454546,
                          1.2121212121212122,
                          2.1818181818181817,
                          1.8181818181818181,
                          2.909090909090909,
                          2.4242424242424243,
                          1.6363636363636365,
                          1.3636363636363635,
                          1.9393939393939394,
                          1.6161616161616161,
                          4.0 / 3.0,
                          1.5,
                          2.0};
    for (int idc = 1; idc <= 16; ++idc) {
        EXPECT_DOUBLE_EQ(sar[idc], getH264SampleAspectRatio(idc, 0, 0)) << idc;
        EXPECT_NEAR(720.0 * sar[idc] / 576.0, getH264AspectRatio(idc, 720, 576, 0, 0), 1e-12);
    }
    EXPECT_EQ(0.0, getH264SampleAspectRatio(0, 1, 1));
    EXPECT_EQ(0.0, getH264SampleAspectRatio(17, 1, 1));
    // HDV: 1440x1080 with 4:3 samples is 16:9.
    EXPECT_DOUBLE_EQ(16.0 / 9.0, getH264AspectRatio(14, 1440, 1080, 0, 0));
    EXPECT_DOUBLE_EQ(64.0 / 45.0, getH264SampleAspectRatio(255, 45, 64));
    EXPECT_DOUBLE_EQ(320.0 * 64 / (180.0 * 45), getH264AspectRatio(255, 320, 180, 45, 64));
    // No sample aspect ratio (0, reserved, or 255 with a zero part): square samples for the
    // display ratio, 0 for the sample ratio; never a division by zero.
    EXPECT_EQ(0.0, getH264SampleAspectRatio(255, 0, 64));
    EXPECT_EQ(0.0, getH264SampleAspectRatio(255, 45, 0));
    EXPECT_DOUBLE_EQ(16.0 / 9.0, getH264AspectRatio(255, 1920, 1080, 0, 0));
    EXPECT_DOUBLE_EQ(16.0 / 9.0, getH264AspectRatio(200, 1920, 1080, 1, 1));
    EXPECT_EQ(0.0, getH264AspectRatio(1, 1920, 0, 0, 0));
    // Products beyond 32 bits are not cut.
    EXPECT_DOUBLE_EQ(16384.0 * 65535 / (2.0 * 1), getH264AspectRatio(255, 16384, 2, 1, 65535));
}

TEST(H264Lookups, DropFrameVerdicts)
{
    EXPECT_FALSE(isH264DropFrame(0.0));
    EXPECT_FALSE(isH264DropFrame(24.0));
    EXPECT_FALSE(isH264DropFrame(25.0));
    EXPECT_FALSE(isH264DropFrame(30.0));
    EXPECT_FALSE(isH264DropFrame(50.0));
    EXPECT_FALSE(isH264DropFrame(60.0));
    EXPECT_FALSE(isH264DropFrame(120.0));
    EXPECT_TRUE(isH264DropFrame(30000.0 / 1001));
    EXPECT_TRUE(isH264DropFrame(24000.0 / 1001));
    EXPECT_TRUE(isH264DropFrame(60000.0 / 1001));
    EXPECT_FALSE(isH264DropFrame(-5.0));
    EXPECT_FALSE(isH264DropFrame(NAN));
}

// ---- slice header --------------------------------------------------------------------------

TEST(H264Slice, WithAndWithoutParameterSet)
{
    SpsParams p;
    p.log2MaxFrameNumM4 = 4;  // frame_num of 8 bits
    p.frameMbsOnly = false;
    SequenceParameterSet sps;
    ASSERT_EQ(SPS_OK, parse(buildSps(p), &sps));

    BitWriter w;
    w.ue(396);  // first_mb_in_slice
    w.ue(7);    // I
    w.ue(3);
    w.bits(0xA7, 8);
    w.bit(1);  // field_pic_flag
    w.bit(1);  // bottom_field_flag
    w.bits(0x2A, 7);
    SliceHeader h;
    ExactBuffer b(w.data(), w.data().size());
    ASSERT_EQ(SLICE_OK, fillSliceHeader(b.p, (int)w.data().size(), &h, &sps));
    EXPECT_EQ(396u, h.first_mb_in_slice);
    EXPECT_EQ(7u, h.slice_type);
    EXPECT_EQ(3u, h.pic_parameter_set_id);
    EXPECT_EQ(0xA7u, h.frame_num);
    EXPECT_EQ(1u, h.field_pic_flag);
    EXPECT_EQ(1u, h.bottom_field_flag);

    ASSERT_EQ(SLICE_OK, fillSliceHeader(b.p, (int)w.data().size(), &h, nullptr));
    EXPECT_EQ(7u, h.slice_type);
    EXPECT_EQ(0u, h.frame_num);
    EXPECT_EQ(0u, h.field_pic_flag);

    // Every cut short of the flags is truncated, never read past.
    size_t needBits = 17 + 7 + 5 + 8 + 2;
    for (size_t n = 0; n < (needBits + 7) / 8; ++n) {
        ExactBuffer cut(w.data(), n);
        EXPECT_EQ(SLICE_TRUNCATED, fillSliceHeader(cut.p, (int)n, &h, &sps)) << n;
    }
}

TEST(H264Slice, ColourPlaneIdComesBeforeFrameNum)
{
    SpsParams p;
    p.profile = 244;
    p.chroma = 3;
    p.separatePlanes = true;
    SequenceParameterSet sps;
    ASSERT_EQ(SPS_OK, parse(buildSps(p), &sps));
    BitWriter w;
    w.ue(0);
    w.ue(2);
    w.ue(0);
    w.bits(2, 2);    // colour_plane_id
    w.bits(9, 4);    // frame_num
    w.trailing();
    SliceHeader h;
    ASSERT_EQ(SLICE_OK, fillSliceHeader(w.data().data(), (int)w.data().size(), &h, &sps));
    EXPECT_EQ(9u, h.frame_num);
    EXPECT_EQ(0u, h.field_pic_flag);  // frame_mbs_only
}

TEST(H264Slice, DamagedValuesAreRefused)
{
    BitWriter w;
    w.ue(0);
    w.ue(10);  // slice_type out of range
    w.ue(0);
    w.trailing();
    SliceHeader h;
    EXPECT_EQ(SLICE_OUT_OF_RANGE, fillSliceHeader(w.data().data(), (int)w.data().size(), &h, nullptr));
    BitWriter x;
    x.ue(0);
    x.ue(5);
    x.ue(256);  // pic_parameter_set_id out of range
    x.trailing();
    EXPECT_EQ(SLICE_OUT_OF_RANGE, fillSliceHeader(x.data().data(), (int)x.data().size(), &h, nullptr));
    EXPECT_EQ(SLICE_TRUNCATED, fillSliceHeader(nullptr, 4, &h, nullptr));
    const uint8_t zeros[8] = {0};
    EXPECT_EQ(SLICE_TRUNCATED, fillSliceHeader(zeros, 8, &h, nullptr));
}

TEST(H264Slice, FirstSlicesOfTheFixture)
{
    std::vector<uint8_t> es = extractElementaryStream(fixture("h264_high_1080_aac_51.ts"), 27);
    SequenceParameterSet sps;
    ASSERT_EQ(SPS_OK, parse(firstNalRbsp(es, 7), &sps));
    std::vector<uint8_t> idr = firstNalRbsp(es, 5);
    ASSERT_GT(idr.size(), 10u);
    SliceHeader h;
    ASSERT_EQ(SLICE_OK, fillSliceHeader(idr.data(), 16, &h, &sps));
    EXPECT_EQ(0u, h.first_mb_in_slice);
    EXPECT_EQ(7u, h.slice_type);  // trace_headers: 7
    EXPECT_EQ(0u, h.frame_num);
    std::vector<uint8_t> p = firstNalRbsp(es, 1);
    ASSERT_EQ(SLICE_OK, fillSliceHeader(p.data(), 16, &h, &sps));
    EXPECT_EQ(5u, h.slice_type);
    EXPECT_EQ(1u, h.frame_num);
}

// ---- SEI and ATSC ---------------------------------------------------------------------------

TEST(H264Sei, TypeAndSize)
{
    struct {
        const char* hex;
        unsigned type, size;
        int used;
    } rows[] = {{"04 FF 0A", 4, 265, 3},
                {"05 10", 5, 16, 2},
                {"FF FF 01 FF FE", 511, 509, 5},
                {"00 00", 0, 0, 2}};
    for (const auto& r : rows) {
        std::vector<uint8_t> d = hexBytes(r.hex);
        unsigned t = 0, s = 0;
        ExactBuffer b(d, d.size());
        EXPECT_EQ(r.used, getSeiMsgTypeAndSize(b.p, (int)d.size(), &t, &s)) << r.hex;
        EXPECT_EQ(r.type, t);
        EXPECT_EQ(r.size, s);
        // Any cut is refused.
        for (size_t n = 0; n < d.size(); ++n) {
            ExactBuffer c(d, n);
            EXPECT_EQ(0, getSeiMsgTypeAndSize(c.p, (int)n, &t, &s)) << r.hex << " cut " << n;
        }
    }
    std::vector<uint8_t> ff(300, 0xFF);
    unsigned t = 0, s = 0;
    EXPECT_EQ(0, getSeiMsgTypeAndSize(ff.data(), (int)ff.size(), &t, &s));
}

TEST(H264Sei, RegisteredUserData)
{
    ItuDataRegistered d;
    std::vector<uint8_t> atsc = hexBytes("B5 00 31 47 41 39 34 03");
    EXPECT_EQ(7, fillItuDataRegistered(atsc.data(), (int)atsc.size(), &d));
    EXPECT_EQ(0xB5, d.itu_t_t35_country_code);
    EXPECT_EQ(0x31, d.itu_t_t35_provider_code);
    EXPECT_EQ(0x47413934u, d.user_identifier);
    EXPECT_TRUE(isATSC(&d.user_identifier));
    EXPECT_EQ(0, fillItuDataRegistered(atsc.data(), 6, &d));
    EXPECT_EQ(0u, d.user_identifier);

    std::vector<uint8_t> other = hexBytes("26 00 31 47 41 39 34");
    EXPECT_EQ(1, fillItuDataRegistered(other.data(), (int)other.size(), &d));
    EXPECT_EQ(0x26, d.itu_t_t35_country_code);
    EXPECT_EQ(0u, d.user_identifier);
    EXPECT_FALSE(isATSC(&d.user_identifier));

    std::vector<uint8_t> escaped = hexBytes("FF B5 00 31 47 41 39 34");
    EXPECT_EQ(2, fillItuDataRegistered(escaped.data(), (int)escaped.size(), &d));
    EXPECT_EQ(0xFFB5, d.itu_t_t35_country_code);
    EXPECT_EQ(0u, d.user_identifier);
    EXPECT_EQ(0, fillItuDataRegistered(escaped.data(), 1, &d));
    EXPECT_EQ(0, fillItuDataRegistered(escaped.data(), 0, &d));
    EXPECT_FALSE(isATSC(nullptr));

    const uint8_t trailing[] = {0x80, 0x00};
    EXPECT_TRUE(isRbspTrailingBits(trailing, 2));
    EXPECT_FALSE(isRbspTrailingBits(trailing, 1));
    const uint8_t notTrailing[] = {0x80, 0x01};
    EXPECT_FALSE(isRbspTrailingBits(notTrailing, 2));
}

TEST(Atsc, HeaderAndConstructs)
{
    AtscDataHeader h;
    const uint8_t header[] = {0xC2};
    ASSERT_EQ(0, fillAtscDataHeader(header, 1, &h));
    EXPECT_EQ(1, h.process_em_data_flag);
    EXPECT_EQ(1, h.process_cc_data_flag);
    EXPECT_EQ(0, h.additional_data_flag);
    EXPECT_EQ(2, h.cc_count);
    const uint8_t header2[] = {0x3F};
    ASSERT_EQ(0, fillAtscDataHeader(header2, 1, &h));
    EXPECT_EQ(0, h.process_cc_data_flag);
    EXPECT_EQ(1, h.additional_data_flag);
    EXPECT_EQ(31, h.cc_count);
    EXPECT_EQ(1, fillAtscDataHeader(header, 0, &h));
    EXPECT_EQ(0, h.cc_count);

    AtscData d;
    const uint8_t cc608[] = {0xFC, 0x94, 0x2C};
    ASSERT_EQ(0, fillAtscData(cc608, 3, &d));
    EXPECT_EQ(0x1F, d.marker_bits);
    EXPECT_EQ(1, d.cc_valid);
    EXPECT_EQ(0, d.cc_type);
    EXPECT_EQ(0x94, d.cc_data_1);
    EXPECT_EQ(0x2C, d.cc_data_2);
    const uint8_t cc708[] = {0xFB, 0x01, 0x02};
    ASSERT_EQ(0, fillAtscData(cc708, 3, &d));
    EXPECT_EQ(0, d.cc_valid);
    EXPECT_EQ(3, d.cc_type);
    EXPECT_EQ(1, fillAtscData(cc708, 2, &d));
    EXPECT_EQ(0, d.cc_type);
}
