// Report writer: renderers, transport stream report and stream report, checked
// against golden files built from message sequences of the callbacks' shapes.
#include "callbacks/callbackMappedValue.h"
#include "callbacks/mpeg2tsCallbacks.h"
#include "engine/msgCallback.h"
#include "engine/streamErrorMessage.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "report/mpeg2tsReport.h"
#include "report/streamReport.h"
#include "report/txtRenderer.h"
#include "report/xmlRenderer.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::readFile;
using testsupport::writeFile;

namespace {

// Each test's own directory under /tmp.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("korbalt_report_") {}
};

// ---- files -------------------------------------------------------------------

std::string goldenPath(const std::string& name)
{
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/golden/" + name;
}

// With KORBALT_UPDATE_GOLDEN set the golden file is rewritten from the output
// (review the diff before committing it).
void expectGolden(const std::string& name, const std::string& actual)
{
    std::string path = goldenPath(name);
    if (getenv("KORBALT_UPDATE_GOLDEN")) {
        mkdir((std::string(KORBALT_SOURCE_DIR) + "/tests/data/golden").c_str(), 0755);
        writeFile(path, actual);
    }
    std::string expected = readFile(path);
    ASSERT_FALSE(expected.empty()) << "missing golden file " << path;
    EXPECT_EQ(expected, actual) << "differs from " << path;
}

bool xmllintAccepts(const std::string& path)
{
    if (access("/usr/bin/xmllint", X_OK) != 0)
        return true;
    std::string cmd = "/usr/bin/xmllint --noout '" + path + "' 2>/dev/null";
    return system(cmd.c_str()) == 0;
}

// ---- messages shaped as the callbacks build them --------------------------------

typedef std::vector<std::pair<std::string, std::string>> Children;

callbackMappedValue entry(const std::string& name, const std::string& value, const Children& children = {})
{
    callbackMappedValue e(name, value);
    if (!children.empty()) {
        e.m_pChildren = new MappedValueList;
        for (const auto& c : children)
            e.m_pChildren->push_back(callbackMappedValue(c.first, c.second));
    }
    return e;
}

StreamMessage* listMsg(int id, const std::string& desc, _MessageType type, const MappedValueList& entries)
{
    StreamMessage* m = type == MSG_TYPE_ERROR  ? new StreamErrorMessage
                       : type == MSG_TYPE_INFO ? new StreamInfoMessage
                                               : new StreamMessage;
    m->setMsgType(type);
    m->setMsgDesc(desc.c_str());
    m->setCallbackId(id);
    m->setMsgData(new MappedValueList(entries), PAYLOAD_TYPE_MAPPED_LIST, 0);
    return m;
}

// A (Pid, entry) pair list for every entry given.
StreamMessage* pairMsg(int id, const std::string& desc, int pid, const std::vector<callbackMappedValue>& entries,
                       _MessageType type = MSG_TYPE_INFO)
{
    MappedValueList list;
    for (const auto& e : entries) {
        list.push_back(callbackMappedValue("Pid", std::to_string(pid)));
        list.push_back(e);
    }
    return listMsg(id, desc, type, list);
}

StreamMessage* valueMsg(int id, const std::string& desc, int pid, const std::string& name, const std::string& value)
{
    return pairMsg(id, desc, pid, {entry(name, value)});
}

StreamMessage* unitsMsg(int id, const std::string& desc, int pid, const std::string& name, const std::string& value,
                        const std::string& units)
{
    return pairMsg(id, desc, pid, {entry(name, value, {{"Units", units}})});
}

StreamMessage* streamTypeMsg(int pid, const std::string& kind)
{
    MappedValueList list;
    list.push_back(callbackMappedValue("Stream Type", kind));
    list.push_back(callbackMappedValue("Pid", std::to_string(pid)));
    return listMsg(CB_MPEG2TS_STREAM_TYPE, "Stream Type", MSG_TYPE_INFO, list);
}

StreamMessage* packetMsg(int id, int pid, unsigned long long packet, const std::string& text)
{
    bool error = id == CB_MPEG2TS_CONTINUITY_ERROR || id == CB_MPEG2TS_RESERVED_BITS_ERROR;
    std::string desc = id == CB_MPEG2TS_CONTINUITY_ERROR       ? "Continuity Error"
                       : id == CB_MPEG2TS_RESERVED_BITS_ERROR  ? "Reserved Bits Error"
                       : id == CB_MPEG2TS_PCR_ROLL_OVER        ? "PCR Rollover"
                                                               : "Splice Point Flag";
    return pairMsg(id, desc, pid,
                   {entry("Pid", std::to_string(pid),
                          {{"Packet", std::to_string(packet)}, {"Type", desc}, {"Description", text}})},
                   error ? MSG_TYPE_ERROR : MSG_TYPE_WARNING);
}

StreamMessage* durationMsg(uint32_t h, uint32_t m, uint32_t s, uint32_t final)
{
    StreamMessage* msg = new StreamInfoMessage;
    msg->setMsgDesc("Asset Duration");
    msg->setCallbackId(CB_MPEG2TS_DURATION);
    int32_t* words = new int32_t[4]{(int32_t)h, (int32_t)m, (int32_t)s, (int32_t)final};
    msg->setMsgData(words, PAYLOAD_TYPE_4BYTE_ARRAY, 4);
    return msg;
}

StreamMessage* muxMsg(const std::string& value)
{
    MappedValueList list;
    list.push_back(entry("MuxBitrate", value, {{"Units", "bps"}}));
    return listMsg(CB_MPEG2TS_MUX_BITRATE, "Mux Bitrate", MSG_TYPE_INFO, list);
}

StreamMessage* containerMsg(const std::string& text)
{
    StreamMessage* msg = new StreamInfoMessage;
    msg->setMsgDesc(text.c_str());
    msg->setCallbackId(CB_TRANSPORT_TYPE);
    return msg;
}

StreamMessage* percentMsg(long percent)
{
    StreamMessage* msg = new StreamInfoMessage;
    msg->setMsgDesc("Percent Complete");
    msg->setCallbackId(CB_PERCENT_COMPLETE);
    msg->setMsgData(reinterpret_cast<void*>(percent), PAYLOAD_TYPE_INT32_ARRAY, 0);
    return msg;
}

StreamMessage* bareMsg(int id, const std::string& desc)
{
    StreamMessage* msg = new StreamInfoMessage;
    msg->setMsgDesc(desc.c_str());
    msg->setCallbackId(id);
    return msg;
}

StreamMessage* patMsg(int tsid, const std::vector<std::pair<int, int>>& programsInTableOrder)
{
    std::vector<callbackMappedValue> e;
    e.push_back(entry("Pid", "0"));
    e.push_back(entry("Transport Stream Id", std::to_string(tsid)));
    for (auto it = programsInTableOrder.rbegin(); it != programsInTableOrder.rend(); ++it) {
        e.push_back(entry("Program PID", std::to_string(it->second)));
        e.push_back(entry("Program Number", std::to_string(it->first)));
    }
    return pairMsg(CB_MPEG2TS_PAT, "PAT Table", 0, e);
}

// PMT of program 1 on PID 4096: a program descriptor, an MPEG-2 video stream
// without descriptors and an MPEG audio stream with a language descriptor.
StreamMessage* pmtMsg()
{
    std::vector<callbackMappedValue> e = {
        entry("Pid", "4096"),
        entry("ProgramNumber", "1"),
        entry("VersionNumber", "0"),
        entry("ValidPmt", "true"),
        entry("PcrPid", "256"),
        entry("Outer Descriptor Loop Start", "Outer Descriptor Loop"),
        entry("Tag", "0x5", {{"Desc", "Registration descriptor"}, {"Descriptor Payload", "0x47 0x41 0x39 0x34 "}}),
        entry("Outer Descriptor Loop End", ""),
        entry("Elements Start", "Elements"),
        entry("Stream Start", "Stream"),
        entry("StreamType", "0x2", {{"Desc", "ITU-T Rec. H.262 | ISO/IEC 13818-2 Video"}}),
        entry("Pid", "256"),
        entry("Stream End", ""),
        entry("Stream Start", "Stream"),
        entry("StreamType", "0x3", {{"Desc", "ISO/IEC 11172 Audio"}}),
        entry("Pid", "257"),
        entry("Inner Descriptor Loop Start", "Inner Descriptor Loop"),
        entry("  Tag", "0xa",
              {{"Desc", "ISO 639 language descriptor"}, {"Descriptor Payload", "0x65 0x6E 0x67 0x00 "}}),
        entry("Inner Descriptor Loop End", ""),
        entry("Stream End", ""),
        entry("Elements End", ""),
    };
    return pairMsg(CB_MPEG2TS_PMT, "PMT Table", 4096, e);
}

StreamMessage* ccMsg(int pid, bool e608, bool e708, bool s20, bool s21)
{
    auto tf = [](bool b) { return std::string(b ? "true" : "false"); };
    return pairMsg(CB_MPEG2TS_CC, "Closed Captions", pid,
                   {entry("ClosedCaptions", tf(e608 || e708 || s20 || s21)), entry("AtscEia608", tf(e608)),
                    entry("AtscEia708", tf(e708)), entry("Scte20", tf(s20)), entry("Scte21", tf(s21))});
}

