// The command-line driver: options, names, timing text, registrations, input parameters,
// the listener, and whole runs of the korbalt executable.
#include "callbacks/flvCallbacks.h"
#include "callbacks/generalCallbacks.h"
#include "callbacks/mpeg2tsCallbacks.h"
#include "engine/inputParams.h"
#include "engine/korbalt.h"
#include "engine/msgCallback.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "platform/posixMsgQueues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <initializer_list>
#include <mqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::waitChildWithin;
using testsupport::readFile;

namespace {

// argv for parseCmdLine, with the program name in front.
class Words {
public:
    Words(std::initializer_list<std::string> words)
    {
        m_vText.push_back("korbalt");
        for (const std::string& w : words)
            m_vText.push_back(w);
        for (std::string& w : m_vText)
            m_vPtr.push_back(&w[0]);
        m_vPtr.push_back(nullptr);
    }
    int argc() const { return (int)m_vText.size(); }
    char** argv() { return m_vPtr.data(); }

private:
    std::vector<std::string> m_vText;
    std::vector<char*> m_vPtr;
};

int parse(Words w)
{
    resetCmdLineDefaults();
    return parseCmdLine(w.argc(), w.argv());
}

bool fileExists(const std::string& name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

std::string makeTempDir()
{
    char tmpl[] = "/tmp/korbalt_h1_drv_XXXXXX";
    char* d = mkdtemp(tmpl);
    return d ? std::string(d) : std::string();
}

void removeTree(const std::string& dir)
{
    for (const std::string& n : listDir(dir))
        unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
}

}  // namespace

// ---------------------------------------------------------------- command line

TEST(DriverCmdLine, UsageErrorsAndSources)
{
    struct Case {
        std::vector<std::string> words;
        int result;
        int source;
    } cases[] = {
        {{}, -1, 0},
        {{"-f"}, -1, 0},
        {{"-f", "a.ts"}, 0, 1},
        {{"foo", "-x", "-f", "a.ts"}, 0, 1},  // unknown words are skipped
        {{"-F", "a.ts"}, -1, 0},              // exact, case-sensitive
        {{"-d"}, -1, 0},
        {{"-r"}, -1, 0},
        {{"-r", "xml"}, -1, 0},
        {{"-report_dst"}, -1, 0},
        {{"-report_name"}, -1, 0},
        {{"-duration"}, -1, 0},
        {{"-out_queue_name"}, -1, 0},
        {{"-out_queue_name", "/q"}, -1, 0},
        {{"-d", "-r", "txt", "-report_dst", "o/", "-report_name", "n", "-duration", "5"}, -1, 0},
        {{"-report_dst", "-f", "a.ts"}, -1, 0},  // "-f" is the directory; "a.ts" alone is no source
        {{"-n"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "5000"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "5000", "-int"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "5000", "-int", "127.0.0.1"}, 0, 2},
        {{"-n", "-ip", "239.1.1.1", "-x", "5000", "-int", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "5000", "-if", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1", "-p", "5000", "-int", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1.256", "-p", "5000", "-int", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "65536", "-int", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "50x", "-int", "127.0.0.1"}, -1, 2},
        {{"-n", "-ip", "239.1.1.1", "-p", "-1", "-int", "127.0.0.1"}, -1, 2},
        {{"-f", "a.ts", "-n"}, 0, 1},  // later words are ignored
        {{"-duration", "abc", "-f", "a.ts"}, -1, 0},
        {{"-duration", "-5", "-f", "a.ts"}, -1, 0},
        {{"-duration", "99999999999", "-f", "a.ts"}, -1, 0},
    };
    for (const Case& c : cases) {
        resetCmdLineDefaults();
        std::vector<std::string> text = {"korbalt"};
        text.insert(text.end(), c.words.begin(), c.words.end());
        std::vector<char*> argv;
        for (std::string& w : text)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        std::string joined;
        for (const std::string& w : c.words)
            joined += w + " ";
        EXPECT_EQ(c.result, parseCmdLine((int)text.size(), argv.data())) << joined;
        if (c.result == 0) {
            EXPECT_EQ(c.source, eSource) << joined;
        }
    }
    EXPECT_EQ(-1, parseCmdLine(0, nullptr));
}

TEST(DriverCmdLine, OptionValues)
{
    ASSERT_EQ(0, parse({"-f", "a.ts", "-r", "xml"}));
    EXPECT_TRUE(m_bReportTxtType);  // after -f nothing is read
    EXPECT_STREQ("a.ts", m_acFileName);

    ASSERT_EQ(0, parse({"-r", "xml", "-f", "a.ts"}));
    EXPECT_FALSE(m_bReportTxtType);
    ASSERT_EQ(0, parse({"-r", "txt", "-f", "a.ts"}));
    EXPECT_TRUE(m_bReportTxtType);
    ASSERT_EQ(0, parse({"-r", "XML", "-f", "a.ts"}));
    EXPECT_TRUE(m_bReportTxtType);

    // "-report_dst" is first the value of "-r", then an option of the same pass.
    ASSERT_EQ(0, parse({"-r", "-report_dst", "out/", "-f", "a.ts"}));
    EXPECT_TRUE(m_bReportTxtType);
    EXPECT_STREQ("out/", m_acReportDir);

    // And "-out_queue_name" as the value of "-r" still takes its queue.
    ASSERT_EQ(0, parse({"-r", "-out_queue_name", "/q1", "-f", "a.ts"}));
    EXPECT_STREQ("/q1", m_acOutgoingQueueName);

    ASSERT_EQ(0, parse({"-d", "-report_dst", "o/", "-report_name", "rep", "-duration", "30", "-out_queue_name",
                        "/sup", "-f", "dir/x.ts"}));
    EXPECT_TRUE(m_bDump);
    EXPECT_STREQ("o/", m_acReportDir);
    EXPECT_STREQ("rep", m_acReportName);
    EXPECT_EQ(30, m_AnalysisDuration);
    EXPECT_STREQ("/sup", m_acOutgoingQueueName);
    EXPECT_STREQ("dir/x.ts", m_acFileName);
    EXPECT_EQ(CMD_SOURCE_FILE, eSource);

    ASSERT_EQ(0, parse({"-f", "b.ts"}));  // defaults come back
    EXPECT_FALSE(m_bDump);
    EXPECT_STREQ("", m_acReportDir);
    EXPECT_STREQ("", m_acReportName);
    EXPECT_STREQ("", m_acOutgoingQueueName);
    EXPECT_EQ(0, m_AnalysisDuration);
}

TEST(DriverCmdLine, NetworkWordsAndUnsignedPort)
{
    ASSERT_EQ(0, parse({"-d", "-n", "-ip", "239.1.1.1", "-p", "50000", "-int", "192.168.10.20", "ignored"}));
    EXPECT_EQ(CMD_SOURCE_NETWORK, eSource);
    EXPECT_TRUE(m_bDump);
    EXPECT_EQ(0xEF010101u, m_iIpAddr);
    EXPECT_EQ(50000, m_iPort);  // above 32767: carried unsigned
    EXPECT_EQ(0xC0A80A14u, m_iIntIp);
    ASSERT_EQ(0, parse({"-n", "-ip", "0.0.0.0", "-p", "65535", "-int", "255.255.255.255"}));
    EXPECT_EQ(0u, m_iIpAddr);
    EXPECT_EQ(65535, m_iPort);
    EXPECT_EQ(0xFFFFFFFFu, m_iIntIp);
}

TEST(DriverCmdLine, FieldLimitsAreRefusedNeverCut)
{
    std::string name1023(1023, 'n'), name1024(1024, 'n');
    EXPECT_EQ(0, parse({"-f", name1023}));
    EXPECT_EQ(name1023, std::string(m_acFileName));
    EXPECT_EQ(-2, parse({"-f", name1024}));
    EXPECT_STREQ("", m_acFileName);
    EXPECT_EQ(-1, parse({"-report_dst", name1024, "-f", "a.ts"}));
    EXPECT_EQ(-1, parse({"-report_name", name1024, "-f", "a.ts"}));
    EXPECT_EQ(-1, parse({"-out_queue_name", name1024, "-f", "a.ts"}));
    EXPECT_EQ(0, parse({"-report_dst", name1023, "-f", "a.ts"}));
    EXPECT_EQ(1023u, strlen(m_acReportDir));
}

TEST(DriverCmdLine, ParseIpStringPacksAndSplitsInPlace)
{
    struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"239.1.1.1", 0xEF010101u}, {"127.0.0.1", 0x7F000001u}, {"10.0", 0x0A000000u},
        {"1.2.3.4.5", 0x01020304u}, {"", 0u},                   {"300.1.1.1", 0x2C010101u},
    };
    for (const auto& c : cases) {
        std::vector<char> buf(c.text, c.text + strlen(c.text) + 1);
        EXPECT_EQ(c.value, parseIpString(buf.data())) << c.text;
    }
    char text[] = "192.168.1.2";
    parseIpString(text);
    EXPECT_STREQ("192", text);  // the text was split
    EXPECT_EQ(0u, parseIpString(nullptr));
    EXPECT_EQ("239.1.1.1", formatDottedIp(0xEF010101u));
    EXPECT_EQ("255.0.128.7", formatDottedIp(0xFF008007u));
}

