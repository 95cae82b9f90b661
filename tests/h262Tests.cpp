// MPEG-2 video processor and its VideoProcessor base: the fixtures against ffprobe and
// against their own headers in every chunk size, and hand-built streams for GOP analysis,
// aspect ratios, alignment, captions and damaged input.
#include "elemEventRecorder.h"

#include "engine/h262Processor.h"
#include "engine/pesProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>

using namespace elemtest;

namespace {

const int kPid = 0x100;

// Builds an H.262 elementary stream header by header.
class Es {
public:
    std::vector<unsigned char> bytes;

    Es& raw(std::initializer_list<unsigned char> b)
    {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Es& startCode(unsigned char c) { return raw({0x00, 0x00, 0x01, c}); }

    Es& seq(int w, int h, int aspect, int frameRateCode, unsigned bitRateValue = 15000,
            unsigned vbvValue = 112)
    {
        startCode(0xB3);
        return raw({(unsigned char)(w >> 4), (unsigned char)(((w & 15) << 4) | ((h >> 8) & 15)),
                    (unsigned char)(h & 0xFF), (unsigned char)((aspect << 4) | frameRateCode),
                    (unsigned char)(bitRateValue >> 10), (unsigned char)((bitRateValue >> 2) & 0xFF),
                    (unsigned char)(((bitRateValue & 3) << 6) | 0x20 | ((vbvValue >> 5) & 0x1F)),
                    (unsigned char)((vbvValue & 0x1F) << 3)});
    }
    Es& seqExt(int pli = 0x48, int progressive = 1, int chroma = 1, int hext = 0, int vext = 0,
               unsigned brext = 0, int vbvext = 0)
    {
        startCode(0xB5);
        return raw({(unsigned char)(0x10 | (pli >> 4)),
                    (unsigned char)(((pli & 15) << 4) | (progressive << 3) | (chroma << 1) | (hext >> 1)),
                    (unsigned char)(((hext & 1) << 7) | (vext << 5) | ((brext >> 7) & 0x1F)),
                    (unsigned char)(((brext & 0x7F) << 1) | 1), (unsigned char)vbvext, 0x00});
    }
    Es& dispExt(int w, int h)
    {
        startCode(0xB5);
        return raw({0x20 | (5 << 1), (unsigned char)(w >> 6),
                    (unsigned char)(((w & 0x3F) << 2) | 0x02 | ((h >> 13) & 1)),
                    (unsigned char)((h >> 5) & 0xFF), (unsigned char)((h & 0x1F) << 3)});
    }
    Es& gop(int closed, int drop = 0)
    {
        startCode(0xB8);
        return raw({(unsigned char)(drop << 7), 0x00, 0x08, (unsigned char)(closed << 6)});
    }
    Es& picture(int type)
    {
        startCode(0x00);
        return raw({0x00, (unsigned char)(type << 3), 0xFF, 0xF8});
    }
    Es& picExt(int structure)
    {
        startCode(0xB5);
        return raw({0x8F, 0xFF, (unsigned char)(0xC0 | structure), 0x80, 0x00});
    }
    // A slice of 4 + 12 bytes, so that the next picture start code stays 4-byte aligned.
    Es& slice() { return startCode(0x01).raw({0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}); }
    Es& frame(int type) { return picture(type).picExt(3).slice(); }
    Es& fieldPair(int type) { return picture(type).picExt(1).slice().picture(type).picExt(2).slice(); }
    // GOP header followed by pictures of the given types ('I', 'P', 'B', 'D').
    Es& gopOf(const char* types, int closed = 1)
    {
        gop(closed);
        for (const char* t = types; *t; t++)
            frame(*t == 'I' ? 1 : *t == 'P' ? 2 : *t == 'B' ? 3 : 4);
        return *this;
    }
    // A/53 cc_data in picture user data; each construct is {valid, type}.
    Es& captions(std::vector<std::pair<int, int>> constructs, bool processFlag = true)
    {
        startCode(0xB2).raw({'G', 'A', '9', '4', 0x03});
        raw({(unsigned char)((processFlag ? 0x40 : 0) | (constructs.size() & 0x1F)), 0xFF});
        for (auto& c : constructs)
            raw({(unsigned char)(0xF8 | (c.first << 2) | c.second), 0x94, 0x2C});
        return raw({0xFF});
    }
    Es& sequenceEnd() { return startCode(0xB7); }
};

struct H262Run {
    EventRecorder rec;
    std::unique_ptr<H262Processor> proc;
    H262Run() : proc(std::make_unique<H262Processor>(rec.registry(), kPid)) {}
    void feed(const std::vector<unsigned char>& data, size_t chunk = 184) { feedInChunks(*proc, data, chunk); }
    void end() { proc.reset(); }
};

std::vector<unsigned char> esOfFixture(const char* name)
{
    auto ts = readFile(fixture(name));
    int pid = findElementaryPid(ts, {2});
    return pid > 0 ? extractElementaryStream(ts, pid) : std::vector<unsigned char>();
}

std::vector<std::pair<int, std::string>> summary(const EventRecorder& rec)
{
    std::vector<std::pair<int, std::string>> out;
    for (const auto& e : rec.events())
        out.emplace_back(e.id, e.text);
    return out;
}

struct FixtureExpectation {
    const char* file;
    const char* resolution;
    const char* frameRate;
    const char* progressive;
    const char* chroma;
    const char* profileLevel;
    int vbv;
    int bitrate;
    double aspect;        // display aspect ratio
    double sampleAspect;  // ffprobe's sample_aspect_ratio
    int gopSize;
    const char* gopStruct;
    const char* gopPayload;
    const char* openGop;
    int frames;
    int fields;
};

// ffprobe: 720x480 30000/1001 DAR 4:3 SAR 8:9 Main/Main progressive yuv420p;
// 720x576 25 DAR 16:9 SAR 64:45 with an I picture every 10 frames; 1920x1080 30000/1001
// DAR 16:9 SAR 1:1 Main/High, interlaced (top field first) frame pictures.
// The rest is read from the headers: bit_rate_value 0x3FFFF (ffmpeg's "variable") and
// vbv_buffer_size_value 14 in the first two, 3750 and 62 in the third; the GOP headers'
// closed_gop flags; the coded picture order.
const FixtureExpectation kFixtures[] = {
    {"mpeg2_480_4x3_mp2.ts", "720x480", "29.97", "true", "4:2:0", "Main@Main", 229376, 104857200,
     4.0 / 3.0, 8.0 / 9.0, 15, "IBBP", "IBBPBBPBBPBBPBB", "true", 30, 0},
    {"mpeg2_576_16x9_ac3.ts", "720x576", "25", "true", "4:2:0", "Main@Main", 229376, 104857200,
     16.0 / 9.0, 64.0 / 45.0, 10, "IPBB", "IPBBPBBPBB", "false", 25, 0},
    {"mpeg2_1080i_ac3_51.ts", "1920x1080", "29.97", "false", "4:2:0", "Main@High", 1015808, 1500000,
     16.0 / 9.0, 1.0, 0, "", "IPBBPBBPBBPBBPB", "false", 15, 0},
};

void expectFixtureValues(const EventRecorder& rec, const FixtureExpectation& x)
{
    EXPECT_EQ(rec.first(CB_MPEG2TS_VIDEO_RES).text, x.resolution);
    EXPECT_EQ(rec.first(CB_MPEG2TS_FRAME_RATE).text, x.frameRate);
    EXPECT_EQ(rec.first(CB_MPEG2TS_PROG_SEQUENCE).text, x.progressive);
    EXPECT_EQ(rec.first(CB_MPEG2TS_CHROMA).text, x.chroma);
    EXPECT_EQ(rec.first(CB_MPEG2TS_PROFILE_AND_LEVEL).text, x.profileLevel);
    EXPECT_EQ(rec.first(CB_MPEG2TS_VBV_BUFF_SIZE).number, x.vbv);
    EXPECT_EQ(rec.first(CB_MPEG2TS_BITRATE).number, x.bitrate);
    EXPECT_EQ(rec.first(CB_MPEG2TS_BITRATE).units, "bps");
    EXPECT_NEAR(rec.first(CB_MPEG2TS_ASPECT_RATIO).number, x.aspect, 1e-9);
    EXPECT_NEAR(rec.first(CB_MPEG2TS_SAMPLE_ASPECT_RATIO).number, x.sampleAspect, 1e-9);
    EXPECT_EQ(rec.first(CB_MPEG2TS_DROP_FRAME).text, "false");
    EXPECT_EQ(rec.first(CB_MPEG2TS_GOP_SIZE).number, x.gopSize);
    EXPECT_EQ(rec.first(CB_MPEG2TS_GOP_STRUCT).text, x.gopStruct);
    EXPECT_EQ(rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, x.gopPayload);
    EXPECT_EQ(rec.first(CB_MPEG2TS_OPEN_CLOSED_GOP).text, x.openGop);
    EXPECT_EQ(rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "false");
    EXPECT_EQ(rec.first(CB_MPEG2TS_FRAME_COUNT).number, x.frames);
    EXPECT_EQ(rec.first(CB_MPEG2TS_FIELD_COUNT).number, x.fields);
    RecordedEvent cc = rec.first(CB_MPEG2TS_CC);
    EXPECT_EQ(cc.pid, kPid);
    EXPECT_FALSE(cc.cc.atscEia608 || cc.cc.atscEia708 || cc.cc.scte20 || cc.cc.scte21);
}

}  // namespace

// Each fixture fed in every chunk size from 1 to 600: the same events with the same values
// every time (a header split across chunks is found and counted once), matching ffprobe.
TEST(H262Fixture, EveryChunkSizeGivesTheSameReportAsFfprobe)
{
    for (const auto& x : kFixtures) {
        SCOPED_TRACE(x.file);
        auto es = esOfFixture(x.file);
        ASSERT_GT(es.size(), 100000u);

        std::vector<std::pair<int, std::string>> reference;
        {
            H262Run ref;
            ref.feed(es, 184);
            ref.proc->calculateBitrateBps(1.0);
            EXPECT_EQ(ref.proc->getByteCount(), (long long)es.size());
            ref.end();
            expectFixtureValues(ref.rec, x);
            RecordedEvent elm = ref.rec.first(CB_MPEG2TS_ELM_STREAM_BITRATE);
            EXPECT_DOUBLE_EQ(elm.number, es.size() * 8.0);
            EXPECT_EQ(elm.units, "bps");
            reference = summary(ref.rec);
        }
        for (size_t chunk = 1; chunk <= 600; chunk++) {
            H262Run run;
            run.feed(es, chunk);
            run.proc->calculateBitrateBps(1.0);
            // Every byte counts, also those of calls whose header had to wait.
            ASSERT_EQ(run.proc->getByteCount(), (long long)es.size()) << chunk;
            run.end();
            ASSERT_EQ(summary(run.rec), reference) << "chunk " << chunk;
        }
    }
}

// ffmpeg carries MPEG-1 video as stream type 2: a sequence header without a sequence
// extension. ffprobe: 176x144, 25 fps, SAR 49:33 (pel_aspect_ratio 2, a pel 0.6735 as high as
// wide), DAR 49:27, 30 frames; the GOP headers: a closed GOP, then open ones, 12 pictures
// each, I B B P in coded order. No MPEG-2 values (profile, chroma, progressive) are made up.
TEST(H262Fixture, Mpeg1VideoIsReadFromItsOwnHeaders)
{
    auto es = esOfFixture("mpeg1_qcif_16x9.ts");
    ASSERT_GT(es.size(), 10000u);
    for (size_t chunk : {1, 184, 1000}) {
        SCOPED_TRACE(chunk);
        H262Run run;
        run.feed(es, chunk);
        EXPECT_TRUE(run.proc->isMpeg1());
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_VIDEO_RES).text, "176x144");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_RATE).text, "25");
        EXPECT_NEAR(run.rec.first(CB_MPEG2TS_SAMPLE_ASPECT_RATIO).number, 1 / 0.6735, 1e-9);
        EXPECT_NEAR(run.rec.first(CB_MPEG2TS_ASPECT_RATIO).number, 176 / 0.6735 / 144, 1e-9);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 30);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FIELD_COUNT).number, 0);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 12);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IBBP");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "IBBPBBPBBPBB");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_OPEN_CLOSED_GOP).text, "true");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "false");
        EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_PROFILE_AND_LEVEL));
        EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_CHROMA));
        EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_PROG_SEQUENCE));
    }
}