StreamMessage* flvMsg(int id, const std::string& desc, const std::vector<std::pair<std::string, std::string>>& entries)
{
    MappedValueList list;
    for (const auto& e : entries)
        list.push_back(callbackMappedValue(e.first, e.second));
    return listMsg(id, desc, MSG_TYPE_INFO, list);
}

// A two-stream MPEG-2 run as the callbacks would queue it, in arrival order.
std::vector<StreamMessage*> tsRunMessages()
{
    std::vector<StreamMessage*> v;
    v.push_back(containerMsg("MPEG2 transport"));
    v.push_back(percentMsg(2));
    v.push_back(patMsg(1, {{1, 4096}}));
    v.push_back(streamTypeMsg(0, "PAT Table"));
    v.push_back(pmtMsg());
    v.push_back(streamTypeMsg(4096, "PMT Table"));
    v.push_back(streamTypeMsg(257, "Audio"));
    v.push_back(valueMsg(CB_MPEG2TS_STREAM_DESC, "Stream Desc", 257, "Stream Desc", "ISO/IEC 11172 Audio"));
    v.push_back(streamTypeMsg(256, "Video"));
    v.push_back(valueMsg(CB_MPEG2TS_STREAM_DESC, "Stream Desc", 256, "Stream Desc",
                         "ITU-T Rec. H.262 | ISO/IEC 13818-2 Video"));
    v.push_back(valueMsg(CB_MPEG2TS_VIDEO_RES, "Video Resolution", 256, "Video Resolution", "720x576"));
    v.push_back(valueMsg(CB_MPEG2TS_FRAME_RATE, "Frame Rate", 256, "Frame Rate", "25"));
    v.push_back(valueMsg(CB_MPEG2TS_ASPECT_RATIO, "Aspect Ratio", 256, "Aspect Ratio", "1.78"));
    v.push_back(unitsMsg(CB_MPEG2TS_BITRATE, "Video Bitrate", 256, "Video Bitrate", "15000000.00", "bps"));
    v.push_back(valueMsg(CB_MPEG2TS_MPEG_AUDIO_LAYER, "Audio Layer", 257, "Audio Layer", "Layer II"));
    v.push_back(unitsMsg(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, "Sampling Rate", 257, "Sampling Rate", "48000", "Hz"));
    v.push_back(unitsMsg(CB_MPEG2TS_MPEG_AUDIO_BITRATE, "Audio Bitrate", 257, "Audio Bitrate", "192000.00", "bps"));
    v.push_back(packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0, 10, "Old counter is 3 New Counter is 5"));
    v.push_back(packetMsg(CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, 256, 77, "splicing_point_flag set"));
    v.push_back(packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 257, 1234, "Old counter is 7 New Counter is 9"));
    v.push_back(packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0, 500, "Old counter is 9 New Counter is 11"));
    v.push_back(packetMsg(CB_MPEG2TS_PCR_ROLL_OVER, 256, 2048, "pcr rollover detected"));
    v.push_back(durationMsg(0, 0, 1, 0));
    v.push_back(percentMsg(100));
    // End of stream: destructors fire the totals.
    v.push_back(muxMsg("4500000.00"));
    v.push_back(durationMsg(0, 0, 2, 1));
    v.push_back(unitsMsg(CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", 0, "TransportBitrate", "15040.00", "bps"));
    v.push_back(unitsMsg(CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", 4096, "TransportBitrate", "15040.00", "bps"));
    v.push_back(unitsMsg(CB_MPEG2TS_PES_STREAM_BITRATE, "PESBitrate", 256, "PESBitrate", "4000000.00", "bps"));
    v.push_back(unitsMsg(CB_MPEG2TS_PES_STREAM_BITRATE, "PESBitrate", 257, "PESBitrate", "200000.00", "bps"));
    v.push_back(valueMsg(CB_MPEG2TS_PTS_COUNT, "PTS Count", 256, "PTS Count", "50"));
    v.push_back(valueMsg(CB_MPEG2TS_GOP_SIZE, "Gop Size", 256, "Gop Size", "12"));
    v.push_back(ccMsg(256, false, false, false, true));
    v.push_back(bareMsg(CB_ANALYSIS_COMPLETE, ""));
    return v;
}

std::vector<StreamMessage*> flvRunMessages()
{
    std::vector<StreamMessage*> v;
    v.push_back(containerMsg("FLV transport"));
    v.push_back(flvMsg(CB_FLV_HEADER, "FLV Header",
                       {{"DataOffset", "9"},
                        {"TypeFlagsVideo", "1"},
                        {"TypeFlagsReserved_2", "0"},
                        {"TypeFlagsAudio", "1"},
                        {"TypeFlagsReserved_1", "0"},
                        {"Version", "1"},
                        {"aucSignature", "FLV"}}));
    v.push_back(flvMsg(CB_FLV_VIDEO_DATA, "VideoData", {{"CodecId", "AVC"}, {"Frame Type", "key frame"}}));
    v.push_back(flvMsg(CB_FLV_AUDIO_DATA, "AudioData",
                       {{"Sound Type", "Stereo"}, {"Sound Size", "16 bit"}, {"Sound Rate", "44 kHz"},
                        {"Sound Format", "AAC"}}));
    v.push_back(percentMsg(100));
    return v;
}

// Runs a whole report as the driver does and returns the file's content.
std::string runReport(const std::string& path, RendererType type, const std::vector<StreamMessage*>& msgs,
                      StreamReport** keep = nullptr)
{
    StreamMessagePool pool;
    StreamReport* report = new StreamReport(path, &pool, false, type);
    EXPECT_TRUE(report->isReportOk());
    report->addToReport("Summary");
    report->addToReportSummary("File Name", "/data/stream.ts");
    report->addToReportSummary("ReportStartTime", "Tue Dec  8 07:15:25 2026\n");
    for (StreamMessage* m : msgs)
        report->processMessage(m, report);
    report->addToReportSummary("ReportEndTime", "Tue Dec  8 07:15:27 2026\n");
    report->addToReportSummary("ReportProcessTime", "00:00:01.5");
    EXPECT_TRUE(report->closeReport());
    if (keep)
        *keep = report;
    else
        delete report;
    return readFile(path);
}

std::string captureStderr(const std::function<void()>& body)
{
    testing::internal::CaptureStderr();
    body();
    return testing::internal::GetCapturedStderr();
}

int countLines(const std::string& s)
{
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

int countOf(const std::string& haystack, const std::string& needle)
{
    int n = 0;
    for (size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1))
        ++n;
    return n;
}

}  // namespace

// ---- text renderer --------------------------------------------------------------

TEST(ReportTxt, AudioStreamExampleIsByteExact)
{
    TempDir dir;
    std::string path = dir.file("r.txt");
    {
        TxtRenderer r(path);
        ASSERT_TRUE(r.createFile());
        std::string sec = "Audio Stream", pid = "Pid", v482 = "482", sr = "Sampling Rate", v48 = "48000",
                    units = "Units", hz = "Hz";
        r.openSection(sec);
        r.addLine(pid, v482);
        r.addLine(sr, v48);
        r.addLineAttributes(units, hz);
        r.closeSection();
        // Written as it goes: all of it is on disk before the renderer ends.
        EXPECT_EQ("\n<<< Audio Stream >>>\nPid:482\nSampling Rate:48000Units=\"Hz\"\n>>> Audio Stream <<<",
                  readFile(path));
    }
    EXPECT_EQ("\n<<< Audio Stream >>>\nPid:482\nSampling Rate:48000Units=\"Hz\"\n>>> Audio Stream <<<",
              readFile(path));
}

TEST(ReportTxt, LayoutCases)
{
    TempDir dir;
    std::string path = dir.file("r.txt");
    writeFile(path, "old content that must go");
    {
        TxtRenderer r(path);
        ASSERT_TRUE(r.createFile());
        EXPECT_EQ("", readFile(path));  // truncated, nothing written yet
        std::string sec = "Closed Captions";
        r.openSection(sec);
        sec = "changed by the caller";  // the end line still names the section as opened
        std::string a = "value", t = "true";
        r.addSectionAttributes(a, t);  // lands on the heading line
        std::string n = "Rate", v = "say \"hi\"", u1 = "Units", v1 = "bps", u2 = "Kind", v2 = "x y";
        r.addLine(n, v);
        r.addLineAttributes(u1, v1);
        r.addLineAttributes(u2, v2);
        r.closeSection();
        r.closeSection();  // nothing open: ignored
        std::string empty;
        r.addLine(empty, empty);
        EXPECT_TRUE(r.closeFile());
        EXPECT_TRUE(r.closeFile());  // once only
        r.addLine(n, v);            // after the end: dropped
    }
    EXPECT_EQ("\n<<< Closed Captions >>>value=\"true\"\nRate:say \"hi\"Units=\"bps\"Kind=\"x y\""
              "\n>>> Closed Captions <<<\n:",
              readFile(path));
}

TEST(ReportTxt, EmptyReportIsAnEmptyFile)
{
    TempDir dir;
    std::string path = dir.file("r.txt");
    {
        TxtRenderer r(path);
        ASSERT_TRUE(r.createFile());
    }
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0, st.st_size);

    // Never created: nothing written, no file.
    std::string never = dir.file("never.txt");
    {
        TxtRenderer r(never);
        std::string s = "S";
        r.openSection(s);
        EXPECT_FALSE(r.closeFile());
    }
    EXPECT_NE(0, access(never.c_str(), F_OK));
}

TEST(ReportTxt, UncreatableFileGivesOneLineNamingPathAndReason)
{
    std::string path = "/nonexistent_korbalt_dir/r.txt";
    std::string err = captureStderr([&] {
        TxtRenderer r(path);
        EXPECT_FALSE(r.createFile());
        std::string s = "S";
        r.openSection(s);
        EXPECT_FALSE(r.closeFile());
    });
    EXPECT_EQ(1, countLines(err)) << err;
    EXPECT_NE(std::string::npos, err.find(path)) << err;
    EXPECT_NE(std::string::npos, err.find(strerror(ENOENT))) << err;
}

TEST(ReportTxt, WriteFailureIsReportedOnce)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    std::string err = captureStderr([&] {
        TxtRenderer r("/dev/full");
        EXPECT_TRUE(r.createFile());
        std::string n = "Name", v = "Value";
        for (int i = 0; i < 5; ++i)
            r.addLine(n, v);
        EXPECT_FALSE(r.closeFile());
    });
    EXPECT_EQ(1, countLines(err)) << err;
    EXPECT_NE(std::string::npos, err.find("/dev/full")) << err;
    EXPECT_NE(std::string::npos, err.find(strerror(ENOSPC))) << err;
}

