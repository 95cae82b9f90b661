#include "engine/korbalt.h"

#include "callbacks/flvCallbacks.h"
#include "callbacks/generalCallbacks.h"
#include "callbacks/mpeg2tsCallbacks.h"
#include "engine/inputParams.h"
#include "engine/streamDecoder.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "platform/debugMap.h"
#include "platform/fileLogger.h"
#include "platform/osFileHandler.h"
#include "platform/posixMsgQueues.h"
#include "platform/posixThreads.h"
#include "platform/signalCtrl.h"
#include "report/streamReport.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sstream>
#include <vector>

// ---------------------------------------------------------------- module state

int eSource = CMD_SOURCE_NONE;
char m_acFileName[KORBALT_TEXT_FIELD];
char m_acReportDir[KORBALT_TEXT_FIELD];
char m_acReportName[KORBALT_TEXT_FIELD];
char m_acLogFileName[KORBALT_TEXT_FIELD];
char m_acOutgoingQueueName[KORBALT_TEXT_FIELD];
uint32_t m_iIpAddr = 0;
uint16_t m_iPort = 0;
uint32_t m_iIntIp = 0;
bool m_bDump = false;
bool m_bReportTxtType = true;
int m_AnalysisDuration = 0;
std::atomic<bool> bKeepListening(false);
pthread_t m_uliMsgReader;
std::atomic<StreamDecoder*> pcStreamDecoder(nullptr);

namespace {

// The pool the listener thread reads: the one the report was built with.
StreamMessagePool* s_pListenerPool = nullptr;

// Keeps the driver's summary additions and the listener's filing apart.
pthread_mutex_t s_ReportMutex = PTHREAD_MUTEX_INITIALIZER;

const char* const kUsageLines[] = {
    "Usage: ",
    "       korbalt -f \"file name\"",
    "       korbalt -n -ip \"ip addr\" -p \"port\"",
    "Options (must be used before -f/-n options): ",
    "       -d dump incoming stream into a file, used with -n only, should be first argument",
    "       -r report type, supported values are xml or txt",
    "       -report_dst report destination path, with the slash at the end",
    "       -report_name report filename",
    "       -duration asset time interval to analyze from the begining",
    "       -out_queue_name outgoing queue name",
};

// Copies a command-line value into a 1024-byte field; false (field untouched) when it
// does not fit.
bool copyField(char* field, const char* value)
{
    size_t n = strlen(value);
    if (n > (size_t)KORBALT_TEXT_FIELD - 1)
        return false;
    memcpy(field, value, n + 1);
    return true;
}

// A whole decimal number in [0, limit]; false for anything else.
bool readDecimal(const char* text, long limit, long* out)
{
    if (!text || !*text)
        return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || v > limit)
        return false;
    *out = v;
    return true;
}

// Four dot-separated decimal numbers of 0..255; the packed address in *out.
bool readDottedAddress(const char* text, uint32_t* out)
{
    char copy[64];
    size_t n = strlen(text);
    if (n == 0 || n >= sizeof(copy))
        return false;
    int dots = 0;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] == '.')
            ++dots;
        else if (text[i] < '0' || text[i] > '9')
            return false;
        if (text[i] == '.' && (i == 0 || text[i - 1] == '.' || i + 1 == n))
            return false;
    }
    if (dots != 3)
        return false;
    memcpy(copy, text, n + 1);
    char* p = copy;
    for (int i = 0; i < 4; ++i) {
        char* dot = strchr(p, '.');
        if (dot)
            *dot = '\0';
        long v;
        if (strlen(p) > 3 || !readDecimal(p, 255, &v))
            return false;
        p = dot ? dot + 1 : p + strlen(p);
    }
    memcpy(copy, text, n + 1);
    *out = parseIpString(copy);
    return true;
}

