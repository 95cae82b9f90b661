#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "callbacks/callbackMappedValue.h"
#include "callbacks/generalCallbacks.h"
#include "callbacks/mpeg2tsCallbacks.h"
#include "engine/korbalt.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "syntax/patTable.h"
#include "syntax/pmtTable.h"

#include "tests/support/testSupport.h"

using testsupport::readFixture;

namespace {

typedef std::unique_ptr<StreamMessage> MsgPtr;
typedef std::pair<std::string, std::string> Entry;

std::vector<MsgPtr> drain(StreamMessagePool& pool)
{
    std::vector<MsgPtr> out;
    while (StreamMessage* m = pool.getUnprocessedMsg())
        out.emplace_back(m);
    return out;
}

MsgPtr takeOne(StreamMessagePool& pool)
{
    std::vector<MsgPtr> all = drain(pool);
    EXPECT_EQ(1u, all.size());
    if (all.empty())
        return MsgPtr();
    return std::move(all.front());
}

const MappedValueList* listOf(const StreamMessage& m)
{
    if (m.getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST)
        return nullptr;
    return static_cast<const MappedValueList*>(m.getMsgData());
}

std::vector<Entry> entries(const StreamMessage& m)
{
    std::vector<Entry> out;
    if (const MappedValueList* l = listOf(m))
        for (const callbackMappedValue& v : *l)
            out.emplace_back(v.m_sName, v.m_sValue);
    return out;
}

std::vector<Entry> childrenOf(const callbackMappedValue& v)
{
    std::vector<Entry> out;
    if (v.m_pChildren)
        for (const callbackMappedValue& c : *v.m_pChildren)
            out.emplace_back(c.m_sName, c.m_sValue);
    return out;
}

const callbackMappedValue& elementAt(const StreamMessage& m, size_t i)
{
    const MappedValueList* l = listOf(m);
    auto it = l->begin();
    std::advance(it, i);
    return *it;
}

// ---------------------------------------------------------------------------
// The event table, written out row by row from the events' definition. Every
// value the code could get wrong in one row (id, description, entry name, kind
// of value, order of the pair) is a column here.

enum Kind { K_TEXT, K_STRING, K_LONG_LONG, K_INT, K_DOUBLE };

struct SimpleRow {
    MsgCallbackFunction fn;
    int id;
    const char* desc;
    const char* entry;
    Kind kind;
    bool pidFirst;
};

const SimpleRow kSimpleRows[] = {
    {Mpeg2TsCallbacks::mpeg2TsVideoCBRCb, 8, "Constant Bitrate", "Constant Bitrate", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsStreamTypeCb, 12, "Stream Type", "Stream Type", K_STRING, false},
    {Mpeg2TsCallbacks::mpeg2TsStreamDescCb, 13, "Stream Desc", "Stream Desc", K_STRING, true},
    {Mpeg2TsCallbacks::mpeg2TsPtsCountCb, 14, "PTS Count", "PTS Count", K_LONG_LONG, true},
    {Mpeg2TsCallbacks::mpeg2TsDtsCountCb, 15, "DTS Count", "DTS Count", K_LONG_LONG, true},
    {Mpeg2TsCallbacks::mpeg2TsVideoResCb, 16, "Video Resolution", "Video Resolution", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsFrameRateCb, 17, "Frame Rate", "Frame Rate", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsDropFrameCb, 18, "DropFrame", "Drop Frame", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsQuadByteAlignedCb, 19, "Quad Byte Aligned", "Quad Byte Aligned", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAspectRatioCb, 20, "Aspect Ratio", "Aspect Ratio", K_DOUBLE, true},
    {Mpeg2TsCallbacks::mpeg2TsSampleAspectRatioCb, 21, "Sample Aspect Ratio", "Sample Aspect Ratio", K_DOUBLE,
     true},
    {Mpeg2TsCallbacks::mpeg2TsProgSequenceCb, 22, "Sequence Type", "Progressive Sequence", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsChromaCb, 23, "Chroma Type", "Chroma", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsProfileAndLevelCb, 24, "Profile And Level", "Profile And Level", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsVbvBuffSizeCb, 25, "VBV Buffer Size", "VBV Buffer Size", K_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsGopPayloadCb, 27, "Gop Payload", "Gop Payload", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsGopStructCb, 28, "Gop Structure", "Gop Structure", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsOpenClosedGopCb, 29, "Open Gop", "Open Gop", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAdaptiveGopCb, 30, "Adaptive Gop", "Adaptive Gop", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsGopSizeCb, 31, "Gop Size", "Gop Size", K_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsFieldCountCb, 32, "Field Count", "Field Count", K_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsFrameCountCb, 33, "Frame Count", "Frame Count", K_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3AudioCodingModeCb, 37, "Audio Mode", "Audio Mode", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3ChOrderingCb, 38, "Channel Ordering", "Channel Ordering", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3StreamModeCb, 39, "Stream Mode", "Stream Mode", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3NUmberOfChannelsCb, 40, "Number Of Channels", "Number Of Channels", K_INT,
     true},
    {Mpeg2TsCallbacks::mpeg2TsMpegAudioLayerCb, 41, "Audio Layer", "Audio Layer", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsMpegAudioModeCb, 44, "Audio Mode", "Audio Mode", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacAudioLayerCb, 45, "Audio Layer", "Audio Layer", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacAudioProfileCb, 46, "Audio Profile", "Audio Profile", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacNumberOfChannels, 48, "Number Of Channels", "Number Of Channels", K_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacAudioBitrate, 49, "Audio Bitrate", "Audio Bitrate", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacAudioMode, 50, "Audio Mode", "Audio Mode", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioNumOfChCb, 52, "Number of channels", "Number of channels", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioChanIdCb, 53, "Channel Id", "Channel Id", K_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioMode, 56, "Audio Mode", "Audio Mode", K_TEXT, true},
};

// Fires one simple row with a value chosen per kind so that reading the slot as
// any other kind gives a different text; returns the text it must produce.
std::string fireSimple(const SimpleRow& row, int pid, StreamMessagePool* pool)
{
    char text[64];
    snprintf(text, sizeof(text), "text-of-%d", row.id);
    std::string str = std::string("string-of-") + std::to_string(row.id);
    long long ll = 5000000000LL + row.id;  // beyond 32 bits
    int i = -48000 - row.id;
    double d = 1.7777;

    PidValueInfo info;
    info.pid = pid;
    std::string expected;
    switch (row.kind) {
    case K_TEXT:
        info.value = text;
        expected = text;
        break;
    case K_STRING:
        info.value = &str;
        expected = str;
        break;
    case K_LONG_LONG:
        info.value = &ll;
        expected = std::to_string(ll);
        break;
    case K_INT:
        info.value = &i;
        expected = std::to_string(i);
        break;
    case K_DOUBLE:
        info.value = &d;
        expected = "1.78";
        break;
    }
    row.fn(&info, pool);
    // The callback must have copied everything it keeps.
    memset(text, 'X', sizeof(text) - 1);
    str.assign("overwritten");
    ll = 0;
    i = 0;
    d = 0;
    return expected;
}

TEST(CbSimpleValues, EveryRowMatchesTheEventTable)
{
    std::set<int> ids;
    for (const SimpleRow& row : kSimpleRows) {
        SCOPED_TRACE(std::string("event ") + std::to_string(row.id) + " " + row.desc);
        ids.insert(row.id);
        StreamMessagePool pool;
        std::string expected = fireSimple(row, 481, &pool);
        MsgPtr m = takeOne(pool);
        ASSERT_TRUE(m);
        EXPECT_EQ(row.id, m->getCallbackId());
        EXPECT_EQ(std::string(row.desc), m->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
        EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, m->getPayloadType());
        EXPECT_EQ(0, m->getMsgCount());
        std::vector<Entry> want;
        if (row.pidFirst)
            want = {{"Pid", "481"}, {row.entry, expected}};
        else
            want = {{row.entry, expected}, {"Pid", "481"}};
        EXPECT_EQ(want, entries(*m));
        for (const callbackMappedValue& v : *listOf(*m))
            EXPECT_EQ(nullptr, v.m_pChildren);
    }
    // Exactly the events of this family, each once.
    const std::set<int> family = {8,  12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 27, 28, 29,
                                  30, 31, 32, 33, 37, 38, 39, 40, 41, 44, 45, 46, 48, 49, 50, 52, 53, 56};
    EXPECT_EQ(family, ids);
    EXPECT_EQ(36u, sizeof(kSimpleRows) / sizeof(kSimpleRows[0]));
}

TEST(CbSimpleValues, NumberFormats)
{
    StreamMessagePool pool;
    struct {
        double v;
        const char* text;
    } doubles[] = {{1.3333, "1.33"}, {1.0, "1.00"}, {1.7777, "1.78"}, {0.0, "0.00"}, {2.5, "2.50"},
                   {1234.5, "1234.50"}};
    for (auto& c : doubles) {
        PidValueInfo info{68, &c.v};
        Mpeg2TsCallbacks::mpeg2TsAspectRatioCb(&info, &pool);
        MsgPtr m = takeOne(pool);
        EXPECT_EQ(c.text, entries(*m)[1].second);
    }
    long long big = (1LL << 32) + 7;
    PidValueInfo info{0, &big};
    Mpeg2TsCallbacks::mpeg2TsPtsCountCb(&info, &pool);
    EXPECT_EQ("4294967303", entries(*takeOne(pool))[1].second);
    int neg = -5;
    info = {0x1FFF, &neg};
    Mpeg2TsCallbacks::mpeg2TsGopSizeCb(&info, &pool);
    std::vector<Entry> e = entries(*takeOne(pool));
    EXPECT_EQ(Entry("Pid", "8191"), e[0]);
    EXPECT_EQ(Entry("Gop Size", "-5"), e[1]);
}

TEST(CbSimpleValues, NullValuesGiveEmptyEntries)
{
    StreamMessagePool pool;
    PidValueInfo info{33, nullptr};
    Mpeg2TsCallbacks::mpeg2TsVideoResCb(&info, &pool);       // text
    Mpeg2TsCallbacks::mpeg2TsStreamTypeCb(&info, &pool);     // std::string
    Mpeg2TsCallbacks::mpeg2TsGopSizeCb(&info, &pool);        // int
    Mpeg2TsCallbacks::mpeg2TsAspectRatioCb(&info, &pool);    // double
    Mpeg2TsCallbacks::mpeg2TsDtsCountCb(&info, &pool);       // long long
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(5u, all.size());
    EXPECT_EQ((std::vector<Entry>{{"Pid", "33"}, {"Video Resolution", ""}}), entries(*all[0]));
    EXPECT_EQ((std::vector<Entry>{{"Stream Type", ""}, {"Pid", "33"}}), entries(*all[1]));
    EXPECT_EQ((std::vector<Entry>{{"Pid", "33"}, {"Gop Size", ""}}), entries(*all[2]));
    EXPECT_EQ((std::vector<Entry>{{"Pid", "33"}, {"Aspect Ratio", ""}}), entries(*all[3]));
    EXPECT_EQ((std::vector<Entry>{{"Pid", "33"}, {"DTS Count", ""}}), entries(*all[4]));
    // A null payload sends nothing and touches nothing.
    Mpeg2TsCallbacks::mpeg2TsVideoResCb(nullptr, &pool);
    EXPECT_TRUE(drain(pool).empty());
}

// ---------------------------------------------------------------------------

enum UKind { U_DOUBLE, U_INT, U_TEXT, U_BITRATE_TEXT };

struct UnitsRow {
    MsgCallbackFunction fn;
    int id;
    const char* desc;
    const char* entry;
    UKind kind;
    bool withPid;
};

const UnitsRow kUnitsRows[] = {
    {Mpeg2TsCallbacks::mpeg2TsMuxBitrateCb, 7, "Mux Bitrate", "MuxBitrate", U_DOUBLE, false},
    {Mpeg2TsCallbacks::mpeg2TranspBitrateCb, 9, "TransportBitrate", "TransportBitrate", U_DOUBLE, true},
    {Mpeg2TsCallbacks::mpeg2PesStreamBitrateCb, 10, "PESBitrate", "PESBitrate", U_DOUBLE, true},
    {Mpeg2TsCallbacks::mpeg2ElmStreamBitrateCb, 11, "ElementaryBitrate", "ElementaryBitrate", U_DOUBLE, true},
    {Mpeg2TsCallbacks::mpeg2TsBitrateCb, 26, "Video Bitrate", "Video Bitrate", U_INT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3SamplingRateCb, 35, "Sampling Rate", "Sampling Rate", U_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAc3BitrateCb, 36, "Audio Bitrate", "Audio Bitrate", U_BITRATE_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb, 42, "Audio Bitrate", "Audio Bitrate", U_BITRATE_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsMpegAudioSamplingFreqCb, 43, "Sampling Rate", "Sampling Rate", U_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsAacAudioSamplingFreqCb, 47, "Sampling Rate", "Sampling Rate", U_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioFreqCb, 51, "Sampling Rate", "Sampling Rate", U_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioBitPerSampleCb, 54, "Bits Per Sample", "Bits Per Sample", U_TEXT, true},
    {Mpeg2TsCallbacks::mpeg2TsPcmAudioBitrate, 55, "Audio Bitrate", "Audio Bitrate", U_INT, true},
};

TEST(CbValueUnits, EveryRowMatchesTheEventTable)
{
    std::set<int> ids;
    for (const UnitsRow& row : kUnitsRows) {
        SCOPED_TRACE(std::string("event ") + std::to_string(row.id) + " " + row.desc);
        ids.insert(row.id);
        double d = 1.006;
        int i = 48000 + row.id;
        char text[32];
        snprintf(text, sizeof(text), "%d", 44100 + row.id);
        char units[32];
        snprintf(units, sizeof(units), "units-%d", row.id);
        std::string expected;
        ValueUnitsInfo info;
        info.pid = 481;
        info.units = units;
        switch (row.kind) {
        case U_DOUBLE:
            info.value = &d;
            expected = "1.01";
            break;
        case U_INT:
            info.value = &i;
            expected = std::to_string(i) + ".00";
            break;
        case U_TEXT:
            info.value = text;
            expected = text;
            break;
        case U_BITRATE_TEXT:
            info.value = text;
            expected = std::string(text) + ".00";
            break;
        }
        StreamMessagePool pool;
        row.fn(&info, &pool);
        memset(units, 'X', sizeof(units) - 1);
        memset(text, 'Y', sizeof(text) - 1);
        MsgPtr m = takeOne(pool);
        ASSERT_TRUE(m);
        EXPECT_EQ(row.id, m->getCallbackId());
        EXPECT_EQ(std::string(row.desc), m->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
        EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, m->getPayloadType());
        EXPECT_EQ(0, m->getMsgCount());
        std::vector<Entry> want;
        if (row.withPid)
            want.emplace_back("Pid", "481");
        want.emplace_back(row.entry, expected);
        ASSERT_EQ(want, entries(*m));
        if (row.withPid) {
            EXPECT_EQ(nullptr, elementAt(*m, 0).m_pChildren);
        }
        const callbackMappedValue& value = elementAt(*m, want.size() - 1);
        EXPECT_EQ((std::vector<Entry>{{"Units", std::string("units-") + std::to_string(row.id)}}),
                  childrenOf(value));
    }
    const std::set<int> family = {7, 9, 10, 11, 26, 35, 36, 42, 43, 47, 51, 54, 55};
    EXPECT_EQ(family, ids);
}

TEST(CbValueUnits, FixedTwoDecimals)
{
    struct {
        double v;
        const char* text;
    } cases[] = {{0.0, "0.00"}, {2.5, "2.50"}, {1.006, "1.01"}, {38802156.123, "38802156.12"},
                 {1e12, "1000000000000.00"}};
    StreamMessagePool pool;
    for (auto& c : cases) {
        ValueUnitsInfo info{256, &c.v, "bps"};
        Mpeg2TsCallbacks::mpeg2PesStreamBitrateCb(&info, &pool);
        MsgPtr m = takeOne(pool);
        EXPECT_EQ(c.text, entries(*m)[1].second) << c.v;
    }
    int rate = 48000;
    ValueUnitsInfo info{256, &rate, "bps"};
    Mpeg2TsCallbacks::mpeg2TsPcmAudioBitrate(&info, &pool);
    EXPECT_EQ("48000.00", entries(*takeOne(pool))[1].second);
}

TEST(CbValueUnits, DotZeroZeroOnlyAfterAnInteger)
{
    struct {
        const char* in;
        const char* out;
    } cases[] = {{"192000", "192000.00"}, {"free", "free"}, {"", ""}, {"128.5", "128.5"},
                 {"64k", "64k"}, {"0", "0.00"}};
    for (auto& c : cases) {
        for (MsgCallbackFunction fn : {Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb,
                                       Mpeg2TsCallbacks::mpeg2TsAc3BitrateCb}) {
            StreamMessagePool pool;
            ValueUnitsInfo info{0x44, const_cast<char*>(c.in), "bps"};
            fn(&info, &pool);
            MsgPtr m = takeOne(pool);
            EXPECT_EQ(c.out, entries(*m)[1].second) << c.in;
        }
    }
    // A sampling rate text is never touched.
    StreamMessagePool pool;
    ValueUnitsInfo info{0x44, const_cast<char*>("48000"), "Hz"};
    Mpeg2TsCallbacks::mpeg2TsMpegAudioSamplingFreqCb(&info, &pool);
    EXPECT_EQ("48000", entries(*takeOne(pool))[1].second);
}

TEST(CbValueUnits, NullTextsEmptyOnlyTheirOwnEntry)
{
    StreamMessagePool pool;
    // Null value: empty value, no ".00", and the Units child keeps its text.
    ValueUnitsInfo info{257, nullptr, "bps"};
    Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb(&info, &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "257"}, {"Audio Bitrate", ""}}), entries(*m));
    EXPECT_EQ((std::vector<Entry>{{"Units", "bps"}}), childrenOf(elementAt(*m, 1)));

    // Null units: the value stays, the Units child is present and empty.
    info = {257, const_cast<char*>("44100"), nullptr};
    Mpeg2TsCallbacks::mpeg2TsAacAudioSamplingFreqCb(&info, &pool);
    m = takeOne(pool);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "257"}, {"Sampling Rate", "44100"}}), entries(*m));
    EXPECT_EQ((std::vector<Entry>{{"Units", ""}}), childrenOf(elementAt(*m, 1)));

    // A bit rate without units ("Variable") is written as AAC's is: no Units child at all.
    info = {257, const_cast<char*>("Variable"), nullptr};
    Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb(&info, &pool);
    m = takeOne(pool);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "257"}, {"Audio Bitrate", "Variable"}}), entries(*m));
    EXPECT_TRUE(childrenOf(elementAt(*m, 1)).empty());

    // A null number pointer is refused as an empty value, not read.
    info = {257, nullptr, "bps"};
    Mpeg2TsCallbacks::mpeg2TsBitrateCb(&info, &pool);
    Mpeg2TsCallbacks::mpeg2TsMuxBitrateCb(&info, &pool);
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ((std::vector<Entry>{{"Pid", "257"}, {"Video Bitrate", ""}}), entries(*all[0]));
    EXPECT_EQ((std::vector<Entry>{{"MuxBitrate", ""}}), entries(*all[1]));
    EXPECT_EQ((std::vector<Entry>{{"Units", "bps"}}), childrenOf(elementAt(*all[1], 0)));
}