// ---- XML renderer ---------------------------------------------------------------

TEST(ReportXml, NamesBecomeValidXmlNames)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"Report Summary", "ReportSummary"},
        {"  Tag", "Tag"},
        {"Sampling Rate", "SamplingRate"},
        {"---Version:1", "_---Version_1"},
        {"---Sound Rate:44 kHz", "_---SoundRate_44kHz"},
        {"---aucSignature:FLV", "_---aucSignature_FLV"},
        {"TypeFlagsReserved_2", "TypeFlagsReserved_2"},
        {"1st", "_1st"},
        {"-x", "_-x"},
        {".x", "_.x"},
        {"_x", "_x"},
        {"a.b-c_d", "a.b-c_d"},
        {"a\tb", "a_b"},
        {"bits/dataword", "bits_dataword"},
        {"ns:name", "ns_name"},
        {"", "_"},
        {"   ", "_"},
        {"\xc3\xa9t\xc3\xa9", "__t__"},
        {"<&>\"'", "_____"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        XmlRenderer::makeXmlName(s);
        EXPECT_EQ(c.out, s) << "input [" << c.in << "]";
    }
}

TEST(ReportXml, ValuesKeepEveryXmlCharacter)
{
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain 1.00", "plain 1.00"},
        {"tab\tnl\ncr\r", "tab\tnl\ncr\r"},
        {std::string("a\x01" "b\x1f" "c", 5), "a?b?c"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"},
        {"bad \xff\xfe end", "bad ?? end"},
        {"cut \xe2\x82", "cut ??"},
        {"overlong \xc0\xaf", "overlong ??"},
        {"surrogate \xed\xa0\x80", "surrogate ???"},
        {"<&>\"'", "<&>\"'"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.out, XmlRenderer::makeXmlValue(c.in)) << "input [" << c.in << "]";
}

TEST(ReportXml, AudioStreamExampleStructureAndBlanksRemovedInPlace)
{
    TempDir dir;
    std::string path = dir.file("r.xml");
    std::string sec = "Audio Stream", pid = "Pid", v482 = "482", sr = "Sampling Rate", v48 = "48000",
                units = "Units", hz = "Hz";
    {
        XmlRenderer r(path);
        ASSERT_TRUE(r.createFile());
        r.openSection(sec);
        r.addLine(pid, v482);
        r.addLine(sr, v48);
        r.addLineAttributes(units, hz);
        r.closeSection();
        EXPECT_EQ("", readFile(path));  // held in memory until the end
    }
    EXPECT_EQ("AudioStream", sec);
    EXPECT_EQ("SamplingRate", sr);
    EXPECT_EQ("48000", v48);  // values are left alone
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n"
              "<AudioStream>\n"
              "    <Pid value=\"482\" />\n"
              "    <SamplingRate value=\"48000\" Units=\"Hz\" />\n"
              "</AudioStream>\n",
              readFile(path));
    EXPECT_TRUE(xmllintAccepts(path));
}

TEST(ReportXml, EmptyReportHoldsOnlyTheDeclaration)
{
    TempDir dir;
    std::string path = dir.file("r.xml");
    {
        XmlRenderer r(path);
        ASSERT_TRUE(r.createFile());
    }
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n", readFile(path));
}

TEST(ReportXml, AttributesGoOnTheLastChildAndReplace)
{
    TempDir dir;
    std::string path = dir.file("r.xml");
    {
        XmlRenderer r(path);
        ASSERT_TRUE(r.createFile());
        std::string top = "Top", inner = "Inner", line = "Line", v = "1", a = "Attr", av = "first", av2 = "second";
        r.openSection(top);
        r.openSection(inner);
        r.addLine(line, v);
        r.closeSection();
        // The closed section is the last child of Top now.
        r.addLineAttributes(a, av);
        a = "Attr";
        r.addLineAttributes(a, av2);
        std::string sa = "value", sv = "true";
        r.addSectionAttributes(sa, sv);
        std::string quote = "Q", qv = "say \"hi\" & <go>";
        r.addLine(quote, qv);
        EXPECT_TRUE(r.closeFile());
    }
    TiXmlDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile());
    TiXmlElement* top = doc.RootElement();
    ASSERT_TRUE(top);
    EXPECT_STREQ("true", top->Attribute("value"));
    TiXmlElement* inner = top->FirstChildElement("Inner");
    ASSERT_TRUE(inner);
    EXPECT_STREQ("second", inner->Attribute("Attr"));
    ASSERT_TRUE(inner->FirstChildElement("Line"));
    EXPECT_EQ(nullptr, inner->FirstChildElement("Line")->Attribute("Attr"));
    ASSERT_TRUE(top->FirstChildElement("Q"));
    EXPECT_STREQ("say \"hi\" & <go>", top->FirstChildElement("Q")->Attribute("value"));
    EXPECT_TRUE(xmllintAccepts(path));
}

TEST(ReportXml, CallsBeyondTheLimitsLeaveAValidFile)
{
    TempDir dir;
    std::string path = dir.file("r.xml");
    {
        XmlRenderer r(path);
        std::string s = "S", n = "N", v = "V";
        r.openSection(s);  // before createFile: ignored
        ASSERT_TRUE(r.createFile());
        r.closeSection();  // nothing open
        r.addLineAttributes(n, v);  // only the declaration is there
        r.addSectionAttributes(n, v);
        s = "Root";
        r.openSection(s);
        r.addLineAttributes(n, v);  // section without children
        r.closeSection();
        r.closeSection();
    }
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<Root />\n", readFile(path));
    EXPECT_TRUE(xmllintAccepts(path));
}

TEST(ReportXml, UncreatableOrUnsavableFileGivesOneLine)
{
    std::string path = "/nonexistent_korbalt_dir/r.xml";
    std::string err = captureStderr([&] {
        XmlRenderer r(path);
        EXPECT_FALSE(r.createFile());
        std::string s = "S";
        r.openSection(s);
        EXPECT_FALSE(r.closeFile());
    });
    EXPECT_EQ(1, countLines(err)) << err;
    EXPECT_NE(std::string::npos, err.find(path)) << err;
    EXPECT_NE(std::string::npos, err.find(strerror(ENOENT))) << err;

    if (access("/dev/full", W_OK) != 0)
        return;
    err = captureStderr([&] {
        XmlRenderer r("/dev/full");
        EXPECT_TRUE(r.createFile());
        std::string s = "S", n = "N", v = "V";
        r.openSection(s);
        r.addLine(n, v);
        EXPECT_FALSE(r.closeFile());
    });
    EXPECT_EQ(1, countLines(err)) << err;
    EXPECT_NE(std::string::npos, err.find(strerror(ENOSPC))) << err;
}

// ---- stream report and transport stream report ----------------------------------

TEST(ReportGolden, TransportStreamRunText)
{
    TempDir dir;
    StreamReport* report = nullptr;
    std::string text = runReport(dir.file("stream.ts"), RENDERER_TXT, tsRunMessages(), &report);
    expectGolden("report_messages_ts.txt", text);
    EXPECT_EQ(3, report->getErrorCount());
    EXPECT_EQ(2, report->getWarningCount());
    delete report;
}

TEST(ReportGolden, TransportStreamRunXml)
{
    TempDir dir;
    std::string path = dir.file("stream.ts");
    std::string xml = runReport(path, RENDERER_XML, tsRunMessages());
    expectGolden("report_messages_ts.xml", xml);
    EXPECT_TRUE(xmllintAccepts(path));

    // Parses back with the content in place.
    TiXmlDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile());
    TiXmlHandle root(doc.RootElement());
    ASSERT_TRUE(doc.RootElement());
    EXPECT_STREQ("Summary", doc.RootElement()->Value());
    TiXmlElement* total = root.FirstChild("MediaSummary").FirstChild("TotalErrors").ToElement();
    ASSERT_TRUE(total);
    EXPECT_STREQ("3", total->Attribute("value"));
    TiXmlElement* start = root.FirstChild("ReportSummary").FirstChild("ReportStartTime").ToElement();
    ASSERT_TRUE(start);
    EXPECT_STREQ("Tue Dec  8 07:15:25 2026\n", start->Attribute("value"));
    TiXmlElement* cc = root.FirstChild("Media").FirstChild("VideoStream").FirstChild("ClosedCaptions").ToElement();
    ASSERT_TRUE(cc);
    EXPECT_STREQ("true", cc->Attribute("value"));
    int errors = 0;
    for (TiXmlElement* e = root.FirstChild("Media").FirstChild("Errors").FirstChild("Pid").ToElement(); e;
         e = e->NextSiblingElement("Pid")) {
        ++errors;
        EXPECT_STREQ("Continuity Error", e->Attribute("Type"));
        EXPECT_TRUE(e->Attribute("Packet"));
    }
    EXPECT_EQ(3, errors);
}