// The six words after "-n", at argv[i + 1] .. argv[i + 6].
int parseNetworkWords(int argc, char** argv, int i)
{
    eSource = CMD_SOURCE_NETWORK;
    if (i + 6 >= argc)
        return CMD_LINE_USAGE;
    if (strcmp(argv[i + 1], "-ip") != 0 || strcmp(argv[i + 3], "-p") != 0 || strcmp(argv[i + 5], "-int") != 0)
        return CMD_LINE_USAGE;
    uint32_t ip = 0, intIp = 0;
    long port = 0;
    if (!readDottedAddress(argv[i + 2], &ip) || !readDecimal(argv[i + 4], 65535, &port) ||
        !readDottedAddress(argv[i + 6], &intIp))
        return CMD_LINE_USAGE;
    m_iIpAddr = ip;
    m_iPort = (uint16_t)port;
    m_iIntIp = intIp;
    return CMD_LINE_OK;
}

std::string ctimeText(time_t t)
{
    char buf[64];
    if (!ctime_r(&t, buf))
        return std::string();
    return std::string(buf);
}

void addSummary(StreamReport* report, const char* name, const std::string& value)
{
    lockReport();
    report->addToReportSummary(std::string(name), value);
    unlockReport();
}

// Sleeps up to ms, in short slices so that a cleared flag is noticed soon, and wakes early
// when a backlog builds up in the pool or the end of the run is announced (wakeConsumer).
void pollSleep(int ms, const std::atomic<bool>* keepListening, StreamMessagePool* pool)
{
    const int slice = 50;
    for (int waited = 0; waited < ms; waited += slice) {
        if (keepListening && !keepListening->load())
            return;
        if (pool->waitForBacklog(ms - waited < slice ? ms - waited : slice))
            return;
    }
}

void fileIntoReport(StreamMessage* message, void* context)
{
    StreamReport* report = static_cast<StreamReport*>(context);
    lockReport();
    report->processMessage(message, report);
    unlockReport();
}