// Cut mid-GOP, a stream begins with pictures before its first sequence header. MPEG-1 has
// no coding extension to count them at, yet each is a frame, as it is in MPEG-2 (ffprobe
// counts as many packets).
TEST(H262Fixture, Mpeg1CutMidGopCountsThePicturesBeforeItsFirstSequenceHeader)
{
    auto es = esOfFixture("mpeg1_qcif_16x9.ts");
    std::vector<size_t> pictures, sequences;
    for (size_t i = 0; i + 3 < es.size(); i++) {
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && (es[i + 3] == 0x00 || es[i + 3] == 0xB3))
            (es[i + 3] == 0 ? pictures : sequences).push_back(i);
    }
    ASSERT_EQ(pictures.size(), 30u);
    ASSERT_GE(sequences.size(), 2u);
    // From the fourth picture: the rest of the first GOP precedes the next sequence header.
    std::vector<unsigned char> cut(es.begin() + (long)pictures[3], es.end());
    ASSERT_LT(pictures[3], sequences[1]);
    H262Run run;
    run.feed(cut);
    EXPECT_TRUE(run.proc->isMpeg1());
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 27);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_FIELD_COUNT).number, 0);

    // Cut after the last sequence header: no header ever says MPEG-1, no extension MPEG-2.
    const size_t last = (size_t)(std::upper_bound(pictures.begin(), pictures.end(), sequences.back()) -
                                 pictures.begin()) + 1;
    ASSERT_LT(last, pictures.size());
    H262Run tail;
    tail.feed(std::vector<unsigned char>(es.begin() + (long)pictures[last], es.end()));
    tail.end();
    EXPECT_EQ(tail.rec.first(CB_MPEG2TS_FRAME_COUNT).number, (long long)(pictures.size() - last));
}