TEST(ReportGolden, FlvRunTextAndXml)
{
    TempDir dir;
    expectGolden("report_messages_flv.txt", runReport(dir.file("a.txt"), RENDERER_TXT, flvRunMessages()));
    std::string path = dir.file("a.xml");
    expectGolden("report_messages_flv.xml", runReport(path, RENDERER_XML, flvRunMessages()));
    EXPECT_TRUE(xmllintAccepts(path));
    TiXmlDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile());
    // The summaries sit beside the FLV sections, not inside the last one opened.
    std::vector<std::string> top;
    for (TiXmlElement* e = doc.RootElement()->FirstChildElement(); e; e = e->NextSiblingElement())
        top.push_back(e->Value());
    EXPECT_EQ((std::vector<std::string>{"FLVHeader", "ReportSummary", "MediaSummary"}), top);
}

// The summaries of a text report to which nothing was added.
const std::string kNothingSummarised = "\n<<< Report Summary >>>\n>>> Report Summary <<<\n<<< Media Summary >>>"
                                       "\nTotalErrors:0\nTotalWarnings:0\n>>> Media Summary <<<";

// What processMessage does with each id: the text report of one message.
TEST(ReportRouting, EveryIdGoesWhereTheTableSays)
{
    enum Where { SUMMARY, FLV, TS, DROPPED };
    struct Row {
        int id;
        Where where;
    };
    std::vector<Row> rows;
    for (int id = 0; id <= 70; ++id) {
        Where w = DROPPED;
        if (id == 0 || id == 6 || id == 7)
            w = SUMMARY;
        else if (id >= 1 && id <= 3)
            w = FLV;
        else if ((id >= 4 && id <= 61 && id != 57) || (id >= 65 && id <= 67))
            w = TS;
        rows.push_back({id, w});
    }
    TempDir dir;
    for (const Row& row : rows) {
        std::string path = dir.file("r" + std::to_string(row.id));
        StreamMessagePool pool;
        StreamReport report(path, &pool, false, RENDERER_TXT);
        StreamMessage* msg = pairMsg(row.id, "Desc" + std::to_string(row.id), 300, {entry("Entry", "v")});
        if (row.id == 6) {
            delete msg;
            msg = durationMsg(1, 2, 3, 1);
        }
        report.processMessage(msg, &report);
        report.closeReport();
        std::string text = readFile(path);
        SCOPED_TRACE("id " + std::to_string(row.id));
        switch (row.where) {
        case FLV:
            EXPECT_EQ("\n<<< Desc" + std::to_string(row.id) + " >>>\n<<< ---Pid:300 >>>\n<<< ---Entry:v >>>" +
                          kNothingSummarised,
                      text);
            break;
        case DROPPED:
            EXPECT_EQ(kNothingSummarised, text);
            break;
        case SUMMARY:
            EXPECT_EQ(0u, text.find("\n<<< Report Summary >>>\n>>> Report Summary <<<\n<<< Media Summary >>>\n"));
            EXPECT_NE(kNothingSummarised, text);
            EXPECT_EQ(std::string::npos, text.find("<<< Media >>>"));
            break;
        case TS:
            EXPECT_NE(std::string::npos, text.find("<<< Media Summary >>>"));
            EXPECT_NE(std::string::npos, text.find(
                "TotalErrors:" + std::string(row.id == 60 || row.id == 61 || row.id >= 65 ? "1" : "0") +
                "\nTotalWarnings:" + std::string(row.id == 58 || row.id == 59 ? "1" : "0")));
            break;
        }
        EXPECT_EQ(row.id == 60 || row.id == 61 || (row.id >= 65 && row.id <= 67) ? 1 : 0, report.getErrorCount());
        EXPECT_EQ(row.id == 58 || row.id == 59 ? 1 : 0, report.getWarningCount());
    }
}

TEST(ReportRouting, MessagesOfUnknownTypeAreDeletedNotLeaked)
{
    TempDir dir;
    StreamMessagePool pool;
    StreamReport report(dir.file("r"), &pool, false, RENDERER_TXT);
    StreamMessage* odd = pairMsg(CB_MPEG2TS_CONTINUITY_ERROR, "x", 5, {entry("Pid", "5")});
    odd->setMsgType((_MessageType)3);  // the one spare value the enumeration can hold
    report.processMessage(odd, &report);
    report.processMessage(percentMsg(37), &report);
    report.processMessage(bareMsg(CB_STATUS_ALIVE, "Status Alive"), &report);
    report.processMessage(nullptr, &report);
    EXPECT_EQ(0, report.getErrorCount());
    EXPECT_TRUE(report.closeReport());
    EXPECT_EQ(kNothingSummarised, readFile(dir.file("r")));
    // A message arriving after the report was written is freed too.
    report.processMessage(containerMsg("MPEG2 transport"), &report);
}

TEST(ReportSummaryLines, DurationFormatAndFinalFlag)
{
    struct Case {
        uint32_t h, m, s, final;
        const char* line;  // null: no line
    } cases[] = {
        {1, 5, 9, 1, "Asset Duration:01:05:09"},
        {125, 0, 0, 1, "Asset Duration:125:00:00"},
        {0, 0, 0, 1, "Asset Duration:00:00:00"},
        {10, 59, 10, 1, "Asset Duration:10:59:10"},
        {9, 9, 9, 2, "Asset Duration:09:09:09"},
        {1, 2, 3, 0, nullptr},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string text = runReport(dir.file("d"), RENDERER_TXT,
                                     {durationMsg(c.h, c.m, c.s, c.final), streamTypeMsg(0, "PAT Table")});
        if (c.line)
            EXPECT_NE(std::string::npos, text.find("<<< Media Summary >>>\n" + std::string(c.line) + "\nTotalErrors:0"))
                << text;
        else
            EXPECT_NE(std::string::npos, text.find("<<< Media Summary >>>\nTotalErrors:0")) << text;
    }
    // Two final durations: two lines. A damaged duration payload: none.
    StreamMessage* shortDuration = durationMsg(1, 1, 1, 1);
    shortDuration->setMsgData(new int32_t[2]{1, 1}, PAYLOAD_TYPE_4BYTE_ARRAY, 2);
    std::string text = runReport(dir.file("d2"), RENDERER_TXT,
                                 {durationMsg(0, 0, 1, 1), shortDuration, durationMsg(0, 0, 2, 1),
                                  streamTypeMsg(0, "PAT Table")});
    EXPECT_NE(std::string::npos,
              text.find("<<< Media Summary >>>\nAsset Duration:00:00:01\nAsset Duration:00:00:02\nTotalErrors:0"))
        << text;
}

TEST(ReportSummaryLines, ArrivalOrderNotIdOrder)
{
    TempDir dir;
    std::string text = runReport(dir.file("o"), RENDERER_TXT,
                                 {muxMsg("1.00"), durationMsg(0, 1, 0, 1), containerMsg("MPEG2 transport"),
                                  streamTypeMsg(0, "PAT Table")});
    EXPECT_NE(std::string::npos, text.find("<<< Media Summary >>>\nMuxBitrate:1.00Units=\"bps\"\nAsset "
                                           "Duration:00:01:00\nMedia Container:MPEG2 transport\nTotalErrors:0"))
        << text;
}

TEST(ReportSummaryLines, WithoutTransportStreamMessagesTheSummariesAreStillWritten)
{
    TempDir dir;
    std::string text = runReport(dir.file("n"), RENDERER_TXT, {containerMsg("MPEG2 transport"), muxMsg("2.00")});
    EXPECT_EQ("\n<<< Summary >>>\n<<< Report Summary >>>\nFile Name:/data/stream.ts"
              "\nReportStartTime:Tue Dec  8 07:15:25 2026\n\nReportEndTime:Tue Dec  8 07:15:27 2026\n"
              "\nReportProcessTime:00:00:01.5\n>>> Report Summary <<<\n<<< Media Summary >>>"
              "\nMedia Container:MPEG2 transport\nMuxBitrate:2.00Units=\"bps\"\nTotalErrors:0\nTotalWarnings:0"
              "\n>>> Media Summary <<<",
              text);
    std::string path = dir.file("n.xml");
    runReport(path, RENDERER_XML, {containerMsg("MPEG2 transport")});
    TiXmlDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile());
    TiXmlHandle root(doc.RootElement());
    TiXmlElement* file = root.FirstChild("ReportSummary").FirstChild("FileName").ToElement();
    ASSERT_TRUE(file);
    EXPECT_STREQ("/data/stream.ts", file->Attribute("value"));
    TiXmlElement* container = root.FirstChild("MediaSummary").FirstChild("MediaContainer").ToElement();
    ASSERT_TRUE(container);
    EXPECT_STREQ("MPEG2 transport", container->Attribute("value"));
    EXPECT_FALSE(root.FirstChild("Media").ToElement());
}