// ---------------------------------------------------------------------------
// Builders

TEST(CbBuilders, SendMsgFormatsEachKind)
{
    StreamMessagePool pool;
    std::string video("Video");
    Mpeg2TsCallbacks::MsgParams p[6];
    p[0] = Mpeg2TsCallbacks::MsgParams::makeInt("Pid", 481);
    p[1] = Mpeg2TsCallbacks::MsgParams::makeDouble("Aspect Ratio", 1.7777);
    p[2] = Mpeg2TsCallbacks::MsgParams::makeString("Stream Type", &video);
    p[3] = Mpeg2TsCallbacks::MsgParams::makeLongLong("Count", -9000000000LL);
    p[4] = Mpeg2TsCallbacks::MsgParams::makeText("Text", "abc");
    p[5] = Mpeg2TsCallbacks::MsgParams::makeDouble("Two", 2.0);
    Mpeg2TsCallbacks::sendMsg(CB_MPEG2TS_ASPECT_RATIO, "desc", p, 6, &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
    EXPECT_EQ(CB_MPEG2TS_ASPECT_RATIO, m->getCallbackId());
    EXPECT_EQ("desc", m->getMsgDesc());
    EXPECT_EQ((std::vector<Entry>{{"Pid", "481"},
                                  {"Aspect Ratio", "1.78"},
                                  {"Stream Type", "Video"},
                                  {"Count", "-9000000000"},
                                  {"Text", "abc"},
                                  {"Two", "2.00"}}),
              entries(*m));
}

TEST(CbBuilders, NullTextAndUnknownCodeEmptyOnlyTheirEntry)
{
    StreamMessagePool pool;
    Mpeg2TsCallbacks::MsgParams p[4];
    p[0] = Mpeg2TsCallbacks::MsgParams::makeText("Null", nullptr);
    p[1] = Mpeg2TsCallbacks::MsgParams::makeInt("After", 7);
    p[2] = Mpeg2TsCallbacks::MsgParams::makeInt("Unknown", 5);
    p[2].type = 9;
    p[3] = Mpeg2TsCallbacks::MsgParams::makeDouble("Last", 0.5);
    Mpeg2TsCallbacks::sendMsg(CB_MPEG2TS_VIDEO_RES, "d", p, 4, &pool);
    EXPECT_EQ((std::vector<Entry>{{"Null", ""}, {"After", "7"}, {"Unknown", ""}, {"Last", "0.50"}}),
              entries(*takeOne(pool)));
}

TEST(CbBuilders, EmptyCountsStillSendAMessage)
{
    StreamMessagePool pool;
    Mpeg2TsCallbacks::MsgParams p[1];
    p[0] = Mpeg2TsCallbacks::MsgParams::makeInt("Pid", 1);
    Mpeg2TsCallbacks::sendMsg(CB_MPEG2TS_VIDEO_RES, "zero", p, 0, &pool);
    Mpeg2TsCallbacks::sendMsg(CB_MPEG2TS_VIDEO_RES, "negative", p, -3, &pool);
    Mpeg2TsCallbacks::sendMsg(CB_MPEG2TS_VIDEO_RES, "null", nullptr, 4, &pool);
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(3u, all.size());
    for (const MsgPtr& m : all) {
        ASSERT_NE(nullptr, listOf(*m));
        EXPECT_TRUE(listOf(*m)->empty());
        EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, m->getPayloadType());
    }
}

