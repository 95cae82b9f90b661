// FLV transport processor and the FLV callbacks.
#include "callbacks/callbackMappedValue.h"
#include "callbacks/flvCallbacks.h"
#include "engine/flvTransportProcessor.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "platform/fileLogger.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::readFixture;

namespace {

typedef std::vector<unsigned char> Bytes;

// What the three FLV events carried, copied during the firing.
struct Seen {
    int headers = 0, audios = 0, videos = 0;
    FlvHeader header;
    AudioData audio;
    VideoData video;
};
Seen g_seen;

void onHeader(void* d, StreamMessagePool*)
{
    ++g_seen.headers;
    g_seen.header = *static_cast<FlvHeader*>(d);
}
void onAudio(void* d, StreamMessagePool*)
{
    ++g_seen.audios;
    g_seen.audio = *static_cast<AudioData*>(d);
}
void onVideo(void* d, StreamMessagePool*)
{
    ++g_seen.videos;
    g_seen.video = *static_cast<VideoData*>(d);
}

// Registry with recording callbacks, all repeating, so every firing is counted.
struct Recorder {
    Recorder()
    {
        g_seen = Seen();
        registry.registerMsgCallback(CB_FLV_HEADER, onHeader, true);
        registry.registerMsgCallback(CB_FLV_AUDIO_DATA, onAudio, true);
        registry.registerMsgCallback(CB_FLV_VIDEO_DATA, onVideo, true);
    }
    MsgCallback registry;
};

// Feeds bytes in pieces: the sizes are used in turn, the last one repeating.
// Each piece is its own heap block, so a read past a buffer is caught.
int feed(FlvTransportProcessor& proc, const Bytes& data, const std::vector<size_t>& sizes)
{
    size_t pos = 0, i = 0;
    int rc = 0;
    while (pos < data.size()) {
        size_t n = std::min(sizes[std::min(i, sizes.size() - 1)], data.size() - pos);
        ++i;
        std::unique_ptr<unsigned char[]> buf(new unsigned char[n]);
        memcpy(buf.get(), &data[pos], n);
        rc = proc.processRawBuff(buf.get(), (long long)n);
        pos += n;
        if (rc != 0)
            break;
    }
    return rc;
}

Bytes flvHeaderBytes(unsigned char flags = 0x05, uint32_t dataOffset = 9)
{
    return {'F', 'L', 'V', 0x01, flags, (unsigned char)(dataOffset >> 24), (unsigned char)(dataOffset >> 16),
            (unsigned char)(dataOffset >> 8), (unsigned char)dataOffset};
}

void appendU32(Bytes& b, uint32_t v)
{
    b.insert(b.end(), {(unsigned char)(v >> 24), (unsigned char)(v >> 16), (unsigned char)(v >> 8), (unsigned char)v});
}

// One tag: header, body (first bytes given, the rest filler), PreviousTagSize.
void appendTag(Bytes& b, unsigned char type, uint32_t dataSize, const Bytes& bodyStart = Bytes())
{
    b.insert(b.end(), {type, (unsigned char)(dataSize >> 16), (unsigned char)(dataSize >> 8), (unsigned char)dataSize,
                       0, 0, 0, 0, 0, 0, 0});
    for (uint32_t i = 0; i < dataSize; ++i)
        b.push_back(i < bodyStart.size() ? bodyStart[i] : (unsigned char)0xEE);
    appendU32(b, dataSize + 11);
}

Bytes startFile(unsigned char flags = 0x05)
{
    Bytes b = flvHeaderBytes(flags);
    appendU32(b, 0);  // PreviousTagSize0
    return b;
}

struct Expected {
    const char* file;
    unsigned char flags;  // header byte 4
    uint64_t tags, audioTags, videoTags;
    bool hasAudio, hasVideo;
    unsigned int soundFormat, soundRate, soundSize, soundType;
    unsigned int frameType, codecId;
};

// Tag counts as ffprobe sees the packets (plus the script tag and the codec
// configuration tags it does not count); first-tag flags as the files carry them.
const Expected kFixtures[] = {
    {"flv_h264_aac.flv", 0x05, 74, 46, 27, true, true, 10, 3, 1, 1, 1, 7},
    {"flv_spark_mp3.flv", 0x05, 66, 40, 25, true, true, 2, 3, 1, 0, 1, 2},
    {"flv_nellymoser.flv", 0x04, 89, 88, 0, true, false, 6, 2, 1, 0, 0, 0},
};

void checkFixture(const Expected& e, const FlvTransportProcessor& proc, const char* how)
{
    SCOPED_TRACE(std::string(e.file) + " " + how);
    EXPECT_EQ(1, g_seen.headers);
    EXPECT_EQ(9u, g_seen.header.DataOffset);
    EXPECT_EQ(1, g_seen.header.Version);
    EXPECT_EQ((e.flags >> 2) & 1, g_seen.header.TypeFlagsAudio);
    EXPECT_EQ(e.flags & 1, g_seen.header.TypeFlagsVideo);
    EXPECT_EQ(e.tags, proc.getTagCount());
    EXPECT_EQ(e.audioTags, proc.getAudioTagCount());
    EXPECT_EQ(e.videoTags, proc.getVideoTagCount());
    EXPECT_EQ(e.hasAudio ? 1 : 0, g_seen.audios);
    EXPECT_EQ(e.hasVideo ? 1 : 0, g_seen.videos);
    if (e.hasAudio) {
        EXPECT_EQ(e.soundFormat, g_seen.audio.SoundFormat);
        EXPECT_EQ(e.soundRate, g_seen.audio.SoundRate);
        EXPECT_EQ(e.soundSize, g_seen.audio.SoundSize);
        EXPECT_EQ(e.soundType, g_seen.audio.SoundType);
    }
    if (e.hasVideo) {
        EXPECT_EQ(e.frameType, g_seen.video.FrameType);
        EXPECT_EQ(e.codecId, g_seen.video.CodecID);
    }
    EXPECT_EQ(FlvTransportProcessor::STATE_TAGS, proc.getState());
}

std::vector<std::pair<std::string, std::string>> entriesOf(StreamMessage* msg)
{
    std::vector<std::pair<std::string, std::string>> out;
    if (!msg || msg->getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST)
        return out;
    for (auto& e : *static_cast<MappedValueList*>(msg->getMsgData())) {
        EXPECT_EQ(nullptr, e.m_pChildren);
        out.emplace_back(e.m_sName, e.m_sValue);
    }
    return out;
}

typedef std::vector<std::pair<std::string, std::string>> Entries;

// Runs one callback on a payload and returns its one message (owned by the caller).
std::unique_ptr<StreamMessage> runCallback(MsgCallbackFunction fn, void* payload)
{
    StreamMessagePool pool;
    fn(payload, &pool);
    std::unique_ptr<StreamMessage> msg(pool.getUnprocessedMsg());
    EXPECT_EQ(nullptr, pool.getUnprocessedMsg());
    return msg;
}

}  // namespace