// main's registrations, in its order: 0..7, 9, 10, 11, 8, 12..26, 28, 27, 29..56,
// 58..62, and last the status-alive callback.
const CallbackRegistration kRegistrations[] = {
    {CB_TRANSPORT_TYPE, GeneralCallbacks::transportTypeCb, false},
    {CB_FLV_HEADER, FlvCallbacks::flvHeaderCb, false},
    {CB_FLV_AUDIO_DATA, FlvCallbacks::flvAudioDataCb, false},
    {CB_FLV_VIDEO_DATA, FlvCallbacks::flvVideoDataCb, false},
    {CB_MPEG2TS_PAT, Mpeg2TsCallbacks::mpeg2TsPatCb, false},
    {CB_MPEG2TS_PMT, Mpeg2TsCallbacks::mpeg2TsPmtCb, false},
    {CB_MPEG2TS_DURATION, Mpeg2TsCallbacks::mpeg2TsDurationCb, true},
    {CB_MPEG2TS_MUX_BITRATE, Mpeg2TsCallbacks::mpeg2TsMuxBitrateCb, false},
    {CB_MPEG2TS_TRANSP_BITRATE, Mpeg2TsCallbacks::mpeg2TranspBitrateCb, true},
    {CB_MPEG2TS_PES_STREAM_BITRATE, Mpeg2TsCallbacks::mpeg2PesStreamBitrateCb, true},
    {CB_MPEG2TS_ELM_STREAM_BITRATE, Mpeg2TsCallbacks::mpeg2ElmStreamBitrateCb, true},
    {CB_MPEG2TS_VIDEO_CBR, Mpeg2TsCallbacks::mpeg2TsVideoCBRCb, true},
    {CB_MPEG2TS_STREAM_TYPE, Mpeg2TsCallbacks::mpeg2TsStreamTypeCb, true},
    {CB_MPEG2TS_STREAM_DESC, Mpeg2TsCallbacks::mpeg2TsStreamDescCb, true},
    {CB_MPEG2TS_PTS_COUNT, Mpeg2TsCallbacks::mpeg2TsPtsCountCb, true},
    {CB_MPEG2TS_DTS_COUNT, Mpeg2TsCallbacks::mpeg2TsDtsCountCb, true},
    {CB_MPEG2TS_VIDEO_RES, Mpeg2TsCallbacks::mpeg2TsVideoResCb, false},
    {CB_MPEG2TS_FRAME_RATE, Mpeg2TsCallbacks::mpeg2TsFrameRateCb, false},
    {CB_MPEG2TS_DROP_FRAME, Mpeg2TsCallbacks::mpeg2TsDropFrameCb, false},
    {CB_MPEG2TS_QUAD_BYTE_ALIGNED, Mpeg2TsCallbacks::mpeg2TsQuadByteAlignedCb, false},
    {CB_MPEG2TS_ASPECT_RATIO, Mpeg2TsCallbacks::mpeg2TsAspectRatioCb, false},
    {CB_MPEG2TS_SAMPLE_ASPECT_RATIO, Mpeg2TsCallbacks::mpeg2TsSampleAspectRatioCb, false},
    {CB_MPEG2TS_PROG_SEQUENCE, Mpeg2TsCallbacks::mpeg2TsProgSequenceCb, false},
    {CB_MPEG2TS_CHROMA, Mpeg2TsCallbacks::mpeg2TsChromaCb, false},
    {CB_MPEG2TS_PROFILE_AND_LEVEL, Mpeg2TsCallbacks::mpeg2TsProfileAndLevelCb, false},
    {CB_MPEG2TS_VBV_BUFF_SIZE, Mpeg2TsCallbacks::mpeg2TsVbvBuffSizeCb, false},
    {CB_MPEG2TS_BITRATE, Mpeg2TsCallbacks::mpeg2TsBitrateCb, false},
    {CB_MPEG2TS_GOP_STRUCT, Mpeg2TsCallbacks::mpeg2TsGopStructCb, false},
    {CB_MPEG2TS_GOP_PAYLOAD, Mpeg2TsCallbacks::mpeg2TsGopPayloadCb, false},
    {CB_MPEG2TS_OPEN_CLOSED_GOP, Mpeg2TsCallbacks::mpeg2TsOpenClosedGopCb, false},
    {CB_MPEG2TS_ADAPTIVE_GOP, Mpeg2TsCallbacks::mpeg2TsAdaptiveGopCb, false},
    {CB_MPEG2TS_GOP_SIZE, Mpeg2TsCallbacks::mpeg2TsGopSizeCb, false},
    {CB_MPEG2TS_FIELD_COUNT, Mpeg2TsCallbacks::mpeg2TsFieldCountCb, false},
    {CB_MPEG2TS_FRAME_COUNT, Mpeg2TsCallbacks::mpeg2TsFrameCountCb, false},
    {CB_MPEG2TS_CC, Mpeg2TsCallbacks::mpeg2TsCc, false},
    {CB_MPEG2TS_AC3_SAMPLING_RATE, Mpeg2TsCallbacks::mpeg2TsAc3SamplingRateCb, true},
    {CB_MPEG2TS_AC3_BITRATE, Mpeg2TsCallbacks::mpeg2TsAc3BitrateCb, true},
    {CB_MPEG2TS_AC3_AUDIO_CODING_MODE, Mpeg2TsCallbacks::mpeg2TsAc3AudioCodingModeCb, true},
    {CB_MPEG2TS_AC3_CH_ORDERING, Mpeg2TsCallbacks::mpeg2TsAc3ChOrderingCb, true},
    {CB_MPEG2TS_AC3_STREAM_MODE, Mpeg2TsCallbacks::mpeg2TsAc3StreamModeCb, true},
    {CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, Mpeg2TsCallbacks::mpeg2TsAc3NUmberOfChannelsCb, true},
    {CB_MPEG2TS_MPEG_AUDIO_LAYER, Mpeg2TsCallbacks::mpeg2TsMpegAudioLayerCb, true},
    {CB_MPEG2TS_MPEG_AUDIO_BITRATE, Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb, true},
    {CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, Mpeg2TsCallbacks::mpeg2TsMpegAudioSamplingFreqCb, true},
    {CB_MPEG2TS_MPEG_AUDIO_MODE, Mpeg2TsCallbacks::mpeg2TsMpegAudioModeCb, true},
    {CB_MPEG2TS_AAC_AUDIO_LAYER, Mpeg2TsCallbacks::mpeg2TsAacAudioLayerCb, true},
    {CB_MPEG2TS_AAC_AUDIO_PROFILE, Mpeg2TsCallbacks::mpeg2TsAacAudioProfileCb, true},
    {CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, Mpeg2TsCallbacks::mpeg2TsAacAudioSamplingFreqCb, true},
    {CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS, Mpeg2TsCallbacks::mpeg2TsAacNumberOfChannels, true},
    {CB_MPEG2TS_AAC_AUDIO_BITRATE, Mpeg2TsCallbacks::mpeg2TsAacAudioBitrate, true},
    {CB_MPEG2TS_AAC_AUDIO_MODE, Mpeg2TsCallbacks::mpeg2TsAacAudioMode, true},
    {CB_MPEG2TS_PCM_AUDIO_FREQ, Mpeg2TsCallbacks::mpeg2TsPcmAudioFreqCb, true},
    {CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH, Mpeg2TsCallbacks::mpeg2TsPcmAudioNumOfChCb, true},
    {CB_MPEG2TS_PCM_AUDIO_CHAN_ID, Mpeg2TsCallbacks::mpeg2TsPcmAudioChanIdCb, true},
    {CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE, Mpeg2TsCallbacks::mpeg2TsPcmAudioBitPerSampleCb, true},
    {CB_MPEG2TS_PCM_AUDIO_BITRATE, Mpeg2TsCallbacks::mpeg2TsPcmAudioBitrate, true},
    {CB_MPEG2TS_PCM_AUDIO_MODE, Mpeg2TsCallbacks::mpeg2TsPcmAudioMode, true},
    {CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, Mpeg2TsCallbacks::mpeg2TsSplicePointFlagInfoCb, true},
    {CB_MPEG2TS_PCR_ROLL_OVER, Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb, false},
    {CB_MPEG2TS_CONTINUITY_ERROR, Mpeg2TsCallbacks::mpeg2TsContinuityError, true},
    {CB_MPEG2TS_RESERVED_BITS_ERROR, Mpeg2TsCallbacks::mpeg2TsReservedBitsError, true},
    {CB_MPEG2TS_SYNC_LOSS, Mpeg2TsCallbacks::mpeg2TsSyncLoss, true},
    {CB_MPEG2TS_INPUT_GAP, Mpeg2TsCallbacks::mpeg2TsInputGap, true},
    {CB_MPEG2TS_DATAGRAM_CUT, Mpeg2TsCallbacks::mpeg2TsDatagramCut, true},
    {CB_PERCENT_COMPLETE, GeneralCallbacks::percentCompleteCb, true},
    {CB_STATUS_ALIVE, GeneralCallbacks::statusAliveCb, true},
};
const int kRegistrationCount = (int)(sizeof(kRegistrations) / sizeof(kRegistrations[0]));

}  // namespace