TEST(CbBuilders, SendErrMsgKeepsDefaultDoubleNotation)
{
    StreamMessagePool pool;
    Mpeg2TsCallbacks::MsgParams p[3];
    p[0] = Mpeg2TsCallbacks::MsgParams::makeDouble("a", 2.0);
    p[1] = Mpeg2TsCallbacks::MsgParams::makeDouble("b", 1234.5);
    p[2] = Mpeg2TsCallbacks::MsgParams::makeDouble("c", 1234567.0);
    Mpeg2TsCallbacks::sendErrMsg(CB_MPEG2TS_ASPECT_RATIO, "err", p, 3, &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ(MSG_TYPE_ERROR, m->getMsgType());
    EXPECT_EQ((std::vector<Entry>{{"a", "2"}, {"b", "1234.5"}, {"c", "1.23457e+06"}}), entries(*m));
}

TEST(CbBuilders, SendPairBuildsPidPairs)
{
    MappedValueList list;
    Mpeg2TsCallbacks::sendPair(&list, 0, "Transport Stream Id", "1");
    ASSERT_EQ(2u, list.size());
    Mpeg2TsCallbacks::sendPair(&list, 0, "b", "2");
    Mpeg2TsCallbacks::sendPair(&list, -1, "c", "3");
    std::vector<Entry> got;
    for (auto& v : list)
        got.emplace_back(v.m_sName, v.m_sValue);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "0"}, {"Transport Stream Id", "1"}, {"Pid", "0"}, {"b", "2"},
                                  {"Pid", "-1"}, {"c", "3"}}),
              got);

    // The node form copies deeply; the caller's node stays its own.
    MappedValueList list2;
    {
        callbackMappedValue node("Tag", "0xa");
        node.m_pChildren = new MappedValueList();
        node.m_pChildren->push_back(callbackMappedValue("Desc", "ISO 639 Language Descriptor"));
        node.m_pChildren->push_back(callbackMappedValue("Descriptor Payload", "0x65 "));
        Mpeg2TsCallbacks::sendPair(&list2, 100, node);
        ASSERT_EQ(2u, list2.size());
        EXPECT_NE(node.m_pChildren, list2.back().m_pChildren);
        EXPECT_EQ(2u, node.m_pChildren->size());
    }
    EXPECT_EQ("Pid", list2.front().m_sName);
    EXPECT_EQ("100", list2.front().m_sValue);
    EXPECT_EQ(nullptr, list2.front().m_pChildren);
    EXPECT_EQ((std::vector<Entry>{{"Desc", "ISO 639 Language Descriptor"}, {"Descriptor Payload", "0x65 "}}),
              childrenOf(list2.back()));
}

