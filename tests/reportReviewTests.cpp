// Whole reports read the way a user reads them: korbalt run on the fixtures, each text report
// checked line by line against what the streams' own headers say (values read off the
// headers and cross-checked with ffprobe), and the XML report against the text one.
#include "elemEventRecorder.h"
#include "engine/h262Processor.h"
#include "engine/h264Processor.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::readFile;

namespace {

class ReviewDir {
public:
    ReviewDir()
    {
        char pattern[] = "/tmp/korbalt_review_XXXXXX";
        const char* made = mkdtemp(pattern);
        m_sPath = made ? made : "";
    }
    ~ReviewDir()
    {
        if (m_sPath.empty())
            return;
        std::string cmd = "rm -rf '" + m_sPath + "'";
        if (system(cmd.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", m_sPath.c_str());
    }
    const std::string& path() const { return m_sPath; }

private:
    std::string m_sPath;
};

std::string sourceFile(const std::string& relative)
{
    return std::string(KORBALT_SOURCE_DIR) + "/" + relative;
}

// Runs korbalt on input with the report in dir; returns the report text, empty when the
// run failed or took longer than 60 s.
std::string runReport(const std::string& dir, const std::string& input, bool xml)
{
    const std::string name = xml ? "review.xml" : "review.txt";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        std::string dst = dir + "/";
        std::vector<const char*> argv = {KORBALT_BINARY, "-report_dst", dst.c_str(), "-report_name",
                                         name.c_str()};
        if (xml) {
            argv.push_back("-r");
            argv.push_back("xml");
        }
        argv.push_back("-f");
        argv.push_back(input.c_str());
        argv.push_back(nullptr);
        execv(KORBALT_BINARY, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    if (child < 0)
        return std::string();
    auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        if (waitpid(child, &status, WNOHANG) == child)
            break;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(60)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "korbalt did not finish on " << input;
            return std::string();
        }
        usleep(10000);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << input;
    return readFile(dir + "/" + name);
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& wanted)
{
    for (const std::string& l : lines)
        if (l == wanted)
            return true;
    return false;
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& prefix)
{
    for (const std::string& l : lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

// Index of the first line equal to wanted, or -1.
int lineIndex(const std::vector<std::string>& lines, const std::string& wanted)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == wanted)
            return (int)i;
    return -1;
}

// ---- the fixtures and what their headers say --------------------------------------------

struct FixtureReport {
    const char* file;
    std::vector<std::string> lines;  // whole lines the text report must hold
};

const std::vector<FixtureReport>& fixtureReports()
{
    static const std::vector<FixtureReport> table = {
        {"tests/data/mpeg2_480_4x3_mp2.ts",
         {"Frame Rate:29.97", "Progressive Sequence:true", "Chroma:4:2:0", "Profile And Level:Main@Main",
          "Video Resolution:720x480", "VBV Buffer Size:229376", "Aspect Ratio:1.33",
          "Sample Aspect Ratio:0.89", "Drop Frame:false", "Gop Structure:IBBP", "Gop Size:15",
          "Open Gop:true", "Frame Count:30", "PTS Count:30", "DTS Count:11", "Audio Layer:Layer II",
          "Sampling Rate:48000Units=\"Hz\"", "Audio Mode:stereo", "Audio Bitrate:192000.00Units=\"bps\"",
          "PTS Count:9", "Asset Duration:00:00:01", "TotalErrors:0", "TotalWarnings:0"}},
        {"tests/data/mpeg2_576_16x9_ac3.ts",
         {"Frame Rate:25", "Video Resolution:720x576", "Aspect Ratio:1.78", "Sample Aspect Ratio:1.42",
          "Gop Structure:IPBB", "Gop Size:10", "Open Gop:false", "Sampling Rate:48000Units=\"Hz\"",
          "Audio Bitrate:192000.00Units=\"bps\"", "Audio Mode:2/0", "Channel Ordering:L,R",
          "Number Of Channels:2"}},
        {"tests/data/mpeg2_1080i_ac3_51.ts",
         {"Frame Rate:29.97", "Progressive Sequence:false", "Profile And Level:Main@High",
          "Video Resolution:1920x1080", "VBV Buffer Size:1015808", "Video Bitrate:1500000.00Units=\"bps\"",
          "Aspect Ratio:1.78", "Sample Aspect Ratio:1.00", "Open Gop:false",
          "Audio Bitrate:448000.00Units=\"bps\"", "Audio Mode:3/2", "Channel Ordering:L,C,R,SL,SR"}},
        {"tests/data/cbr_mpeg2_ac3.ts",
         {"Video Resolution:352x288", "Video Bitrate:300000.00Units=\"bps\"", "VBV Buffer Size:311296",
          "Gop Structure:IP", "Gop Size:12", "Audio Bitrate:96000.00Units=\"bps\"",
          "MuxBitrate:600000.00Units=\"bps\""}},
        {"tests/data/h264_baseline_360_aac.ts",
         {"Video Resolution:640x360", "Aspect Ratio:1.78", "Sample Aspect Ratio:1.00",
          "Profile And Level:Baseline@Level 3", "Frame Rate:30", "Chroma:4:2:0", "Frame Count:30",
          "Sampling Rate:44100Units=\"Hz\"", "Audio Profile:AAC LC", "Number Of Channels:2",
          "Audio Mode:stereo"}},
        {"tests/data/h264_main_576i_mp3.ts",
         {"Video Resolution:720x576", "Aspect Ratio:1.25", "Profile And Level:Main@Level 3",
          "Frame Rate:25", "Audio Layer:Layer III", "Sampling Rate:44100Units=\"Hz\"",
          "Audio Mode:single channel", "Audio Bitrate:64000.00Units=\"bps\""}},
        {"tests/data/h264_high_720_ac3_51.ts",
         {"Video Resolution:1280x720", "Aspect Ratio:1.78", "Profile And Level:High@Level 3.1",
          "Frame Rate:25", "Audio Bitrate:448000.00Units=\"bps\"", "Audio Mode:3/2"}},
        {"tests/data/h264_high_1080_aac_51.ts",
         {"Video Resolution:1920x1080", "Aspect Ratio:1.78", "Profile And Level:High@Level 4",
          "Frame Rate:29.97", "Gop Size:15", "Sampling Rate:48000Units=\"Hz\"", "Number Of Channels:6",
          "Audio Mode:surround"}},
        {"tests/data/h264_high422_sar.ts",
         {"Video Resolution:320x180", "Chroma:4:2:2", "Sample Aspect Ratio:1.42", "Aspect Ratio:2.53"}},
        {"tests/data/h264_gop12_cif.ts",
         {"Gop Structure:IPBB", "Gop Payload:IPBBPBBPBBPB", "Gop Size:12", "Open Gop:false",
          "Frame Count:60"}},
        {"tests/data/s302m_2ch_20.ts",
         {"Sampling Rate:48000Units=\"Hz\"", "Number of channels:2",
          "Bits Per Sample:20Units=\"bits/dataword\"", "Audio Bitrate:2304000.00Units=\"bps\"",
          "Audio Mode:Not Stated"}},
        {"tests/data/s302m_4ch_24.ts",
         {"Number of channels:4", "Bits Per Sample:24Units=\"bits/dataword\"",
          "Audio Bitrate:5376000.00Units=\"bps\""}},
        {"tests/data/pcr_wrap.ts",
         {"Asset Duration:00:00:03", "TotalWarnings:1",
          "Pid:256Packet=\"488\"Type=\"PCR Rollover\"Description=\"pcr rollover detected\""}},
        {"tests/data/two_programs.ts",
         {"Program PID:4097", "Program Number:2", "Program PID:4096", "Program Number:1",
          "Video Resolution:352x288", "Audio Mode:single channel"}},
        {"tests/data/lsf_mp2_24k.ts",
         {"Stream Desc:ISO/IEC 13818-3 Audio", "Audio Layer:Layer II", "Sampling Rate:24000Units=\"Hz\"",
          "Audio Mode:single channel", "Audio Bitrate:64000.00Units=\"bps\""}},
        {"tests/data/lsf_mp3_22k.ts",
         {"Audio Layer:Layer III", "Sampling Rate:22050Units=\"Hz\"", "Audio Bitrate:32000.00Units=\"bps\""}},
        {"tests/data/cc_mpeg2.ts",
         {"<<< ClosedCaptions >>>value=\"true\"", "AtscEia608:true", "AtscEia708:true", "Scte20:false",
          "Scte21:false", "Frame Count:10"}},
        {"tests/data/cc_h264.ts",
         {"<<< ClosedCaptions >>>value=\"true\"", "AtscEia608:true", "AtscEia708:true", "Frame Count:10"}},
        {"samples/sample.ts",
         {"Video Resolution:720x576", "Aspect Ratio:1.25", "Sample Aspect Ratio:1.00", "Gop Size:12",
          "Gop Structure:IBBP", "Frame Count:50", "Asset Duration:00:00:02"}},
    };
    return table;
}

// The sections of a transport stream report, in the order they must come.
void expectSectionOrder(const std::vector<std::string>& lines, const std::string& what)
{
    const char* order[] = {"<<< Summary >>>",        "<<< Report Summary >>>", ">>> Report Summary <<<",
                           "<<< Media Summary >>>",  ">>> Media Summary <<<",  "<<< Media >>>",
                           "<<< System Information >>>", "<<< PAT Table >>>", ">>> PAT Table <<<",
                           "<<< PMT Table >>>",      ">>> PMT Table <<<",      ">>> System Information <<<"};
    int previous = -1;
    for (const char* heading : order) {
        int at = lineIndex(lines, heading);
        EXPECT_GT(at, previous) << what << ": " << heading;
        previous = at;
    }
    // Stream sections follow the system information, video before audio, and the report
    // ends by closing "Media" ("Summary" stays open).
    int lastVideo = -1, firstAudio = (int)lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == ">>> Video Stream <<<")
            lastVideo = (int)i;
        if (lines[i] == "<<< Audio Stream >>>" && (int)i < firstAudio)
            firstAudio = (int)i;
    }
    EXPECT_LT(lastVideo, firstAudio) << what;
    EXPECT_GT(firstAudio, previous) << what;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "") << what << ": the file begins with a line break";
    EXPECT_EQ(lines.back(), ">>> Media <<<") << what;
}