// ---------------------------------------------------------------- processor on fixtures

TEST(FlvProcessor, FixturesInOneBufferAndInFileSourceBuffers)
{
    for (auto& e : kFixtures) {
        Bytes data = readFixture(e.file);
        ASSERT_FALSE(data.empty()) << e.file;
        for (size_t size : {data.size(), (size_t)65536, (size_t)4096}) {
            Recorder rec;
            FlvTransportProcessor proc(&rec.registry, 0);
            EXPECT_EQ(0, feed(proc, data, {size}));
            checkFixture(e, proc, ("buffers of " + std::to_string(size)).c_str());
            EXPECT_EQ((long long)data.size(), proc.getByteCount());
        }
    }
}

TEST(FlvProcessor, FixturesInEveryChunkSizeUpTo64)
{
    for (auto& e : kFixtures) {
        Bytes data = readFixture(e.file);
        for (size_t size = 1; size <= 64; ++size) {
            Recorder rec;
            FlvTransportProcessor proc(&rec.registry, 0);
            EXPECT_EQ(0, feed(proc, data, {size}));
            checkFixture(e, proc, ("chunks of " + std::to_string(size)).c_str());
        }
    }
}

TEST(FlvProcessor, SplitAtEveryOffsetAroundTheFirstTags)
{
    // One cut anywhere in the first 700 bytes (header, script tag, first A/V tags),
    // then twenty pieces of 1..64 bytes, then the rest.
    for (auto& e : kFixtures) {
        Bytes data = readFixture(e.file);
        for (size_t cut = 1; cut < 700; ++cut) {
            Recorder rec;
            FlvTransportProcessor proc(&rec.registry, 0);
            std::vector<size_t> sizes(21, 1 + cut % 64);
            sizes[0] = cut;
            sizes.push_back(data.size());
            EXPECT_EQ(0, feed(proc, data, sizes));
            checkFixture(e, proc, ("cut at " + std::to_string(cut)).c_str());
            if (HasFailure())
                return;
        }
    }
}