TEST(DriverCmdLine, UsageTextIsExact)
{
    const char* expected =
        "Usage: \n"
        "       korbalt -f \"file name\"\n"
        "       korbalt -n -ip \"ip addr\" -p \"port\"\n"
        "Options (must be used before -f/-n options): \n"
        "       -d dump incoming stream into a file, used with -n only, should be first argument\n"
        "       -r report type, supported values are xml or txt\n"
        "       -report_dst report destination path, with the slash at the end\n"
        "       -report_name report filename\n"
        "       -duration asset time interval to analyze from the begining\n"
        "       -out_queue_name outgoing queue name\n";
    EXPECT_EQ(expected, usageText());
    testing::internal::CaptureStdout();
    printHelp();
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
}

// ---------------------------------------------------------------- names

namespace {

// Runs f with the local time zone set to UTC.
template <typename F>
void inUtc(F f)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    f();
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

const time_t kTuesday = 1796714125;  // Tue Dec  8 07:15:25 2026 UTC

}  // namespace

TEST(DriverNames, TimeStamp)
{
    inUtc([] { EXPECT_EQ("Tue_Dec__8_07_15_25_2026", makeTimeStamp(kTuesday)); });
}

TEST(DriverNames, ReportAndLogNames)
{
    inUtc([] {
        struct Case {
            int source;
            const char* file;
            uint32_t ip;
            const char* dir;
            const char* name;
            const char* label;
            const char* fileText;
            const char* log;
            const char* report;
        } cases[] = {
            {1, "/data/x.ts", 0, "", "", "x.ts", "/data/x.ts", "./Tue_Dec__8_07_15_25_2026_log.txt", "./x.ts"},
            {1, "x.ts", 0, "out", "r", "x.ts", "x.ts", "outr_log.txt", "outr"},  // no slash is added
            {1, "a/b/c.ts", 0, "out/", "", "c.ts", "a/b/c.ts", "out/Tue_Dec__8_07_15_25_2026_log.txt", "out/c.ts"},
            {1, "c.ts", 0, "", "rep", "c.ts", "c.ts", "./rep_log.txt", "./rep"},
            {2, "", 0xEF010101u, "", "", "239.1.1.1", "", "./Tue_Dec__8_07_15_25_2026_log.txt", "./239.1.1.1"},
            {2, "", 0xEF010101u, "/tmp/", "live", "239.1.1.1", "", "/tmp/live_log.txt", "/tmp/live"},
        };
        for (const Case& c : cases) {
            ReportNames n;
            ASSERT_EQ(0, buildReportNamesFrom(c.source, c.file, c.ip, c.dir, c.name, kTuesday, &n)) << c.file;
            EXPECT_EQ(c.label, n.sourceLabel);
            EXPECT_EQ(c.fileText, n.fileNameText);
            EXPECT_EQ(c.log, n.logName);
            EXPECT_EQ(c.report, n.reportBase);
        }
    });
}