// Only a sequence header followed by what MPEG-1 allows there (GOP, picture, user data) is
// MPEG-1. A damaged code after the first header, or a lost extension once the stream has
// shown one, leaves an MPEG-2 stream MPEG-2: its aspect code is a display aspect ratio, and
// its field pictures stay fields.
TEST(H262Header, DamageAfterASequenceHeaderDoesNotMakeMpeg1)
{
    {
        Es es;
        es.seq(720, 480, 2, 4).startCode(0xB4).raw({0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
        es.gopOf("IPPP").seq(720, 480, 2, 4).seqExt().gopOf("IPPP").sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        EXPECT_FALSE(run.proc->isMpeg1());
        run.end();
        EXPECT_NEAR(run.rec.first(CB_MPEG2TS_ASPECT_RATIO).number, 4.0 / 3.0, 1e-9);
    }
    {
        Es es;
        es.seq(720, 480, 2, 4).seqExt(0x48, 0).gopOf("IPPP");
        es.seq(720, 480, 2, 4).gop(1).fieldPair(1).fieldPair(2).sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        EXPECT_FALSE(run.proc->isMpeg1());
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FIELD_COUNT).number, 4);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 4);
    }
}

namespace {

// Rewrites a frame-coded stream into field pictures: each frame picture becomes its first
// field (picture_structure firstStructure) and gets a second field of the other parity after
// its slices, with the same temporal reference: a P field after an I field, else the type of
// the first.
std::vector<unsigned char> toFieldPictures(const std::vector<unsigned char>& es, unsigned firstStructure)
{
    std::vector<size_t> codes;
    for (size_t i = 0; i + 3 < es.size(); i++)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1)
            codes.push_back(i);
    codes.push_back(es.size());
    std::vector<unsigned char> out(es.begin(), es.begin() + (long)codes[0]);
    std::vector<unsigned char> second;  // waits for the first start code after the slices
    for (size_t k = 0; k + 1 < codes.size(); k++) {
        std::vector<unsigned char> unit(es.begin() + (long)codes[k], es.begin() + (long)codes[k + 1]);
        const unsigned char c = unit[3];
        const bool slice = c >= 0x01 && c <= 0xAF;
        if (!slice && !second.empty() && c != 0xB5 && c != 0xB2) {
            out.insert(out.end(), second.begin(), second.end());
            second.clear();
        }
        if (c == 0x00 && unit.size() >= 8) {
            const unsigned tr = (unsigned)(unit[4] << 2) | (unit[5] >> 6);
            const unsigned type = (unit[5] >> 3) & 7;
            const unsigned secondType = type == 1 ? 2 : type;
            // temporal_reference, picture_coding_type, vbv_delay 0xFFFF, then for P and B
            // full_pel_forward_vector 0 and forward_f_code 7 (and the same backward for B).
            unsigned long long bits = ((unsigned long long)tr << 19) | (secondType << 16) | 0xFFFF;
            int n = 29;
            if (secondType >= 2) {
                bits = (bits << 4) | 0x7;
                n += 4;
            }
            if (secondType == 3) {
                bits = (bits << 4) | 0x7;
                n += 4;
            }
            bits <<= 1;  // extra_bit_picture
            n += 1;
            int bytes = (n + 7) / 8;
            bits <<= (bytes * 8 - n);
            second = {0x00, 0x00, 0x01, 0x00};
            for (int b = bytes - 1; b >= 0; b--)
                second.push_back((unsigned char)(bits >> (8 * b)));
        } else if (c == 0xB5 && (unit[4] >> 4) == 8 && unit.size() >= 7 && !second.empty()) {
            unit[6] = (unsigned char)((unit[6] & 0xFC) | firstStructure);
            std::vector<unsigned char> ext(unit);
            ext[6] = (unsigned char)((ext[6] & 0xFC) | (3 - firstStructure));
            second.insert(second.end(), ext.begin(), ext.end());
            // A slice so that the second field is a picture like any other.
            second.insert(second.end(), {0x00, 0x00, 0x01, 0x01, 0x55, 0x55, 0x55, 0x55});
        }
        out.insert(out.end(), unit.begin(), unit.end());
    }
    out.insert(out.end(), second.begin(), second.end());
    return out;
}

}  // namespace