// ---------------------------------------------------------------- command line

void resetCmdLineDefaults()
{
    eSource = CMD_SOURCE_NONE;
    memset(m_acFileName, 0, sizeof(m_acFileName));
    memset(m_acReportDir, 0, sizeof(m_acReportDir));
    memset(m_acReportName, 0, sizeof(m_acReportName));
    memset(m_acLogFileName, 0, sizeof(m_acLogFileName));
    memset(m_acOutgoingQueueName, 0, sizeof(m_acOutgoingQueueName));
    m_iIpAddr = 0;
    m_iPort = 0;
    m_iIntIp = 0;
    m_bDump = false;
    m_bReportTxtType = true;
    m_AnalysisDuration = 0;
}

int parseCmdLine(int argc, char** argv)
{
    if (argc < 2 || !argv)
        return CMD_LINE_USAGE;
    int i = 1;
    while (i < argc) {
        if (strcmp(argv[i], "-f") == 0) {
            if (argc == 2 || i + 1 >= argc)
                return CMD_LINE_USAGE;
            if (strlen(argv[i + 1]) > (size_t)KORBALT_TEXT_FIELD - 1)
                return CMD_LINE_TOO_LONG;
            memset(m_acFileName, 0, sizeof(m_acFileName));
            copyField(m_acFileName, argv[i + 1]);
            eSource = CMD_SOURCE_FILE;
            return CMD_LINE_OK;
        }
        if (strcmp(argv[i], "-n") == 0)
            return parseNetworkWords(argc, argv, i);
        if (strcmp(argv[i], "-d") == 0)
            m_bDump = true;
        // A value-taking option moves the current word to its value; the tests that
        // follow in the same pass are made on that value.
        if (strcmp(argv[i], "-r") == 0) {
            if (++i >= argc)
                return CMD_LINE_USAGE;
            if (strcmp(argv[i], "xml") == 0)
                m_bReportTxtType = false;
        }
        if (strcmp(argv[i], "-report_dst") == 0) {
            if (++i >= argc || !copyField(m_acReportDir, argv[i]))
                return CMD_LINE_USAGE;
        }
        if (strcmp(argv[i], "-report_name") == 0) {
            if (++i >= argc || !copyField(m_acReportName, argv[i]))
                return CMD_LINE_USAGE;
        }
        if (strcmp(argv[i], "-duration") == 0) {
            long seconds = 0;
            if (++i >= argc || !readDecimal(argv[i], INT_MAX, &seconds))
                return CMD_LINE_USAGE;
            m_AnalysisDuration = (int)seconds;
        }
        if (strcmp(argv[i], "-out_queue_name") == 0) {
            if (i + 1 >= argc || !copyField(m_acOutgoingQueueName, argv[i + 1]))
                return CMD_LINE_USAGE;
            i += 2;
            if (i < argc)
                continue;
            return CMD_LINE_USAGE;
        }
        ++i;
    }
    return CMD_LINE_USAGE;
}