// ---------------------------------------------------------------------------
// Packet events, duration, closed captions

struct PacketRow {
    MsgCallbackFunction fn;
    int id;
    const char* desc;
    _MessageType type;
};

const PacketRow kPacketRows[] = {
    {Mpeg2TsCallbacks::mpeg2TsSplicePointFlagInfoCb, 58, "Splice Point Flag", MSG_TYPE_WARNING},
    {Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb, 59, "PCR Rollover", MSG_TYPE_WARNING},
    {Mpeg2TsCallbacks::mpeg2TsContinuityError, 60, "Continuity Error", MSG_TYPE_ERROR},
    {Mpeg2TsCallbacks::mpeg2TsReservedBitsError, 61, "Reserved Bits Error", MSG_TYPE_ERROR},
    {Mpeg2TsCallbacks::mpeg2TsSyncLoss, 65, "Sync Loss", MSG_TYPE_ERROR},
    {Mpeg2TsCallbacks::mpeg2TsInputGap, 66, "Input Gap", MSG_TYPE_ERROR},
    {Mpeg2TsCallbacks::mpeg2TsDatagramCut, 67, "Datagram Cut", MSG_TYPE_ERROR},
};

TEST(CbPacketEvents, EachEventIsItsWarningOrError)
{
    for (const PacketRow& row : kPacketRows) {
        SCOPED_TRACE(row.desc);
        char text[256];
        snprintf(text, sizeof(text), "Old counter is %d New Counter is %d", 3, 5);
        PacketEventInfo info{256, text, (uint64_t(1) << 32) + 12345};
        StreamMessagePool pool;
        row.fn(&info, &pool);
        // The processor reuses its buffer and record right away.
        memset(text, 0, sizeof(text));
        info.pid = 1;
        info.packetNumber = 0;
        MsgPtr m = takeOne(pool);
        ASSERT_TRUE(m);
        EXPECT_EQ(row.id, m->getCallbackId());
        EXPECT_EQ(row.desc, m->getMsgDesc());
        EXPECT_EQ(row.type, m->getMsgType());
        EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, m->getPayloadType());
        ASSERT_EQ((std::vector<Entry>{{"Pid", "256"}, {"Pid", "256"}}), entries(*m));
        EXPECT_EQ(nullptr, elementAt(*m, 0).m_pChildren);
        EXPECT_EQ((std::vector<Entry>{{"Packet", "4294979641"},
                                      {"Type", row.desc},
                                      {"Description", "Old counter is 3 New Counter is 5"}}),
                  childrenOf(elementAt(*m, 1)));
    }
}

TEST(CbPacketEvents, NullTextAndHugePacketNumbers)
{
    StreamMessagePool pool;
    PacketEventInfo info{256, nullptr, 12345};
    Mpeg2TsCallbacks::sendPacketMsg(CB_MPEG2TS_PCR_ROLL_OVER, "PCR Rollover", &info, MSG_TYPE_WARNING, &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ(MSG_TYPE_WARNING, m->getMsgType());
    EXPECT_EQ((std::vector<Entry>{{"Packet", "12345"}, {"Type", "PCR Rollover"}, {"Description", ""}}),
              childrenOf(elementAt(*m, 1)));

    info = {0x1FFE, const_cast<char*>("x"), UINT64_MAX};
    Mpeg2TsCallbacks::mpeg2TsContinuityError(&info, &pool);
    m = takeOne(pool);
    EXPECT_EQ((std::vector<Entry>{{"Packet", "18446744073709551615"}, {"Type", "Continuity Error"},
                                  {"Description", "x"}}),
              childrenOf(elementAt(*m, 1)));
    EXPECT_EQ("8190", entries(*m)[0].second);

    Mpeg2TsCallbacks::mpeg2TsReservedBitsError(nullptr, &pool);
    EXPECT_TRUE(drain(pool).empty());
}

// A message the report handed back is filled again: nothing of its earlier event may
// show through (type, id, description, a longer text, a text now null). A message of
// another shape is not reused. Once the pool summarizes errors, later errors of a PID
// that already had its message are only counted.
TEST(CbPacketEvents, RecycledMessagesCarryNothingOverAndSummarizedOnesAreCounted)
{
    StreamMessagePool pool;
    char text[] = "The 5 reserved bits after the seamless_splice_flag have the value '0x1e'";
    PacketEventInfo info{481, text, 123456789};
    Mpeg2TsCallbacks::mpeg2TsReservedBitsError(&info, &pool);
    StreamMessage* used = pool.getUnprocessedMsg();
    ASSERT_NE(nullptr, used);
    ASSERT_TRUE(pool.recycleMsg(used));
    PacketEventInfo next{7, nullptr, 5};
    Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb(&next, &pool);
    MsgPtr m = takeOne(pool);
    ASSERT_TRUE(m);
    EXPECT_EQ(used, m.get());  // the same message, filled again
    EXPECT_EQ(CB_MPEG2TS_PCR_ROLL_OVER, m->getCallbackId());
    EXPECT_EQ("PCR Rollover", m->getMsgDesc());
    EXPECT_EQ(MSG_TYPE_WARNING, m->getMsgType());
    ASSERT_EQ((std::vector<Entry>{{"Pid", "7"}, {"Pid", "7"}}), entries(*m));
    EXPECT_EQ((std::vector<Entry>{{"Packet", "5"}, {"Type", "PCR Rollover"}, {"Description", ""}}),
              childrenOf(elementAt(*m, 1)));

    StreamMessage* other = new StreamMessage();
    MappedValueList* list = new MappedValueList;
    list->push_back(callbackMappedValue("Pid", "7"));
    list->push_back(callbackMappedValue("Frame Rate", "25"));
    other->setMsgData(list, PAYLOAD_TYPE_MAPPED_LIST, 0);
    ASSERT_TRUE(pool.recycleMsg(other));
    Mpeg2TsCallbacks::mpeg2TsContinuityError(&next, &pool);
    m = takeOne(pool);
    ASSERT_TRUE(m);
    EXPECT_EQ((std::vector<Entry>{{"Packet", "5"}, {"Type", "Continuity Error"}, {"Description", ""}}),
              childrenOf(elementAt(*m, 1)));

    pool.summarize(MSG_TYPE_ERROR);
    Mpeg2TsCallbacks::mpeg2TsContinuityError(&next, &pool);  // PID 7 had its message
    EXPECT_TRUE(drain(pool).empty());
    next.pid = 8;
    Mpeg2TsCallbacks::mpeg2TsContinuityError(&next, &pool);  // the first of PID 8 still comes
    EXPECT_EQ(1u, drain(pool).size());
    Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb(&next, &pool);  // warnings are not summarized
    EXPECT_EQ(1u, drain(pool).size());
    EXPECT_EQ(1u, pool.countedOfPid(MSG_TYPE_ERROR, 7));
    EXPECT_EQ(1u, pool.countedOfId(CB_MPEG2TS_CONTINUITY_ERROR));
}

TEST(CbDuration, WordsAreCopied)
{
    StreamMessagePool pool;
    DurationInfo d{1, 2, 3, 1};
    Mpeg2TsCallbacks::mpeg2TsDurationCb(&d, &pool);
    d = {9, 9, 9, 0};
    Mpeg2TsCallbacks::mpeg2TsDurationCb(&d, &pool);
    d = {0, 0, 0, 0};
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(2u, all.size());
    const int32_t want[2][4] = {{1, 2, 3, 1}, {9, 9, 9, 0}};
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(CB_MPEG2TS_DURATION, all[k]->getCallbackId());
        EXPECT_EQ("Asset Duration", all[k]->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, all[k]->getMsgType());
        EXPECT_EQ(PAYLOAD_TYPE_4BYTE_ARRAY, all[k]->getPayloadType());
        ASSERT_EQ(4, all[k]->getMsgCount());
        const int32_t* w = static_cast<const int32_t*>(all[k]->getMsgData());
        ASSERT_NE(static_cast<const void*>(&d), static_cast<const void*>(w));
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(want[k][j], w[j]);
    }
    // A copy of the message owns its own array.
    StreamMessage copy(*all[0]);
    all.clear();
    EXPECT_EQ(3, static_cast<const int32_t*>(copy.getMsgData())[2]);
}