// A frame coded as two field pictures is one GOP picture, an I frame when one field is I,
// whichever field comes first.
TEST(H262Fixture, FieldPicturesInEitherOrderDescribeTheFrames)
{
    auto frames = esOfFixture("mpeg2_480_4x3_mp2.ts");
    for (unsigned first : {1u, 2u}) {
        SCOPED_TRACE(first == 1 ? "top field first" : "bottom field first");
        auto es = toFieldPictures(frames, first);
        ASSERT_GT(es.size(), frames.size());
        H262Run run;
        run.feed(es);
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FIELD_COUNT).number, 60);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 0);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 15);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IBBP");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "IBBPBBPBBPBBPBB");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "false");
    }
}

TEST(H262Fixture, SequenceHeaderFieldsOfThe480pStream)
{
    auto es = esOfFixture("mpeg2_480_4x3_mp2.ts");
    H262Run run;
    run.feed(es);
    const SequenceHeader& s = run.proc->getSequenceHeader();
    EXPECT_EQ(s.horizontal_size_value, 720u);
    EXPECT_EQ(s.vertical_size_value, 480u);
    EXPECT_EQ(s.aspect_ratio_information, 2);
    EXPECT_EQ(s.frame_rate_code, 4);
    EXPECT_EQ(run.proc->getSequenceExtension().profile_and_level_indication, 0x48);
    // Three sequence headers and extensions: the one-shot events fire three times.
    EXPECT_EQ(run.rec.count(CB_MPEG2TS_VIDEO_RES), 3);
    EXPECT_EQ(run.rec.count(CB_MPEG2TS_FRAME_RATE), 3);
}

// The structure text from the second of three identical GOPs in coded order: the period
// with which the pictures after the I picture repeat through the GOP, or the whole GOP.
TEST(H262Gop, FindGopSequenceTable)
{
    struct Case {
        const char* types;
        int expected;
        const char* structure;
    } cases[] = {
        {"IBBPBBPBBPBB", 4, "IBBP"},
        {"IPBBPBBPBBPBB", 4, "IPBB"},
        {"IPBBPBBPBBPB", 4, "IPBB"},  // the last repeat cut short
        {"IPPPP", 2, "IP"},           // I and P pictures only: not intra-only
        {"IIIII", 1, "I"},
        {"IP", 2, "IP"},
        {"I", 1, "I"},
        {"IBPBP", 3, "IBP"},
        // Nothing repeats through the GOP: the GOP itself.
        {"IBBBBBBBBBBP", 12, "IBBBBBBBBBBP"},
        {"IBBPBBPBBPBP", 12, "IBBPBBPBBPBP"},
        {"IPBPPBBPPBBPPBBPBBPBBBPPPBBBPB", 30, "IPBPPBBPPBBPPBBPBBPBBBPPPBBBPB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.types);
        Es es;
        es.seq(720, 576, 2, 3).seqExt().gopOf(c.types).gopOf(c.types).gopOf(c.types).sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        EXPECT_EQ(run.proc->getGopSequenceLength(), c.expected);
        EXPECT_EQ(run.proc->getLastGopSize(), (int)strlen(c.types));
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, c.structure);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, c.types);
    }
}

// A stream of one whole GOP and the start of the next is described by that GOP.
TEST(H262Gop, OneWholeGopAndTheStartOfTheNext)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().gopOf("IPBBPBBPBBPB").gopOf("IPB").sequenceEnd();
    H262Run run;
    run.feed(es.bytes);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 12);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IPBB");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "IPBBPBBPBBPB");
}

TEST(H262Gop, GopsWithoutPicturesAreNotRecorded)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().gopOf("IPPP").gop(1).gop(1).gopOf("IBBP");
    H262Run run;
    EXPECT_EQ(run.proc->findGopSequence(), 0);  // nothing recorded yet
    run.feed(es.bytes);
    EXPECT_EQ(run.proc->getGopSequenceLength(), 0);  // one whole GOP with pictures so far
    Es more;
    more.gop(1).sequenceEnd();
    run.feed(more.bytes);
    EXPECT_EQ(run.proc->getGopSequenceLength(), 4);  // from I B B P
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IBBP");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_OPEN_CLOSED_GOP).text, "false");
}