TEST(ReportTs, StreamSectionsVideoFirstLowestPidFirstOncePerPid)
{
    TempDir dir;
    std::string text = runReport(
        dir.file("s"), RENDERER_TXT,
        {streamTypeMsg(0x300, "Audio"), streamTypeMsg(0x200, "Video"), streamTypeMsg(0x100, "Video"),
         streamTypeMsg(0x100, "Video"),  // a second stream-type message of one PID
         streamTypeMsg(0x50, "Data"), valueMsg(CB_MPEG2TS_STREAM_DESC, "Stream Desc", 0x50, "Stream Desc", "data"),
         packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0x100, 9, "e1"),
         packetMsg(CB_MPEG2TS_PCR_ROLL_OVER, 0x100, 8, "w1"),
         valueMsg(CB_MPEG2TS_FRAME_RATE, "Frame Rate", 0x100, "Frame Rate", "25")});
    size_t media = text.find("<<< Media >>>");
    ASSERT_NE(std::string::npos, media);
    std::string expected =
        "<<< Media >>>\n<<< System Information >>>\n<<< PAT Table >>>\n>>> PAT Table <<<\n>>> System Information <<<"
        "\n<<< Video Stream >>>\nPid:256\nPid:256\nFrame Rate:25"
        "\n<<< Warnings >>>\nPid:256Packet=\"8\"Type=\"PCR Rollover\"Description=\"w1\"\n>>> Warnings <<<"
        "\n<<< Errors >>>\nPid:256Packet=\"9\"Type=\"Continuity Error\"Description=\"e1\"\n>>> Errors <<<"
        "\n>>> Video Stream <<<"
        "\n<<< Video Stream >>>\nPid:512\n>>> Video Stream <<<"
        "\n<<< Audio Stream >>>\nPid:768\n>>> Audio Stream <<<"
        "\n<<< Errors >>>\nPid:256Packet=\"9\"Type=\"Continuity Error\"Description=\"e1\"\n>>> Errors <<<"
        "\n<<< Warnings >>>\nPid:256Packet=\"8\"Type=\"PCR Rollover\"Description=\"w1\"\n>>> Warnings <<<"
        "\n>>> Media <<<";
    EXPECT_EQ(expected, text.substr(media)) << text;
}

// Past the listing limit only counts grow: each list ends with one "Not Listed" line,
// a stream section lists what of its PID was listed, and the PAT section still shows
// the first error of PID 0 though it came after the limit. Compact records and
// messages kept whole (texts that do not read back) share the limit.
TEST(ReportTs, ListingStopsAtTheLimitAndCountsTheRest)
{
    struct LimitGuard {
        LimitGuard() { Mpeg2TsReport::setListedIssueLimit(3); }
        ~LimitGuard() { Mpeg2TsReport::setListedIssueLimit(0); }
    } guard;
    auto cc = [](int pid, unsigned long long packet, int from) {
        std::string text =
            "Old counter is " + std::to_string(from) + " New Counter is " + std::to_string((from + 2) % 16);
        return packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, pid, packet, text);
    };
    for (RendererType type : {RENDERER_TXT, RENDERER_XML}) {
        TempDir dir;
        StreamReport* report = nullptr;
        std::string text = runReport(
            dir.file("l"), type,
            {patMsg(7, {{1, 256}}), streamTypeMsg(256, "Video"), cc(256, 10, 14), cc(256, 11, 0),
             packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 256, 12, "kept whole"), cc(256, 13, 4), cc(0, 14, 5),
             packetMsg(CB_MPEG2TS_RESERVED_BITS_ERROR, 256, 15,
                       "The 5 reserved bits after the seamless_splice_flag have the value '0x1e'"),
             packetMsg(CB_MPEG2TS_PCR_ROLL_OVER, 256, 16, "pcr rollover detected")},
            &report);
        EXPECT_EQ(6, report->getErrorCount());
        EXPECT_EQ(1, report->getWarningCount());
        delete report;
        if (type == RENDERER_TXT) {
            const std::string first =
                "\nPid:256Packet=\"10\"Type=\"Continuity Error\"Description=\"Old counter is 14 New Counter is 0\""
                "\nPid:256Packet=\"11\"Type=\"Continuity Error\"Description=\"Old counter is 0 New Counter is 2\""
                "\nPid:256Packet=\"12\"Type=\"Continuity Error\"Description=\"kept whole\"";
            EXPECT_NE(std::string::npos,
                      text.find("\n<<< Errors >>>\nPid:0Packet=\"14\"Type=\"Continuity Error\"Description=\"Old "
                                "counter is 5 New Counter is 7\"\n>>> Errors <<<\n>>> PAT Table <<<"))
                << text;
            EXPECT_NE(std::string::npos, text.find("\n<<< Errors >>>" + first + "\nNot Listed:2\n>>> Errors <<<"
                                                   "\n>>> Video Stream <<<"))
                << text;
            EXPECT_NE(std::string::npos,
                      text.find("\n<<< Errors >>>" + first + "\nNot Listed:3\n>>> Errors <<<\n<<< Warnings >>>"
                                "\nPid:256Packet=\"16\"Type=\"PCR Rollover\"Description=\"pcr rollover detected\""
                                "\n>>> Warnings <<<\n>>> Media <<<"))
                << text;
            EXPECT_NE(std::string::npos, text.find("\nTotalErrors:6\nTotalWarnings:1\n"));
        } else {
            TiXmlDocument doc;
            doc.Parse(text.c_str());
            ASSERT_FALSE(doc.Error()) << text;
            const TiXmlElement* media = doc.RootElement()->FirstChildElement("Media");
            ASSERT_TRUE(media != nullptr);
            const TiXmlElement* errors = media->FirstChildElement("Errors");
            ASSERT_TRUE(errors != nullptr) << text;
            int lines = 0;
            for (const TiXmlElement* e = errors->FirstChildElement("Pid"); e; e = e->NextSiblingElement("Pid"))
                ++lines;
            EXPECT_EQ(3, lines);
            ASSERT_TRUE(errors->FirstChildElement("NotListed") != nullptr) << text;
            EXPECT_STREQ("3", errors->FirstChildElement("NotListed")->Attribute("value"));
            const TiXmlElement* video = media->FirstChildElement("VideoStream");
            ASSERT_TRUE(video && video->FirstChildElement("Errors") &&
                        video->FirstChildElement("Errors")->FirstChildElement("NotListed"))
                << text;
            EXPECT_STREQ("2", video->FirstChildElement("Errors")->FirstChildElement("NotListed")->Attribute("value"));
        }
    }
}

// A full list makes the callbacks only count; what they counted reaches TotalErrors
// and the "Not Listed" lines when the report is written.
TEST(ReportTs, EventsOnlyCountedAfterTheLimitStillCount)
{
    struct LimitGuard {
        LimitGuard() { Mpeg2TsReport::setListedIssueLimit(2); }
        ~LimitGuard() { Mpeg2TsReport::setListedIssueLimit(0); }
    } guard;
    TempDir dir;
    StreamMessagePool pool;
    StreamReport report(dir.file("c"), &pool, false, RENDERER_TXT);
    report.addToReport("Summary");
    report.processMessage(streamTypeMsg(256, "Video"), &report);
    auto fire = [&](int pid, int count) {
        for (int i = 0; i < count; ++i) {
            char text[64];
            snprintf(text, sizeof(text), "Old counter is %d New Counter is %d", i % 16, (i + 2) % 16);
            PacketEventInfo info{pid, text, (uint64_t)i};
            Mpeg2TsCallbacks::mpeg2TsContinuityError(&info, &pool);
            while (StreamMessage* m = pool.getUnprocessedMsg())
                report.processMessage(m, &report);
        }
    };
    fire(256, 5);
    EXPECT_EQ(3u, pool.countedOfPid(MSG_TYPE_ERROR, 256));
    fire(300, 2);  // the first of PID 300 comes as a message, the second is counted
    EXPECT_EQ(1u, pool.countedOfPid(MSG_TYPE_ERROR, 300));
    ASSERT_TRUE(report.closeReport());
    EXPECT_EQ(7, report.getErrorCount());
    std::string text = readFile(dir.file("c"));
    EXPECT_NE(std::string::npos, text.find("\nTotalErrors:7\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nNot Listed:3\n>>> Errors <<<\n>>> Video Stream <<<")) << text;
    EXPECT_NE(std::string::npos, text.find("\nNot Listed:5\n>>> Errors <<<\n>>> Media <<<")) << text;
}