TEST(DriverNames, NamesThatDoNotFitAreRefused)
{
    ReportNames n;
    n.reportBase = "untouched";
    std::string dir(1000, 'd');
    // 1000 + 15 + 8 = 1023 characters: fits.
    EXPECT_EQ(0, buildReportNamesFrom(1, "x.ts", 0, dir.c_str(), std::string(15, 'r').c_str(), 0, &n));
    EXPECT_EQ(1023u, n.logName.size());
    n.reportBase = "untouched";
    EXPECT_EQ(-1, buildReportNamesFrom(1, "x.ts", 0, dir.c_str(), std::string(16, 'r').c_str(), 0, &n));
    EXPECT_EQ("untouched", n.reportBase);
    // The report base alone too long (a long file name without a report name).
    std::string longFile = std::string(1000, 'f');
    EXPECT_EQ(-1, buildReportNamesFrom(1, longFile.c_str(), 0, std::string(30, 'd').c_str(), "", 0, &n));
}

TEST(DriverNames, ModuleStateAfterAParse)
{
    ASSERT_EQ(0, parse({"-f", "/data/x.ts"}));
    ReportNames n;
    ASSERT_EQ(0, buildReportNames(kTuesday, &n));
    EXPECT_STREQ("./", m_acReportDir);
    EXPECT_EQ(n.logName, std::string(m_acLogFileName));
    EXPECT_EQ("./x.ts", n.reportBase);
    ASSERT_EQ(0, parse({"-report_dst", "out", "-report_name", "r", "-f", "/data/x.ts"}));
    ASSERT_EQ(0, buildReportNames(kTuesday, &n));
    EXPECT_STREQ("out", m_acReportDir);
    EXPECT_STREQ("outr_log.txt", m_acLogFileName);
    EXPECT_EQ("outr", n.reportBase);
}

TEST(DriverNames, ReportNameNeverNamesTheInput)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string input = dir + "/x.ts";
    {
        std::ofstream f(input);
        f << "data";
    }
    // The same file under another spelling, and through a hard link.
    EXPECT_EQ(dir + "/./x.ts.txt", reportNameForInput(dir + "/./x.ts", input.c_str(), false));
    EXPECT_EQ(dir + "/x.ts.xml", reportNameForInput(dir + "/x.ts", input.c_str(), true));
    ASSERT_EQ(0, link(input.c_str(), (dir + "/alias").c_str()));
    EXPECT_EQ(dir + "/alias.txt", reportNameForInput(dir + "/alias", input.c_str(), false));
    // Another file, or another directory: unchanged.
    EXPECT_EQ(dir + "/y.ts", reportNameForInput(dir + "/y.ts", input.c_str(), false));
    EXPECT_EQ("/tmp/x.ts", reportNameForInput("/tmp/x.ts", input.c_str(), false));
    // An input that does not exist yet keeps its path free too.
    std::string missing = dir + "/missing.ts";
    EXPECT_EQ(dir + "/./missing.ts.txt", reportNameForInput(dir + "/./missing.ts", missing.c_str(), false));
    EXPECT_EQ(dir + "/other.ts", reportNameForInput(dir + "/other.ts", missing.c_str(), false));
    // No input (network): unchanged.
    EXPECT_EQ("./239.1.1.1", reportNameForInput("./239.1.1.1", nullptr, false));
    removeTree(dir);
}

TEST(DriverNames, LogNameNeverNamesTheInput)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string input = dir + "/r_log.txt";
    {
        std::ofstream f(input);
        f << "data";
    }
    EXPECT_EQ(dir + "/./r_log.txt.txt", logNameForInput(dir + "/./r_log.txt", input.c_str()));
    EXPECT_EQ(dir + "/q_log.txt", logNameForInput(dir + "/q_log.txt", input.c_str()));
    EXPECT_EQ("./r_log.txt", logNameForInput("./r_log.txt", nullptr));
    // The fallback is checked too: a hard link under that name moves it on again.
    ASSERT_EQ(0, link(input.c_str(), (dir + "/r_log.txt.txt").c_str()));
    EXPECT_EQ(dir + "/r_log.txt.txt.txt", logNameForInput(input, input.c_str()));
    // Every name tried leads to the input: no log at all.
    std::string name = input;
    for (int i = 0; i < 8; ++i) {
        name += ".txt";
        unlink(name.c_str());
        ASSERT_EQ(0, link(input.c_str(), name.c_str()));
    }
    EXPECT_EQ("", logNameForInput(input, input.c_str()));
    removeTree(dir);
}

// ---------------------------------------------------------------- timing