uint32_t parseIpString(char* text)
{
    uint32_t address = 0;
    if (!text)
        return 0;
    char* save = nullptr;
    int shift = 24;
    for (char* piece = strtok_r(text, ".", &save); piece && shift >= 0; piece = strtok_r(nullptr, ".", &save)) {
        unsigned long v = strtoul(piece, nullptr, 10);
        address |= (uint32_t)(v & 0xFF) << shift;  // a piece never spills into its neighbour
        shift -= 8;
    }
    return address;
}

std::string formatDottedIp(uint32_t address)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "%d.%d.%d.%d", (int)((address >> 24) & 0xFF), (int)((address >> 16) & 0xFF),
             (int)((address >> 8) & 0xFF), (int)(address & 0xFF));
    return buf;
}

std::string usageText()
{
    std::string text;
    for (const char* line : kUsageLines) {
        text += line;
        text += "\n";
    }
    return text;
}

void printHelp()
{
    fputs(usageText().c_str(), stdout);
    fflush(stdout);
}

void handlerCtrlC(int)
{
    // Only a flag: the decoder notices it at its next turn, and no decoder is touched here,
    // whether one exists yet or not.
    StreamDecoder::requestAbort();
}

// ---------------------------------------------------------------- names

std::string makeTimeStamp(time_t t)
{
    std::string stamp = ctimeText(t);
    while (!stamp.empty() && (stamp.back() == '\n' || stamp.back() == '\r'))
        stamp.pop_back();
    for (char& c : stamp)
        if (c == ' ' || c == ':')
            c = '_';
    return stamp;
}

int buildReportNamesFrom(int source, const char* fileName, uint32_t ipAddr, const char* reportDir,
                         const char* reportName, time_t now, ReportNames* names)
{
    if (!names)
        return -1;
    ReportNames n;
    if (source == CMD_SOURCE_FILE) {
        std::string path = fileName ? fileName : "";
        std::vector<char> copy(path.begin(), path.end());
        copy.push_back('\0');
        const char* base = osGetFileNameFromPath(copy.data());
        n.sourceLabel = base ? base : "";
        n.fileNameText = path;
    } else if (source == CMD_SOURCE_NETWORK) {
        n.sourceLabel = formatDottedIp(ipAddr);
    }
    std::string dir = (reportDir && *reportDir) ? reportDir : "./";
    if (reportName && *reportName) {
        n.logName = dir + reportName + "_log.txt";
        n.reportBase = dir + reportName;
    } else {
        n.logName = dir + makeTimeStamp(now) + "_log.txt";
        n.reportBase = dir + n.sourceLabel;
    }
    // Both names live in 1024-byte fields: refuse rather than cut.
    if (n.logName.size() > (size_t)KORBALT_TEXT_FIELD - 1 || n.reportBase.size() > (size_t)KORBALT_TEXT_FIELD - 1)
        return -1;
    *names = n;
    return 0;
}