TEST(ReportTs, PatErrorsShowTheFirstAndTheErrorsSectionAll)
{
    TempDir dir;
    std::string text = runReport(dir.file("p"), RENDERER_TXT,
                                 {patMsg(7, {{1, 256}, {2, 512}}),
                                  packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0, 100, "a"),
                                  packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0, 200, "b"),
                                  packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 0, 300, "c"),
                                  unitsMsg(CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", 0, "TransportBitrate",
                                           "1.00", "bps"),
                                  unitsMsg(CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", 0, "TransportBitrate",
                                           "2.00", "bps")});
    EXPECT_NE(std::string::npos,
              text.find("\n<<< PAT Table >>>\nTransportBitrate:1.00Units=\"bps\"\nPid:0\nTransport Stream Id:7"
                        "\nProgram PID:512\nProgram Number:2\nProgram PID:256\nProgram Number:1"
                        "\n<<< Errors >>>\nPid:0Packet=\"100\"Type=\"Continuity Error\"Description=\"a\""
                        "\n>>> Errors <<<\n>>> PAT Table <<<"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("\n>>> System Information <<<\n<<< Errors >>>"
                        "\nPid:0Packet=\"100\"Type=\"Continuity Error\"Description=\"a\""
                        "\nPid:0Packet=\"200\"Type=\"Continuity Error\"Description=\"b\""
                        "\nPid:0Packet=\"300\"Type=\"Continuity Error\"Description=\"c\""
                        "\n>>> Errors <<<\n>>> Media <<<"))
        << text;
    EXPECT_NE(std::string::npos, text.find("TotalErrors:3\nTotalWarnings:0"));
    EXPECT_EQ(std::string::npos, text.find("<<< Warnings >>>"));
    EXPECT_EQ(std::string::npos, text.find("TransportBitrate:2.00"));
}

TEST(ReportTs, DamagedListsKeepSectionsBalanced)
{
    TempDir dir;
    // A PMT list with an End too many, then a Start left open; an odd-length
    // list; a message without "Pid"; a "Pid" that is not a number; a message
    // that carries no list at all.
    std::vector<callbackMappedValue> pmt = {entry("Pid", "4096"), entry("Stream End", ""),
                                            entry("Elements Start", "Elements"), entry("Stream Start", "Stream"),
                                            entry("Pid", "256")};
    MappedValueList odd;
    odd.push_back(callbackMappedValue("Pid", "256"));
    odd.push_back(callbackMappedValue("Frame Rate", "25"));
    odd.push_back(callbackMappedValue("Pid", "256"));
    MappedValueList noPid;
    noPid.push_back(callbackMappedValue("Name", "v"));
    MappedValueList badPid;
    badPid.push_back(callbackMappedValue("Pid", "12abc"));
    badPid.push_back(callbackMappedValue("Name", "v"));
    std::string text = runReport(dir.file("x"), RENDERER_TXT,
                                 {pairMsg(CB_MPEG2TS_PMT, "PMT Table", 4096, pmt), streamTypeMsg(256, "Video"),
                                  listMsg(CB_MPEG2TS_FRAME_RATE, "Frame Rate", MSG_TYPE_INFO, odd),
                                  listMsg(CB_MPEG2TS_FRAME_RATE, "x", MSG_TYPE_INFO, noPid),
                                  listMsg(CB_MPEG2TS_FRAME_RATE, "x", MSG_TYPE_ERROR, badPid),
                                  bareMsg(CB_MPEG2TS_CC, "Closed Captions")});
    EXPECT_NE(std::string::npos,
              text.find("\n<<< PMT Table >>>\nPid:4096\n<<< Elements >>>\n<<< Stream >>>\nPid:256\n>>> Stream <<<"
                        "\n>>> Elements <<<\n>>> PMT Table <<<"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\n<<< Video Stream >>>\nPid:256\nFrame Rate:25\n>>> Video Stream <<<"))
        << text;
    EXPECT_EQ(countOf(text, "<<< "), countOf(text, ">>> ") + 1);  // all but the driver's Summary closed
    EXPECT_NE(std::string::npos, text.find("TotalErrors:0"));
}

TEST(ReportTs, ClosedCaptionsSectionInBothFormats)
{
    TempDir dir;
    std::string text = runReport(dir.file("cc"), RENDERER_TXT,
                                 {streamTypeMsg(481, "Video"), ccMsg(481, true, false, false, true)});
    EXPECT_NE(std::string::npos, text.find("\n<<< Video Stream >>>\nPid:481\n<<< ClosedCaptions >>>value=\"true\""
                                           "\nAtscEia608:true\nAtscEia708:false\nScte20:false\nScte21:true"
                                           "\n>>> ClosedCaptions <<<\n>>> Video Stream <<<"))
        << text;
    std::string path = dir.file("cc.xml");
    runReport(path, RENDERER_XML, {streamTypeMsg(481, "Video"), ccMsg(481, false, false, false, false)});
    TiXmlDocument doc(path.c_str());
    ASSERT_TRUE(doc.LoadFile());
    TiXmlHandle video = TiXmlHandle(doc.RootElement()).FirstChild("Media").FirstChild("VideoStream");
    TiXmlElement* cc = video.FirstChild("ClosedCaptions").ToElement();
    ASSERT_TRUE(cc);
    EXPECT_STREQ("false", cc->Attribute("value"));
    int lines = 0;
    for (TiXmlElement* e = cc->FirstChildElement(); e; e = e->NextSiblingElement()) {
        ++lines;
        EXPECT_STREQ("false", e->Attribute("value"));
    }
    EXPECT_EQ(4, lines);
}

TEST(ReportTs, MessagesWithoutPidAreDroppedAndCopiesSurviveTheOriginal)
{
    Mpeg2TsReport ts;
    MappedValueList noPid;
    noPid.push_back(callbackMappedValue("Name", "v"));
    ts.addMessage(listMsg(CB_MPEG2TS_FRAME_RATE, "x", MSG_TYPE_INFO, noPid));
    ts.addMessage(bareMsg(CB_MPEG2TS_FRAME_RATE, "no list"));
    EXPECT_TRUE(ts.getMsgList(MSG_TYPE_INFO)->empty());
    EXPECT_EQ(nullptr, ts.getMsgList((_MessageType)3));

    ts.addMessage(packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 33, 5, "t"));
    // Errors are kept as records, printed in the stream section and in Errors.
    EXPECT_EQ(nullptr, ts.getMsgList(MSG_TYPE_ERROR));
    ts.addMessage(streamTypeMsg(33, "Audio"));
    TempDir dir;
    std::string path = dir.file("t");
    {
        TxtRenderer r(path);
        r.createFile();
        ts.printReportToFile(&r);
    }
    std::string text = readFile(path);
    EXPECT_EQ(2, countOf(text, "Pid:33Packet=\"5\"Type=\"Continuity Error\"Description=\"t\"")) << text;
}

TEST(ReportTs, FindElementByNameComparesWholeNames)
{
    Mpeg2TsReport ts;
    MappedValueList list;
    list.push_back(callbackMappedValue("Pi", "1"));
    list.push_back(callbackMappedValue("Pid ", "2"));
    list.push_back(callbackMappedValue("Pid", "3"));
    list.push_back(callbackMappedValue("Pid", "4"));
    auto it = ts.findElementbyName("Pid", &list);
    ASSERT_NE(list.end(), it);
    EXPECT_EQ("3", it->m_sValue);
    EXPECT_EQ(list.end(), ts.findElementbyName("Stream Type", &list));
}

// ---- report file naming and failures -------------------------------------------

TEST(ReportFile, NeverOverwritesTheInput)
{
    TempDir dir;
    std::string input = dir.file("x.ts");
    writeFile(input, "G input bytes");
    EXPECT_EQ(input + ".txt", StreamReport::reportNameAvoidingInput(input, input.c_str(), RENDERER_TXT));
    EXPECT_EQ(input + ".xml", StreamReport::reportNameAvoidingInput(input, input.c_str(), RENDERER_XML));
    // Another spelling of the same file.
    std::string other = dir.path() + "/./x.ts";
    EXPECT_EQ(other + ".txt", StreamReport::reportNameAvoidingInput(other, input.c_str(), RENDERER_TXT));
    // A hard link named like the first way out is the input too.
    ASSERT_EQ(0, link(input.c_str(), (input + ".txt").c_str()));
    EXPECT_EQ(input + ".txt.txt", StreamReport::reportNameAvoidingInput(input, input.c_str(), RENDERER_TXT));
    // Different files, a report that does not exist yet, no input: unchanged.
    std::string report = dir.file("r");
    EXPECT_EQ(report, StreamReport::reportNameAvoidingInput(report, input.c_str(), RENDERER_TXT));
    writeFile(report, "old report");
    EXPECT_EQ(report, StreamReport::reportNameAvoidingInput(report, input.c_str(), RENDERER_TXT));
    EXPECT_EQ(input, StreamReport::reportNameAvoidingInput(input, nullptr, RENDERER_TXT));

    for (RendererType type : {RENDERER_TXT, RENDERER_XML}) {
        StreamMessagePool pool;
        std::string name = dir.file("y.ts");
        writeFile(name, "G input bytes");
        {
            StreamReport r(name, &pool, false, type, name.c_str());
            EXPECT_EQ(name + (type == RENDERER_XML ? ".xml" : ".txt"), r.getReportFileName());
            r.addToReport("Summary");
            r.processMessage(streamTypeMsg(0, "PAT Table"), &r);
            EXPECT_TRUE(r.closeReport());
        }
        EXPECT_EQ("G input bytes", readFile(name));
        EXPECT_NE("", readFile(name + (type == RENDERER_XML ? ".xml" : ".txt")));
    }
}

TEST(ReportFile, FailureIsOneStderrLineAndAFalseResult)
{
    for (RendererType type : {RENDERER_TXT, RENDERER_XML}) {
        std::string path = "/nonexistent_korbalt_dir/report";
        bool ok = true, closed = true;
        std::string err = captureStderr([&] {
            StreamMessagePool pool;
            StreamReport r(path, &pool, false, type);
            ok = r.isReportOk();
            r.addToReport("Summary");
            r.processMessage(streamTypeMsg(0, "PAT Table"), &r);
            closed = r.closeReport();
            EXPECT_FALSE(r.closeReport());  // the same answer again
        });
        EXPECT_FALSE(ok);
        EXPECT_FALSE(closed);
        EXPECT_EQ(1, countLines(err)) << err;
        EXPECT_NE(std::string::npos, err.find(path)) << err;
    }
    // Unknown renderer type: no renderer, a line, and a failed report.
    std::string err = captureStderr([&] {
        StreamMessagePool pool;
        StreamReport r("/tmp/never_written", &pool, false, (RendererType)5);
        EXPECT_FALSE(r.isReportOk());
        r.addToReport("Summary");
        EXPECT_FALSE(r.closeReport());
    });
    EXPECT_EQ(1, countLines(err)) << err;
}

TEST(ReportThread, ThreadedReportDrainsThePoolBeforeItEnds)
{
    TempDir dir;
    std::string path = dir.file("t");
    StreamMessagePool pool;
    {
        StreamReport report(path, &pool, true, RENDERER_TXT);
        report.addToReport("Summary");
        for (int i = 0; i < 200; ++i)
            pool.setUnprocessedMsg(packetMsg(CB_MPEG2TS_CONTINUITY_ERROR, 17, (unsigned)i, "c"));
        pool.setUnprocessedMsg(streamTypeMsg(17, "Audio"));
        pool.setUnprocessedMsg(percentMsg(50));
        EXPECT_TRUE(report.closeReport());
        EXPECT_EQ(200, report.getErrorCount());
        EXPECT_EQ(nullptr, pool.getUnprocessedMsg());
    }
    std::string text = readFile(path);
    EXPECT_NE(std::string::npos, text.find("TotalErrors:200"));
    EXPECT_EQ(400, countOf(text, "Type=\"Continuity Error\""));  // stream section and Errors section
}

TEST(ReportThread, SummaryAdditionsMayRunWhileMessagesAreFiled)
{
    TempDir dir;
    std::string path = dir.file("c");
    StreamMessagePool pool;
    StreamReport report(path, &pool, false, RENDERER_TXT);
    report.addToReport("Summary");
    pthread_t t;
    ASSERT_EQ(0, pthread_create(
                     &t, nullptr,
                     [](void* arg) -> void* {
                         StreamReport* r = static_cast<StreamReport*>(arg);
                         for (int i = 0; i < 2000; ++i)
                             r->processMessage(packetMsg(CB_MPEG2TS_PCR_ROLL_OVER, 1, (unsigned)i, "w"), r);
                         return nullptr;
                     },
                     &report));
    for (int i = 0; i < 2000; ++i)
        report.addToReportSummary("Line", std::to_string(i));
    pthread_join(t, nullptr);
    EXPECT_TRUE(report.closeReport());
    std::string text = readFile(path);
    EXPECT_EQ(2000, countOf(text, "\nLine:"));
    EXPECT_NE(std::string::npos, text.find("TotalWarnings:2000"));
}

// ---- whole runs of korbalt ------------------------------------------------------

namespace {

struct RunResult {
    int status = -1;  // exit status, or -1 when killed or not run
    std::string out;
    std::string err;
};

// Runs korbalt with the words given, in directory cwd, killed after timeoutSec.
RunResult runKorbalt(const std::vector<std::string>& words, const std::string& cwd, int timeoutSec = 120)
{
    RunResult result;
    std::string outPath = cwd + "/.stdout", errPath = cwd + "/.stderr";
    pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0) {
        if (chdir(cwd.c_str()) != 0)
            _exit(126);
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr))
            _exit(126);
        std::vector<char*> argv;
        std::string program = KORBALT_BINARY;
        argv.push_back(&program[0]);
        std::vector<std::string> copy = words;
        for (std::string& w : copy)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    for (int waited = 0;; waited += 20) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            break;
        if (waited >= timeoutSec * 1000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "korbalt did not end within " << timeoutSec << " s";
            return result;
        }
        usleep(20 * 1000);
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

// Blanks the values that differ from run to run: times, in text and XML.
std::string maskRunValues(std::string report)
{
    for (const char* name : {"ReportStartTime", "ReportEndTime", "ReportProcessTime"}) {
        std::string text = std::string("\n") + name + ":";
        size_t p = report.find(text);
        if (p != std::string::npos) {
            size_t from = p + text.size();
            size_t to = report.find('\n', from);
            report.replace(from, (to == std::string::npos ? report.size() : to) - from, "*");
        }
        std::string xml = std::string("<") + name + " value=\"";
        p = report.find(xml);
        if (p != std::string::npos) {
            size_t from = p + xml.size();
            size_t to = report.find('"', from);
            if (to != std::string::npos)
                report.replace(from, to - from, "*");
        }
    }
    return report;
}

std::string copyFixture(const std::string& name, const TempDir& dir)
{
    std::string data = readFile(testsupport::fixture(name));
    writeFile(dir.file(name), data);
    return data;
}

// The report of one run on a fixture copied into dir (as "-f name" from dir).
std::string reportOfRun(const TempDir& dir, const std::string& fixture, bool xml, RunResult* run = nullptr)
{
    std::vector<std::string> words;
    if (xml) {
        words.push_back("-r");
        words.push_back("xml");
    }
    std::string name = xml ? "report_xml" : "report_txt";
    for (const char* w : {"-report_dst", "out/", "-report_name"})
        words.push_back(w);
    words.push_back(name);
    words.push_back("-f");
    words.push_back(fixture);
    mkdir(dir.file("out").c_str(), 0755);
    RunResult r = runKorbalt(words, dir.path());
    EXPECT_EQ(0, r.status) << r.err;
    if (run)
        *run = r;
    return readFile(dir.file("out/" + name));
}

struct Packet188 {
    int pid;
    int afc;
    int cc;
};

Packet188 packetAt(const std::string& ts, size_t index)
{
    const unsigned char* p = (const unsigned char*)ts.data() + index * 188;
    return {((p[1] & 0x1F) << 8) | p[2], p[3] >> 4, p[3] & 0x0F};
}

struct ExpectedError {
    int pid;
    unsigned long long packet;
    int oldCounter;
    int newCounter;
};

// The continuity check of the engine, on the PIDs given.
std::vector<ExpectedError> continuityErrors(const std::string& ts, const std::vector<int>& pids)
{
    std::vector<ExpectedError> errors;
    std::map<int, int> last;
    for (size_t i = 0; i < ts.size() / 188; ++i) {
        Packet188 p = packetAt(ts, i);
        if (std::find(pids.begin(), pids.end(), p.pid) == pids.end())
            continue;
        auto it = last.find(p.pid);
        if (it != last.end()) {
            int expected = (p.afc == 0 || p.afc == 2) ? it->second : it->second + 1;
            if (expected % 16 != p.cc)
                errors.push_back({p.pid, i, it->second, p.cc});
        }
        last[p.pid] = p.cc;
    }
    return errors;
}

}  // namespace