// GOP lengths are counted in display order: the B pictures right after an I picture display
// before it and belong to the GOP before. GOPs of 12 pictures whose number of such pictures
// changes (0, 2, 1, 2, 0) have 10, 13, 11, 14 and 12 pictures in coded order.
TEST(H262Gop, LeadingPicturesCountWithTheGopTheyDisplayIn)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt();
    es.gopOf("IPBBPBBPBB", 1).gopOf("IBBPBBPBBPBBP", 0).gopOf("IBPBBPBBPBB", 0);
    es.gopOf("IBBPBBPBBPBBPB", 0).gopOf("IPBBPBBPBBPB", 0).gopOf("IP", 1).sequenceEnd();
    H262Run run;
    run.feed(es.bytes);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "false");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 12);
    // A GOP one picture longer (the third) still makes it adaptive.
    Es longer;
    longer.seq(720, 576, 2, 3).seqExt();
    longer.gopOf("IPBBPBBPBB", 1).gopOf("IBBPBBPBBPBBP", 0).gopOf("IBPBBPBBPBBP", 0);
    longer.gopOf("IBBPBBPBBPBBPB", 0).gopOf("IP", 1).sequenceEnd();
    H262Run run2;
    run2.feed(longer.bytes);
    run2.end();
    EXPECT_EQ(run2.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "true");
    EXPECT_EQ(run2.rec.first(CB_MPEG2TS_GOP_SIZE).number, 12);
}

TEST(H262Gop, AdaptiveVerdictComparesFromTheSecondGopOn)
{
    struct Case {
        std::vector<int> sizes;
        const char* adaptive;
    } cases[] = {
        {{12, 12, 15, 12}, "true"},   // set at the header that ends the third GOP
        {{15, 12, 12, 12}, "false"},  // the first GOP is never compared
        {{12, 12, 12, 12}, "false"},
        {{12, 12, 15}, "false"},      // the third GOP never ends
    };
    for (const auto& c : cases) {
        Es es;
        es.seq(720, 576, 2, 3).seqExt();
        for (int n : c.sizes)
            es.gopOf(std::string("I").append((size_t)n - 1, 'P').c_str());
        es.sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, c.adaptive) << c.sizes.size();
    }
}

TEST(H262Gop, OpenGopAndDropFrameFromTheGopHeader)
{
    Es es;
    es.seq(720, 480, 2, 4).seqExt().gop(1, 1).frame(1).gop(0, 1).frame(1).sequenceEnd();
    H262Run run;
    run.feed(es.bytes);
    EXPECT_EQ(run.rec.count(CB_MPEG2TS_DROP_FRAME), 2);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_DROP_FRAME).text, "true");
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_OPEN_CLOSED_GOP).text, "true");
}

TEST(H262Gop, StreamWithoutGopHeaderReportsNothingRecorded)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().frame(1).frame(2).frame(3).sequenceEnd();
    H262Run run;
    run.feed(es.bytes);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 0);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_OPEN_CLOSED_GOP).text, "false");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_ADAPTIVE_GOP).text, "false");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 3);
}

TEST(H262Gop, TypeTextsEndWithTheLastWholeDescription)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().gopOf("IPDPD").gopOf("IPDPD").gopOf("IPDPD");
    H262Run run;
    run.feed(es.bytes);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IPDC Intra Coded");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "IPDPDC Intra Coded");
}

// A GOP longer than the picture type list: nothing is written past it, extra pictures are
// still counted, and the texts stay inside their buffers.
TEST(H262Gop, GopLongerThanTheTypeListStaysBounded)
{
    std::string types = "I";
    types.append(299, 'B');
    types.back() = 'D';
    Es es;
    es.seq(720, 576, 2, 3).seqExt().gopOf(types.c_str()).gopOf(types.c_str()).gopOf(types.c_str());
    H262Run run;
    run.feed(es.bytes);
    EXPECT_EQ(run.proc->getLastGopSize(), 300);
    EXPECT_EQ(run.proc->getGopSequenceLength(), 2);  // the 255 recorded entries after I are all B
    run.end();
    std::string payload = run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text;
    EXPECT_EQ(payload.size(), 256u);
    EXPECT_EQ(payload, "I" + std::string(255, 'B'));
}

TEST(H262Gop, BuildTypeTextHandlesUnknownTypesAndTinyBuffers)
{
    Es es;
    // Types 1, 3, 7 (reserved), 0 (forbidden).
    es.seq(720, 576, 2, 3).seqExt().gop(1).frame(1).frame(3).frame(7).frame(0);
    H262Run run;
    run.feed(es.bytes);
    ASSERT_EQ(run.proc->getGopPictureCount(), 4);
    char text[8];
    run.proc->buildTypeText(text, sizeof(text), 4, getPicTypeDesc);
    EXPECT_STREQ(text, "IB??");
    char tiny[3];
    run.proc->buildTypeText(tiny, sizeof(tiny), 4, getPicTypeDesc);
    EXPECT_STREQ(tiny, "IB");
    char one[1];
    run.proc->buildTypeText(one, sizeof(one), 4, getPicTypeDesc);
    EXPECT_STREQ(one, "");
}