// ---------------------------------------------------------------- processor on hand-made streams

TEST(FlvProcessor, FirstTagHeaderAfterDataOffset)
{
    // DataOffset 9: the first tag header is read at byte 13; a larger offset is skipped.
    for (uint32_t offset : {9u, 12u, 300u}) {
        Bytes b = flvHeaderBytes(0x05, offset);
        b.resize(offset, 0x00);
        appendU32(b, 0);
        appendTag(b, 9, 5, {0x27});
        appendTag(b, 8, 3, {0x2E, 0xFF});
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        EXPECT_EQ(0, proc.processRawBuff(b.data(), (long long)b.size()));
        EXPECT_EQ(2u, proc.getTagCount()) << offset;
        EXPECT_EQ(1, g_seen.videos);
        EXPECT_EQ(2, g_seen.video.FrameType);
        EXPECT_EQ(7, g_seen.video.CodecID);
        EXPECT_EQ(1, g_seen.audios);
        EXPECT_EQ(2, g_seen.audio.SoundFormat);
        EXPECT_EQ(0xFF, g_seen.audio.SoundData);
    }
}

TEST(FlvProcessor, DataOffsetBelowHeaderOrHuge)
{
    // An offset shorter than the header is taken as 9.
    Bytes b = flvHeaderBytes(0x04, 3);
    appendU32(b, 0);
    appendTag(b, 8, 1, {0xAF});
    {
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        EXPECT_EQ(0, proc.processRawBuff(b.data(), (long long)b.size()));
        EXPECT_EQ(1, g_seen.audios);
        EXPECT_EQ(10, g_seen.audio.SoundFormat);
        EXPECT_EQ(0, g_seen.audio.SoundData);  // a one-byte body has no second byte
    }
    // DataOffset 0xFFFFFFFF: everything after the header lies inside the skip.
    b = flvHeaderBytes(0x05, 0xFFFFFFFFu);
    Bytes rest(200000, 0x08);
    b.insert(b.end(), rest.begin(), rest.end());
    Recorder rec;
    FlvTransportProcessor proc(&rec.registry, 0);
    EXPECT_EQ(0, feed(proc, b, {65536}));
    EXPECT_EQ(1, g_seen.headers);
    EXPECT_EQ(0xFFFFFFFFu, g_seen.header.DataOffset);
    EXPECT_EQ(0u, proc.getTagCount());
}

