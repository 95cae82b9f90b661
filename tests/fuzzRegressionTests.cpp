// Replays every input the fuzz targets ever found (tests/data/fuzz/<target>/) through the
// same harness functions, and checks that the harnesses really reach what they claim to:
// the container paths must give the same report however the stream is cut.
#include "tests/fuzz/fuzzHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes readBytes(const std::string& path, size_t limit = SIZE_MAX)
{
    std::ifstream in(path, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > limit)
        data.resize(limit);
    return data;
}

std::string dataDir()
{
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/";
}

std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && n[0] != '.' && n != "README")
                names.push_back(dir + "/" + n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Bytes withSettings(Bytes stream, const FuzzPathSettings& s)
{
    uint8_t tail[2];
    encodeFuzzPathSettings(s, tail);
    stream.push_back(tail[0]);
    stream.push_back(tail[1]);
    return stream;
}

FuzzPathSettings plainSettings(int mode, unsigned chunkSize = 1, unsigned seed = 0)
{
    FuzzPathSettings s = {};
    s.chunkMode = mode;
    s.chunkSize = chunkSize;
    s.seed = seed;
    return s;
}

}  // namespace

TEST(FuzzRegression, EveryTargetHasAHarness)
{
    std::vector<std::string> names = getFuzzTargetNames();
    EXPECT_EQ(7u, names.size());
    for (const std::string& n : names)
        EXPECT_TRUE(getFuzzHarness(n) != nullptr) << n;
    EXPECT_TRUE(getFuzzHarness("fuzz_nothing") == nullptr);
}

// Every saved finding, through the target that found it. A fault shows as a sanitizer
// report (or abort) in the sanitizer build; here it must at least come back.
TEST(FuzzRegression, SavedFindingsReplay)
{
    size_t replayed = 0;
    for (const std::string& target : getFuzzTargetNames()) {
        FuzzHarnessFunction harness = getFuzzHarness(target);
        for (const std::string& file : filesIn(dataDir() + "fuzz/" + target)) {
            SCOPED_TRACE(file);
            Bytes input = readBytes(file);
            harness(input.data(), input.size());
            ++replayed;
        }
    }
    RecordProperty("replayed", (int)replayed);
}

// The corner inputs every harness must take: nothing, one byte, and the settings alone.
TEST(FuzzRegression, TinyInputs)
{
    const uint8_t bytes[] = {0x47, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x46, 0x4C, 0x56};
    for (const std::string& target : getFuzzTargetNames()) {
        SCOPED_TRACE(target);
        FuzzHarnessFunction harness = getFuzzHarness(target);
        for (size_t n = 0; n <= sizeof(bytes); ++n) {
            Bytes copy(bytes, bytes + n);
            harness(copy.data(), copy.size());
        }
    }
}

// Each fixture's head through every target, as the fuzz seeds are.
TEST(FuzzRegression, FixtureSeedsRunThroughEveryTarget)
{
    for (const char* name : {"mpeg2_576_16x9_ac3.ts", "h264_high_720_ac3_51.ts", "mpeg2_480_4x3_mp2.ts",
                             "s302m_2ch_20.ts", "h264_baseline_360_aac.ts", "flv_h264_aac.flv",
                             "flv_nellymoser.flv"}) {
        for (const std::string& target : getFuzzTargetNames()) {
            SCOPED_TRACE(std::string(name) + " " + target);
            bool container = target == "fuzz_transport" || target == "fuzz_flv";
            Bytes seed = readBytes(dataDir() + name, container ? 65536 : 4096);
            ASSERT_FALSE(seed.empty());
            getFuzzHarness(target)(seed.data(), seed.size());
        }
    }
}

TEST(FuzzRegression, SettingsRoundTrip)
{
    for (int mode = 0; mode < 4; ++mode) {
        for (unsigned size : {1u, 2u, 63u, 64u}) {
            for (unsigned seed : {0u, 5u, 63u, 64u, 2047u}) {
                for (int duration = 0; duration < 4; ++duration) {
                    FuzzPathSettings s = plainSettings(mode, size, seed);
                    s.durationSeconds = duration;
                    s.fastClock = (seed & 1) != 0;
                    uint8_t tail[2];
                    encodeFuzzPathSettings(s, tail);
                    FuzzPathSettings back = decodeFuzzPathSettings(tail, 2);
                    EXPECT_EQ(mode, back.chunkMode);
                    if (mode == 1) {
                        EXPECT_EQ(size, back.chunkSize);
                    } else {
                        EXPECT_EQ(seed, back.seed);
                    }
                    EXPECT_EQ(duration, back.durationSeconds);
                    EXPECT_EQ(s.fastClock, back.fastClock);
                    EXPECT_EQ(mode != 0 && duration == 0 && ((back.seed >> 6) & 3) == 0, back.compareWhole);
                }
            }
        }
    }
}