TEST(DriverTiming, ProcessTimeText)
{
    struct {
        long long ticks;
        const char* text;
    } cases[] = {
        {75500000LL, "00:01:15.5"},  {0, "00:00:00"},           {5250000LL, "00:00:05.25"},
        {9000000LL, "00:00:09"},     {10000000LL, "00:00:10"},  {59500000LL, "00:00:59.5"},
        {600000000LL, "00:10:00"},   {3600000000LL, "01:00:00"}, {3725500000LL, "01:02:05.5"},
        {36000000000LL, "10:00:00"}, {1234567LL, "00:00:01.23457"}, {-5, "00:00:00"},
        // Never an exponent below 0.0001 s; from there on the stream's own form.
        {62, "00:00:00.000062"},     {1, "00:00:00.000001"},    {60000010LL, "00:01:00.00001"},
        {99, "00:00:00.000099"},     {100, "00:00:00.0001"},    {123, "00:00:00.000123"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, formatProcessTime(c.ticks)) << c.ticks;
}

TEST(DriverTiming, StatisticsBlock)
{
    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    EXPECT_EQ("00:01:15.5", printTimeStatistics(f, 1000, 75501000));
    rewind(f);
    char buf[512] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    EXPECT_EQ(std::string("Time Statistics:\nStart time 1000 ticks\nEnd   time 75501000 ticks\n"
                          "Toal time 75.500000 seconds\n--------------- \n"),
              std::string(buf, n));
}

// ---------------------------------------------------------------- registrations

TEST(DriverRegistrations, TableMatchesTheEventTableInMainsOrder)
{
    struct Row {
        int id;
        bool repeat;
        MsgCallbackFunction fn;
    } expected[] = {
        {0, false, GeneralCallbacks::transportTypeCb},
        {1, false, FlvCallbacks::flvHeaderCb},
        {2, false, FlvCallbacks::flvAudioDataCb},
        {3, false, FlvCallbacks::flvVideoDataCb},
        {4, false, Mpeg2TsCallbacks::mpeg2TsPatCb},
        {5, false, Mpeg2TsCallbacks::mpeg2TsPmtCb},
        {6, true, Mpeg2TsCallbacks::mpeg2TsDurationCb},
        {7, false, Mpeg2TsCallbacks::mpeg2TsMuxBitrateCb},
        {9, true, Mpeg2TsCallbacks::mpeg2TranspBitrateCb},
        {10, true, Mpeg2TsCallbacks::mpeg2PesStreamBitrateCb},
        {11, true, Mpeg2TsCallbacks::mpeg2ElmStreamBitrateCb},
        {8, true, Mpeg2TsCallbacks::mpeg2TsVideoCBRCb},
        {12, true, Mpeg2TsCallbacks::mpeg2TsStreamTypeCb},
        {13, true, Mpeg2TsCallbacks::mpeg2TsStreamDescCb},
        {14, true, Mpeg2TsCallbacks::mpeg2TsPtsCountCb},
        {15, true, Mpeg2TsCallbacks::mpeg2TsDtsCountCb},
        {16, false, Mpeg2TsCallbacks::mpeg2TsVideoResCb},
        {17, false, Mpeg2TsCallbacks::mpeg2TsFrameRateCb},
        {18, false, Mpeg2TsCallbacks::mpeg2TsDropFrameCb},
        {19, false, Mpeg2TsCallbacks::mpeg2TsQuadByteAlignedCb},
        {20, false, Mpeg2TsCallbacks::mpeg2TsAspectRatioCb},
        {21, false, Mpeg2TsCallbacks::mpeg2TsSampleAspectRatioCb},
        {22, false, Mpeg2TsCallbacks::mpeg2TsProgSequenceCb},
        {23, false, Mpeg2TsCallbacks::mpeg2TsChromaCb},
        {24, false, Mpeg2TsCallbacks::mpeg2TsProfileAndLevelCb},
        {25, false, Mpeg2TsCallbacks::mpeg2TsVbvBuffSizeCb},
        {26, false, Mpeg2TsCallbacks::mpeg2TsBitrateCb},
        {28, false, Mpeg2TsCallbacks::mpeg2TsGopStructCb},
        {27, false, Mpeg2TsCallbacks::mpeg2TsGopPayloadCb},
        {29, false, Mpeg2TsCallbacks::mpeg2TsOpenClosedGopCb},
        {30, false, Mpeg2TsCallbacks::mpeg2TsAdaptiveGopCb},
        {31, false, Mpeg2TsCallbacks::mpeg2TsGopSizeCb},
        {32, false, Mpeg2TsCallbacks::mpeg2TsFieldCountCb},
        {33, false, Mpeg2TsCallbacks::mpeg2TsFrameCountCb},
        {34, false, Mpeg2TsCallbacks::mpeg2TsCc},
        {35, true, Mpeg2TsCallbacks::mpeg2TsAc3SamplingRateCb},
        {36, true, Mpeg2TsCallbacks::mpeg2TsAc3BitrateCb},
        {37, true, Mpeg2TsCallbacks::mpeg2TsAc3AudioCodingModeCb},
        {38, true, Mpeg2TsCallbacks::mpeg2TsAc3ChOrderingCb},
        {39, true, Mpeg2TsCallbacks::mpeg2TsAc3StreamModeCb},
        {40, true, Mpeg2TsCallbacks::mpeg2TsAc3NUmberOfChannelsCb},
        {41, true, Mpeg2TsCallbacks::mpeg2TsMpegAudioLayerCb},
        {42, true, Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb},
        {43, true, Mpeg2TsCallbacks::mpeg2TsMpegAudioSamplingFreqCb},
        {44, true, Mpeg2TsCallbacks::mpeg2TsMpegAudioModeCb},
        {45, true, Mpeg2TsCallbacks::mpeg2TsAacAudioLayerCb},
        {46, true, Mpeg2TsCallbacks::mpeg2TsAacAudioProfileCb},
        {47, true, Mpeg2TsCallbacks::mpeg2TsAacAudioSamplingFreqCb},
        {48, true, Mpeg2TsCallbacks::mpeg2TsAacNumberOfChannels},
        {49, true, Mpeg2TsCallbacks::mpeg2TsAacAudioBitrate},
        {50, true, Mpeg2TsCallbacks::mpeg2TsAacAudioMode},
        {51, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioFreqCb},
        {52, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioNumOfChCb},
        {53, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioChanIdCb},
        {54, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioBitPerSampleCb},
        {55, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioBitrate},
        {56, true, Mpeg2TsCallbacks::mpeg2TsPcmAudioMode},
        {58, true, Mpeg2TsCallbacks::mpeg2TsSplicePointFlagInfoCb},
        {59, false, Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb},
        {60, true, Mpeg2TsCallbacks::mpeg2TsContinuityError},
        {61, true, Mpeg2TsCallbacks::mpeg2TsReservedBitsError},
        {65, true, Mpeg2TsCallbacks::mpeg2TsSyncLoss},
        {66, true, Mpeg2TsCallbacks::mpeg2TsInputGap},
        {67, true, Mpeg2TsCallbacks::mpeg2TsDatagramCut},
        {62, true, GeneralCallbacks::percentCompleteCb},
        {63, true, GeneralCallbacks::statusAliveCb},
    };
    int count = 0;
    const CallbackRegistration* table = getCallbackRegistrations(&count);
    const int n = (int)(sizeof(expected) / sizeof(expected[0]));
    ASSERT_EQ(n, count);
    ASSERT_EQ(66, n);  // 0..63 without 57, and 65 to 67
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(expected[i].id, (int)table[i].id) << "row " << i;
        EXPECT_EQ(expected[i].repeat, table[i].repeat) << "id " << expected[i].id;
        EXPECT_TRUE(expected[i].fn == table[i].function) << "id " << expected[i].id;
    }
}