TEST(FlvProcessor, TagHeaderSplitAcrossBuffers)
{
    Bytes b = startFile();
    appendTag(b, 9, 20, {0x17});
    appendTag(b, 8, 20, {0xAF, 0x01});
    const size_t tag1 = 13;
    const size_t tag2 = tag1 + 11 + 20 + 4;
    // The second tag header split 5 / 6, and split in three (3 / 3 / 5): a later piece
    // never overwrites the bytes already held.
    std::vector<std::vector<size_t>> splits = {
        {tag2 + 5, b.size()},
        {tag2 + 3, 3, b.size()},
        {tag1 + 3, 3, 5, 3, b.size()},
        {tag1 + 10, 1, 1, b.size()},
    };
    for (auto& s : splits) {
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        EXPECT_EQ(0, feed(proc, b, s));
        EXPECT_EQ(2u, proc.getTagCount());
        EXPECT_EQ(1, g_seen.videos);
        EXPECT_EQ(1, g_seen.video.FrameType);
        EXPECT_EQ(7, g_seen.video.CodecID);
        EXPECT_EQ(1, g_seen.audios);
        EXPECT_EQ(10, g_seen.audio.SoundFormat);
        EXPECT_EQ(0x01, g_seen.audio.SoundData);
        EXPECT_EQ(20u, proc.getCurrentTag().DataSize);
        EXPECT_EQ(8, proc.getCurrentTag().TagType);
    }
}

TEST(FlvProcessor, SplitTagHeaderIsLogged)
{
    std::string logName = "/tmp/korbalt_flvtest_" + std::to_string(getpid()) + "_log.txt";
    unlink(logName.c_str());
    ASSERT_EQ(1, initFileLogger(logName.c_str()));
    Bytes b = startFile();
    appendTag(b, 9, 4, {0x17});
    appendTag(b, 8, 4, {0xAF});
    {
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        // The second tag header: 5 bytes end the first buffer, 6 begin the second.
        EXPECT_EQ(0, feed(proc, b, {13 + 19 + 5, b.size()}));
        EXPECT_EQ(1, g_seen.audios);
    }
    shutdownFileLogger();
    std::ifstream in(logName);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(logName.c_str());
    EXPECT_NE(std::string::npos, text.find("FlvTag cannot be fully read in, only 5 bytes could be read in\n")) << text;
}

TEST(FlvProcessor, BodyStartingInTheNextBufferStillGivesItsFlags)
{
    // The video tag header ends one buffer; its flags byte starts the next.
    Bytes b = startFile();
    appendTag(b, 9, 10, {0x22});
    appendTag(b, 9, 10, {0x17});
    Recorder rec;
    FlvTransportProcessor proc(&rec.registry, 0);
    EXPECT_EQ(0, feed(proc, b, {13 + 11, b.size()}));
    EXPECT_EQ(1, g_seen.videos);
    EXPECT_EQ(2, g_seen.video.FrameType);  // the first video tag's, not the second's
    EXPECT_EQ(2, g_seen.video.CodecID);
    EXPECT_EQ(7, proc.getVideoData().CodecID);  // later tags are still read
}

TEST(FlvProcessor, LongTagSkippedIntoLaterBuffers)
{
    // A 1000-byte audio tag starting 100 bytes before the end of a buffer: the next
    // buffer's processing starts at the following tag.
    Bytes b = startFile();
    appendTag(b, 18, 100 - 13 - 11 - 4 + 100, {});  // script tag so the audio tag starts at byte 200
    size_t audioAt = b.size();
    appendTag(b, 8, 1000, {0x2E});
    size_t videoAt = b.size();
    appendTag(b, 9, 30, {0x12});
    ASSERT_EQ(200u, audioAt);
    Recorder rec;
    FlvTransportProcessor proc(&rec.registry, 0);
    size_t firstBuffer = audioAt + 100;
    EXPECT_EQ(0, feed(proc, b, {firstBuffer, videoAt - firstBuffer, b.size()}));
    EXPECT_EQ(3u, proc.getTagCount());
    EXPECT_EQ(1, g_seen.audios);
    EXPECT_EQ(1, g_seen.videos);
    EXPECT_EQ(2, g_seen.video.CodecID);
}