TEST(ReportReviewFixtures, TextReportsAgreeWithTheStreamHeaders)
{
    ReviewDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const FixtureReport& f : fixtureReports()) {
        std::string text = runReport(dir.path(), sourceFile(f.file), false);
        ASSERT_FALSE(text.empty()) << f.file;
        std::vector<std::string> lines = linesOf(text);
        for (const std::string& wanted : f.lines)
            EXPECT_TRUE(hasLine(lines, wanted)) << f.file << ": no line " << wanted;
        expectSectionOrder(lines, f.file);
        // A clean capture has no error list, and every rate is a finite number.
        if (std::string(f.file).find("pcr_wrap") == std::string::npos) {
            EXPECT_FALSE(hasLine(lines, "<<< Warnings >>>")) << f.file;
        }
        EXPECT_FALSE(hasLine(lines, "<<< Errors >>>")) << f.file;
        EXPECT_EQ(text.find("nan"), std::string::npos) << f.file;
        EXPECT_EQ(text.find("inf"), std::string::npos) << f.file;
    }
}

// ---- XML: the same values under the blank-free names ---------------------------------------

const TiXmlElement* findElement(const TiXmlElement* from, const std::string& name, const std::string& value)
{
    for (const TiXmlElement* e = from->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const char* v = e->Attribute("value");
        if (e->ValueStr() == name && v && value == v)
            return e;
        if (const TiXmlElement* inner = findElement(e, name, value))
            return inner;
    }
    return nullptr;
}