TEST(ReportRun, GoldenReportOfOneFixtureInBothFormats)
{
    const std::string fixture = "h264_baseline_360_aac.ts";
    for (bool xml : {false, true}) {
        SCOPED_TRACE(xml ? "xml" : "txt");
        TempDir dir;
        copyFixture(fixture, dir);
        std::string report = reportOfRun(dir, fixture, xml);
        ASSERT_FALSE(report.empty());
        expectGolden(xml ? "run_h264_baseline_360_aac.xml" : "run_h264_baseline_360_aac.txt",
                     maskRunValues(report));
        if (xml) {
            EXPECT_TRUE(xmllintAccepts(dir.file("out/report_xml")));
            TiXmlDocument doc(dir.file("out/report_xml").c_str());
            EXPECT_TRUE(doc.LoadFile());
        }
    }
}

TEST(ReportRun, RemovedPacketsAreCountedAndListedWithPidAndPacket)
{
    const std::string fixture = "mpeg2_576_16x9_ac3.ts";
    TempDir dir;
    std::string clean = copyFixture(fixture, dir);
    ASSERT_EQ(0u, clean.size() % 188);
    size_t packets = clean.size() / 188;

    // The clean stream has no errors.
    std::string cleanReport = reportOfRun(dir, fixture, false);
    ASSERT_NE(std::string::npos, cleanReport.find("\nTotalErrors:0\n")) << cleanReport;

    // The two busiest PIDs are the video and the audio stream.
    std::map<int, size_t> perPid;
    for (size_t i = 0; i < packets; ++i)
        ++perPid[packetAt(clean, i).pid];
    perPid.erase(0x1FFF);
    std::vector<std::pair<size_t, int>> busiest;
    for (auto& pc : perPid)
        busiest.push_back({pc.second, pc.first});
    std::sort(busiest.rbegin(), busiest.rend());
    ASSERT_GE(busiest.size(), 2u);
    std::vector<int> streamPids = {busiest[0].second, busiest[1].second};

    // Drop packets with payload of those PIDs at spread positions, each far
    // from the others.
    std::vector<size_t> drop;
    const double at[] = {0.25, 0.35, 0.5, 0.62, 0.8};
    for (size_t k = 0; k < sizeof at / sizeof at[0]; ++k) {
        int pid = streamPids[k % 2];
        for (size_t i = (size_t)(at[k] * packets); i < packets; ++i) {
            Packet188 p = packetAt(clean, i);
            if (p.pid == pid && (p.afc == 1 || p.afc == 3)) {
                drop.push_back(i);
                break;
            }
        }
    }
    ASSERT_EQ(5u, drop.size());
    std::string damaged;
    for (size_t i = 0; i < packets; ++i)
        if (std::find(drop.begin(), drop.end(), i) == drop.end())
            damaged.append(clean, i * 188, 188);
    std::vector<ExpectedError> expected = continuityErrors(damaged, streamPids);
    ASSERT_EQ(drop.size(), expected.size());
    writeFile(dir.file(fixture), damaged);

    for (bool xml : {false, true}) {
        SCOPED_TRACE(xml ? "xml" : "txt");
        std::string report = reportOfRun(dir, fixture, xml);
        ASSERT_FALSE(report.empty());
        std::vector<ExpectedError> listed;
        std::string totalErrors;
        if (!xml) {
            size_t total = report.find("\nTotalErrors:");
            ASSERT_NE(std::string::npos, total);
            totalErrors = report.substr(total + 13, report.find('\n', total + 1) - total - 13);
            // The last "Errors" section is the list of every error.
            size_t errors = report.rfind("\n<<< Errors >>>");
            ASSERT_NE(std::string::npos, errors);
            std::istringstream lines(report.substr(errors, report.find("\n>>> Errors <<<", errors) - errors));
            std::string line;
            while (std::getline(lines, line)) {
                int pid, oldCc, newCc;
                unsigned long long packet;
                if (sscanf(line.c_str(),
                           "Pid:%dPacket=\"%llu\"Type=\"Continuity Error\"Description=\"Old counter is %d New "
                           "Counter is %d\"",
                           &pid, &packet, &oldCc, &newCc) == 4)
                    listed.push_back({pid, packet, oldCc, newCc});
                else
                    EXPECT_TRUE(line.empty() || line == "<<< Errors >>>") << line;
            }
        } else {
            TiXmlDocument doc;
            ASSERT_TRUE(doc.Parse(report.c_str()));
            TiXmlHandle root(doc.RootElement());
            TiXmlElement* total = root.FirstChild("MediaSummary").FirstChild("TotalErrors").ToElement();
            ASSERT_TRUE(total);
            totalErrors = total->Attribute("value");
            TiXmlElement* errors = nullptr;
            for (TiXmlElement* e = root.FirstChild("Media").FirstChildElement("Errors").ToElement(); e;
                 e = e->NextSiblingElement("Errors"))
                errors = e;
            ASSERT_TRUE(errors);
            for (TiXmlElement* e = errors->FirstChildElement(); e; e = e->NextSiblingElement()) {
                int oldCc = -1, newCc = -1;
                const char* description = e->Attribute("Description");
                ASSERT_TRUE(description);
                sscanf(description, "Old counter is %d New Counter is %d", &oldCc, &newCc);
                EXPECT_STREQ("Pid", e->Value());
                EXPECT_STREQ("Continuity Error", e->Attribute("Type"));
                listed.push_back({atoi(e->Attribute("value")), strtoull(e->Attribute("Packet"), nullptr, 10),
                                  oldCc, newCc});
            }
        }
        EXPECT_EQ(std::to_string(expected.size()), totalErrors);
        ASSERT_EQ(expected.size(), listed.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(expected[i].pid, listed[i].pid) << i;
            EXPECT_EQ(expected[i].packet, listed[i].packet) << i;
            EXPECT_EQ(expected[i].oldCounter, listed[i].oldCounter) << i;
            EXPECT_EQ(expected[i].newCounter, listed[i].newCounter) << i;
        }
    }
}