TEST(DriverRegistrations, StatusAliveOnlyWithAnOutgoingQueueAndNothingOn57Or64)
{
    {
        MsgCallback reg;
        EXPECT_EQ(65, registerAnalysisCallbacks(&reg, false));
        reg.callMsgCallback(CB_STATUS_ALIVE, nullptr);
        reg.callMsgCallback(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, nullptr);
        reg.callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr);
        EXPECT_EQ(nullptr, reg.getMsgPool()->getUnprocessedMsg());
    }
    {
        MsgCallback reg;
        EXPECT_EQ(66, registerAnalysisCallbacks(&reg, true));
        GeneralCallbacks::resetStatusAliveClock();
        reg.callMsgCallback(CB_STATUS_ALIVE, nullptr);
        StreamMessage* m = reg.getMsgPool()->getUnprocessedMsg();
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(CB_STATUS_ALIVE, m->getCallbackId());
        delete m;
        while ((m = reg.getMsgPool()->getUnprocessedMsg()) != nullptr)
            delete m;
    }
}

TEST(DriverRegistrations, OneShotThroughMainsRegistrationsGivesOneMessage)
{
    MsgCallback reg;
    registerAnalysisCallbacks(&reg, false);
    char res1[] = "720x576";
    char res2[] = "1920x1080";
    PidValueInfo a = {481, res1};
    PidValueInfo b = {482, res2};
    reg.callMsgCallback(CB_MPEG2TS_VIDEO_RES, &a);
    reg.callMsgCallback(CB_MPEG2TS_VIDEO_RES, &b);
    std::string pidStream = "MPEG-2 Video";
    PidValueInfo t1 = {481, &pidStream};
    PidValueInfo t2 = {482, &pidStream};
    reg.callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &t1);
    reg.callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &t2);
    int res = 0, types = 0;
    while (StreamMessage* m = reg.getMsgPool()->getUnprocessedMsg()) {
        if (m->getCallbackId() == CB_MPEG2TS_VIDEO_RES)
            ++res;
        if (m->getCallbackId() == CB_MPEG2TS_STREAM_TYPE)
            ++types;
        delete m;
    }
    EXPECT_EQ(1, res);
    EXPECT_EQ(2, types);
}

// ---------------------------------------------------------------- input parameters

TEST(DriverInputParams, KindsAndAssignment)
{
    InputParams none;
    EXPECT_EQ(INPUT_SOURCE_NONE, none.m_iSourceType);
    EXPECT_EQ("", none.m_sFileName);
    EXPECT_EQ("", none.m_sDumpFileName);

    InputParams net(0xEF010101u, 50000, 0x7F000001u, "./", 10, 65536, true, false);
    EXPECT_EQ(INPUT_SOURCE_NETWORK, net.m_iSourceType);
    EXPECT_EQ(50000, net.m_usPort);
    EXPECT_EQ("./", net.m_sDumpFileName);
    EXPECT_EQ(10, net.m_iNumberOfBuffers);
    EXPECT_EQ(65536, net.m_iBufferSize);
    EXPECT_TRUE(net.m_bSaveToDisk);
    EXPECT_FALSE(net.m_bDiskDirect);
    EXPECT_EQ("", net.m_sFileName);

    std::string path = "/data/x.ts";
    InputParams file(path);
    EXPECT_EQ(INPUT_SOURCE_FILE, file.m_iSourceType);
    EXPECT_EQ(path, file.m_sFileName);
    EXPECT_EQ("", file.m_sDumpFileName);

    // A file description over a network one keeps the target's network fields.
    InputParams target = net;
    target = file;
    EXPECT_EQ(INPUT_SOURCE_FILE, target.m_iSourceType);
    EXPECT_EQ(path, target.m_sFileName);
    EXPECT_EQ(0xEF010101u, target.m_uiIpAddr);
    EXPECT_EQ(50000, target.m_usPort);
    EXPECT_EQ("./", target.m_sDumpFileName);
    EXPECT_EQ(10, target.m_iNumberOfBuffers);

    // A network description copies every network field but not the file name.
    InputParams other(std::string("/keep.ts"));
    other = net;
    EXPECT_EQ(INPUT_SOURCE_NETWORK, other.m_iSourceType);
    EXPECT_EQ("/keep.ts", other.m_sFileName);
    EXPECT_EQ(0x7F000001u, other.m_uiInterfaceIp);
    EXPECT_TRUE(other.m_bSaveToDisk);
    EXPECT_EQ(65536, other.m_iBufferSize);

    // A "none" description copies only its kind.
    InputParams kept(path);
    kept = none;
    EXPECT_EQ(INPUT_SOURCE_NONE, kept.m_iSourceType);
    EXPECT_EQ(path, kept.m_sFileName);
    InputParams& same = kept;
    kept = same;
    EXPECT_EQ(path, kept.m_sFileName);
}

// ---------------------------------------------------------------- listener

namespace {

struct Filed {
    std::vector<int> ids;
    StreamMessagePool* pool = nullptr;
    std::atomic<bool>* flag = nullptr;
    int extraOnFirst = 0;
};

void recordAndDelete(StreamMessage* m, void* ctx)
{
    Filed* f = static_cast<Filed*>(ctx);
    f->ids.push_back(m->getCallbackId());
    delete m;
    if (f->extraOnFirst > 0) {
        // Messages that arrive after the flag was cleared, while the listener is busy.
        for (int i = 0; i < f->extraOnFirst; ++i) {
            StreamMessage* extra = new StreamInfoMessage();
            extra->setCallbackId(100 + i);
            f->pool->setUnprocessedMsg(extra);
        }
        f->extraOnFirst = 0;
        f->flag->store(false);
    }
}

void push(StreamMessagePool& pool, int id)
{
    StreamMessage* m = new StreamInfoMessage();
    m->setCallbackId(id);
    pool.setUnprocessedMsg(m);
}

std::string uniqueQueueName()
{
    return testsupport::uniqueQueueName("/korbalt_h1_lsn_");
}

ListenerConfig makeConfig(StreamMessagePool* pool, Filed* filed, std::atomic<bool>* flag, const char* queue)
{
    ListenerConfig c = {};
    c.pool = pool;
    c.fileMessage = recordAndDelete;
    c.context = filed;
    c.outgoingQueueName = queue;
    c.keepListening = flag;
    c.pollIntervalMs = 10;
    return c;
}

}  // namespace