TEST(CbDuration, PcrBitrateDataPoint)
{
    StreamMessagePool pool;
    PcrBitrateDataPoint p{123456, 3800};
    Mpeg2TsCallbacks::mpeg2TsPcrBitrateDataPointCb(&p, &pool);
    p = {0, 0};
    MsgPtr m = takeOne(pool);
    EXPECT_EQ(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, m->getCallbackId());
    EXPECT_EQ("PCR Incremental Bitrate", m->getMsgDesc());
    ASSERT_EQ(2, m->getMsgCount());
    EXPECT_EQ(PAYLOAD_TYPE_4BYTE_ARRAY, m->getPayloadType());
    EXPECT_EQ(123456, static_cast<const int32_t*>(m->getMsgData())[0]);
    EXPECT_EQ(3800, static_cast<const int32_t*>(m->getMsgData())[1]);
}

TEST(CbClosedCaptions, FlagsInOrder)
{
    struct {
        bool f608, f708, s20, s21;
        const char* any;
    } cases[] = {{false, false, false, false, "false"}, {false, false, false, true, "true"},
                 {true, false, false, false, "true"},   {false, true, true, false, "true"},
                 {true, true, true, true, "true"}};
    auto tf = [](bool b) { return std::string(b ? "true" : "false"); };
    for (auto& c : cases) {
        StreamMessagePool pool;
        ClosedCaptionInfo info{0x31, c.f608, c.f708, c.s20, c.s21};
        Mpeg2TsCallbacks::mpeg2TsCc(&info, &pool);
        MsgPtr m = takeOne(pool);
        EXPECT_EQ(CB_MPEG2TS_CC, m->getCallbackId());
        EXPECT_EQ("Closed Captions", m->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
        EXPECT_EQ((std::vector<Entry>{{"Pid", "49"},
                                      {"ClosedCaptions", c.any},
                                      {"Pid", "49"},
                                      {"AtscEia608", tf(c.f608)},
                                      {"Pid", "49"},
                                      {"AtscEia708", tf(c.f708)},
                                      {"Pid", "49"},
                                      {"Scte20", tf(c.s20)},
                                      {"Pid", "49"},
                                      {"Scte21", tf(c.s21)}}),
                  entries(*m));
    }
}

// ---------------------------------------------------------------------------
// General callbacks

TEST(CbGeneral, TransportTypeCopiesTheName)
{
    StreamMessagePool pool;
    std::string name("MPEG2 transport");
    GeneralCallbacks::transportTypeCb(&name, &pool);
    name = "changed";
    GeneralCallbacks::transportTypeCb(nullptr, &pool);
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ("MPEG2 transport", all[0]->getMsgDesc());
    EXPECT_EQ(CB_TRANSPORT_TYPE, all[0]->getCallbackId());
    EXPECT_EQ(MSG_TYPE_INFO, all[0]->getMsgType());
    EXPECT_EQ(PAYLOAD_TYPE_NONE, all[0]->getPayloadType());
    EXPECT_EQ(nullptr, all[0]->getMsgData());
    EXPECT_EQ("", all[1]->getMsgDesc());
}

TEST(CbGeneral, PercentCompleteKeepsThePointerValue)
{
    StreamMessagePool pool;
    GeneralCallbacks::percentCompleteCb(reinterpret_cast<void*>(intptr_t(37)), &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ("Percent Complete", m->getMsgDesc());
    EXPECT_EQ(CB_PERCENT_COMPLETE, m->getCallbackId());
    EXPECT_EQ(PAYLOAD_TYPE_INT32_ARRAY, m->getPayloadType());
    EXPECT_EQ(0, m->getMsgCount());
    EXPECT_EQ(37, static_cast<int>(reinterpret_cast<intptr_t>(m->getMsgData())));
    // Deleting (the unique_ptr) must not free the non-pointer; the sanitizer build
    // would report it.
}

TEST(CbGeneral, AnalysisCompleteAndStatusAliveCarryNoData)
{
    StreamMessagePool pool;
    GeneralCallbacks::analysisCompleteCb(nullptr, &pool);
    GeneralCallbacks::resetStatusAliveClock();
    GeneralCallbacks::statusAliveCb(nullptr, &pool);
    std::vector<MsgPtr> all = drain(pool);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ(CB_ANALYSIS_COMPLETE, all[0]->getCallbackId());
    EXPECT_EQ("", all[0]->getMsgDesc());
    EXPECT_EQ(CB_STATUS_ALIVE, all[1]->getCallbackId());
    EXPECT_EQ("Status Alive", all[1]->getMsgDesc());
    EXPECT_EQ(MSG_TYPE_INFO, all[1]->getMsgType());
    EXPECT_EQ(PAYLOAD_TYPE_NONE, all[1]->getPayloadType());
    EXPECT_EQ(nullptr, all[1]->getMsgData());
}

TEST(CbGeneral, StatusAliveSpacingOnAGivenClock)
{
    GeneralCallbacks::resetStatusAliveClock();
    EXPECT_TRUE(GeneralCallbacks::statusAliveDue(10000));
    EXPECT_FALSE(GeneralCallbacks::statusAliveDue(10000));
    EXPECT_FALSE(GeneralCallbacks::statusAliveDue(10999));
    EXPECT_TRUE(GeneralCallbacks::statusAliveDue(11000));
    EXPECT_FALSE(GeneralCallbacks::statusAliveDue(11500));
    EXPECT_TRUE(GeneralCallbacks::statusAliveDue(12700));
    // A clock that steps back does not silence the heartbeat for good.
    EXPECT_TRUE(GeneralCallbacks::statusAliveDue(500));
    EXPECT_FALSE(GeneralCallbacks::statusAliveDue(600));
    GeneralCallbacks::resetStatusAliveClock();
    EXPECT_TRUE(GeneralCallbacks::statusAliveDue(600));
    GeneralCallbacks::resetStatusAliveClock();
}

TEST(CbGeneral, StatusAliveAtMostOnePerSecondThroughTheRegistry)
{
    GeneralCallbacks::resetStatusAliveClock();
    MsgCallback registry;
    registry.registerMsgCallback(CB_STATUS_ALIVE, GeneralCallbacks::statusAliveCb, true);
    // A per-packet heartbeat: tens of thousands of firings in well under a second.
    for (int i = 0; i < 50000; ++i)
        registry.callMsgCallback(CB_STATUS_ALIVE, nullptr);
    std::vector<MsgPtr> all = drain(*registry.getMsgPool());
    EXPECT_EQ(1u, all.size());
    GeneralCallbacks::resetStatusAliveClock();
}

// ---------------------------------------------------------------------------
// Registry

TEST(CbRegistry, OneShotAndRepeatingCallbacks)
{
    MsgCallback registry;
    registry.registerMsgCallback(CB_MPEG2TS_VIDEO_RES, Mpeg2TsCallbacks::mpeg2TsVideoResCb, false);
    registry.registerMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR, Mpeg2TsCallbacks::mpeg2TsContinuityError, true);
    PidValueInfo res{481, const_cast<char*>("720x576")};
    PacketEventInfo ev{481, const_cast<char*>("Old counter is 1 New Counter is 3"), 10};
    for (int i = 0; i < 3; ++i) {
        registry.callMsgCallback(CB_MPEG2TS_VIDEO_RES, &res);
        registry.callMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR, &ev);
    }
    std::vector<MsgPtr> all = drain(*registry.getMsgPool());
    int resCount = 0, errCount = 0;
    for (const MsgPtr& m : all) {
        resCount += m->getCallbackId() == CB_MPEG2TS_VIDEO_RES;
        errCount += m->getCallbackId() == CB_MPEG2TS_CONTINUITY_ERROR;
    }
    EXPECT_EQ(1, resCount);
    EXPECT_EQ(3, errCount);
}

// ---------------------------------------------------------------------------
// Mapped values