int buildReportNames(time_t now, ReportNames* names)
{
    int rc = buildReportNamesFrom(eSource, m_acFileName, m_iIpAddr, m_acReportDir, m_acReportName, now, names);
    if (rc != 0)
        return rc;
    if (m_acReportDir[0] == '\0')
        copyField(m_acReportDir, "./");
    copyField(m_acLogFileName, names->logName.c_str());
    return 0;
}

namespace {

// The directory part of a path and its last piece ("." for a bare name).
void splitPath(const std::string& path, std::string* dir, std::string* base)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        *dir = ".";
        *base = path;
    } else {
        *dir = slash == 0 ? "/" : path.substr(0, slash);
        *base = path.substr(slash + 1);
    }
}

// True when both names lead to the same place: the same file when both exist, else the
// same resolved directory and the same last piece.
bool samePlace(const std::string& a, const std::string& b)
{
    OsFileInfo ia, ib;
    bool haveA = osGetFileInfo(a.c_str(), &ia) == 0, haveB = osGetFileInfo(b.c_str(), &ib) == 0;
    if (haveA && haveB)
        return ia.device == ib.device && ia.inode == ib.inode;
    if (haveA != haveB)
        return false;
    std::string dirA, baseA, dirB, baseB;
    splitPath(a, &dirA, &baseA);
    splitPath(b, &dirB, &baseB);
    if (baseA.empty() || baseA != baseB)
        return false;
    char* ra = realpath(dirA.c_str(), nullptr);
    char* rb = realpath(dirB.c_str(), nullptr);
    bool same = ra && rb && strcmp(ra, rb) == 0;
    free(ra);
    free(rb);
    return same;
}

}  // namespace

std::string reportNameForInput(const std::string& reportBase, const char* inputFileName, bool xml)
{
    std::string name = reportBase;
    if (!inputFileName || !*inputFileName)
        return name;
    for (int i = 0; i < 8 && samePlace(name, inputFileName); ++i)
        name += xml ? ".xml" : ".txt";
    return name;
}

std::string logNameForInput(const std::string& logName, const char* inputFileName)
{
    std::string name = reportNameForInput(logName, inputFileName, false);
    return inputFileName && *inputFileName && samePlace(name, inputFileName) ? std::string() : name;
}

// ---------------------------------------------------------------- timing

std::string formatProcessTime(long long ticks)
{
    if (ticks < 0)
        ticks = 0;
    long long hours = ticks / 3600000000LL;
    long long wholeMinutes = ticks / 60000000LL;
    long long minutes = wholeMinutes % 60;
    long long micros = ticks - wholeMinutes * 60000000LL;
    float seconds = (float)micros / 1000000.0f;
    std::ostringstream s;
    if (hours < 10)
        s << "0";
    s << hours << ":";
    if (minutes < 10)
        s << "0";
    s << minutes << ":";
    if (seconds < 10)
        s << "0";
    if (micros > 0 && micros < 100) {
        // Below 0.0001 the stream's default form has an exponent ("6.2e-05" reads as six
        // seconds): the microseconds are written out, without trailing zeros.
        char text[16];
        snprintf(text, sizeof(text), "%.6f", (double)micros / 1000000.0);
        std::string fixed(text);
        fixed.erase(fixed.find_last_not_of('0') + 1);
        s << fixed;
    } else {
        s << seconds;
    }
    return s.str();
}

std::string printTimeStatistics(FILE* out, long long startTicks, long long endTicks)
{
    long long t = endTicks - startTicks;
    fprintf(out, "Time Statistics:\n");
    fprintf(out, "Start time %lld ticks\n", startTicks);
    fprintf(out, "End   time %lld ticks\n", endTicks);
    fprintf(out, "Toal time %f seconds\n", (double)((float)t / 1000000.0f));
    std::string text = formatProcessTime(t);
    fprintf(out, "--------------- \n");
    fflush(out);
    return text;
}