TEST(FlvProcessor, EmptyBodiesAndOtherTagsSkipped)
{
    Bytes b = startFile();
    appendTag(b, 8, 0);          // an audio tag without body: no flags to read
    appendTag(b, 9, 0);
    appendTag(b, 18, 40, {0x02});
    appendTag(b, 0x55, 7, {0x99});
    appendTag(b, 8, 2, {0xB6, 0x00});
    appendTag(b, 9, 1, {0x34});
    Recorder rec;
    FlvTransportProcessor proc(&rec.registry, 0);
    EXPECT_EQ(0, proc.processRawBuff(b.data(), (long long)b.size()));
    EXPECT_EQ(6u, proc.getTagCount());
    EXPECT_EQ(1, g_seen.audios);
    EXPECT_EQ(11, g_seen.audio.SoundFormat);
    EXPECT_EQ(1, g_seen.videos);
    EXPECT_EQ(3, g_seen.video.FrameType);
    EXPECT_EQ(4, g_seen.video.CodecID);
    EXPECT_FALSE(proc.isFirstAudioPending());
    EXPECT_FALSE(proc.isFirstVideoPending());
}

TEST(FlvProcessor, WrongSignatureEndsTheRun)
{
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<size_t> sizes;
    } cases[] = {
        {"transport packet", Bytes(188, 0x47), {188}},
        {"FLX", {'F', 'L', 'X', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0}, {13}},
        {"FLX byte by byte", {'F', 'L', 'X', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0}, {1}},
    };
    for (auto& c : cases) {
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        EXPECT_EQ(3, feed(proc, c.bytes, c.sizes)) << c.what;
        EXPECT_EQ(FlvTransportProcessor::STATE_ENDED, proc.getState());
        EXPECT_EQ(0, g_seen.headers);
        Bytes more = startFile();
        EXPECT_EQ(3, proc.processRawBuff(more.data(), (long long)more.size())) << c.what;
        EXPECT_EQ(0, g_seen.headers);
    }
}

TEST(FlvProcessor, HeaderGatheredAcrossTinyBuffers)
{
    Bytes b = startFile(0x01);
    appendTag(b, 9, 3, {0x17});
    Recorder rec;
    FlvTransportProcessor proc(&rec.registry, 0);
    EXPECT_EQ(0, feed(proc, b, {2, 2, 2, 2, 1}));
    EXPECT_EQ(1, g_seen.headers);
    EXPECT_EQ(1, g_seen.header.TypeFlagsVideo);
    EXPECT_EQ(0, g_seen.header.TypeFlagsAudio);
    EXPECT_EQ(1, g_seen.videos);
    // Empty and null buffers change nothing.
    EXPECT_EQ(0, proc.processRawBuff(b.data(), 0));
    EXPECT_EQ(0, proc.processRawBuff(nullptr, 10));
    EXPECT_EQ((long long)b.size(), proc.getByteCount());
}

TEST(FlvProcessor, DamagedTagSizesNeverOverrun)
{
    // Garbage after a valid header: every tag size is some 24-bit number; the walk
    // skips through it without reading outside any buffer.
    Bytes b = startFile();
    unsigned int seed = 12345;
    for (int i = 0; i < 100000; ++i) {
        seed = seed * 1103515245u + 12345u;
        b.push_back((unsigned char)(seed >> 16));
    }
    for (size_t size : {(size_t)1, (size_t)7, (size_t)11, (size_t)4096}) {
        Recorder rec;
        FlvTransportProcessor proc(&rec.registry, 0);
        EXPECT_EQ(0, feed(proc, b, {size}));
        EXPECT_EQ(1, g_seen.headers);
        EXPECT_LE(g_seen.audios, 1);
        EXPECT_LE(g_seen.videos, 1);
    }
}

// ---------------------------------------------------------------- callbacks