TEST(CbMappedValue, CopiesAreDeepAndIndependent)
{
    callbackMappedValue plain("a", "1");
    callbackMappedValue plainCopy(plain);
    EXPECT_EQ(nullptr, plainCopy.m_pChildren);

    callbackMappedValue emptyKids("b", "2");
    emptyKids.m_pChildren = new MappedValueList();
    callbackMappedValue emptyCopy(emptyKids);
    ASSERT_NE(nullptr, emptyCopy.m_pChildren);
    EXPECT_NE(emptyKids.m_pChildren, emptyCopy.m_pChildren);
    EXPECT_TRUE(emptyCopy.m_pChildren->empty());

    callbackMappedValue three("c", "3");
    three.m_pChildren = new MappedValueList();
    three.m_pChildren->push_back(callbackMappedValue("x", "1"));
    three.m_pChildren->push_back(callbackMappedValue("y", "2"));
    three.m_pChildren->push_back(callbackMappedValue("z", "3"));
    three.m_pChildren->back().m_pChildren = new MappedValueList(1, callbackMappedValue("deep", "4"));
    {
        callbackMappedValue copy(three);
        EXPECT_EQ(childrenOf(three), childrenOf(copy));
        EXPECT_NE(three.m_pChildren->back().m_pChildren, copy.m_pChildren->back().m_pChildren);
        EXPECT_EQ((std::vector<Entry>{{"deep", "4"}}), childrenOf(copy.m_pChildren->back()));
    }
    EXPECT_EQ((std::vector<Entry>{{"x", "1"}, {"y", "2"}, {"z", "3"}}), childrenOf(three));

    // Assignment replaces (and frees) what the target held.
    callbackMappedValue target("t", "0");
    target.m_pChildren = new MappedValueList(2, callbackMappedValue("old", "old"));
    target = three;
    EXPECT_EQ("c", target.m_sName);
    EXPECT_EQ(childrenOf(three), childrenOf(target));
    EXPECT_NE(three.m_pChildren, target.m_pChildren);
    target = plain;
    EXPECT_EQ(nullptr, target.m_pChildren);
    target = target;
    EXPECT_EQ("a", target.m_sName);
}

TEST(CbMappedValue, MessageCopySurvivesTheOriginal)
{
    StreamMessagePool pool;
    ValueUnitsInfo info{481, const_cast<char*>("48000"), "Hz"};
    Mpeg2TsCallbacks::mpeg2TsAc3SamplingRateCb(&info, &pool);
    MsgPtr m = takeOne(pool);
    StreamMessage copy(*m);
    m.reset();
    EXPECT_EQ((std::vector<Entry>{{"Pid", "481"}, {"Sampling Rate", "48000"}}), entries(copy));
    EXPECT_EQ((std::vector<Entry>{{"Units", "Hz"}}), childrenOf(elementAt(copy, 1)));
}

// ---------------------------------------------------------------------------
// PAT and PMT

// Builds a PAT section (table_id .. CRC) for the given (program, pid) pairs.
std::vector<unsigned char> patSection(int tsid, const std::vector<std::pair<int, int>>& programs)
{
    std::vector<unsigned char> s;
    const int sectionLength = 5 + 4 * static_cast<int>(programs.size()) + 4;
    s = {0x00, static_cast<unsigned char>(0xB0 | (sectionLength >> 8)), static_cast<unsigned char>(sectionLength),
         static_cast<unsigned char>(tsid >> 8), static_cast<unsigned char>(tsid), 0xC1, 0x00, 0x00};
    for (auto& p : programs) {
        s.push_back(static_cast<unsigned char>(p.first >> 8));
        s.push_back(static_cast<unsigned char>(p.first));
        s.push_back(static_cast<unsigned char>(0xE0 | (p.second >> 8)));
        s.push_back(static_cast<unsigned char>(p.second));
    }
    s.insert(s.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    return s;
}

struct EsSpec {
    int type;
    int pid;
    std::vector<unsigned char> descriptors;
};

std::vector<unsigned char> pmtSection(int program, int version, bool current, int pcrPid,
                                      const std::vector<unsigned char>& programDescriptors,
                                      const std::vector<EsSpec>& streams)
{
    std::vector<unsigned char> body;
    body.push_back(static_cast<unsigned char>(program >> 8));
    body.push_back(static_cast<unsigned char>(program));
    body.push_back(static_cast<unsigned char>(0xC0 | (version << 1) | (current ? 1 : 0)));
    body.push_back(0x00);
    body.push_back(0x00);
    body.push_back(static_cast<unsigned char>(0xE0 | (pcrPid >> 8)));
    body.push_back(static_cast<unsigned char>(pcrPid));
    const int pil = static_cast<int>(programDescriptors.size());
    body.push_back(static_cast<unsigned char>(0xF0 | (pil >> 8)));
    body.push_back(static_cast<unsigned char>(pil));
    body.insert(body.end(), programDescriptors.begin(), programDescriptors.end());
    for (const EsSpec& e : streams) {
        const int eil = static_cast<int>(e.descriptors.size());
        body.push_back(static_cast<unsigned char>(e.type));
        body.push_back(static_cast<unsigned char>(0xE0 | (e.pid >> 8)));
        body.push_back(static_cast<unsigned char>(e.pid));
        body.push_back(static_cast<unsigned char>(0xF0 | (eil >> 8)));
        body.push_back(static_cast<unsigned char>(eil));
        body.insert(body.end(), e.descriptors.begin(), e.descriptors.end());
    }
    const int sectionLength = static_cast<int>(body.size()) + 4;
    std::vector<unsigned char> s;
    s.reserve(3 + body.size() + 4);
    s.push_back(0x02);
    s.push_back(static_cast<unsigned char>(0xB0 | (sectionLength >> 8)));
    s.push_back(static_cast<unsigned char>(sectionLength));
    s.insert(s.end(), body.begin(), body.end());
    s.insert(s.end(), {0x12, 0x34, 0x56, 0x78});
    return s;
}

// Entries proper of a pair list (every second element), after checking that each
// pair starts with {"Pid", pid}.
std::vector<Entry> pairEntries(const StreamMessage& m, const std::string& pid)
{
    std::vector<Entry> all = entries(m);
    EXPECT_EQ(0u, all.size() % 2);
    std::vector<Entry> out;
    for (size_t i = 0; i + 1 < all.size(); i += 2) {
        EXPECT_EQ(Entry("Pid", pid), all[i]) << "pair " << i / 2;
        out.push_back(all[i + 1]);
    }
    return out;
}

MsgPtr firePmt(const std::vector<unsigned char>& section, int program, int pid)
{
    PmtTable* pmt = nullptr;
    EXPECT_EQ(0, processPmtPrivateSection(section.data(), static_cast<unsigned int>(section.size()),
                                          static_cast<unsigned int>(program), &pmt));
    if (!pmt)
        return MsgPtr();
    StreamMessagePool pool;
    TableInfo info{pid, pmt};
    Mpeg2TsCallbacks::mpeg2TsPmtCb(&info, &pool);
    cleanPmtTable(&pmt);
    return takeOne(pool);
}

void expectBalanced(const std::vector<Entry>& e)
{
    std::vector<std::string> open;
    for (const Entry& x : e) {
        const std::string& n = x.first;
        if (n.size() > 6 && n.compare(n.size() - 6, 6, " Start") == 0) {
            open.push_back(n.substr(0, n.size() - 6));
        } else if (n.size() > 4 && n.compare(n.size() - 4, 4, " End") == 0) {
            ASSERT_FALSE(open.empty()) << n;
            EXPECT_EQ(open.back(), n.substr(0, n.size() - 4));
            open.pop_back();
        }
    }
    EXPECT_TRUE(open.empty());
}

TEST(CbPat, EmptyProgramList)
{
    PatTable pat;
    memset(&pat, 0, sizeof(pat));
    pat.transport_stream_id = 1;
    StreamMessagePool pool;
    TableInfo info{0, &pat};
    Mpeg2TsCallbacks::mpeg2TsPatCb(&info, &pool);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ(CB_MPEG2TS_PAT, m->getCallbackId());
    EXPECT_EQ("PAT Table", m->getMsgDesc());
    EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
    EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, m->getPayloadType());
    EXPECT_EQ((std::vector<Entry>{{"Pid", "0"}, {"Pid", "0"}, {"Pid", "0"}, {"Transport Stream Id", "1"}}),
              entries(*m));
}

TEST(CbPat, ProgramsLastFirst)
{
    std::vector<unsigned char> s = patSection(0x1234, {{0, 16}, {1, 256}, {2, 512}});
    PatTable pat;
    memset(&pat, 0, sizeof(pat));
    ASSERT_EQ(0, fillPatTable(s.data(), &pat, static_cast<unsigned int>(s.size())));
    StreamMessagePool pool;
    TableInfo info{0, &pat};
    Mpeg2TsCallbacks::mpeg2TsPatCb(&info, &pool);
    ASSERT_EQ(3, pat.entryCount);  // the callback reads, never changes, the table
    cleanPatTable(&pat);
    MsgPtr m = takeOne(pool);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "0"},
                                  {"Transport Stream Id", "4660"},
                                  {"Program PID", "512"},
                                  {"Program Number", "2"},
                                  {"Program PID", "256"},
                                  {"Program Number", "1"},
                                  {"Program PID", "16"},
                                  {"Program Number", "0"}}),
              pairEntries(*m, "0"));
}