// ---------------------------------------------------------------- registrations

const CallbackRegistration* getCallbackRegistrations(int* count)
{
    if (count)
        *count = kRegistrationCount;
    return kRegistrations;
}

int registerAnalysisCallbacks(MsgCallback* registry, bool withStatusAlive)
{
    int made = 0;
    for (const CallbackRegistration& r : kRegistrations) {
        if (r.id == CB_STATUS_ALIVE && !withStatusAlive)
            continue;
        made += registry->registerMsgCallback(r.id, r.function, r.repeat);
    }
    return made;
}

// ---------------------------------------------------------------- listener

void lockReport()
{
    pthread_mutex_lock(&s_ReportMutex);
}

void unlockReport()
{
    pthread_mutex_unlock(&s_ReportMutex);
}

void runListener(ListenerConfig* c)
{
    if (!c || !c->pool || !c->fileMessage || !c->keepListening)
        return;
    c->noticesSent = 0;
    c->noticesDropped = 0;
    int queue = -1;
    // The queue belongs to the supervisor; opened non-blocking so that a supervisor that
    // stops reading costs notices, never the run.
    if (c->outgoingQueueName && c->outgoingQueueName[0] != '\0')
        queue = connectToMsgQueueNonBlocking(c->outgoingQueueName, 1);
    c->pool->attachConsumer();
    // Taken a batch at a time, so that the decoding thread rarely meets the
    // listener at the pool's lock.
    std::deque<StreamMessage*> batch;
    for (;;) {
        if (batch.empty())
            c->pool->takeUnprocessedMsgs(&batch);
        StreamMessage* m = nullptr;
        if (!batch.empty()) {
            m = batch.front();
            batch.pop_front();
        }
        if (!m) {
            if (!c->keepListening->load()) {
                // What came in between the last take and the cleared flag is there now.
                c->pool->takeUnprocessedMsgs(&batch);
                if (batch.empty())
                    break;
                continue;
            }
            pollSleep(c->pollIntervalMs, c->keepListening, c->pool);
        } else if (m->getCallbackId() == CB_STATUS_ALIVE) {
            if (queue >= 0) {
                AppMsg notice = {};
                notice.type = APP_MSG_STATUS_ALIVE;
                if (sendMsg(queue, &notice, sizeof(notice)) == 0)
                    ++c->noticesSent;
                else
                    ++c->noticesDropped;
            }
            delete m;
            // No sleep here: the callback already spaces heartbeats a second apart, and a
            // sleep would only hold back the findings queued behind this one.
        } else {
            c->fileMessage(m, c->context);
        }
        if (!c->keepListening->load()) {
            // Final drain: everything left goes to the report, heartbeats included.
            for (StreamMessage* left : batch)
                c->fileMessage(left, c->context);
            batch.clear();
            while ((m = c->pool->getUnprocessedMsg()) != nullptr)
                c->fileMessage(m, c->context);
            break;
        }
    }
    c->pool->detachConsumer();
    if (queue >= 0)
        closeMsgQueue(queue);
}

void* recieveEngineMessages(void* report)
{
    ListenerConfig config = {};
    config.pool = s_pListenerPool;
    config.fileMessage = fileIntoReport;
    config.context = report;
    config.outgoingQueueName = m_acOutgoingQueueName;
    config.keepListening = &bKeepListening;
    config.pollIntervalMs = 1000;
    runListener(&config);
    return nullptr;
}

// ---------------------------------------------------------------- the run