std::string withoutBlanks(std::string s)
{
    std::string out;
    for (char c : s)
        if (c != ' ')
            out += c;
    return out;
}

TEST(ReportReviewFixtures, XmlReportsCarryTheTextReportsValues)
{
    ReviewDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const FixtureReport& f : fixtureReports()) {
        std::string xml = runReport(dir.path(), sourceFile(f.file), true);
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << f.file << ": " << doc.ErrorDesc();
        const TiXmlElement* root = doc.RootElement();
        ASSERT_NE(root, nullptr) << f.file;
        EXPECT_EQ(root->ValueStr(), "Summary");
        for (const std::string& line : f.lines) {
            if (line.compare(0, 4, "<<< ") == 0 || line.find("Packet=") != std::string::npos)
                continue;  // headings and packet events are checked in text only
            size_t colon = line.find(':');
            ASSERT_NE(colon, std::string::npos) << line;
            std::string name = withoutBlanks(line.substr(0, colon));
            std::string value = line.substr(colon + 1);
            std::string units;
            size_t u = value.find("Units=\"");
            if (u != std::string::npos) {
                units = value.substr(u + 7, value.size() - u - 8);
                value = value.substr(0, u);
            }
            const TiXmlElement* e = findElement(root, name, value);
            EXPECT_NE(e, nullptr) << f.file << ": no element " << name << " with value " << value;
            if (e && !units.empty()) {
                const char* got = e->Attribute("Units");
                EXPECT_TRUE(got && units == got) << f.file << ": " << name;
            }
        }
    }
}