TEST(DriverListener, FinalDrainFilesEverythingInOrderHeartbeatsIncluded)
{
    StreamMessagePool pool;
    for (int id : {0, 4, 63, 5, 60, 63, 7})
        push(pool, id);
    std::atomic<bool> flag(false);
    Filed filed;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, nullptr);
    runListener(&c);
    // The first message is handled by the loop, the rest by the drain.
    EXPECT_EQ((std::vector<int>{0, 4, 63, 5, 60, 63, 7}), filed.ids);
    EXPECT_EQ(nullptr, pool.getUnprocessedMsg());
}

TEST(DriverListener, MessagesQueuedAfterTheFlagIsClearedAreAllFiled)
{
    StreamMessagePool pool;
    push(pool, 12);
    std::atomic<bool> flag(true);
    Filed filed;
    filed.pool = &pool;
    filed.flag = &flag;
    filed.extraOnFirst = 5;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, nullptr);
    runListener(&c);
    EXPECT_EQ((std::vector<int>{12, 100, 101, 102, 103, 104}), filed.ids);
}

TEST(DriverListener, HeartbeatsWithoutAQueueAreDroppedDuringTheRun)
{
    StreamMessagePool pool;
    std::atomic<bool> flag(true);
    Filed filed;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, "");
    std::thread t([&] { runListener(&c); });
    push(pool, 63);
    push(pool, 16);
    push(pool, 63);
    for (int i = 0; i < 500 && pool.getUnprocessedMsgCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    flag.store(false);
    t.join();
    EXPECT_EQ(std::vector<int>{16}, filed.ids);
    EXPECT_EQ(0, c.noticesSent);
}

TEST(DriverListener, NoticesReachTheSupervisorsQueue)
{
    std::string name = uniqueQueueName();
    unlinkMsgQueue(name.c_str());
    QueueAttr attr = {0, 10, 24, 0};
    int sup = createMsgQueue(name.c_str(), APP_QUEUE_MODE, &attr);
    ASSERT_GE(sup, 0);
    StreamMessagePool pool;
    std::atomic<bool> flag(true);
    Filed filed;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, name.c_str());
    std::thread t([&] { runListener(&c); });
    push(pool, 63);
    push(pool, 6);
    push(pool, 63);
    for (int i = 0; i < 500 && pool.getUnprocessedMsgCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    flag.store(false);
    t.join();
    EXPECT_EQ(2, c.noticesSent);
    EXPECT_EQ(std::vector<int>{6}, filed.ids);
    for (int i = 0; i < 2; ++i) {
        AppMsg notice;
        memset(&notice, 0x5A, sizeof(notice));
        int length = 0;
        unsigned int prio = 0;
        ASSERT_EQ(24, receiveTimedPriorityMsg(sup, &notice, sizeof(notice), &length, &prio, 1000));
        EXPECT_EQ(APP_MSG_STATUS_ALIVE, notice.type);
        EXPECT_EQ(0, notice.capacity);
        EXPECT_EQ(0, notice.length);
        EXPECT_EQ(nullptr, notice.buffer);
        EXPECT_EQ(16u, prio);
    }
    closeMsgQueue(sup);
    unlinkMsgQueue(name.c_str());
}

TEST(DriverListener, FullSupervisorQueueDropsNoticesAndNeverStalls)
{
    std::string name = uniqueQueueName();
    unlinkMsgQueue(name.c_str());
    QueueAttr attr = {0, 1, 24, 0};
    int sup = createMsgQueue(name.c_str(), APP_QUEUE_MODE, &attr);
    ASSERT_GE(sup, 0);
    StreamMessagePool pool;
    std::atomic<bool> flag(true);
    Filed filed;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, name.c_str());
    auto t0 = std::chrono::steady_clock::now();
    std::thread t([&] { runListener(&c); });
    for (int i = 0; i < 4; ++i)
        push(pool, 63);
    push(pool, 9);
    for (int i = 0; i < 1000 && pool.getUnprocessedMsgCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    flag.store(false);
    t.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 5000);
    EXPECT_EQ(1, c.noticesSent);
    EXPECT_EQ(3, c.noticesDropped);
    EXPECT_EQ(std::vector<int>{9}, filed.ids);
    closeMsgQueue(sup);
    unlinkMsgQueue(name.c_str());
}

