// The contract between the processors that fire engine events and the callbacks that main
// registers for them, checked end to end: the real decoder, file source, container and
// elementary processors run over the fixtures with main's own registrations, and every
// message that comes out is held against what its event promises: the layout of its
// list, the kind of its value (a number must read as that number, a text as the text),
// the units, the PID it is filed under, how often it appears, and when in the run.
// A firing site that hands a callback a different kind of value than the callback reads
// shows up here as a wrong or unparsable value.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "callbacks/callbackMappedValue.h"
#include "callbacks/generalCallbacks.h"
#include "engine/inputParams.h"
#include "engine/korbalt.h"
#include "engine/msgCallback.h"
#include "engine/streamDecoder.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"

#include "tests/support/testSupport.h"

using testsupport::Watchdog;

namespace {

typedef std::unique_ptr<StreamMessage> MsgPtr;

std::string fixturePath(const std::string& name)
{
    if (name.rfind("samples/", 0) == 0)
        return std::string(KORBALT_SOURCE_DIR) + "/" + name;
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/" + name;
}

struct AnalysisRun {
    int result = -1;
    std::vector<MsgPtr> msgs;
};

// One whole analysis as main runs it: registrations, decoder over the file source, and
// the decoder's deletion, which fires the end-of-stream events.
AnalysisRun analyseFile(const std::string& path, bool withStatusAlive = false)
{
    Watchdog dog(120, path.c_str());
    StreamDecoder::clearAbortRequest();
    GeneralCallbacks::resetStatusAliveClock();
    AnalysisRun run;
    MsgCallback registry;
    registerAnalysisCallbacks(&registry, withStatusAlive);
    {
        InputParams params(path);
        StreamDecoder decoder(params, &registry);
        run.result = decoder.startDecoding(0);
    }
    while (StreamMessage* m = registry.getMsgPool()->getUnprocessedMsg())
        run.msgs.emplace_back(m);
    GeneralCallbacks::resetStatusAliveClock();
    return run;
}

const MappedValueList* listOf(const StreamMessage& m)
{
    if (m.getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST)
        return nullptr;
    return static_cast<const MappedValueList*>(m.getMsgData());
}

std::vector<const callbackMappedValue*> entriesOf(const StreamMessage& m)
{
    std::vector<const callbackMappedValue*> out;
    if (const MappedValueList* l = listOf(m))
        for (const callbackMappedValue& e : *l)
            out.push_back(&e);
    return out;
}

bool matches(const std::string& text, const char* pattern)
{
    return std::regex_match(text, std::regex(pattern));
}

bool isDecimal(const std::string& s) { return matches(s, "-?[0-9]+"); }
bool isFixed2(const std::string& s) { return matches(s, "-?[0-9]+\\.[0-9]{2}"); }
bool isPrintable(const std::string& s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

// ---- the contract of the events that carry one value ------------------------------

enum Kind {
    K_TEXT,          // any printable text
    K_FLAG,          // "true" or "false"
    K_NUMBER_TEXT,   // a text that holds a decimal number (sampling rates and the like)
    K_STRING,        // a std::string, printable
    K_INT,           // int, in decimal
    K_LONG_LONG,     // 64-bit count, in decimal
    K_DOUBLE,        // double, fixed with two decimals
    U_DOUBLE,        // value with units: double, two decimals
    U_INT,           // value with units: int written as a double, so always ".00"
    U_TEXT,          // value with units: the text as fired (a decimal number here)
    U_BITRATE_TEXT,  // value with units: an integer text with ".00" after it
};

struct Contract {
    int id;
    const char* desc;
    const char* entry;
    Kind kind;
    const char* units;  // value-with-units events only
};

const Contract kContracts[] = {
    {CB_MPEG2TS_MUX_BITRATE, "Mux Bitrate", "MuxBitrate", U_DOUBLE, "bps"},
    {CB_MPEG2TS_VIDEO_CBR, "Constant Bitrate", "Constant Bitrate", K_FLAG, nullptr},
    {CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", "TransportBitrate", U_DOUBLE, "bps"},
    {CB_MPEG2TS_PES_STREAM_BITRATE, "PESBitrate", "PESBitrate", U_DOUBLE, "bps"},
    {CB_MPEG2TS_ELM_STREAM_BITRATE, "ElementaryBitrate", "ElementaryBitrate", U_DOUBLE, "bps"},
    {CB_MPEG2TS_STREAM_TYPE, "Stream Type", "Stream Type", K_STRING, nullptr},
    {CB_MPEG2TS_STREAM_DESC, "Stream Desc", "Stream Desc", K_STRING, nullptr},
    {CB_MPEG2TS_PTS_COUNT, "PTS Count", "PTS Count", K_LONG_LONG, nullptr},
    {CB_MPEG2TS_DTS_COUNT, "DTS Count", "DTS Count", K_LONG_LONG, nullptr},
    {CB_MPEG2TS_VIDEO_RES, "Video Resolution", "Video Resolution", K_TEXT, nullptr},
    {CB_MPEG2TS_FRAME_RATE, "Frame Rate", "Frame Rate", K_TEXT, nullptr},
    {CB_MPEG2TS_DROP_FRAME, "DropFrame", "Drop Frame", K_FLAG, nullptr},
    {CB_MPEG2TS_QUAD_BYTE_ALIGNED, "Quad Byte Aligned", "Quad Byte Aligned", K_FLAG, nullptr},
    {CB_MPEG2TS_ASPECT_RATIO, "Aspect Ratio", "Aspect Ratio", K_DOUBLE, nullptr},
    {CB_MPEG2TS_SAMPLE_ASPECT_RATIO, "Sample Aspect Ratio", "Sample Aspect Ratio", K_DOUBLE, nullptr},
    {CB_MPEG2TS_PROG_SEQUENCE, "Sequence Type", "Progressive Sequence", K_FLAG, nullptr},
    {CB_MPEG2TS_CHROMA, "Chroma Type", "Chroma", K_TEXT, nullptr},
    {CB_MPEG2TS_PROFILE_AND_LEVEL, "Profile And Level", "Profile And Level", K_TEXT, nullptr},
    {CB_MPEG2TS_VBV_BUFF_SIZE, "VBV Buffer Size", "VBV Buffer Size", K_INT, nullptr},
    {CB_MPEG2TS_BITRATE, "Video Bitrate", "Video Bitrate", U_INT, "bps"},
    {CB_MPEG2TS_GOP_PAYLOAD, "Gop Payload", "Gop Payload", K_TEXT, nullptr},
    {CB_MPEG2TS_GOP_STRUCT, "Gop Structure", "Gop Structure", K_TEXT, nullptr},
    {CB_MPEG2TS_OPEN_CLOSED_GOP, "Open Gop", "Open Gop", K_FLAG, nullptr},
    {CB_MPEG2TS_ADAPTIVE_GOP, "Adaptive Gop", "Adaptive Gop", K_FLAG, nullptr},
    {CB_MPEG2TS_GOP_SIZE, "Gop Size", "Gop Size", K_INT, nullptr},
    {CB_MPEG2TS_FIELD_COUNT, "Field Count", "Field Count", K_INT, nullptr},
    {CB_MPEG2TS_FRAME_COUNT, "Frame Count", "Frame Count", K_INT, nullptr},
    {CB_MPEG2TS_AC3_SAMPLING_RATE, "Sampling Rate", "Sampling Rate", U_TEXT, "Hz"},
    {CB_MPEG2TS_AC3_BITRATE, "Audio Bitrate", "Audio Bitrate", U_BITRATE_TEXT, "bps"},
    {CB_MPEG2TS_AC3_AUDIO_CODING_MODE, "Audio Mode", "Audio Mode", K_TEXT, nullptr},
    {CB_MPEG2TS_AC3_CH_ORDERING, "Channel Ordering", "Channel Ordering", K_TEXT, nullptr},
    {CB_MPEG2TS_AC3_STREAM_MODE, "Stream Mode", "Stream Mode", K_TEXT, nullptr},
    {CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, "Number Of Channels", "Number Of Channels", K_INT, nullptr},
    {CB_MPEG2TS_MPEG_AUDIO_LAYER, "Audio Layer", "Audio Layer", K_TEXT, nullptr},
    {CB_MPEG2TS_MPEG_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", U_BITRATE_TEXT, "bps"},
    {CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, "Sampling Rate", "Sampling Rate", U_TEXT, "Hz"},
    {CB_MPEG2TS_MPEG_AUDIO_MODE, "Audio Mode", "Audio Mode", K_TEXT, nullptr},
    {CB_MPEG2TS_AAC_AUDIO_LAYER, "Audio Layer", "Audio Layer", K_TEXT, nullptr},
    {CB_MPEG2TS_AAC_AUDIO_PROFILE, "Audio Profile", "Audio Profile", K_TEXT, nullptr},
    {CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, "Sampling Rate", "Sampling Rate", U_TEXT, "Hz"},
    {CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS, "Number Of Channels", "Number Of Channels", K_INT, nullptr},
    {CB_MPEG2TS_AAC_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", K_TEXT, nullptr},
    {CB_MPEG2TS_AAC_AUDIO_MODE, "Audio Mode", "Audio Mode", K_TEXT, nullptr},
    {CB_MPEG2TS_PCM_AUDIO_FREQ, "Sampling Rate", "Sampling Rate", U_TEXT, "Hz"},
    {CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH, "Number of channels", "Number of channels", K_NUMBER_TEXT, nullptr},
    {CB_MPEG2TS_PCM_AUDIO_CHAN_ID, "Channel Id", "Channel Id", K_NUMBER_TEXT, nullptr},
    {CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE, "Bits Per Sample", "Bits Per Sample", U_TEXT, "bits/dataword"},
    {CB_MPEG2TS_PCM_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", U_INT, "bps"},
    {CB_MPEG2TS_PCM_AUDIO_MODE, "Audio Mode", "Audio Mode", K_TEXT, nullptr},
};

const Contract* contractOf(int id)
{
    for (const Contract& c : kContracts)
        if (c.id == id)
            return &c;
    return nullptr;
}

bool isUnitsKind(Kind k) { return k == U_DOUBLE || k == U_INT || k == U_TEXT || k == U_BITRATE_TEXT; }

// The value entry of a one-value message (null when the layout is wrong) and its PID.
struct ValueView {
    const callbackMappedValue* value = nullptr;
    int pid = -1;  // -1: the message has no "Pid" element
};

ValueView viewOf(const StreamMessage& m)
{
    ValueView v;
    const Contract* c = contractOf(m.getCallbackId());
    std::vector<const callbackMappedValue*> e = entriesOf(m);
    if (!c)
        return v;
    if (c->id == CB_MPEG2TS_MUX_BITRATE) {
        if (e.size() == 1)
            v.value = e[0];
        return v;
    }
    if (e.size() != 2)
        return v;
    const bool reversed = c->id == CB_MPEG2TS_STREAM_TYPE;
    const callbackMappedValue* pid = reversed ? e[1] : e[0];
    if (pid->m_sName != "Pid" || !isDecimal(pid->m_sValue) || pid->m_pChildren)
        return v;
    v.pid = atoi(pid->m_sValue.c_str());
    v.value = reversed ? e[0] : e[1];
    return v;
}

void expectValueOfItsKind(const Contract& c, const callbackMappedValue& v)
{
    SCOPED_TRACE(std::string(c.entry) + " = \"" + v.m_sValue + "\"");
    EXPECT_EQ(c.entry, v.m_sName);
    EXPECT_TRUE(isPrintable(v.m_sValue));
    switch (c.kind) {
    case K_TEXT:
    case K_STRING:
        break;
    case K_FLAG:
        EXPECT_TRUE(v.m_sValue == "true" || v.m_sValue == "false");
        break;
    case K_NUMBER_TEXT:
    case U_TEXT:
    case K_INT:
    case K_LONG_LONG:
        EXPECT_TRUE(isDecimal(v.m_sValue));
        break;
    case K_DOUBLE:
    case U_DOUBLE:
        EXPECT_TRUE(isFixed2(v.m_sValue));
        break;
    case U_INT:
    case U_BITRATE_TEXT:
        EXPECT_TRUE(matches(v.m_sValue, "[0-9]+\\.00"));
        break;
    }
    if (isUnitsKind(c.kind)) {
        ASSERT_NE(nullptr, v.m_pChildren);
        ASSERT_EQ(1u, v.m_pChildren->size());
        EXPECT_EQ("Units", v.m_pChildren->front().m_sName);
        EXPECT_EQ(c.units, v.m_pChildren->front().m_sValue);
    } else {
        EXPECT_EQ(nullptr, v.m_pChildren);
    }
}

std::string descOf(const StreamMessage& m) { return const_cast<StreamMessage&>(m).getMsgDesc(); }

double numberOf(const std::string& s) { return strtod(s.c_str(), nullptr); }

// ---- a run, sorted out by event and PID -----------------------------------------------

struct Analysis {
    AnalysisRun run;
    std::map<int, std::string> streamKind;  // PID -> "PAT Table", "PMT Table", "Video", "Audio"

    explicit Analysis(const std::string& fixture) : run(analyseFile(fixturePath(fixture)))
    {
        for (const MsgPtr& m : run.msgs) {
            if (m->getCallbackId() != CB_MPEG2TS_STREAM_TYPE)
                continue;
            ValueView v = viewOf(*m);
            if (v.value)
                streamKind[v.pid] = v.value->m_sValue;
        }
    }

    std::vector<const StreamMessage*> all(int id) const
    {
        std::vector<const StreamMessage*> out;
        for (const MsgPtr& m : run.msgs)
            if (m->getCallbackId() == id)
                out.push_back(m.get());
        return out;
    }
    // The value text of the event's message for pid (-1: the first message of the event);
    // "<none>" when there is none.
    std::string value(int id, int pid = -1) const
    {
        for (const StreamMessage* m : all(id)) {
            ValueView v = viewOf(*m);
            if (v.value && (pid < 0 || v.pid == pid))
                return v.value->m_sValue;
        }
        return "<none>";
    }
    std::vector<int> pidsOf(const char* kind) const
    {
        std::vector<int> out;
        for (const auto& p : streamKind)
            if (p.second == kind)
                out.push_back(p.first);
        return out;
    }
    int firstPidOf(const char* kind) const
    {
        std::vector<int> p = pidsOf(kind);
        return p.empty() ? -1 : p.front();
    }
    // Position in the run of the first message of the event for pid; -1 when none.
    int position(int id, int pid) const
    {
        for (size_t i = 0; i < run.msgs.size(); ++i) {
            if (run.msgs[i]->getCallbackId() != id)
                continue;
            ValueView v = viewOf(*run.msgs[i]);
            if (pid < 0 || v.pid == pid)
                return (int)i;
        }
        return -1;
    }
};

const char* const kTransportFixtures[] = {
    "mpeg2_480_4x3_mp2.ts",   "mpeg2_576_16x9_ac3.ts",  "mpeg2_1080i_ac3_51.ts",
    "h264_baseline_360_aac.ts", "h264_main_576i_mp3.ts", "h264_high_720_ac3_51.ts",
    "h264_high_1080_aac_51.ts", "s302m_2ch_20.ts",      "s302m_4ch_24.ts",
    "two_programs.ts",        "pcr_wrap.ts",            "samples/sample.ts",
    "two_video_two_ac3.ts",
};

// Events that describe a video stream, an audio stream, and that are only fired once the
// stream has ended.
bool isVideoEvent(int id) { return id == CB_MPEG2TS_VIDEO_CBR || id == CB_MPEG2TS_ELM_STREAM_BITRATE ||
                                   (id >= CB_MPEG2TS_VIDEO_RES && id <= CB_MPEG2TS_CC); }
bool isAudioEvent(int id) { return id >= CB_MPEG2TS_AC3_SAMPLING_RATE && id <= CB_MPEG2TS_PCM_AUDIO_MODE; }

const std::set<int> kEndEvents = {
    CB_MPEG2TS_MUX_BITRATE,   CB_MPEG2TS_VIDEO_CBR,       CB_MPEG2TS_TRANSP_BITRATE,
    CB_MPEG2TS_PES_STREAM_BITRATE, CB_MPEG2TS_ELM_STREAM_BITRATE, CB_MPEG2TS_PTS_COUNT,
    CB_MPEG2TS_DTS_COUNT,     CB_MPEG2TS_QUAD_BYTE_ALIGNED, CB_MPEG2TS_GOP_PAYLOAD,
    CB_MPEG2TS_GOP_STRUCT,    CB_MPEG2TS_OPEN_CLOSED_GOP, CB_MPEG2TS_ADAPTIVE_GOP,
    CB_MPEG2TS_GOP_SIZE,      CB_MPEG2TS_FIELD_COUNT,     CB_MPEG2TS_FRAME_COUNT,
    CB_MPEG2TS_CC,
};

// Registered one-shot by main: at most one message in a run.
const std::set<int> kOneShot = {0,  1,  2,  3,  4,  5,  7,  16, 17, 18, 19, 20, 21, 22, 23,
                                24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 59};

}  // namespace

// ---------------------------------------------------------------------------------------

TEST(EventContractStreams, EveryMessageHasItsEventsLayoutAndValueKind)
{
    for (const char* fixture : kTransportFixtures) {
        SCOPED_TRACE(fixture);
        Analysis a(fixture);
        ASSERT_EQ(StreamDecoder::DECODE_ENDED, a.run.result);
        ASSERT_FALSE(a.run.msgs.empty());
        int checked = 0;
        for (const MsgPtr& m : a.run.msgs) {
            const int id = m->getCallbackId();
            SCOPED_TRACE("event " + std::to_string(id) + " \"" + m->getMsgDesc() + "\"");
            const Contract* c = contractOf(id);
            if (!c)
                continue;
            ++checked;
            EXPECT_EQ(MSG_TYPE_INFO, m->getMsgType());
            EXPECT_EQ(c->desc, descOf(*m));
            EXPECT_EQ(0, m->getMsgCount());
            ValueView v = viewOf(*m);
            ASSERT_NE(nullptr, v.value) << "list layout";
            if (id == CB_MPEG2TS_MUX_BITRATE) {
                EXPECT_EQ(-1, v.pid);
            }
            expectValueOfItsKind(*c, *v.value);
        }
        EXPECT_GE(checked, 15);  // an LPCM-only stream has the fewest
    }
}

TEST(EventContractStreams, EachMessageIsFiledUnderThePidOfTheStreamItDescribes)
{
    for (const char* fixture : kTransportFixtures) {
        SCOPED_TRACE(fixture);
        Analysis a(fixture);
        // The PAT's stream-type message is filed under PID 0, the PMT's under its PID.
        ASSERT_EQ(1u, a.pidsOf("PAT Table").size());
        EXPECT_EQ(0, a.firstPidOf("PAT Table"));
        ASSERT_EQ(1u, a.pidsOf("PMT Table").size());
        const int pmtPid = a.firstPidOf("PMT Table");
        ASSERT_EQ(1u, a.all(CB_MPEG2TS_PMT).size());
        std::vector<const callbackMappedValue*> pmt = entriesOf(*a.all(CB_MPEG2TS_PMT)[0]);
        ASSERT_GE(pmt.size(), 2u);
        EXPECT_EQ(std::to_string(pmtPid), pmt[1]->m_sValue);
        EXPECT_FALSE(a.pidsOf("Video").empty() && a.pidsOf("Audio").empty());

        for (const MsgPtr& m : a.run.msgs) {
            const int id = m->getCallbackId();
            if (!contractOf(id) || id == CB_MPEG2TS_MUX_BITRATE || id == CB_MPEG2TS_STREAM_TYPE)
                continue;
            SCOPED_TRACE("event " + std::to_string(id));
            ValueView v = viewOf(*m);
            ASSERT_NE(nullptr, v.value);
            auto kind = a.streamKind.find(v.pid);
            ASSERT_NE(a.streamKind.end(), kind) << "PID " << v.pid << " is no stream of the run";
            if (isVideoEvent(id))
                EXPECT_EQ("Video", kind->second);
            else if (isAudioEvent(id))
                EXPECT_EQ("Audio", kind->second);
            else if (id == CB_MPEG2TS_TRANSP_BITRATE)
                EXPECT_TRUE(kind->second == "PAT Table" || kind->second == "PMT Table");
            else
                EXPECT_TRUE(kind->second == "Video" || kind->second == "Audio");
        }
        // Closed captions and packet events carry their PID in their own layout.
        for (const StreamMessage* m : a.all(CB_MPEG2TS_CC)) {
            std::vector<const callbackMappedValue*> e = entriesOf(*m);
            ASSERT_EQ(10u, e.size());
            EXPECT_EQ("Video", a.streamKind[atoi(e[0]->m_sValue.c_str())]);
        }
    }
}

TEST(EventContractStreams, OneShotEventsOncePerRunPerStreamEventsOncePerStream)
{
    const std::set<int> oncePerStream = {CB_MPEG2TS_STREAM_TYPE, CB_MPEG2TS_STREAM_DESC,
                                         CB_MPEG2TS_PTS_COUNT,   CB_MPEG2TS_DTS_COUNT,
                                         CB_MPEG2TS_PES_STREAM_BITRATE, CB_MPEG2TS_TRANSP_BITRATE,
                                         CB_MPEG2TS_ELM_STREAM_BITRATE, CB_MPEG2TS_VIDEO_CBR};
    for (const char* fixture : kTransportFixtures) {
        SCOPED_TRACE(fixture);
        Analysis a(fixture);
        std::map<int, int> perEvent;
        std::map<std::pair<int, int>, int> perStream;
        for (const MsgPtr& m : a.run.msgs) {
            const int id = m->getCallbackId();
            ++perEvent[id];
            if (oncePerStream.count(id))
                ++perStream[std::make_pair(id, viewOf(*m).pid)];
        }
        for (int id : kOneShot)
            EXPECT_LE(perEvent[id], 1) << "event " << id;
        for (const auto& p : perStream)
            EXPECT_EQ(1, p.second) << "event " << p.first.first << " PID " << p.first.second;
        // Every PES stream of the program reports its counts and its bit rate.
        for (const auto& s : a.streamKind) {
            if (s.second != "Video" && s.second != "Audio")
                continue;
            for (int id : {CB_MPEG2TS_STREAM_DESC, CB_MPEG2TS_PTS_COUNT, CB_MPEG2TS_DTS_COUNT,
                           CB_MPEG2TS_PES_STREAM_BITRATE})
                EXPECT_EQ(1, perStream[std::make_pair(id, s.first)]) << "event " << id << " PID " << s.first;
        }
        EXPECT_EQ(0, perEvent[CB_MPEG2TS_PCR_BITRATE_DATA_POINT]);
        EXPECT_EQ(0, perEvent[CB_ANALYSIS_COMPLETE]);
        EXPECT_EQ(0, perEvent[CB_STATUS_ALIVE]);
        EXPECT_EQ(1, perEvent[CB_MPEG2TS_PAT]);
        EXPECT_EQ(1, perEvent[CB_MPEG2TS_PMT]);
        EXPECT_EQ(1, perEvent[CB_MPEG2TS_MUX_BITRATE]);
        EXPECT_EQ(2, perEvent[CB_MPEG2TS_TRANSP_BITRATE]);  // the PAT's and the PMT's
    }
}

TEST(EventContractStreams, EndOfStreamEventsComeLastInTheDestructorsOrder)
{
    for (const char* fixture : kTransportFixtures) {
        SCOPED_TRACE(fixture);
        Analysis a(fixture);
        // Everything fired while the stream runs comes before everything fired at its end.
        int lastDuring = -1, firstEnd = (int)a.run.msgs.size();
        int finalDuration = -1;
        for (size_t i = 0; i < a.run.msgs.size(); ++i) {
            const StreamMessage& m = *a.run.msgs[i];
            const int id = m.getCallbackId();
            if (id == CB_MPEG2TS_DURATION) {
                ASSERT_EQ(PAYLOAD_TYPE_4BYTE_ARRAY, m.getPayloadType());
                ASSERT_EQ(4, m.getMsgCount());
                const uint32_t* w = static_cast<const uint32_t*>(m.getMsgData());
                EXPECT_LT(w[1], 60u);
                EXPECT_LT(w[2], 60u);
                ASSERT_LE(w[3], 1u);
                if (w[3] == 1) {
                    EXPECT_EQ(-1, finalDuration) << "one final duration";
                    finalDuration = (int)i;
                } else {
                    lastDuring = std::max(lastDuring, (int)i);
                }
                continue;
            }
            if (kEndEvents.count(id))
                firstEnd = std::min(firstEnd, (int)i);
            else
                lastDuring = std::max(lastDuring, (int)i);
        }
        EXPECT_LT(lastDuring, finalDuration);
        // The transport processor's end reports, then each processor's destructor.
        EXPECT_EQ(finalDuration + 1, firstEnd);
        EXPECT_EQ(firstEnd, a.position(CB_MPEG2TS_MUX_BITRATE, -1));
        EXPECT_LT(a.position(CB_MPEG2TS_MUX_BITRATE, -1), a.position(CB_MPEG2TS_TRANSP_BITRATE, 0));
        for (int pid : a.pidsOf("Audio")) {
            EXPECT_LT(a.position(CB_MPEG2TS_PES_STREAM_BITRATE, pid), a.position(CB_MPEG2TS_PTS_COUNT, pid));
            EXPECT_LT(a.position(CB_MPEG2TS_PTS_COUNT, pid), a.position(CB_MPEG2TS_DTS_COUNT, pid));
        }
        const int video = a.firstPidOf("Video");
        if (video < 0)
            continue;
        // The first video stream holds the one-shot messages: codec end reports, the common
        // video reports, then the PES processor's counts and verdict.
        std::vector<int> order;
        if (a.position(CB_MPEG2TS_QUAD_BYTE_ALIGNED, video) >= 0)  // H.262 only
            order = {CB_MPEG2TS_GOP_STRUCT, CB_MPEG2TS_GOP_PAYLOAD, CB_MPEG2TS_QUAD_BYTE_ALIGNED};
        else
            order = {CB_MPEG2TS_GOP_STRUCT, CB_MPEG2TS_GOP_PAYLOAD};
        for (int id : {CB_MPEG2TS_ELM_STREAM_BITRATE, CB_MPEG2TS_CC, CB_MPEG2TS_OPEN_CLOSED_GOP,
                       CB_MPEG2TS_ADAPTIVE_GOP, CB_MPEG2TS_GOP_SIZE, CB_MPEG2TS_FIELD_COUNT,
                       CB_MPEG2TS_FRAME_COUNT, CB_MPEG2TS_PTS_COUNT, CB_MPEG2TS_DTS_COUNT,
                       CB_MPEG2TS_VIDEO_CBR})
            order.push_back(id);
        int previous = a.position(CB_MPEG2TS_PES_STREAM_BITRATE, video);
        ASSERT_GE(previous, 0);
        for (int id : order) {
            int at = a.position(id, id == CB_MPEG2TS_CC ? -1 : video);
            EXPECT_GT(at, previous) << "event " << id;
            previous = at;
        }
    }
}

TEST(EventContractStreams, TwoVideoAndTwoAudioStreamsOneShotAgainstPerStream)
{
    // tests/data/make_event_fixtures.sh: MPEG-2 video on 256 (352x288, 4:3) and 257
    // (176x144), AC-3 stereo 96k on 258 and mono 192k on 259.
    Analysis a("two_video_two_ac3.ts");
    ASSERT_EQ((std::vector<int>{256, 257}), a.pidsOf("Video"));
    ASSERT_EQ((std::vector<int>{258, 259}), a.pidsOf("Audio"));
    for (int pid : {256, 257, 258, 259}) {
        SCOPED_TRACE("PID " + std::to_string(pid));
        for (int id : {CB_MPEG2TS_STREAM_DESC, CB_MPEG2TS_PTS_COUNT, CB_MPEG2TS_DTS_COUNT,
                       CB_MPEG2TS_PES_STREAM_BITRATE})
            EXPECT_NE("<none>", a.value(id, pid)) << "event " << id;
    }
    for (int pid : {256, 257})
        EXPECT_NE("<none>", a.value(CB_MPEG2TS_ELM_STREAM_BITRATE, pid));
    // Only the first stream is sampled: the second has no constant-bitrate verdict.
    EXPECT_NE("<none>", a.value(CB_MPEG2TS_VIDEO_CBR, 256));
    EXPECT_EQ("<none>", a.value(CB_MPEG2TS_VIDEO_CBR, 257));
    // The one-shot video events describe the first stream that fired them, once.
    EXPECT_EQ(1u, a.all(CB_MPEG2TS_VIDEO_RES).size());
    EXPECT_EQ("352x288", a.value(CB_MPEG2TS_VIDEO_RES));
    EXPECT_EQ("1.33", a.value(CB_MPEG2TS_ASPECT_RATIO, 256));
    for (int id = CB_MPEG2TS_VIDEO_RES; id <= CB_MPEG2TS_CC; ++id)
        EXPECT_EQ(1u, a.all(id).size()) << "event " << id;
    // The AC-3 events repeat: each stream reports its own header.
    struct Ac3 {
        int pid;
        const char* mode;
        const char* bitrate;
        const char* channels;
    } ac3[] = {{258, "2/0", "96000.00", "2"}, {259, "1/0", "192000.00", "1"}};
    for (const Ac3& s : ac3) {
        SCOPED_TRACE("PID " + std::to_string(s.pid));
        EXPECT_EQ("48000", a.value(CB_MPEG2TS_AC3_SAMPLING_RATE, s.pid));
        EXPECT_EQ(s.bitrate, a.value(CB_MPEG2TS_AC3_BITRATE, s.pid));
        EXPECT_EQ(s.mode, a.value(CB_MPEG2TS_AC3_AUDIO_CODING_MODE, s.pid));
        EXPECT_EQ(s.channels, a.value(CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, s.pid));
    }
    for (int id = CB_MPEG2TS_AC3_SAMPLING_RATE; id <= CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS; ++id)
        EXPECT_EQ(2u, a.all(id).size()) << "event " << id;
}

// What the fixtures were made with (tests/data/make_fixtures.sh) must come out as the
// values of the events; each number was fired as some kind and read back as that kind.
TEST(EventContractValues, FixtureFactsReachTheMessages)
{
    struct Fact {
        int id;
        const char* kind;  // the stream the event describes
        const char* value;
    };
    struct Case {
        const char* fixture;
        std::vector<Fact> facts;
    };
    const Case cases[] = {
        {"mpeg2_480_4x3_mp2.ts",
         {{16, "Video", "720x480"}, {17, "Video", "29.97"}, {20, "Video", "1.33"}, {21, "Video", "0.89"},
          {23, "Video", "4:2:0"}, {24, "Video", "Main@Main"}, {33, "Video", "30"}, {14, "Video", "30"},
          {41, "Audio", "Layer II"}, {42, "Audio", "192000.00"}, {43, "Audio", "48000"},
          {44, "Audio", "stereo"}}},
        {"mpeg2_576_16x9_ac3.ts",
         {{16, "Video", "720x576"}, {17, "Video", "25"}, {20, "Video", "1.78"}, {21, "Video", "1.42"},
          {33, "Video", "25"}, {29, "Video", "false"}, {35, "Audio", "48000"}, {36, "Audio", "192000.00"},
          {37, "Audio", "2/0"}, {38, "Audio", "L,R"}, {40, "Audio", "2"}}},
        {"mpeg2_1080i_ac3_51.ts",
         {{16, "Video", "1920x1080"}, {17, "Video", "29.97"}, {20, "Video", "1.78"}, {22, "Video", "false"},
          {24, "Video", "Main@High"}, {25, "Video", "1015808"}, {26, "Video", "1500000.00"},
          {33, "Video", "15"}, {36, "Audio", "448000.00"}, {37, "Audio", "3/2"}, {40, "Audio", "6"}}},
        {"h264_baseline_360_aac.ts",
         {{16, "Video", "640x360"}, {17, "Video", "30"}, {20, "Video", "1.78"}, {21, "Video", "1.00"},
          {24, "Video", "Baseline@Level 3"}, {33, "Video", "30"}, {47, "Audio", "44100"},
          {46, "Audio", "AAC LC"}, {48, "Audio", "2"}, {49, "Audio", "Variable"}}},
        {"h264_main_576i_mp3.ts",
         {{16, "Video", "720x576"}, {17, "Video", "25"}, {41, "Audio", "Layer III"},
          {42, "Audio", "64000.00"}, {43, "Audio", "44100"}, {44, "Audio", "single channel"}}},
        {"h264_high_720_ac3_51.ts",
         {{16, "Video", "1280x720"}, {17, "Video", "25"}, {20, "Video", "1.78"}, {21, "Video", "1.00"},
          {33, "Video", "25"}, {35, "Audio", "48000"}, {36, "Audio", "448000.00"}, {40, "Audio", "6"}}},
        {"h264_high_1080_aac_51.ts",
         {{16, "Video", "1920x1080"}, {17, "Video", "29.97"}, {20, "Video", "1.78"}, {33, "Video", "18"},
          {47, "Audio", "48000"}, {48, "Audio", "6"}, {46, "Audio", "AAC LC"}}},
        {"s302m_2ch_20.ts",
         {{51, "Audio", "48000"}, {52, "Audio", "2"}, {53, "Audio", "0"}, {54, "Audio", "20"},
          {56, "Audio", "Not Stated"}}},
        {"s302m_4ch_24.ts", {{51, "Audio", "48000"}, {52, "Audio", "4"}, {54, "Audio", "24"}}},
        // tests/data/make_audio_fixtures.sh: one AAC frame, which only the end of the input
        // confirms.
        {"aac_7350_one_frame.ts", {{47, "Audio", "7350"}, {48, "Audio", "1"}, {46, "Audio", "AAC LC"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        Analysis a(c.fixture);
        for (const Fact& f : c.facts) {
            SCOPED_TRACE("event " + std::to_string(f.id));
            const int pid = a.firstPidOf(f.kind);
            ASSERT_GE(pid, 0);
            EXPECT_EQ(f.value, a.value(f.id, pid));
        }
    }
}

// Values of different events and kinds that describe the same thing must agree; a value
// read as another kind than it was fired as cannot.
TEST(EventContractValues, NumbersOfDifferentEventsAgree)
{
    for (const char* fixture : kTransportFixtures) {
        SCOPED_TRACE(fixture);
        Analysis a(fixture);
        const double mux = numberOf(a.value(CB_MPEG2TS_MUX_BITRATE));
        EXPECT_GT(mux, 10000.0);
        EXPECT_LT(mux, 100e6);
        for (int pid : {0, a.firstPidOf("PMT Table")}) {
            double psi = numberOf(a.value(CB_MPEG2TS_TRANSP_BITRATE, pid));
            EXPECT_GT(psi, 0.0);
            EXPECT_LT(psi, mux);
        }
        for (const auto& s : a.streamKind) {
            if (s.second != "Video" && s.second != "Audio")
                continue;
            SCOPED_TRACE("PID " + std::to_string(s.first));
            const double pes = numberOf(a.value(CB_MPEG2TS_PES_STREAM_BITRATE, s.first));
            EXPECT_GT(pes, 0.0);
            EXPECT_LT(pes, mux * 1.2);  // the PID's packets over the PCR span
            const long long pts = atoll(a.value(CB_MPEG2TS_PTS_COUNT, s.first).c_str());
            const long long dts = atoll(a.value(CB_MPEG2TS_DTS_COUNT, s.first).c_str());
            EXPECT_GT(pts, 0);
            EXPECT_LE(dts, pts);
        }
        for (int pid : a.pidsOf("Audio")) {
            if (a.position(CB_MPEG2TS_PCM_AUDIO_BITRATE, pid) < 0)
                continue;
            // LPCM: 48 kHz times the channels times a data word of 16 to 32 bits.
            const double bitrate = numberOf(a.value(CB_MPEG2TS_PCM_AUDIO_BITRATE, pid));
            const int channels = atoi(a.value(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH, pid).c_str());
            ASSERT_GT(channels, 0);
            const double wordBits = bitrate / (48000.0 * channels);
            EXPECT_EQ(wordBits, (double)(long long)wordBits) << bitrate;
            EXPECT_GE(wordBits, 16.0);
            EXPECT_LE(wordBits, 32.0);
            EXPECT_GE(wordBits, atoi(a.value(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE, pid).c_str()));
        }
        const int video = a.firstPidOf("Video");
        if (video < 0)
            continue;
        // The elementary stream is part of its PES packets.
        const double elementary = numberOf(a.value(CB_MPEG2TS_ELM_STREAM_BITRATE, video));
        EXPECT_GT(elementary, 0.0);
        EXPECT_LT(elementary, numberOf(a.value(CB_MPEG2TS_PES_STREAM_BITRATE, video)));
        // One picture per PES packet, each with a PTS: frames plus field pairs.
        const int frames = atoi(a.value(CB_MPEG2TS_FRAME_COUNT, video).c_str());
        const int fields = atoi(a.value(CB_MPEG2TS_FIELD_COUNT, video).c_str());
        EXPECT_EQ(atoll(a.value(CB_MPEG2TS_PTS_COUNT, video).c_str()), frames + fields / 2);
        const int gop = atoi(a.value(CB_MPEG2TS_GOP_SIZE, video).c_str());
        EXPECT_GE(gop, 0);
        EXPECT_LE(gop, frames);
        const double aspect = numberOf(a.value(CB_MPEG2TS_ASPECT_RATIO, video));
        const double sample = numberOf(a.value(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, video));
        EXPECT_GE(aspect, 1.0);
        EXPECT_LE(aspect, 2.5);
        EXPECT_GT(sample, 0.5);
        EXPECT_LT(sample, 2.0);
        // The display aspect ratio is the sample aspect ratio times the picture's shape.
        int w = 0, h = 0;
        ASSERT_EQ(2, sscanf(a.value(CB_MPEG2TS_VIDEO_RES, video).c_str(), "%dx%d", &w, &h));
        EXPECT_NEAR(aspect, sample * w / h, 0.02);
        const std::string rate = a.value(CB_MPEG2TS_FRAME_RATE, video);
        EXPECT_TRUE(matches(rate, "[0-9]+(\\.[0-9]+)?")) << rate;
        if (a.position(CB_MPEG2TS_VBV_BUFF_SIZE, video) >= 0) {
            // H.262: the sequence header's figures, in units of 16384 and 400 bits.
            const long long vbv = atoll(a.value(CB_MPEG2TS_VBV_BUFF_SIZE, video).c_str());
            EXPECT_GT(vbv, 0);
            EXPECT_EQ(0, vbv % 16384);
            const double bitrate = numberOf(a.value(CB_MPEG2TS_BITRATE, video));
            EXPECT_GT(bitrate, 0.0);
            EXPECT_EQ(0, (long long)bitrate % 400);
        }
    }
}

TEST(EventContractFlv, HeaderAndFirstTagsAreEntriesWithoutPids)
{
    struct Case {
        const char* fixture;
        const char* video;  // flag of the header; "0" for audio only
        const char* codec;  // first video tag's codec, null when there is no video
        const char* soundFormat;
        const char* soundRate;
        const char* soundType;
    };
    const Case cases[] = {
        {"flv_h264_aac.flv", "1", "AVC", "AAC", "44 kHz", "Stereo"},
        {"flv_nellymoser.flv", "0", nullptr, "Nellymoser", "22 kHz", "Mono"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        AnalysisRun run = analyseFile(fixturePath(c.fixture));
        ASSERT_EQ(StreamDecoder::DECODE_ENDED, run.result);
        std::map<int, const StreamMessage*> byId;
        std::map<int, int> count;
        for (const MsgPtr& m : run.msgs) {
            byId[m->getCallbackId()] = m.get();
            ++count[m->getCallbackId()];
        }
        ASSERT_EQ(1, count[CB_TRANSPORT_TYPE]);
        EXPECT_EQ("FLV transport", descOf(*byId[CB_TRANSPORT_TYPE]));
        ASSERT_EQ(1, count[CB_FLV_HEADER]);
        std::vector<const callbackMappedValue*> h = entriesOf(*byId[CB_FLV_HEADER]);
        EXPECT_EQ("FLV Header", descOf(*byId[CB_FLV_HEADER]));
        const char* const names[] = {"DataOffset", "TypeFlagsVideo", "TypeFlagsReserved_2", "TypeFlagsAudio",
                                     "TypeFlagsReserved_1", "Version", "aucSignature"};
        const char* const values[] = {"9", c.video, "0", "1", "0", "1", "FLV"};
        ASSERT_EQ(7u, h.size());
        for (size_t i = 0; i < 7; ++i) {
            EXPECT_EQ(names[i], h[i]->m_sName);
            EXPECT_EQ(values[i], h[i]->m_sValue);
        }
        ASSERT_EQ(1, count[CB_FLV_AUDIO_DATA]);
        std::vector<const callbackMappedValue*> au = entriesOf(*byId[CB_FLV_AUDIO_DATA]);
        ASSERT_EQ(4u, au.size());
        EXPECT_EQ("Sound Type", au[0]->m_sName);
        EXPECT_EQ(c.soundType, au[0]->m_sValue);
        EXPECT_EQ("Sound Size", au[1]->m_sName);
        EXPECT_EQ("16 bit", au[1]->m_sValue);
        EXPECT_EQ("Sound Rate", au[2]->m_sName);
        EXPECT_EQ(c.soundRate, au[2]->m_sValue);
        EXPECT_EQ("Sound Format", au[3]->m_sName);
        EXPECT_EQ(c.soundFormat, au[3]->m_sValue);
        if (c.codec) {
            ASSERT_EQ(1, count[CB_FLV_VIDEO_DATA]);
            std::vector<const callbackMappedValue*> v = entriesOf(*byId[CB_FLV_VIDEO_DATA]);
            ASSERT_EQ(2u, v.size());
            EXPECT_EQ("CodecId", v[0]->m_sName);
            EXPECT_EQ(c.codec, v[0]->m_sValue);
            EXPECT_EQ("Frame Type", v[1]->m_sName);
            EXPECT_FALSE(v[1]->m_sValue.empty());
        } else {
            EXPECT_EQ(0, count[CB_FLV_VIDEO_DATA]);
        }
        // No transport stream event comes out of an FLV run.
        for (const MsgPtr& m : run.msgs)
            EXPECT_TRUE(m->getCallbackId() <= CB_FLV_VIDEO_DATA || m->getCallbackId() == CB_PERCENT_COMPLETE)
                << m->getCallbackId();
    }
}

TEST(EventContractGeneral, ContainerTextAndProgressAsThePointerValue)
{
    AnalysisRun run = analyseFile(fixturePath("samples/sample.ts"));
    ASSERT_EQ(StreamDecoder::DECODE_ENDED, run.result);
    int containers = 0;
    std::vector<long> percents;
    for (const MsgPtr& m : run.msgs) {
        if (m->getCallbackId() == CB_TRANSPORT_TYPE) {
            ++containers;
            EXPECT_EQ("MPEG2 transport", m->getMsgDesc());
            EXPECT_EQ(PAYLOAD_TYPE_NONE, m->getPayloadType());
            EXPECT_EQ(nullptr, m->getMsgData());
        }
        if (m->getCallbackId() == CB_PERCENT_COMPLETE) {
            EXPECT_EQ("Percent Complete", m->getMsgDesc());
            EXPECT_EQ(PAYLOAD_TYPE_INT32_ARRAY, m->getPayloadType());
            EXPECT_EQ(0, m->getMsgCount());
            percents.push_back((long)reinterpret_cast<intptr_t>(m->getMsgData()));
        }
    }
    EXPECT_EQ(1, containers);
    // The sample spans several 64 KiB buffers: progress in steps of two or more, to 100.
    ASSERT_GE(percents.size(), 2u);
    for (size_t i = 0; i < percents.size(); ++i) {
        EXPECT_GE(percents[i], 1);
        EXPECT_LE(percents[i], 100);
        if (i > 0) {
            EXPECT_GE(percents[i], percents[i - 1] + 2);
        }
    }
    EXPECT_EQ(100, percents.back());
    // The container message comes first among the stream's findings.
    EXPECT_EQ(CB_TRANSPORT_TYPE, run.msgs[0]->getCallbackId() == CB_PERCENT_COMPLETE
                                     ? run.msgs[1]->getCallbackId()
                                     : run.msgs[0]->getCallbackId());
}

TEST(EventContractGeneral, StatusAliveOnlyWhenItIsRegistered)
{
    for (bool withQueue : {false, true}) {
        SCOPED_TRACE(withQueue ? "with an outgoing queue" : "without");
        AnalysisRun run = analyseFile(fixturePath("mpeg2_576_16x9_ac3.ts"), withQueue);
        int alive = 0;
        for (const MsgPtr& m : run.msgs) {
            if (m->getCallbackId() != CB_STATUS_ALIVE)
                continue;
            ++alive;
            EXPECT_EQ("Status Alive", m->getMsgDesc());
            EXPECT_EQ(PAYLOAD_TYPE_NONE, m->getPayloadType());
            EXPECT_EQ(nullptr, m->getMsgData());
        }
        if (withQueue) {
            EXPECT_GE(alive, 1);
        } else {
            EXPECT_EQ(0, alive);
        }
    }
}

// ---- packet events on a stream built here ---------------------------------------------

namespace {

uint32_t crc32Mpeg(const unsigned char* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= (uint32_t)p[i] << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

typedef std::vector<unsigned char> Packet;

Packet psiPacket(int pid, std::vector<unsigned char> section)
{
    uint32_t crc = crc32Mpeg(section.data(), section.size());
    for (int s = 24; s >= 0; s -= 8)
        section.push_back((unsigned char)(crc >> s));
    Packet p(188, 0xFF);
    p[0] = 0x47;
    p[1] = (unsigned char)(0x40 | (pid >> 8));
    p[2] = (unsigned char)pid;
    p[3] = 0x10;
    p[4] = 0;  // pointer_field
    std::copy(section.begin(), section.end(), p.begin() + 5);
    return p;
}

// A packet of only an adaptation field with a PCR; extra are the bytes after the PCR.
Packet pcrPacket(int pid, int cc, unsigned char flags, long long pcr, std::vector<unsigned char> extra)
{
    Packet p(188, 0xFF);
    p[0] = 0x47;
    p[1] = (unsigned char)(pid >> 8);
    p[2] = (unsigned char)pid;
    p[3] = (unsigned char)(0x20 | cc);
    p[4] = 183;
    p[5] = flags;
    const long long base = pcr / 300, ext = pcr % 300;
    p[6] = (unsigned char)(base >> 25);
    p[7] = (unsigned char)(base >> 17);
    p[8] = (unsigned char)(base >> 9);
    p[9] = (unsigned char)(base >> 1);
    p[10] = (unsigned char)(((base & 1) << 7) | 0x7E | (ext >> 8));
    p[11] = (unsigned char)ext;
    std::copy(extra.begin(), extra.end(), p.begin() + 12);
    return p;
}

Packet payloadPacket(int pid, int cc)
{
    Packet p(188, 0x00);
    p[0] = 0x47;
    p[1] = (unsigned char)(pid >> 8);
    p[2] = (unsigned char)pid;
    p[3] = (unsigned char)(0x10 | cc);
    return p;
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::vector<Packet>& packets)
    {
        static int counter = 0;
        path = "/tmp/korbalt_evc_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".ts";
        FILE* f = fopen(path.c_str(), "wb");
        if (f) {
            for (const Packet& p : packets)
                fwrite(p.data(), 1, p.size(), f);
            fclose(f);
        }
    }
    ~TempFile() { unlink(path.c_str()); }
};

struct PacketView {
    int pid = -1;
    std::string packet, type, description;
};

// [Pid, Pid {Packet, Type, Description}], or an empty view.
PacketView packetViewOf(const StreamMessage& m)
{
    PacketView v;
    std::vector<const callbackMappedValue*> e = entriesOf(m);
    if (e.size() != 2 || e[0]->m_sName != "Pid" || e[1]->m_sName != "Pid" || e[0]->m_sValue != e[1]->m_sValue ||
        !e[1]->m_pChildren || e[1]->m_pChildren->size() != 3)
        return v;
    auto c = e[1]->m_pChildren->begin();
    if (c->m_sName != "Packet")
        return v;
    v.packet = c->m_sValue;
    ++c;
    if (c->m_sName != "Type")
        return v;
    v.type = c->m_sValue;
    ++c;
    if (c->m_sName != "Description")
        return v;
    v.description = c->m_sValue;
    v.pid = atoi(e[0]->m_sValue.c_str());
    return v;
}

}  // namespace

TEST(EventContractPacketEvents, SpliceReservedBitsAndContinuityCarryPidTextAndPacketNumber)
{
    const int pcrPid = 0x100, pmtPid = 0x1000;
    const long long second = 27000000;
    std::vector<Packet> ts;
    // PAT: program 1 on PMT PID 0x1000.
    ts.push_back(psiPacket(0, {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00}));
    // PMT: PCR on 0x100, one MPEG-2 video stream on the same PID.
    ts.push_back(psiPacket(pmtPid, {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0, 0x00,
                                    0x02, 0xE1, 0x00, 0xF0, 0x00}));
    ts.push_back(pcrPacket(pcrPid, 0, 0x10, 0, {}));                             // 2
    ts.push_back(pcrPacket(pcrPid, 0, 0x14, second / 25, {0x05}));               // 3: splice point
    ts.push_back(pcrPacket(pcrPid, 0, 0x11, 2 * second / 25, {0x01, 0xE0}));     // 4: reserved bits 0
    ts.push_back(payloadPacket(pcrPid, 5));                                      // 5: counter 0 -> 5
    ts.push_back(pcrPacket(pcrPid, 5, 0x10, second, {}));                        // 6
    ts.push_back(pcrPacket(pcrPid, 5, 0x10, 22 * second / 10, {}));              // 7
    TempFile file(ts);

    AnalysisRun run = analyseFile(file.path);
    ASSERT_EQ(StreamDecoder::DECODE_ENDED, run.result);
    struct Want {
        int id;
        _MessageType type;
        const char* desc;
        const char* packet;
        const char* text;
    };
    const Want wants[] = {
        {CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, MSG_TYPE_WARNING, "Splice Point Flag", "3", "splicing_point_flag set"},
        {CB_MPEG2TS_RESERVED_BITS_ERROR, MSG_TYPE_ERROR, "Reserved Bits Error", "4",
         "The 5 reserved bits after the seamless_splice_flag have the value '0x0'"},
        {CB_MPEG2TS_CONTINUITY_ERROR, MSG_TYPE_ERROR, "Continuity Error", "5", "Old counter is 0 New Counter is 5"},
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(w.desc);
        std::vector<const StreamMessage*> found;
        for (const MsgPtr& m : run.msgs)
            if (m->getCallbackId() == w.id)
                found.push_back(m.get());
        ASSERT_EQ(1u, found.size());
        const StreamMessage& m = *found[0];
        EXPECT_EQ(w.type, m.getMsgType());
        EXPECT_EQ(w.desc, descOf(m));
        PacketView v = packetViewOf(m);
        EXPECT_EQ(pcrPid, v.pid);
        EXPECT_EQ(w.packet, v.packet);
        EXPECT_EQ(w.desc, v.type);
        EXPECT_EQ(w.text, v.description);
    }
    // The time line of the same run: a running and a final duration, and the rates.
    int running = 0, final = 0;
    for (const MsgPtr& m : run.msgs) {
        if (m->getCallbackId() != CB_MPEG2TS_DURATION)
            continue;
        const uint32_t* words = static_cast<const uint32_t*>(m->getMsgData());
        if (words[3]) {
            ++final;
            EXPECT_EQ(0u, words[0]);
            EXPECT_EQ(0u, words[1]);
            EXPECT_EQ(2u, words[2]);
        } else {
            ++running;
        }
    }
    EXPECT_EQ(1, running);
    EXPECT_EQ(1, final);
    int mux = 0;
    for (const MsgPtr& m : run.msgs) {
        if (m->getCallbackId() != CB_MPEG2TS_MUX_BITRATE)
            continue;
        ++mux;
        ValueView v = viewOf(*m);
        ASSERT_NE(nullptr, v.value);
        // The five packets after the first PCR, up to the last, over 2.2 s.
        EXPECT_EQ("3418.18", v.value->m_sValue);
    }
    EXPECT_EQ(1, mux);
}

TEST(EventContractPacketEvents, PcrWrapGivesOneRollOverWarningOnThePcrPid)
{
    Analysis a("pcr_wrap.ts");
    std::vector<const StreamMessage*> rolls = a.all(CB_MPEG2TS_PCR_ROLL_OVER);
    ASSERT_EQ(1u, rolls.size());
    EXPECT_EQ(MSG_TYPE_WARNING, rolls[0]->getMsgType());
    PacketView v = packetViewOf(*rolls[0]);
    EXPECT_EQ("pcr rollover detected", v.description);
    EXPECT_EQ("PCR Rollover", v.type);
    ASSERT_TRUE(isDecimal(v.packet));
    const long long packets =
        (long long)(std::ifstream(fixturePath("pcr_wrap.ts"), std::ios::ate | std::ios::binary).tellg() / 188);
    EXPECT_GT(atoll(v.packet.c_str()), 0);
    EXPECT_LT(atoll(v.packet.c_str()), packets);
    // The PCR PID is the PMT's PcrPid.
    std::vector<const callbackMappedValue*> pmt = entriesOf(*a.all(CB_MPEG2TS_PMT)[0]);
    std::string pcrPid;
    for (const callbackMappedValue* e : pmt)
        if (e->m_sName == "PcrPid")
            pcrPid = e->m_sValue;
    EXPECT_EQ(pcrPid, std::to_string(v.pid));
    // The wrap does not break the time line: the whole three seconds.
    const StreamMessage* last = a.all(CB_MPEG2TS_DURATION).back();
    const uint32_t* words = static_cast<const uint32_t*>(last->getMsgData());
    EXPECT_EQ(1u, words[3]);
    EXPECT_EQ(3u, words[2]);
}