TEST(H262Aspect, SampleAspectRatioFromDisplayAspectAndSize)
{
    struct Case {
        int w, h, code;
        int dispW, dispH;  // 0: no display extension
        double aspect, sample;
    } cases[] = {
        {720, 480, 2, 0, 0, 4.0 / 3.0, 4.0 / 3.0 * 480 / 720},  // 0.889
        {720, 576, 3, 0, 0, 16.0 / 9.0, 64.0 / 45.0},
        {1920, 1080, 3, 0, 0, 16.0 / 9.0, 1.0},
        {720, 576, 1, 0, 0, 720.0 / 576.0, 1.0},               // square samples
        {720, 576, 1, 704, 576, 704.0 / 576.0, 1.0},           // ...of the displayed part
        {720, 480, 2, 704, 480, 4.0 / 3.0, 4.0 / 3.0 * 480 / 704},
        {720, 576, 4, 0, 0, 2.21, 2.21 * 576 / 720},
        {720, 576, 7, 0, 0, 0.0, 0.0},                         // reserved code
    };
    for (const auto& c : cases) {
        Es es;
        es.seq(c.w, c.h, c.code, 3).seqExt();
        if (c.dispW)
            es.dispExt(c.dispW, c.dispH);
        es.gopOf("I");
        H262Run run;
        run.feed(es.bytes);
        ASSERT_EQ(run.rec.count(CB_MPEG2TS_ASPECT_RATIO), 1) << c.w << " " << c.code;
        EXPECT_NEAR(run.rec.first(CB_MPEG2TS_ASPECT_RATIO).number, c.aspect, 1e-12);
        EXPECT_NEAR(run.rec.first(CB_MPEG2TS_SAMPLE_ASPECT_RATIO).number, c.sample, 1e-12);
        EXPECT_TRUE(std::isfinite(run.rec.first(CB_MPEG2TS_SAMPLE_ASPECT_RATIO).number));
    }
}

TEST(H262Aspect, ZeroSizesNeverDivideByZero)
{
    Es es;
    es.seq(0, 0, 2, 3).seqExt().gopOf("I");
    H262Run run;
    run.feed(es.bytes);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_SAMPLE_ASPECT_RATIO).number, 0.0);
}

TEST(H262Sequence, BitRateAndVbvSize)
{
    struct Case {
        unsigned brValue, brExt;
        unsigned vbvValue, vbvExt;
        int bitrate, vbv;
    } cases[] = {
        {15000, 0, 112, 0, 6000000, 1835008},
        {0x3FFFF, 0, 14, 0, 104857200, 229376},
        {1, 1, 1, 1, (262144 + 1) * 400, (1024 + 1) * 16384},
        // Field maxima: both products pass 32 bits and are held at the largest int.
        {0x3FFFF, 0xFFF, 0x3FF, 0xFF, 2147483647, 2147483647},
    };
    for (const auto& c : cases) {
        Es es;
        es.seq(720, 576, 2, 3, c.brValue, c.vbvValue).seqExt(0x48, 1, 1, 0, 0, c.brExt, c.vbvExt).sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        EXPECT_EQ(run.proc->getVideoBitrate(), c.bitrate) << c.brValue;
        EXPECT_EQ(run.proc->getVbvBufferSize(), c.vbv) << c.vbvValue;
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_BITRATE).number, c.bitrate);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_VBV_BUFF_SIZE).number, c.vbv);
    }
}

TEST(H262Sequence, SizeExtensionsProfilesAndMissingTexts)
{
    struct Case {
        int pli, chroma, hext, vext, frameRate;
        const char* res;
        const char* profile;  // nullptr: not fired
        const char* chromaText;
        const char* rate;
    } cases[] = {
        {0x48, 1, 0, 0, 3, "720x576", "Main@Main", "4:2:0", "25"},
        {0x44, 2, 1, 1, 4, "4816x4672", "Main@High", "4:2:2", "29.97"},
        {0x5A, 3, 0, 0, 8, "720x576", "Simple@Low", "4:4:4", "60"},
        {0x85, 2, 0, 0, 1, "720x576", "4:2:2 profile @ Main level", "4:2:2", "23.97"},
        {0x83, 0, 0, 0, 0, "720x576", nullptr, nullptr, nullptr},  // no texts for these codes
        {0x45, 1, 0, 0, 9, "720x576", nullptr, "4:2:0", nullptr},  // level 5 has no text
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pli);
        Es es;
        es.seq(720, 576, 2, c.frameRate).seqExt(c.pli, 1, c.chroma, c.hext, c.vext).sequenceEnd();
        H262Run run;
        run.feed(es.bytes);
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_VIDEO_RES).text, c.res);
        if (c.profile)
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_PROFILE_AND_LEVEL).text, c.profile);
        else
            EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_PROFILE_AND_LEVEL));
        if (c.chromaText)
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_CHROMA).text, c.chromaText);
        else
            EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_CHROMA));
        if (c.rate)
            EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_RATE).text, c.rate);
        else
            EXPECT_FALSE(run.rec.fired(CB_MPEG2TS_FRAME_RATE));
    }
}

TEST(H262Sequence, PictureSizeIsFixedByTheFirstExtension)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().seq(352, 288, 2, 3).seqExt().gopOf("I");
    H262Run run;
    run.feed(es.bytes);
    EXPECT_EQ(run.proc->getPictureWidth(), 720);
    EXPECT_EQ(run.proc->getPictureHeight(), 576);
    EXPECT_EQ(run.rec.last(CB_MPEG2TS_VIDEO_RES).text, "720x576");
}

TEST(H262Picture, QuadByteAlignmentCountsFromTheLastOtherStartCode)
{
    struct Case {
        int padding;  // bytes after the 8-byte GOP header before the picture
        const char* aligned;
    } cases[] = {{0, "true"}, {-2, "false"}, {4, "true"}, {1, "false"}};
    for (const auto& c : cases) {
        Es es;
        es.seq(720, 576, 2, 3).seqExt().gop(1);
        if (c.padding < 0)
            es.bytes.resize(es.bytes.size() + (size_t)c.padding);  // picture 6 bytes after
        else
            es.bytes.insert(es.bytes.end(), (size_t)c.padding, 0xAA);
        es.frame(1).sequenceEnd();
        H262Run run;
        run.feed(es.bytes, 1);
        EXPECT_EQ(run.proc->isQuadByteAligned(), std::string(c.aligned) == "true") << c.padding;
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_QUAD_BYTE_ALIGNED).text, c.aligned) << c.padding;
    }
}