TEST(DriverListener, QueueThatNobodyCreatedIsHarmless)
{
    StreamMessagePool pool;
    push(pool, 63);
    push(pool, 0);
    std::atomic<bool> flag(true);
    Filed filed;
    std::string name = uniqueQueueName();
    ListenerConfig c = makeConfig(&pool, &filed, &flag, name.c_str());
    std::thread t([&] { runListener(&c); });
    for (int i = 0; i < 500 && pool.getUnprocessedMsgCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    flag.store(false);
    t.join();
    EXPECT_EQ(std::vector<int>{0}, filed.ids);
    EXPECT_EQ(0, c.noticesSent);
}

TEST(DriverListener, ClearedFlagEndsALongPollAtOnce)
{
    StreamMessagePool pool;
    std::atomic<bool> flag(true);
    Filed filed;
    ListenerConfig c = makeConfig(&pool, &filed, &flag, nullptr);
    c.pollIntervalMs = 1000;
    std::thread t([&] { runListener(&c); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto t0 = std::chrono::steady_clock::now();
    flag.store(false);
    t.join();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 500);
}

// ---------------------------------------------------------------- whole runs

namespace {

struct RunResult {
    int status = -1;       // exit status, or -1 when it did not exit by itself
    int signal = 0;        // terminating signal
    std::string out;
    std::string err;
};

// Runs the korbalt binary in dir with the given words; kills it after timeoutMs.
// With interruptAfterMs >= 0, sends SIGINT that many ms after the start.
RunResult runKorbalt(const std::string& dir, const std::vector<std::string>& words, int timeoutMs = 60000,
                     int interruptAfterMs = -1)
{
    RunResult r;
    std::string outName = dir + "/.stdout", errName = dir + "/.stderr";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int o = open(outName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::vector<char*> argv;
        std::string bin = KORBALT_BINARY;
        argv.push_back(&bin[0]);
        std::vector<std::string> copy = words;
        for (std::string& w : copy)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    auto t0 = std::chrono::steady_clock::now();
    bool interrupted = false;
    int st = 0;
    for (;;) {
        pid_t done = waitpid(child, &st, WNOHANG);
        if (done == child)
            break;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (interruptAfterMs >= 0 && !interrupted && ms >= interruptAfterMs) {
            kill(child, SIGINT);
            interrupted = true;
        }
        if (ms > timeoutMs) {
            kill(child, SIGKILL);
            waitpid(child, &st, 0);
            r.out = readFile(outName);
            r.err = readFile(errName);
            r.signal = SIGKILL;
            return r;
        }
        usleep(2000);
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    r.out = readFile(outName);
    r.err = readFile(errName);
    unlink(outName.c_str());
    unlink(errName.c_str());
    return r;
}

}  // namespace

TEST(DriverRun, BadCommandLinesPrintTheUsageAndCreateNothing)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::vector<std::vector<std::string>> lines = {
        {},
        {"-f"},
        {"-n", "-ip", "239.1.1.1", "-p", "5000"},
        {"-n", "-ip", "239.1.1.1", "-p", "5000", "-int"},
        {"-r", "xml"},
        {"-out_queue_name", "/q"},
        {"-report_dst", std::string(1100, 'd'), "-f", "x.ts"},
        {"-report_dst", std::string(1000, 'd'), "-report_name", std::string(100, 'r'), "-f", "x.ts"},
    };
    for (const auto& words : lines) {
        RunResult r = runKorbalt(dir, words, 20000);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(usageText(), r.out);
        EXPECT_EQ("", r.err);
        EXPECT_TRUE(listDir(dir).empty()) << "files left by a usage error";
    }
    removeTree(dir);
}

namespace {

std::string samplePath()
{
    return std::string(KORBALT_SOURCE_DIR) + "/samples/sample.ts";
}

bool copyFile(const std::string& from, const std::string& to)
{
    std::string data = readFile(from);
    if (data.empty())
        return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << data;
    return (bool)out;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(DriverRun, FileRunWritesReportLogAndStatistics)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    RunResult r = runKorbalt(dir, {"-report_dst", dir + "/", "-report_name", "rep", "-f", samplePath()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_TRUE(contains(r.out, "Time Statistics:\nStart time "));
    EXPECT_TRUE(contains(r.out, " ticks\nEnd   time "));
    EXPECT_TRUE(contains(r.out, "Toal time "));
    EXPECT_TRUE(contains(r.out, "--------------- \n"));
    std::string report = readFile(dir + "/rep");
    EXPECT_EQ(0u, report.find("\n<<< Summary >>>\n<<< Report Summary >>>\nFile Name:" + samplePath() + "\n"))
        << report.substr(0, 200);
    EXPECT_TRUE(contains(report, "\nReportStartTime:"));
    EXPECT_TRUE(contains(report, "\nReportEndTime:"));
    EXPECT_TRUE(contains(report, "\nReportProcessTime:"));
    EXPECT_TRUE(contains(report, "\nMedia Container:MPEG2 transport"));
    std::string log = readFile(dir + "/rep_log.txt");
    EXPECT_TRUE(contains(log, "StreamDecoder Processed 645216 Bytes")) << log;
    // The summary lines come in the driver's order.
    size_t a = report.find("File Name:"), b = report.find("ReportStartTime:"), c = report.find("ReportEndTime:"),
           d = report.find("ReportProcessTime:");
    EXPECT_TRUE(a < b && b < c && c < d);
    removeTree(dir);
}

TEST(DriverRun, DefaultNamesNeverOverwriteTheInput)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(copyFile(samplePath(), dir + "/x.ts"));
    std::string before = readFile(dir + "/x.ts");
    RunResult r = runKorbalt(dir, {"-f", "x.ts"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(before, readFile(dir + "/x.ts"));
    std::string report = readFile(dir + "/x.ts.txt");
    EXPECT_TRUE(contains(report, "<<< Summary >>>"));
    bool stampedLog = false;
    for (const std::string& n : listDir(dir))
        if (n.size() > 8 && n.compare(n.size() - 8, 8, "_log.txt") == 0 && n.find(' ') == std::string::npos &&
            n.find(':') == std::string::npos)
            stampedLog = true;
    EXPECT_TRUE(stampedLog);

    // XML the same way.
    r = runKorbalt(dir, {"-r", "xml", "-f", "x.ts"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(before, readFile(dir + "/x.ts"));
    EXPECT_TRUE(contains(readFile(dir + "/x.ts.xml"), "<?xml"));
    removeTree(dir);
}

TEST(DriverRun, LogNamedLikeTheInputGoesElsewhere)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(copyFile(samplePath(), dir + "/r_log.txt"));
    std::string before = readFile(dir + "/r_log.txt");
    for (const char* format : {"txt", "xml"}) {
        unlink((dir + "/r_log.txt.txt").c_str());
        RunResult r = runKorbalt(dir, {"-r", format, "-report_name", "r", "-f", "r_log.txt"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(before, readFile(dir + "/r_log.txt")) << format;
        std::string log = readFile(dir + "/r_log.txt.txt");
        EXPECT_EQ(0u, log.find("Log file ./r_log.txt is the input file; writing the log to ./r_log.txt.txt\n"))
            << log.substr(0, 200);
        EXPECT_TRUE(contains(log, "StreamDecoder Processed 645216 Bytes")) << format;
        EXPECT_TRUE(contains(readFile(dir + "/r"), std::string(format) == "xml" ? "<TotalErrors" : "TotalErrors:"));
    }
    removeTree(dir);
}

TEST(DriverRun, InputThatCannotBeAnalysedFailsWithOneLineAndNoShadowFile)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    RunResult r = runKorbalt(dir, {"-f", "missing.ts"});
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(contains(r.err, "korbalt: cannot open input file missing.ts: No such file or directory\n")) << r.err;
    // The report of a missing input does not take the input's name.
    EXPECT_FALSE(fileExists(dir + "/missing.ts"));
    EXPECT_TRUE(fileExists(dir + "/missing.ts.txt"));

    {
        std::ofstream junk(dir + "/junk.bin", std::ios::binary);
        for (int i = 0; i < 5000; ++i)
            junk.put((char)(i * 31 + 7));
    }
    r = runKorbalt(dir, {"-report_name", "j", "-f", "junk.bin"});
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(contains(r.err, "korbalt: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "junk.bin")) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    removeTree(dir);
}

TEST(DriverRun, ReportThatCannotBeCreatedFails)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    RunResult r = runKorbalt(dir, {"-report_dst", "/nonexistent_korbalt_dir/", "-f", samplePath()});
    EXPECT_NE(0, r.status);
    EXPECT_TRUE(contains(r.err, "/nonexistent_korbalt_dir/")) << r.err;
    removeTree(dir);
}

namespace {

bool bringLoopbackUp()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

// In a private network namespace: starts korbalt on a unicast UDP stream on the loopback,
// sends the sample for sendMs, then interrupts korbalt with SIGINT. Returns the exit code
// for the parent: korbalt's status, 77 when no namespace can be made, 9x on a failure here.
int networkRunInNamespace(const std::string& dir, const std::vector<std::string>& words, int sendMs)
{
    if (unshare(CLONE_NEWNET) != 0)
        return 77;
    if (!bringLoopbackUp())
        return 77;
    std::string data = readFile(samplePath());
    if (data.size() < 1316)
        return 93;
    pid_t k = fork();
    if (k < 0)
        return 94;
    if (k == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int o = open((dir + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open((dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        std::string bin = KORBALT_BINARY;
        std::vector<std::string> copy = words;
        std::vector<char*> argv;
        argv.push_back(&bin[0]);
        for (std::string& w : copy)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    usleep(300000);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(45678);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto t0 = std::chrono::steady_clock::now();
    size_t pos = 0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(sendMs)) {
        if (pos + 1316 > data.size())
            pos = 0;
        sendto(s, data.data() + pos, 1316, 0, (struct sockaddr*)&to, sizeof(to));
        pos += 1316;
        usleep(2000);
    }
    close(s);
    kill(k, SIGINT);
    int st = 0;
    if (!waitChildWithin(k, &st, 15000))
        return 90;
    if (!WIFEXITED(st))
        return 91;
    // The source's queues are gone with the run.
    for (const char* kind : {"_EMPTY_QUEUE", "_FULL_QUEUE"}) {
        std::string q = std::string("/127_0_0_1_45678") + kind + "_" + std::to_string((int)k);
        mqd_t left = mq_open(q.c_str(), O_RDONLY);
        if (left != (mqd_t)-1) {
            mq_close(left);
            mq_unlink(q.c_str());
            return 92;
        }
    }
    return WEXITSTATUS(st);
}

}  // namespace

// A live run ends in order on Ctrl-C, and while it runs the supervisor's queue receives
// status-alive notices.
TEST(DriverRun, NetworkRunSendsNoticesAndEndsOnCtrlC)
{
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string qname = "/korbalt_h1_sup_" + std::to_string(getpid());
    unlinkMsgQueue(qname.c_str());
    QueueAttr attr = {0, 10, 24, 0};
    int sup = createMsgQueue(qname.c_str(), APP_QUEUE_MODE, &attr);
    ASSERT_GE(sup, 0);
    // Unicast on an interface address that no interface has: nothing is joined.
    std::vector<std::string> words = {"-out_queue_name", qname, "-report_dst", dir + "/", "-report_name", "net",
                                      "-n", "-ip", "127.0.0.1", "-p", "45678", "-int", "10.255.255.1"};
    fflush(nullptr);
    pid_t c = fork();
    ASSERT_GE(c, 0);
    if (c == 0)
        _exit(networkRunInNamespace(dir, words, 3500));

    int notices = 0, badNotices = 0, st = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (;;) {
        AppMsg n;
        int length = 0;
        unsigned int prio = 0;
        if (receiveTimedPriorityMsg(sup, &n, sizeof(n), &length, &prio, 100) == 24) {
            if (n.type == APP_MSG_STATUS_ALIVE && n.capacity == 0 && n.length == 0 && !n.buffer && prio == 16)
                ++notices;
            else
                ++badNotices;
            continue;
        }
        if (waitpid(c, &st, WNOHANG) == c)
            break;
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(40)) {
            kill(c, SIGKILL);
            waitpid(c, &st, 0);
            break;
        }
    }
    closeMsgQueue(sup);
    unlinkMsgQueue(qname.c_str());
    ASSERT_TRUE(WIFEXITED(st));
    int code = WEXITSTATUS(st);
    if (code == 77) {
        removeTree(dir);
        GTEST_SKIP() << "no private network namespace here";
    }
    EXPECT_EQ(0, code) << readFile(dir + "/.stderr");
    EXPECT_GE(notices, 1);
    EXPECT_EQ(0, badNotices);
    std::string report = readFile(dir + "/net");
    EXPECT_TRUE(contains(report, "\nFile Name:\n"));
    EXPECT_TRUE(contains(report, "Media Container:MPEG2 transport")) << report.substr(0, 300);
    EXPECT_TRUE(contains(readFile(dir + "/.stdout"), "Time Statistics:"));
    removeTree(dir);
}