TEST(CbPmt, NoDescriptorsNoElements)
{
    MsgPtr m = firePmt(pmtSection(1, 3, true, 481, {}, {}), 1, 4096);
    ASSERT_TRUE(m);
    EXPECT_EQ(CB_MPEG2TS_PMT, m->getCallbackId());
    EXPECT_EQ("PMT Table", m->getMsgDesc());
    EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
    EXPECT_EQ((std::vector<Entry>{{"Pid", "4096"},
                                  {"ProgramNumber", "1"},
                                  {"VersionNumber", "3"},
                                  {"ValidPmt", "true"},
                                  {"PcrPid", "481"},
                                  {"Elements Start", "Elements"},
                                  {"Elements End", ""}}),
              pairEntries(*m, "4096"));
}

TEST(CbPmt, StreamsWithoutDescriptors)
{
    MsgPtr m = firePmt(pmtSection(2, 0, false, 256, {}, {{0x1B, 256, {}}, {0x81, 257, {}}}), 2, 32);
    ASSERT_TRUE(m);
    std::vector<Entry> e = pairEntries(*m, "32");
    EXPECT_EQ((std::vector<Entry>{{"Pid", "32"},
                                  {"ProgramNumber", "2"},
                                  {"VersionNumber", "0"},
                                  {"ValidPmt", "false"},
                                  {"PcrPid", "256"},
                                  {"Elements Start", "Elements"},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x1b"},
                                  {"Pid", "256"},
                                  {"Stream End", ""},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x81"},
                                  {"Pid", "257"},
                                  {"Stream End", ""},
                                  {"Elements End", ""}}),
              e);
    expectBalanced(e);
    // The stream type's Desc child.
    const callbackMappedValue& t1 = elementAt(*m, 2 * 7 + 1);
    const callbackMappedValue& t2 = elementAt(*m, 2 * 11 + 1);
    EXPECT_EQ((std::vector<Entry>{{"Desc", "ITU-T Rec. H.264 | ISO/IEC 14496-10 AVC video stream"}}),
              childrenOf(t1));
    EXPECT_EQ((std::vector<Entry>{{"Desc", "AC3"}}), childrenOf(t2));
    // The "Pid" partner entries carry no children.
    EXPECT_EQ(nullptr, elementAt(*m, 2 * 7).m_pChildren);
}

TEST(CbPmt, ProgramAndElementDescriptors)
{
    const std::vector<unsigned char> progDesc = {0x0A, 0x04, 'e', 'n', 'g', 0x00,   // ISO 639
                                                 0x05, 0x04, 'A', 'C', '-', '3',    // registration
                                                 0xA2, 0x00};                       // empty payload
    const std::vector<unsigned char> esDesc = {0x52, 0x01, 0xFF, 0x0A, 0x02, 0x80, 0x0F};
    MsgPtr m = firePmt(pmtSection(1, 31, true, 0x1FFF, progDesc, {{0x02, 0x100, esDesc}, {0x04, 0x101, {}}}), 1,
                       0x1000);
    ASSERT_TRUE(m);
    std::vector<Entry> e = pairEntries(*m, "4096");
    EXPECT_EQ((std::vector<Entry>{{"Pid", "4096"},
                                  {"ProgramNumber", "1"},
                                  {"VersionNumber", "31"},
                                  {"ValidPmt", "true"},
                                  {"PcrPid", "8191"},
                                  {"Outer Descriptor Loop Start", "Outer Descriptor Loop"},
                                  {"Tag", "0xa"},
                                  {"Tag", "0x5"},
                                  {"Tag", "0xa2"},
                                  {"Outer Descriptor Loop End", ""},
                                  {"Elements Start", "Elements"},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x2"},
                                  {"Pid", "256"},
                                  {"Inner Descriptor Loop Start", "Inner Descriptor Loop"},
                                  {"  Tag", "0x52"},
                                  {"  Tag", "0xa"},
                                  {"Inner Descriptor Loop End", ""},
                                  {"Stream End", ""},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x4"},
                                  {"Pid", "257"},
                                  {"Stream End", ""},
                                  {"Elements End", ""}}),
              e);
    expectBalanced(e);

    auto kids = [&](size_t entryIndex) { return childrenOf(elementAt(*m, 2 * entryIndex + 1)); };
    EXPECT_EQ((std::vector<Entry>{{"Desc", "ISO 639 Language Descriptor"},
                                  {"Descriptor Payload", "0x65 0x6E 0x67 0x00 "}}),
              kids(6));
    EXPECT_EQ((std::vector<Entry>{{"Desc", "Registration Descriptor"}, {"Descriptor Payload", "0x41 0x43 0x2D 0x33 "}}),
              kids(7));
    EXPECT_EQ((std::vector<Entry>{{"Desc", "ETV Integrated Signaling Descriptor"}, {"Descriptor Payload", ""}}),
              kids(8));
    EXPECT_EQ((std::vector<Entry>{{"Desc", "Reserved or User Private Descriptor"}, {"Descriptor Payload", "0xFF "}}),
              kids(15));
    EXPECT_EQ((std::vector<Entry>{{"Desc", "ISO 639 Language Descriptor"}, {"Descriptor Payload", "0x80 0x0F "}}),
              kids(16));
    // Start, End and the plain entries have no children.
    EXPECT_EQ(nullptr, elementAt(*m, 2 * 5 + 1).m_pChildren);
    EXPECT_EQ(nullptr, elementAt(*m, 2 * 9 + 1).m_pChildren);
}

TEST(CbPmt, LongestDescriptorPayloadIsComplete)
{
    std::vector<unsigned char> d = {0x0F, 0xFF};
    for (int i = 0; i < 255; ++i)
        d.push_back(static_cast<unsigned char>(0xFF - i));
    MsgPtr m = firePmt(pmtSection(1, 0, true, 256, {}, {{0x1B, 256, d}}), 1, 100);
    ASSERT_TRUE(m);
    std::vector<Entry> e = pairEntries(*m, "100");
    ASSERT_EQ(Entry("  Tag", "0xf"), e[10]);
    std::vector<Entry> k = childrenOf(elementAt(*m, 2 * 10 + 1));
    ASSERT_EQ(2u, k.size());
    const std::string& text = k[1].second;
    ASSERT_EQ(1275u, text.size());
    EXPECT_EQ("0xFF 0xFE ", text.substr(0, 10));
    EXPECT_EQ("0x01 ", text.substr(1270));
    EXPECT_EQ(Entry("Inner Descriptor Loop End", ""), e[11]);
}

// A table whose descriptor claims more bytes than its loop holds (built by hand,
// as a damaged stream could make it): nothing outside the loop is read or printed.
TEST(CbPmt, DescriptorOverrunningItsLoopIsNotRead)
{
    // Exactly sized heap buffers so the sanitizer build sees any overrun.
    std::unique_ptr<unsigned char[]> prog(new unsigned char[4]{0x0A, 0x10, 'a', 'b'});
    std::unique_ptr<unsigned char[]> es(new unsigned char[5]{0x05, 0x01, 0x7F, 0x0A, 0x09});
    ProgElement element;
    memset(&element, 0, sizeof(element));
    element.stream_type = 0x03;
    element.elementary_PID = 300;
    element.ES_info_length = 5;
    element.descriptors = es.get();
    PmtTable pmt;
    memset(&pmt, 0, sizeof(pmt));
    pmt.program_number = 1;
    pmt.PCR_PID = 300;
    pmt.current_next_indicator = 1;
    pmt.program_info_length = 4;
    pmt.program_descriptors = prog.get();
    pmt.elements = &element;
    pmt.elementCount = 1;

    StreamMessagePool pool;
    TableInfo info{50, &pmt};
    Mpeg2TsCallbacks::mpeg2TsPmtCb(&info, &pool);
    MsgPtr m = takeOne(pool);
    std::vector<Entry> e = pairEntries(*m, "50");
    EXPECT_EQ((std::vector<Entry>{{"Pid", "50"},
                                  {"ProgramNumber", "1"},
                                  {"VersionNumber", "0"},
                                  {"ValidPmt", "true"},
                                  {"PcrPid", "300"},
                                  {"Outer Descriptor Loop Start", "Outer Descriptor Loop"},
                                  {"Outer Descriptor Loop End", ""},
                                  {"Elements Start", "Elements"},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x3"},
                                  {"Pid", "300"},
                                  {"Inner Descriptor Loop Start", "Inner Descriptor Loop"},
                                  {"  Tag", "0x5"},
                                  {"Inner Descriptor Loop End", ""},
                                  {"Stream End", ""},
                                  {"Elements End", ""}}),
              e);
    EXPECT_EQ((std::vector<Entry>{{"Desc", "Registration Descriptor"}, {"Descriptor Payload", "0x7F "}}),
              childrenOf(elementAt(*m, 2 * 12 + 1)));
}