TEST(FlvCallbacksMsg, HeaderEntries)
{
    struct Case {
        Bytes header;
        Entries expected;
    } cases[] = {
        {flvHeaderBytes(0x05, 9),
         {{"DataOffset", "9"}, {"TypeFlagsVideo", "1"}, {"TypeFlagsReserved_2", "0"}, {"TypeFlagsAudio", "1"},
          {"TypeFlagsReserved_1", "0"}, {"Version", "1"}, {"aucSignature", "FLV"}}},
        {flvHeaderBytes(0xFF, 0xFFFFFFFFu),
         {{"DataOffset", "4294967295"}, {"TypeFlagsVideo", "1"}, {"TypeFlagsReserved_2", "1"}, {"TypeFlagsAudio", "1"},
          {"TypeFlagsReserved_1", "31"}, {"Version", "1"}, {"aucSignature", "FLV"}}},
        {flvHeaderBytes(0x02, 0x80000000u),
         {{"DataOffset", "2147483648"}, {"TypeFlagsVideo", "0"}, {"TypeFlagsReserved_2", "1"}, {"TypeFlagsAudio", "0"},
          {"TypeFlagsReserved_1", "0"}, {"Version", "1"}, {"aucSignature", "FLV"}}},
    };
    for (auto& c : cases) {
        FlvHeader h;
        ASSERT_EQ(0, fillFlvHeader(c.header.data(), &h, (long long)c.header.size()));
        auto msg = runCallback(FlvCallbacks::flvHeaderCb, &h);
        ASSERT_NE(nullptr, msg);
        EXPECT_EQ(CB_FLV_HEADER, msg->getCallbackId());
        EXPECT_EQ("FLV Header", msg->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, msg->getMsgType());
        EXPECT_EQ(0, msg->getMsgCount());
        EXPECT_EQ(c.expected, entriesOf(msg.get()));
    }
}

TEST(FlvCallbacksMsg, AudioEntriesEmptyOnlyWhereNoText)
{
    struct Case {
        unsigned char b0;
        Entries expected;
    } cases[] = {
        {0xAF, {{"Sound Type", "Stereo"}, {"Sound Size", "16 bit"}, {"Sound Rate", "44 kHz"}, {"Sound Format", "AAC"}}},
        {0x2E, {{"Sound Type", "Mono"}, {"Sound Size", "16 bit"}, {"Sound Rate", "44 kHz"}, {"Sound Format", "MP3"}}},
        {0xE4, {{"Sound Type", "Mono"}, {"Sound Size", "8 bit"}, {"Sound Rate", "11 kHz"}, {"Sound Format", "MP3 8-kHz"}}},
        {0xFF,
         {{"Sound Type", "Stereo"}, {"Sound Size", "16 bit"}, {"Sound Rate", "44 kHz"},
          {"Sound Format", "Device Specific Sound"}}},
        {0xCF, {{"Sound Type", "Stereo"}, {"Sound Size", "16 bit"}, {"Sound Rate", "44 kHz"}, {"Sound Format", ""}}},
        {0xD0, {{"Sound Type", "Mono"}, {"Sound Size", "8 bit"}, {"Sound Rate", "5.5 kHz"}, {"Sound Format", ""}}},
    };
    for (auto& c : cases) {
        AudioData a;
        ASSERT_EQ(0, fillAudioData(&c.b0, &a, 1));
        auto msg = runCallback(FlvCallbacks::flvAudioDataCb, &a);
        ASSERT_NE(nullptr, msg);
        EXPECT_EQ(CB_FLV_AUDIO_DATA, msg->getCallbackId());
        EXPECT_EQ("AudioData", msg->getMsgDesc());
        EXPECT_EQ(MSG_TYPE_INFO, msg->getMsgType());
        EXPECT_EQ(c.expected, entriesOf(msg.get())) << (int)c.b0;
    }
}