// The transport path reaches the report, and the report does not depend on how the
// stream was cut into buffers: a packet, a section or a PES header split across two
// buffers is read once and right.
TEST(FuzzRegression, TransportReportIsTheSameHoweverTheStreamIsCut)
{
    setFuzzKeepReports(true);
    for (const char* name : {"mpeg2_576_16x9_ac3.ts", "h264_high_720_ac3_51.ts", "two_programs.ts"}) {
        SCOPED_TRACE(name);
        Bytes stream = readBytes(dataDir() + name, 120000);
        Bytes whole = withSettings(stream, plainSettings(0));
        fuzzTransportPath(whole.data(), whole.size());
        FuzzPathResult reference = getLastFuzzPathResult();
        EXPECT_EQ(1u, reference.chunks);
        EXPECT_GT(reference.messages, 10u);
        EXPECT_TRUE(reference.xmlParsed);
        EXPECT_TRUE(reference.txtWritten);
        EXPECT_NE(std::string::npos, reference.txtReport.find("PAT"));
        EXPECT_NE(std::string::npos, reference.xmlReport.find("<PMTTable>"));

        std::vector<FuzzPathSettings> cuts = {plainSettings(1, 1),  plainSettings(1, 7),  plainSettings(1, 64),
                                              plainSettings(2, 1, 3), plainSettings(2, 1, 99), plainSettings(3, 1, 4)};
        for (const FuzzPathSettings& cut : cuts) {
            SCOPED_TRACE("mode " + std::to_string(cut.chunkMode) + " size " + std::to_string(cut.chunkSize) +
                         " seed " + std::to_string(cut.seed));
            Bytes input = withSettings(stream, cut);
            fuzzTransportPath(input.data(), input.size());
            const FuzzPathResult& r = getLastFuzzPathResult();
            if (cut.chunkMode != 3) {
                EXPECT_GT(r.chunks, 100u);
            }
            EXPECT_EQ(reference.messages, r.messages);
            EXPECT_EQ(reference.txtReport, r.txtReport);
            EXPECT_EQ(reference.xmlReport, r.xmlReport);
        }
    }
    setFuzzKeepReports(false);
}

TEST(FuzzRegression, FlvReportIsTheSameHoweverTheStreamIsCut)
{
    setFuzzKeepReports(true);
    for (const char* name : {"flv_h264_aac.flv", "flv_spark_mp3.flv", "flv_nellymoser.flv"}) {
        SCOPED_TRACE(name);
        Bytes stream = readBytes(dataDir() + name, 20000);
        Bytes whole = withSettings(stream, plainSettings(0));
        fuzzFlvPath(whole.data(), whole.size());
        FuzzPathResult reference = getLastFuzzPathResult();
        EXPECT_GE(reference.messages, 2u);
        EXPECT_TRUE(reference.xmlParsed);
        EXPECT_NE(std::string::npos, reference.txtReport.find("FLV Header"));
        for (unsigned size = 1; size <= 64; ++size) {
            SCOPED_TRACE("chunk " + std::to_string(size));
            Bytes input = withSettings(stream, plainSettings(1, size));
            fuzzFlvPath(input.data(), input.size());
            const FuzzPathResult& r = getLastFuzzPathResult();
            EXPECT_EQ(reference.messages, r.messages);
            EXPECT_EQ(reference.txtReport, r.txtReport);
        }
    }
    setFuzzKeepReports(false);
}

// A cut stream that asks for the comparison with the whole stream runs both and passes
// on the fixtures.
TEST(FuzzRegression, CutAndWholeComparisonPassesOnFixtures)
{
    for (const char* name : {"mpeg2_480_4x3_mp2.ts", "h264_main_576i_mp3.ts", "flv_spark_mp3.flv"}) {
        SCOPED_TRACE(name);
        Bytes stream = readBytes(dataDir() + name, 65536);
        FuzzPathSettings s = plainSettings(2, 1, 256 + 5);  // seed bits 6..7 zero
        Bytes input = withSettings(stream, s);
        ASSERT_TRUE(decodeFuzzPathSettings(input.data(), input.size()).compareWhole);
        if (std::string(name).find(".flv") != std::string::npos)
            fuzzFlvPath(input.data(), input.size());
        else
            fuzzTransportPath(input.data(), input.size());
        EXPECT_TRUE(getLastFuzzPathResult().xmlParsed);
        EXPECT_TRUE(getLastFuzzPathResult().txtReport.empty());  // not kept unless asked
    }
}

// The duration limit is reachable from the input, and the fast heartbeat clock runs.
TEST(FuzzRegression, DurationLimitAndHeartbeatSettingsTakeEffect)
{
    Bytes stream = readBytes(dataDir() + "cbr_mpeg2_ac3.ts");  // three seconds
    FuzzPathSettings all = plainSettings(1, 64);
    Bytes input = withSettings(stream, all);
    fuzzTransportPath(input.data(), input.size());
    size_t allChunks = getLastFuzzPathResult().chunks;
    size_t allMessages = getLastFuzzPathResult().messages;
    EXPECT_EQ((stream.size() + 63) / 64, allChunks);

    FuzzPathSettings limited = all;
    limited.durationSeconds = 1;
    input = withSettings(stream, limited);
    fuzzTransportPath(input.data(), input.size());
    EXPECT_LT(getLastFuzzPathResult().chunks, allChunks * 2 / 3);

    // The heartbeat callback keeps its own wall-clock spacing, so the message count stays.
    FuzzPathSettings beating = all;
    beating.fastClock = true;
    input = withSettings(stream, beating);
    fuzzTransportPath(input.data(), input.size());
    EXPECT_EQ(allMessages, getLastFuzzPathResult().messages);
    EXPECT_TRUE(getLastFuzzPathResult().xmlParsed);
}