TEST(CbPmt, NullTableSendsNothing)
{
    StreamMessagePool pool;
    TableInfo info{0, nullptr};
    Mpeg2TsCallbacks::mpeg2TsPatCb(&info, &pool);
    Mpeg2TsCallbacks::mpeg2TsPmtCb(&info, &pool);
    Mpeg2TsCallbacks::mpeg2TsPmtCb(nullptr, &pool);
    EXPECT_TRUE(drain(pool).empty());
}

// ---------------------------------------------------------------------------
// Through the registry with the driver's own registrations

// Fires one event with a payload of the kind that event carries.
void fireWithPayload(MsgCallback& registry, int id)
{
    char text[] = "192000";
    std::string str("Video");
    long long ll = 7;
    int i = 3;
    double d = 1.5;
    for (const SimpleRow& row : kSimpleRows) {
        if (row.id != id)
            continue;
        PidValueInfo info{481, nullptr};
        switch (row.kind) {
        case K_TEXT: info.value = text; break;
        case K_STRING: info.value = &str; break;
        case K_LONG_LONG: info.value = &ll; break;
        case K_INT: info.value = &i; break;
        case K_DOUBLE: info.value = &d; break;
        }
        registry.callMsgCallback(static_cast<_CallbackId>(id), &info);
        return;
    }
    for (const UnitsRow& row : kUnitsRows) {
        if (row.id != id)
            continue;
        ValueUnitsInfo info{481, nullptr, "bps"};
        switch (row.kind) {
        case U_DOUBLE: info.value = &d; break;
        case U_INT: info.value = &i; break;
        case U_TEXT:
        case U_BITRATE_TEXT: info.value = text; break;
        }
        registry.callMsgCallback(static_cast<_CallbackId>(id), &info);
        return;
    }
    PatTable pat;
    memset(&pat, 0, sizeof(pat));
    PmtTable pmt;
    memset(&pmt, 0, sizeof(pmt));
    DurationInfo duration{0, 1, 2, 1};
    ClosedCaptionInfo cc{481, true, false, false, false};
    PacketEventInfo packet{481, text, 99};
    PcrBitrateDataPoint point{1, 2};
    TableInfo patInfo{0, &pat};
    TableInfo pmtInfo{32, &pmt};
    switch (id) {
    case CB_TRANSPORT_TYPE: registry.callMsgCallback(CB_TRANSPORT_TYPE, &str); break;
    case CB_MPEG2TS_PAT: registry.callMsgCallback(CB_MPEG2TS_PAT, &patInfo); break;
    case CB_MPEG2TS_PMT: registry.callMsgCallback(CB_MPEG2TS_PMT, &pmtInfo); break;
    case CB_MPEG2TS_DURATION: registry.callMsgCallback(CB_MPEG2TS_DURATION, &duration); break;
    case CB_MPEG2TS_CC: registry.callMsgCallback(CB_MPEG2TS_CC, &cc); break;
    case CB_MPEG2TS_PCR_BITRATE_DATA_POINT:
        registry.callMsgCallback(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, &point);
        break;
    case CB_PERCENT_COMPLETE:
        registry.callMsgCallback(CB_PERCENT_COMPLETE, reinterpret_cast<void*>(intptr_t(50)));
        break;
    case CB_STATUS_ALIVE:
    case CB_ANALYSIS_COMPLETE: registry.callMsgCallback(static_cast<_CallbackId>(id), nullptr); break;
    default: registry.callMsgCallback(static_cast<_CallbackId>(id), &packet); break;  // 58..61, 65
    }
}

TEST(CbRegistry, DriverRegistrationsFiredTwice)
{
    // Messages expected after two firings: 1 for a one-shot event, 2 for a
    // repeating one, 0 where nothing is registered. The FLV events (1..3) carry
    // FLV records and are checked with the FLV callbacks.
    const std::set<int> oneShot = {0,  4,  5,  7,  16, 17, 18, 19, 20, 21, 22, 23, 24,
                                   25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 59};
    const std::set<int> none = {57, 64};
    GeneralCallbacks::resetStatusAliveClock();
    MsgCallback registry;
    registerAnalysisCallbacks(&registry, true);
    for (int id = 0; id < CB_ID_COUNT; ++id) {
        if (id >= 1 && id <= 3)
            continue;
        SCOPED_TRACE("event " + std::to_string(id));
        fireWithPayload(registry, id);
        fireWithPayload(registry, id);
        std::vector<MsgPtr> all = drain(*registry.getMsgPool());
        size_t want = none.count(id) ? 0 : oneShot.count(id) ? 1 : 2;
        if (id == CB_STATUS_ALIVE)
            want = 1;  // two heartbeats within a second give one message
        EXPECT_EQ(want, all.size());
        for (const MsgPtr& m : all)
            EXPECT_EQ(id, m->getCallbackId());
    }
    GeneralCallbacks::resetStatusAliveClock();
}

TEST(CbRegistry, NoStatusAliveWithoutAnOutgoingQueue)
{
    GeneralCallbacks::resetStatusAliveClock();
    MsgCallback registry;
    registerAnalysisCallbacks(&registry, false);
    registry.callMsgCallback(CB_STATUS_ALIVE, nullptr);
    EXPECT_TRUE(drain(*registry.getMsgPool()).empty());
}

// ---------------------------------------------------------------------------
// On a real stream: the transport processor fires, the driver's registrations
// route, and the PAT and PMT messages describe the stream ffprobe sees.

std::vector<MsgPtr> analyse(const char* fixture)
{
    std::vector<unsigned char> bytes = readFixture(fixture);
    EXPECT_FALSE(bytes.empty()) << fixture;
    MsgCallback registry;
    registerAnalysisCallbacks(&registry, false);
    {
        Mpeg2TransportProcessor tp(&registry, 0);
        for (size_t off = 0; off < bytes.size(); off += 65536) {
            size_t n = std::min<size_t>(65536, bytes.size() - off);
            tp.processRawBuff(bytes.data() + off, static_cast<long long>(n));
        }
    }
    return drain(*registry.getMsgPool());
}

TEST(CbOnStreams, TwoProgramsPatAndFirstPmt)
{
    std::vector<MsgPtr> all = analyse("two_programs.ts");
    const StreamMessage* pat = nullptr;
    const StreamMessage* pmt = nullptr;
    int patCount = 0, pmtCount = 0;
    for (const MsgPtr& m : all) {
        if (m->getCallbackId() == CB_MPEG2TS_PAT) {
            pat = m.get();
            ++patCount;
        }
        if (m->getCallbackId() == CB_MPEG2TS_PMT) {
            pmt = m.get();
            ++pmtCount;
        }
    }
    // One-shot events: the PAT and PMT repeat in the stream, their messages do not.
    ASSERT_EQ(1, patCount);
    ASSERT_EQ(1, pmtCount);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "0"},
                                  {"Transport Stream Id", "1"},
                                  {"Program PID", "4097"},
                                  {"Program Number", "2"},
                                  {"Program PID", "4096"},
                                  {"Program Number", "1"}}),
              pairEntries(*pat, "0"));
    std::vector<Entry> e = pairEntries(*pmt, "4096");
    expectBalanced(e);
    EXPECT_EQ((std::vector<Entry>{{"Pid", "4096"},
                                  {"ProgramNumber", "1"},
                                  {"VersionNumber", "0"},
                                  {"ValidPmt", "true"},
                                  {"PcrPid", "256"},
                                  {"Elements Start", "Elements"},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x2"},
                                  {"Pid", "256"},
                                  {"Stream End", ""},
                                  {"Stream Start", "Stream"},
                                  {"StreamType", "0x3"},
                                  {"Pid", "257"},
                                  {"Stream End", ""},
                                  {"Elements End", ""}}),
              e);
}

}  // namespace