TEST(FlvCallbacksMsg, VideoEntriesEmptyOnlyWhereNoText)
{
    struct Case {
        unsigned char b0;
        Entries expected;
    } cases[] = {
        {0x17, {{"CodecId", "AVC"}, {"Frame Type", "Key Frame (for AVC, a seekable frame)"}}},
        {0x22, {{"CodecId", "Sorenson H.263"}, {"Frame Type", "Inter Frame (for AVC, non-seekable frame)"}}},
        // An unknown codec empties its own value only.
        {0x10, {{"CodecId", ""}, {"Frame Type", "Key Frame (for AVC, a seekable frame)"}}},
        {0x3C, {{"CodecId", ""}, {"Frame Type", "Disposable Inter Frame (H.263 only)"}}},
        {0x07, {{"CodecId", "AVC"}, {"Frame Type", ""}}},
        {0x65, {{"CodecId", "On2 VP6 with alpha channel"}, {"Frame Type", ""}}},
        {0x04, {{"CodecId", "On2 VP6"}, {"Frame Type", ""}}},
        {0xF0, {{"CodecId", ""}, {"Frame Type", ""}}},
    };
    for (auto& c : cases) {
        VideoData v;
        ASSERT_EQ(0, fillVideoData(&c.b0, &v, 1));
        auto msg = runCallback(FlvCallbacks::flvVideoDataCb, &v);
        ASSERT_NE(nullptr, msg);
        EXPECT_EQ(CB_FLV_VIDEO_DATA, msg->getCallbackId());
        EXPECT_EQ("VideoData", msg->getMsgDesc());
        EXPECT_EQ(c.expected, entriesOf(msg.get())) << (int)c.b0;
    }
}

TEST(FlvCallbacksMsg, ThroughTheRegistryOnFixtures)
{
    // The driver's registration: one-shot callbacks; a second firing gives nothing.
    for (auto& e : kFixtures) {
        SCOPED_TRACE(e.file);
        MsgCallback registry;
        registry.registerMsgCallback(CB_FLV_HEADER, FlvCallbacks::flvHeaderCb, false);
        registry.registerMsgCallback(CB_FLV_AUDIO_DATA, FlvCallbacks::flvAudioDataCb, false);
        registry.registerMsgCallback(CB_FLV_VIDEO_DATA, FlvCallbacks::flvVideoDataCb, false);
        {
            FlvTransportProcessor proc(&registry, 0);
            Bytes data = readFixture(e.file);
            EXPECT_EQ(0, feed(proc, data, {65536}));
            // Fired once more by hand: the one-shot slots let nothing through.
            FlvHeader h = proc.getFlvHeader();
            registry.callMsgCallback(CB_FLV_HEADER, &h);
        }
        std::vector<std::unique_ptr<StreamMessage>> msgs;
        while (StreamMessage* m = registry.getMsgPool()->getUnprocessedMsg())
            msgs.emplace_back(m);
        ASSERT_EQ(e.hasVideo ? 3u : 2u, msgs.size());
        EXPECT_EQ("FLV Header", msgs[0]->getMsgDesc());
        Entries header = entriesOf(msgs[0].get());
        ASSERT_EQ(7u, header.size());
        EXPECT_EQ(std::make_pair(std::string("DataOffset"), std::string("9")), header[0]);
        EXPECT_EQ(std::to_string(e.flags & 1), header[1].second);
        EXPECT_EQ(std::to_string((e.flags >> 2) & 1), header[3].second);
        for (auto& m : msgs) {
            Entries en = entriesOf(m.get());
            if (m->getMsgDesc() == "AudioData") {
                ASSERT_EQ(4u, en.size());
                const char* formats[16] = {nullptr, nullptr, "MP3", nullptr, nullptr, nullptr, "Nellymoser",
                                           nullptr, nullptr, nullptr, "AAC"};
                EXPECT_EQ(formats[e.soundFormat], en[3].second);
                EXPECT_EQ(e.soundType ? "Stereo" : "Mono", en[0].second);
                EXPECT_EQ("16 bit", en[1].second);
                EXPECT_EQ(e.soundRate == 3 ? "44 kHz" : "22 kHz", en[2].second);
            } else if (m->getMsgDesc() == "VideoData") {
                ASSERT_EQ(2u, en.size());
                EXPECT_EQ(e.codecId == 7 ? "AVC" : "Sorenson H.263", en[0].second);
                EXPECT_EQ("Key Frame (for AVC, a seekable frame)", en[1].second);
            }
        }
    }
}