int korbaltMain(int argc, char** argv)
{
    StreamDecoder::clearAbortRequest();
    MsgCallback* registry = new MsgCallback();
    if (addSignalHandler(SIGINT, handlerCtrlC) != 0) {
        delete registry;
        return 0;
    }
    resetCmdLineDefaults();
    ReportNames names;
    if (argc <= 1 || parseCmdLine(argc, argv) != CMD_LINE_OK || buildReportNames(time(nullptr), &names) != 0) {
        printHelp();
        delete registry;
        return 0;
    }

    int status = 0;
    const char* input = eSource == CMD_SOURCE_FILE ? m_acFileName : nullptr;
    // The log is appended to, so a log named like the input would damage it.
    std::string logName = logNameForInput(m_acLogFileName, input);
    if (!logName.empty())
        initFileLogger(logName.c_str());
    if (logName != m_acLogFileName)
        fileLog("Log file %s is the input file; writing the log to %s\n", m_acLogFileName, logName.c_str());
    StreamMessagePool* pool = registry->getMsgPool();
    RendererType type = m_bReportTxtType ? RENDERER_TXT : RENDERER_XML;
    std::string reportName = reportNameForInput(names.reportBase, input, !m_bReportTxtType);
    if (reportName != names.reportBase)
        fileLog("Report file %s is the input file; writing the report to %s\n", names.reportBase.c_str(),
                reportName.c_str());
    StreamReport* report = new StreamReport(reportName, pool, false, type, input);

    // The listener takes no part in Ctrl-C: the signal should wake the decoding thread.
    s_pListenerPool = pool;
    bKeepListening.store(true);
    sigset_t intSet, oldSet;
    emptySignalSet(&intSet);
    addSignalToSet(&intSet, SIGINT);
    setBlockedThreadSignals(&intSet, &oldSet);
    bool listenerStarted = createPosixThread(&m_uliMsgReader, recieveEngineMessages, report) == 0;
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);

    lockReport();
    report->addToReport(std::string("Summary"));
    report->addToReportSummary(std::string("File Name"), names.fileNameText);
    unlockReport();

    registerAnalysisCallbacks(registry, m_acOutgoingQueueName[0] != '\0');

    if (!report->isReportOk()) {
        // The report writer has said why on stderr; analysing into nowhere helps nobody.
        status = 1;
    } else if (eSource != CMD_SOURCE_FILE && eSource != CMD_SOURCE_NETWORK) {
        fileLog("Uknown source. Exiting ...\n");
        status = 1;
    } else {
        InputParams* params = nullptr;
        if (eSource == CMD_SOURCE_FILE)
            params = new InputParams(std::string(m_acFileName));
        else
            params = new InputParams(m_iIpAddr, m_iPort, m_iIntIp, "./", 10, 65536, m_bDump, false);
        StreamDecoder* decoder = new StreamDecoder(*params, registry);
        pcStreamDecoder.store(decoder);

        clock_t start = clock();
        if (start == (clock_t)-1)
            printf("couldn't get start cpu ticks\n");
        addSummary(report, "ReportStartTime", ctimeText(time(nullptr)));

        decoder->startDecoding(m_AnalysisDuration);

        addSummary(report, "ReportEndTime", ctimeText(time(nullptr)));
        std::string failure;
        failure = decoder->getFailureText();
        pcStreamDecoder.store(nullptr);
        delete decoder;  // joins the reader; the processors fire their end-of-stream events
        delete params;
        if (!failure.empty()) {
            fprintf(stderr, "korbalt: %s\n", failure.c_str());
            status = 1;
        }

        clock_t end = clock();
        if (end == (clock_t)-1) {
            printf("couldn't get end cpu ticks\n");
        } else if (end > 0 && start >= 0) {
            std::string processTime = printTimeStatistics(stdout, (long long)start, (long long)end);
            addSummary(report, "ReportProcessTime", processTime);
        }
    }

    bKeepListening.store(false);
    if (pool)
        pool->wakeConsumer();  // the listener need not wait out its sleep
    if (listenerStarted) {
        joinPosixThread(m_uliMsgReader, nullptr);
    } else {
        // No listener: file what the run produced here, so nothing is lost or leaked.
        std::atomic<bool> stop(false);
        ListenerConfig config = {};
        config.pool = pool;
        config.fileMessage = fileIntoReport;
        config.context = report;
        config.keepListening = &stop;
        runListener(&config);
    }
    s_pListenerPool = nullptr;
    if (!report->closeReport())
        status = 1;
    shutdownFileLogger();
    delete report;
    delete registry;
    fflush(stdout);
    return status;
}