TEST(H262Picture, FieldPicturesCountTwoFieldsButOneGopPicture)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt(0x48, 0);
    for (int g = 0; g < 3; g++) {
        es.gop(1);
        es.fieldPair(1).fieldPair(3).fieldPair(3).fieldPair(2);
    }
    H262Run run;
    run.feed(es.bytes);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_FIELD_COUNT).number, 24);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_FRAME_COUNT).number, 0);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 4);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IBBP");
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_PAYLOAD).text, "IBBP");
}

TEST(H262Picture, InvalidPictureStructureIsNeitherCountedNorRecorded)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt().gop(1).picture(1).picExt(0).slice().frame(2);
    H262Run run;
    run.feed(es.bytes);
    EXPECT_EQ(run.proc->getFrameCount(), 1);
    EXPECT_EQ(run.proc->getFieldCount(), 0);
    EXPECT_EQ(run.proc->getGopPictureCount(), 1);
}

TEST(H262Captions, A53CcDataSetsTheFlagsOfValidConstructs)
{
    struct Case {
        std::vector<std::pair<int, int>> constructs;
        bool processFlag;
        bool eia608, eia708;
    } cases[] = {
        {{{1, 0}, {1, 2}}, true, true, true},
        {{{1, 1}}, true, true, false},
        {{{1, 3}}, true, false, true},
        {{{0, 0}, {0, 2}}, true, false, false},  // cc_valid clear
        {{{1, 0}, {1, 2}}, false, false, false}, // process_cc_data_flag clear
        {{}, true, false, false},
    };
    for (const auto& c : cases) {
        Es es;
        es.seq(720, 480, 2, 4).seqExt().gop(1).picture(1).picExt(3).captions(c.constructs, c.processFlag).slice();
        for (size_t chunk : {1, 7, 184}) {
            H262Run run;
            run.feed(es.bytes, chunk);
            run.end();
            RecordedEvent cc = run.rec.first(CB_MPEG2TS_CC);
            EXPECT_EQ(cc.pid, kPid);
            EXPECT_EQ(cc.cc.atscEia608, c.eia608) << c.constructs.size() << " chunk " << chunk;
            EXPECT_EQ(cc.cc.atscEia708, c.eia708) << c.constructs.size() << " chunk " << chunk;
            EXPECT_FALSE(cc.cc.scte20 || cc.cc.scte21);
        }
    }
}

TEST(H262Captions, ScteUserData)
{
    Es scte21;
    scte21.seq(720, 480, 2, 4).seqExt().gop(1).picture(1).startCode(0xB2).raw({'G', 'A', '9', '4', 0x04, 0, 0, 0}).slice();
    Es scte20;
    scte20.seq(720, 480, 2, 4).seqExt().gop(1).picture(1).startCode(0xB2).raw({0x03, 0x81, 0, 0, 0, 0, 0}).slice();
    H262Run a;
    a.feed(scte21.bytes);
    a.end();
    EXPECT_TRUE(a.rec.first(CB_MPEG2TS_CC).cc.scte21);
    EXPECT_FALSE(a.rec.first(CB_MPEG2TS_CC).cc.scte20);
    H262Run b;
    b.feed(scte20.bytes);
    b.end();
    EXPECT_TRUE(b.rec.first(CB_MPEG2TS_CC).cc.scte20);
    EXPECT_FALSE(b.rec.first(CB_MPEG2TS_CC).cc.scte21);
}

// Captions reach the report's record through the whole transport path: TS packets, PES
// header gathering, the elementary processor, and the end-of-stream event.
TEST(H262Captions, ThroughTransportPackets)
{
    for (bool withCaptions : {true, false}) {
        Es es;
        es.seq(720, 480, 2, 4).seqExt();
        for (int k = 0; k < 3; k++) {
            es.gop(1).picture(1).picExt(3);
            if (withCaptions)
                es.captions({{1, 0}, {1, 1}});
            es.slice();
        }
        es.sequenceEnd();
        std::vector<unsigned char> pes = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0x80, 0x05,
                                          0x21, 0x00, 0x01, 0x00, 0x01};
        pes.insert(pes.end(), es.bytes.begin(), es.bytes.end());
        EventRecorder rec;
        {
            PesProcessor proc(rec.registry(), kPid, 2);
            int cc = 0;
            for (size_t off = 0; off < pes.size(); off += 184, cc++) {
                size_t n = std::min((size_t)184, pes.size() - off);
                std::vector<unsigned char> p(188, 0xFF);
                p[0] = 0x47;
                p[1] = (unsigned char)((off == 0 ? 0x40 : 0) | (kPid >> 8));
                p[2] = kPid & 0xFF;
                if (n == 184) {
                    p[3] = (unsigned char)(0x10 | (cc & 15));
                } else {
                    p[3] = (unsigned char)(0x30 | (cc & 15));
                    p[4] = (unsigned char)(183 - n);
                    if (p[4])
                        p[5] = 0;
                }
                memcpy(&p[188 - n], &pes[off], n);
                proc.processMpeg2TsPacket(p.data(), 188, cc);
            }
        }
        RecordedEvent cc = rec.first(CB_MPEG2TS_CC);
        EXPECT_EQ(cc.pid, kPid);
        EXPECT_EQ(cc.cc.atscEia608, withCaptions);
        EXPECT_FALSE(cc.cc.atscEia708);
        EXPECT_EQ(rec.first(CB_MPEG2TS_VIDEO_RES).text, "720x480");
        EXPECT_EQ(rec.first(CB_MPEG2TS_PTS_COUNT).number, 1);
    }
}