TEST(ReportRun, ReportNamedLikeTheInputLeavesTheInputAlone)
{
    const std::string fixture = "h264_baseline_360_aac.ts";
    TempDir dir;
    std::string data = copyFixture(fixture, dir);
    // No -report_name: the report is named after the input, in "./".
    RunResult r = runKorbalt({"-f", fixture}, dir.path());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(data, readFile(dir.file(fixture)));
    std::string report = readFile(dir.file(fixture + ".txt"));
    EXPECT_NE(std::string::npos, report.find("\n<<< Summary >>>\n<<< Report Summary >>>\nFile Name:" + fixture));
}

TEST(ReportRun, FlvAndProgramlessRunsKeepTheirSummaries)
{
    // A transport stream without its PAT: no program is ever found.
    std::string ts = readFile(testsupport::fixture("h264_baseline_360_aac.ts"));
    std::string programless;
    for (size_t i = 0; i + 188 <= ts.size(); i += 188)
        if (packetAt(ts, i / 188).pid != 0)
            programless += ts.substr(i, 188);
    struct Case {
        std::string fixture;
        std::string container;
        std::string firstSection;
    } cases[] = {{"flv_h264_aac.flv", "FLV transport", "FLV Header"}, {"no_pat.ts", "MPEG2 transport", ""}};
    for (const Case& c : cases) {
        for (bool xml : {false, true}) {
            SCOPED_TRACE(c.fixture + (xml ? " xml" : " txt"));
            TempDir dir;
            if (c.firstSection.empty())
                writeFile(dir.file(c.fixture), programless);
            else
                copyFixture(c.fixture, dir);
            std::string report = reportOfRun(dir, c.fixture, xml);
            if (!xml) {
                EXPECT_EQ(0u, report.find("\n<<< Summary >>>\n" +
                                          (c.firstSection.empty() ? "" : "<<< " + c.firstSection + " >>>\n")));
                size_t summary = report.find("\n<<< Report Summary >>>\nFile Name:" + c.fixture + "\nReportStartTime:");
                ASSERT_NE(std::string::npos, summary) << report;
                EXPECT_NE(std::string::npos, report.find("\nReportEndTime:", summary));
                EXPECT_NE(std::string::npos,
                          report.find("\n<<< Media Summary >>>\nMedia Container:" + c.container +
                                      "\nTotalErrors:0\nTotalWarnings:0\n>>> Media Summary <<<", summary));
                EXPECT_EQ(std::string::npos, report.find("<<< Media >>>"));
                continue;
            }
            TiXmlDocument doc;
            doc.Parse(report.c_str());
            ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
            TiXmlHandle root(doc.RootElement());
            TiXmlElement* file = root.FirstChild("ReportSummary").FirstChild("FileName").ToElement();
            ASSERT_TRUE(file);
            EXPECT_EQ(c.fixture, file->Attribute("value"));
            EXPECT_TRUE(root.FirstChild("ReportSummary").FirstChild("ReportEndTime").ToElement());
            TiXmlElement* container = root.FirstChild("MediaSummary").FirstChild("MediaContainer").ToElement();
            ASSERT_TRUE(container);
            EXPECT_EQ(c.container, container->Attribute("value"));
            EXPECT_EQ(!c.firstSection.empty(), root.FirstChild("FLVHeader").ToElement() != nullptr);
        }
    }
}

TEST(ReportRun, UnwritableReportFailsTheRunWithOneLine)
{
    const std::string fixture = "h264_baseline_360_aac.ts";
    for (const char* type : {"txt", "xml"}) {
        SCOPED_TRACE(type);
        TempDir dir;
        copyFixture(fixture, dir);
        RunResult r = runKorbalt({"-r", type, "-report_dst", "missing_dir/", "-report_name", "r", "-f", fixture},
                                 dir.path());
        EXPECT_NE(0, r.status);
        EXPECT_NE(std::string::npos, r.err.find("missing_dir/r")) << r.err;
        EXPECT_EQ(1, countLines(r.err)) << r.err;
    }
}

TEST(ReportRun, EveryFixtureGivesAnXmlReportThatParses)
{
    const char* fixtures[] = {"mpeg2_480_4x3_mp2.ts", "mpeg2_576_16x9_ac3.ts", "mpeg2_1080i_ac3_51.ts",
                              "h264_baseline_360_aac.ts", "h264_main_576i_mp3.ts", "h264_high_720_ac3_51.ts",
                              "h264_high_1080_aac_51.ts", "s302m_2ch_20.ts", "s302m_4ch_24.ts",
                              "two_programs.ts", "pcr_wrap.ts", "flv_h264_aac.flv", "flv_spark_mp3.flv",
                              "flv_nellymoser.flv"};
    for (const char* fixture : fixtures) {
        SCOPED_TRACE(fixture);
        TempDir dir;
        copyFixture(fixture, dir);
        std::string report = reportOfRun(dir, fixture, true);
        ASSERT_FALSE(report.empty());
        EXPECT_TRUE(xmllintAccepts(dir.file("out/report_xml")));
        TiXmlDocument doc;
        doc.Parse(report.c_str());
        ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
        ASSERT_TRUE(doc.RootElement());
        EXPECT_STREQ("Summary", doc.RootElement()->Value());
        bool flv = std::string(fixture).find(".flv") != std::string::npos;
        TiXmlHandle summary = TiXmlHandle(doc.RootElement()).FirstChild("MediaSummary");
        EXPECT_TRUE(summary.FirstChild("TotalErrors").ToElement() != nullptr);
        EXPECT_EQ(flv, doc.RootElement()->FirstChildElement("FLVHeader") != nullptr);
    }
}