// ---- rates need a PCR span -----------------------------------------------------------

// The first 40 packets of the sample hold the PAT, the PMT, one PCR and the start of a
// picture: every stream is described, but there is no time line to measure a rate by.
TEST(ReportReviewBitrates, OnePcrGivesNoRateAtAll)
{
    ReviewDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::string sample = readFile(sourceFile("samples/sample.ts"));
    ASSERT_GT(sample.size(), 40u * 188u);
    std::string input = dir.path() + "/one_pcr.ts";
    {
        std::ofstream out(input, std::ios::binary);
        out.write(sample.data(), 40 * 188);
    }
    for (bool xml : {false, true}) {
        std::string report = runReport(dir.path(), input, xml);
        ASSERT_FALSE(report.empty());
        for (const char* rate : {"ElementaryBitrate", "PESBitrate", "MuxBitrate", "TransportBitrate",
                                 "AssetDuration", "Asset Duration"})
            EXPECT_EQ(report.find(rate), std::string::npos) << rate << (xml ? " (xml)" : " (txt)");
        // The stream itself is still described.
        EXPECT_NE(report.find(xml ? "VideoResolution value=\"720x576\"" : "Video Resolution:720x576"),
                  std::string::npos);
    }
}

TEST(ReportReviewBitrates, SampleReportsEveryRate)
{
    ReviewDir dir;
    ASSERT_FALSE(dir.path().empty());
    std::vector<std::string> lines = linesOf(runReport(dir.path(), sourceFile("samples/sample.ts"), false));
    // 2,279,872 elementary video bytes over the PCR span of 1.92 s.
    EXPECT_TRUE(hasLine(lines, "ElementaryBitrate:2374866.67Units=\"bps\""));
    EXPECT_TRUE(hasLineStarting(lines, "PESBitrate:"));
    EXPECT_TRUE(hasLineStarting(lines, "MuxBitrate:"));
}

// The video processors report their elementary rate only once the transport processor has
// given them a span to measure by.
template <class Proc>
void expectElementaryRateNeedsSpan()
{
    struct Case {
        double seconds;  // < 0: no call at all
        bool reported;
        double rate;
    };
    const Case cases[] = {{-1.0, false, 0}, {0.0, false, 0}, {-5.0, false, 0}, {2.0, true, 500 * 8 / 2.0}};
    for (const Case& c : cases) {
        elemtest::EventRecorder rec;
        auto proc = std::make_unique<Proc>(rec.registry(), 0x100);
        std::vector<unsigned char> bytes(500, 0xAB);  // no start code: counted, nothing parsed
        proc->processRawBuff(bytes.data(), (long long)bytes.size());
        if (c.seconds != -1.0)
            proc->calculateBitrateBps(c.seconds);
        EXPECT_EQ(proc->isBitrateMeasured(), c.reported) << c.seconds;
        proc.reset();
        EXPECT_EQ(rec.count(CB_MPEG2TS_ELM_STREAM_BITRATE), c.reported ? 1 : 0) << c.seconds;
        if (c.reported) {
            EXPECT_DOUBLE_EQ(rec.first(CB_MPEG2TS_ELM_STREAM_BITRATE).number, c.rate);
        }
        // The other end reports do not depend on the span.
        EXPECT_EQ(rec.count(CB_MPEG2TS_FRAME_COUNT), 1) << c.seconds;
        EXPECT_EQ(rec.count(CB_MPEG2TS_CC), 1) << c.seconds;
    }
}

TEST(ReportReviewBitrates, H262ElementaryRateNeedsASpan)
{
    expectElementaryRateNeedsSpan<H262Processor>();
}

TEST(ReportReviewBitrates, H264ElementaryRateNeedsASpan)
{
    expectElementaryRateNeedsSpan<H264Processor>();
}

// A later call without a span takes the measured rate back.
TEST(ReportReviewBitrates, LastSpanDecides)
{
    elemtest::EventRecorder rec;
    auto proc = std::make_unique<H262Processor>(rec.registry(), 0x100);
    proc->calculateBitrateBps(1.0);
    proc->calculateBitrateBps(0.0);
    proc.reset();
    EXPECT_EQ(rec.count(CB_MPEG2TS_ELM_STREAM_BITRATE), 0);
}

}  // namespace