// The construct check covers the last byte of the last construct: until it is in the
// window, the user data waits (result 2) and nothing is read from beyond the fill level.
TEST(H262Captions, LastConstructByteMustBeInTheWindow)
{
    Es head;
    head.seq(720, 480, 2, 4).seqExt().gop(1).picture(1).picExt(3);
    Es cc;
    cc.captions({{1, 0}, {1, 0}, {1, 2}});
    // Drop the marker byte after the constructs and the last construct byte, then add them.
    std::vector<unsigned char> first(head.bytes);
    first.insert(first.end(), cc.bytes.begin(), cc.bytes.end() - 2);
    std::vector<unsigned char> rest(cc.bytes.end() - 2, cc.bytes.end());
    Es tail;
    tail.slice();
    rest.insert(rest.end(), tail.bytes.begin(), tail.bytes.end());

    H262Run run;
    EXPECT_EQ(run.proc->processRawBuff(first.data(), (long long)first.size()), 2);
    run.proc->processRawBuff(rest.data(), (long long)rest.size());
    EXPECT_TRUE(run.proc->getClosedCaptionInfo().atscEia708);
    EXPECT_TRUE(run.proc->getClosedCaptionInfo().atscEia608);
}

// The window keeps the newest bytes: a pending header stays in reach for any chunk size.
TEST(H262Window, LongChunksAreSlicedSoNoHeaderIsLost)
{
    Es es;
    es.seq(720, 576, 2, 3).seqExt();
    es.bytes.insert(es.bytes.end(), 5000, 0x77);
    es.gopOf("IBBP").gopOf("IBBP").gopOf("IBBP");
    for (size_t chunk : {es.bytes.size(), (size_t)565, (size_t)1000}) {
        H262Run run;
        run.feed(es.bytes, chunk);
        EXPECT_EQ(run.proc->getByteCount(), (long long)es.bytes.size());
        run.end();
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_VIDEO_RES).text, "720x576");
        EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_STRUCT).text, "IBBP") << chunk;
    }
}

TEST(H262Window, StartCodeSearchSkipsAndResumes)
{
    EventRecorder rec;
    H262Processor proc(rec.registry(), kPid);
    // 00 00 at the end of one chunk, 01 B8 at the start of the next.
    unsigned char a[] = {0x12, 0x00, 0x00};
    EXPECT_EQ(proc.processRawBuff(a, sizeof(a)), 1);
    EXPECT_EQ(proc.getSearchPosition(), 0);  // fewer than 4 bytes after it
    unsigned char b[] = {0x01, 0xB8, 0x80, 0x00, 0x08, 0x40, 0x00};
    proc.processRawBuff(b, sizeof(b));
    EXPECT_EQ(rec.count(CB_MPEG2TS_DROP_FRAME), 1);
    EXPECT_EQ(rec.first(CB_MPEG2TS_DROP_FRAME).text, "true");
}

// Noise, truncated headers and every start code value: no crash, no read outside the
// window, and finite bit rates whatever the span.
TEST(H262Damage, RandomAndTruncatedInputStaysSound)
{
    std::mt19937 rng(99);
    std::vector<unsigned char> noise(60000);
    for (size_t i = 0; i < noise.size(); i++) {
        unsigned r = rng() % 16;
        noise[i] = r < 5 ? 0x00 : r < 7 ? 0x01 : r < 8 ? 0xB5 : r < 9 ? 0xB3 : r < 10 ? 0xB2 : (unsigned char)rng();
    }
    // Some well-formed headers with random bodies.
    Es es;
    es.seq(720, 576, 2, 3).seqExt();
    for (int k = 0; k < 200; k++) {
        size_t at = rng() % (noise.size() - 40);
        static const unsigned char codes[] = {0xB3, 0xB5, 0xB8, 0x00, 0xB2, 0xB7, 0x01};
        noise[at] = 0;
        noise[at + 1] = 0;
        noise[at + 2] = 1;
        noise[at + 3] = codes[rng() % sizeof(codes)];
        if (noise[at + 3] == 0xB2) {
            memcpy(&noise[at + 4], "GA94", 4);
            noise[at + 8] = 3;
        }
    }
    es.bytes.insert(es.bytes.end(), noise.begin(), noise.end());
    for (size_t chunk : {1, 2, 3, 5, 183, 184, 188, 367, 600, 70000}) {
        H262Run run;
        run.feed(es.bytes, chunk);
        ASSERT_GE(run.proc->getSearchPosition(), 0);
        ASSERT_LE(run.proc->getSearchPosition(), run.proc->getBufferLevel());
        EXPECT_EQ(run.proc->getByteCount(), (long long)es.bytes.size());
        for (double seconds : {0.0, -1.0, 1e-9, 2.5}) {
            run.proc->calculateBitrateBps(seconds);
            EXPECT_TRUE(std::isfinite(run.proc->getBitrate())) << seconds;
            run.proc->calculateSampleBitrateBps(seconds);
            EXPECT_TRUE(std::isfinite(run.proc->getSampleBitrate())) << seconds;
        }
        run.end();
        for (const auto& e : run.rec.events()) {
            EXPECT_NE(e.text, "<null>");
            EXPECT_TRUE(std::isfinite(e.number));
        }
    }
}

TEST(H262Bitrate, ElementaryBitrateIsZeroWithoutBytesOrSpan)
{
    H262Run run;
    run.proc->calculateBitrateBps(10.0);
    run.end();
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_ELM_STREAM_BITRATE).number, 0.0);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_GOP_SIZE).number, 0);
    EXPECT_EQ(run.rec.first(CB_MPEG2TS_QUAD_BYTE_ALIGNED).text, "true");
}
