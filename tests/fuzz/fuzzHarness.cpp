#include "tests/fuzz/fuzzHarness.h"

#include "callbacks/generalCallbacks.h"
#include "engine/contentFlv.h"
#include "engine/contentMPEG2TS.h"
#include "engine/contentRTP.h"
#include "engine/flvTransportProcessor.h"
#include "engine/korbalt.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "report/streamReport.h"
#include "syntax/aacAdtsAudio.h"
#include "syntax/ac3.h"
#include "syntax/adaptationField.h"
#include "syntax/atsc.h"
#include "syntax/descriptorTypes.h"
#include "syntax/expGolomb.h"
#include "syntax/gop.h"
#include "syntax/mpegAudio.h"
#include "syntax/packetBase.h"
#include "syntax/patTable.h"
#include "syntax/pcmAudio.h"
#include "syntax/pesHeader.h"
#include "syntax/picture.h"
#include "syntax/pmtTable.h"
#include "syntax/seiMessage.h"
#include "syntax/seqParSet.h"
#include "syntax/sequence.h"
#include "syntax/slice.h"
#include "syntax/streamTypes.h"

#include <tinyxml.h>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

// Holds a copy of some input bytes in a heap block of exactly their size, so that a
// read one byte past the end is a heap overflow the address sanitizer reports.
class ExactBuffer {
public:
    ExactBuffer(const uint8_t* data, size_t size) : m_pData(new unsigned char[size]), m_Size(size)
    {
        if (size)
            memcpy(m_pData, data, size);
    }
    ~ExactBuffer() { delete[] m_pData; }
    ExactBuffer(const ExactBuffer&) = delete;
    ExactBuffer& operator=(const ExactBuffer&) = delete;

    unsigned char* data() { return m_pData; }
    size_t size() const { return m_Size; }

private:
    unsigned char* m_pData;
    size_t m_Size;
};

// Where the pieces of a stream are handed to a container processor. A piece always ends
// at the end of a heap block, so a read past it is a heap overflow; the bytes before it
// are poisoned, and so is the piece once the processor has returned, so that reading
// before the buffer or keeping a pointer into an old buffer shows as well. One block per
// size modulo 8 keeps every piece's start on an 8-byte boundary, where the poisoning is
// exact, without an allocation per piece.
class ChunkStage {
public:
    explicit ChunkStage(size_t maxChunk) : m_Rounded((maxChunk + 7) & ~(size_t)7)
    {
        for (size_t r = 0; r < 8; ++r) {
            m_aSize[r] = m_Rounded + r;
            m_apBlock[r] = nullptr;  // made when a piece of that size first comes
        }
    }
    ~ChunkStage()
    {
        for (size_t r = 0; r < 8; ++r) {
            if (!m_apBlock[r])
                continue;
            ASAN_UNPOISON_MEMORY_REGION(m_apBlock[r], m_aSize[r]);
            delete[] m_apBlock[r];
        }
    }
    ChunkStage(const ChunkStage&) = delete;
    ChunkStage& operator=(const ChunkStage&) = delete;

    // n from 1 to maxChunk.
    unsigned char* stage(const uint8_t* data, size_t n)
    {
        size_t r = n % 8;
        if (!m_apBlock[r]) {
            m_apBlock[r] = new unsigned char[m_aSize[r]];
            ASAN_POISON_MEMORY_REGION(m_apBlock[r], m_aSize[r]);
        }
        unsigned char* p = m_apBlock[r] + (m_aSize[r] - n);
        ASAN_UNPOISON_MEMORY_REGION(p, n);
        memcpy(p, data, n);
        return p;
    }
    void release(unsigned char* p, size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }

private:
    size_t m_Rounded;
    size_t m_aSize[8];
    unsigned char* m_apBlock[8];
};

// A text result must be readable: touching every byte lets the sanitizer see a
// pointer into freed or foreign memory.
volatile unsigned g_Sink;
void touchText(const char* text)
{
    if (!text)
        return;
    unsigned sum = 0;
    for (const char* p = text; *p; ++p)
        sum += (unsigned char)*p;
    g_Sink = g_Sink + sum;
}

void touchValue(double v)
{
    g_Sink = g_Sink + (unsigned)(v != v ? 1 : 0);
}

thread_local FuzzPathResult t_LastResult;
thread_local bool t_bKeepReports = false;

std::string readWholeFile(const std::string& name)
{
    std::string text;
    if (FILE* f = fopen(name.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

uint32_t nextRandom(uint32_t& state)
{
    // xorshift32: any seed but 0 runs through every other value.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

std::string tempReportName(const char* kind)
{
    static unsigned counter = 0;
    // Memory-backed when there is such a place: two reports per input add up.
    const char* dir = getenv("TMPDIR");
    struct stat st;
    if (!dir || !*dir)
        dir = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    char name[512];
    snprintf(name, sizeof(name), "%s/korbalt_fuzz_%d_%u.%s", dir, (int)getpid(), counter++, kind);
    return name;
}

const size_t SMALL_CHUNK_MAX = 400;
const size_t LARGE_CHUNK_MAX = 70000;

size_t largestChunk(const FuzzPathSettings& s, size_t streamSize)
{
    size_t n = streamSize;
    if (s.chunkMode == 1)
        n = s.chunkSize;
    else if (s.chunkMode == 2)
        n = SMALL_CHUNK_MAX;
    else if (s.chunkMode == 3)
        n = LARGE_CHUNK_MAX;
    return n < streamSize ? n : streamSize;
}

// The size of the next piece of stream to hand to a container processor.
size_t nextChunk(const FuzzPathSettings& s, uint32_t& state, size_t left)
{
    size_t n = left;
    switch (s.chunkMode) {
    case 1:
        n = s.chunkSize;
        break;
    case 2:
        n = 1 + nextRandom(state) % SMALL_CHUNK_MAX;
        break;
    case 3:
        n = 1 + nextRandom(state) % LARGE_CHUNK_MAX;
        break;
    default:
        break;
    }
    return n < left ? n : left;
}

// The run of one container processor on the stream, then the findings through both
// renderers. The XML written must parse back.
// Every look at this clock is a second later: the heartbeat fires on every check.
long long fastClockMs()
{
    static thread_local long long now = 0;
    now += Mpeg2TransportProcessor::STATUS_ALIVE_INTERVAL_MS;
    return now;
}

template <class Proc>
FuzzPathResult runContainerOnce(const uint8_t* data, size_t streamSize, const FuzzPathSettings& settings,
                                bool keepReports)
{
    FuzzPathResult result = {};

    // The heartbeat callback spaces its messages by the wall clock across runs; starting
    // each run afresh keeps an input's findings the same every time it runs.
    GeneralCallbacks::resetStatusAliveClock();
    MsgCallback* registry = new MsgCallback();
    registerAnalysisCallbacks(registry, true);
    StreamMessagePool* pool = registry->getMsgPool();

    Proc* processor = new Proc(registry, settings.durationSeconds);
    if constexpr (std::is_same<Proc, Mpeg2TransportProcessor>::value) {
        if (settings.fastClock)
            processor->setClock(fastClockMs);
    }

    uint32_t state = settings.seed * 2654435761u + (uint32_t)streamSize + 1;
    if (state == 0)
        state = 1;
    size_t offset = 0;
    bool first = true;
    bool stopped = false;
    ChunkStage stage(largestChunk(settings, streamSize));
    while (offset < streamSize) {
        size_t n = nextChunk(settings, state, streamSize - offset);
        unsigned char* chunk = stage.stage(data + offset, n);
        if (first) {
            // What the decoder asks of the first buffer.
            ContentMPEG2TS ts;
            ContentFlv flv;
            ContentRTP rtp;
            g_Sink = g_Sink + ts.isType(chunk, (long long)n) + flv.isType(chunk, (long long)n) +
                     rtp.isType(chunk, (long long)n);
            first = false;
        }
        ++result.chunks;
        int rc = processor->processRawBuff(chunk, (long long)n);
        stage.release(chunk, n);
        offset += n;
        if (rc == 3) {
            stopped = true;
            break;
        }
    }
    if (!stopped)
        processor->endOfInput();
    if constexpr (std::is_same<Proc, Mpeg2TransportProcessor>::value) {
        // A partial packet is always shorter than a packet, and packets are never counted
        // from bytes that were not there, nor are bytes skipped that were.
        if (processor->getBytesMissing() >= (unsigned)Mpeg2TransportProcessor::TS_PACKET_SIZE ||
            (unsigned long long)processor->getPacketNumber() > streamSize / Mpeg2TransportProcessor::TS_PACKET_SIZE ||
            (unsigned long long)processor->getPacketNumber() * Mpeg2TransportProcessor::TS_PACKET_SIZE +
                    (unsigned long long)processor->getBytesSkipped() > streamSize)
            abort();
    }
    // The end-of-stream events fire from the destructors.
    delete processor;

    std::vector<StreamMessage*> messages;
    while (StreamMessage* msg = pool->getUnprocessedMsg())
        messages.push_back(msg);
    result.messages = messages.size();

    std::string txtName = tempReportName("txt");
    std::string xmlName = tempReportName("xml");
    StreamReport* txt = new StreamReport(txtName, pool, false, RENDERER_TXT);
    StreamReport* xml = new StreamReport(xmlName, pool, false, RENDERER_XML);
    StreamReport* reports[2] = {txt, xml};
    for (StreamReport* report : reports) {
        report->addToReport(std::string("Summary"));
        report->addToReportSummary(std::string("File Name"), std::string("fuzz input"));
    }
    for (StreamMessage* msg : messages) {
        // The XML report gets a deep copy, the text one the original.
        xml->processMessage(new StreamMessage(*msg), xml);
        txt->processMessage(msg, txt);
    }
    bool txtOk = txt->closeReport();
    bool xmlOk = xml->closeReport();
    delete txt;
    delete xml;
    delete registry;

    struct stat st;
    result.txtWritten = txtOk && stat(txtName.c_str(), &st) == 0;
    if (xmlOk) {
        TiXmlDocument doc(xmlName.c_str());
        result.xmlParsed = doc.LoadFile();
        if (!result.xmlParsed) {
            fprintf(stderr, "fuzz: the XML report %s does not parse: %s (row %d)\n", xmlName.c_str(),
                    doc.ErrorDesc(), doc.ErrorRow());
            abort();
        }
    }
    if (!txtOk || !xmlOk) {
        fprintf(stderr, "fuzz: a report could not be written (%s, %s)\n", txtName.c_str(), xmlName.c_str());
        abort();
    }
    if (keepReports) {
        result.txtReport = readWholeFile(txtName);
        result.xmlReport = readWholeFile(xmlName);
    }
    unlink(txtName.c_str());
    unlink(xmlName.c_str());
    return result;
}

// The first line where two reports part.
std::string firstDifference(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    size_t start = a.rfind('\n', i);
    start = start == std::string::npos ? 0 : start + 1;
    return "whole: \"" + a.substr(start, a.find('\n', i) - start) + "\"\ncut:   \"" +
           b.substr(start, b.find('\n', i) - start) + "\"";
}

template <class Proc>
void runContainerPath(const uint8_t* data, size_t size)
{
    FuzzPathSettings settings = decodeFuzzPathSettings(data, size);
    size_t streamSize = size >= 2 ? size - 2 : size;
    bool keep = t_bKeepReports || settings.compareWhole;
    FuzzPathResult result = runContainerOnce<Proc>(data, streamSize, settings, keep);
    if (settings.compareWhole) {
        // However the stream is cut into buffers, the findings are the same.
        FuzzPathSettings whole = settings;
        whole.chunkMode = 0;
        FuzzPathResult reference = runContainerOnce<Proc>(data, streamSize, whole, true);
        if (reference.txtReport != result.txtReport) {
            fprintf(stderr, "fuzz: the report depends on how the stream was cut (mode %d, size %u, seed %u):\n%s\n",
                    settings.chunkMode, settings.chunkSize, settings.seed,
                    firstDifference(reference.txtReport, result.txtReport).c_str());
            abort();
        }
    }
    if (!t_bKeepReports) {
        result.txtReport.clear();
        result.xmlReport.clear();
    }
    t_LastResult = result;
}

// ---------------------------------------------------------------- PSI

void walkPat(const unsigned char* section, unsigned length)
{
    PatTable pat;
    memset(&pat, 0, sizeof(pat));
    if (fillPatTable(section, &pat, length) != PAT_OK)
        return;
    int listed = 0;
    for (const PatEntry* e = pat.entries; e; e = e->next)
        ++listed;
    // Four bytes per program between the 8-byte header and the CRC, and no more.
    if (listed != pat.entryCount || (unsigned)listed * 4 > length)
        abort();
    for (int i = -1; i <= pat.entryCount; ++i) {
        PatEntry* entry = nullptr;
        if (getPatEntryFromThisPat(&pat, i, &entry) == 0 && entry)
            g_Sink = g_Sink + entry->PID + entry->program_number;
    }
    cleanPatTable(&pat);
}

void walkPmt(const unsigned char* section, unsigned length, unsigned programNumber)
{
    g_Sink = g_Sink + validatePmtPrivateSection(section, length);
    PmtTable* pmt = nullptr;
    if (processPmtPrivateSection(section, length, programNumber, &pmt) != PMT_OK || !pmt)
        return;
    // Every record points into the section it came from: read all the bytes it claims.
    unsigned sum = 0;
    if (pmt->program_descriptors)
        for (uint32_t i = 0; i < pmt->program_info_length; ++i)
            sum += pmt->program_descriptors[i];
    uint32_t listed = 0;
    for (const ProgElement* pe = pmt->elements; pe; pe = pe->next, ++listed) {
        if (pe->ES_info_length < 0 || (pe->ES_info_length > 0 && !pe->descriptors))
            abort();
        for (int32_t i = 0; i < pe->ES_info_length; ++i)
            sum += pe->descriptors[i];
    }
    if (listed != pmt->elementCount)
        abort();
    g_Sink = g_Sink + sum;
    int count = (int)pmt->elementCount;
    for (int e = -1; e <= count; ++e) {
        if (e >= 0) {
            unsigned type = 0, pid = 0;
            if (getPmtElementStreamParam(1, pmt, e, &type) == 0)
                touchText(getStreamTypeDesc((int)type));
            if (getPmtElementStreamParam(0, pmt, e, &pid) == 0)
                g_Sink = g_Sink + pid;
        }
        for (unsigned d = 0; d < 300; ++d) {
            PrivateDescPayload query;
            memset(&query, 0, sizeof(query));
            query.what = 0;
            if (getElementaryPrivateDescPayload(pmt, e, d, &query) != 0)
                break;
            touchText(getDescTypeString((int)query.value.tag));
            memset(&query, 0, sizeof(query));
            query.what = 1;
            if (getElementaryPrivateDescPayload(pmt, e, d, &query) != 0)
                break;
            unsigned sum = 0;
            for (int i = 0; i < query.length; ++i)
                sum += query.value.payload[i];
            g_Sink = g_Sink + sum;
        }
    }
    cleanPmtTable(&pmt);
    if (pmt)
        abort();  // cleanPmtTable must leave no dangling table
}

void walkSection(const unsigned char* section, unsigned length)
{
    walkPat(section, length);
    // The program the section names, so that it is taken, and one it does not name.
    unsigned programNumber = length >= 5 ? ((unsigned)section[3] << 8) | section[4] : 1;
    walkPmt(section, length, programNumber);
    walkPmt(section, length, programNumber ^ 1);
}

void walkPacket(const uint8_t* bytes)
{
    ExactBuffer packet(bytes, TS_PACKET_SIZE);
    unsigned char* p = packet.data();
    g_Sink = g_Sink + getPacketPid(p) + getPayloadUnitStart(p) + getAdaptationFieldControl(p) +
             getContinuityCounter(p) + getPacketPayloadOffset(p) + getPointerField(p);

    AdaptationFieldInfo af;
    memset(&af, 0, sizeof(af));
    if (readAdaptationField(p, &af) == 0) {
        g_Sink = g_Sink + (unsigned)af.pcr + (unsigned)af.opcr + af.extensionLength;
        if (af.length >= 7 && (af.flags & 0x10))
            g_Sink = g_Sink + (unsigned)getPcrValue(p);
    }

    for (int atStart = 0; atStart <= 1; ++atStart) {
        unsigned skip = atStart ? getPointerField(p) : (unsigned)p[4];
        unsigned length = 0;
        unsigned char* raw = getMpegPacketPrivateSectionRawData(p, skip, &length, atStart);
        if (length > TS_PACKET_SIZE || (length > 0 && (raw < p || raw + length > p + TS_PACKET_SIZE)))
            abort();  // claimed bytes outside the packet
        if (length > 0) {
            ExactBuffer bounded(raw, length);
            walkSection(bounded.data(), length);
        }
    }

    PsiPacketPayload payload;
    memset(&payload, 0, sizeof(payload));
    if (getPsiPacketPayload(p, &payload) != 1) {
        if (payload.tailLength > 0) {
            ExactBuffer tail(payload.tail, payload.tailLength);
            walkSection(tail.data(), payload.tailLength);
        }
        if (payload.sectionLength > 0) {
            ExactBuffer section(payload.section, payload.sectionLength);
            walkSection(section.data(), payload.sectionLength);
        }
    }
}

// ---------------------------------------------------------------- PES

void walkPesAt(const unsigned char* p, size_t left)
{
    PesHeader header;
    memset(&header, 0, sizeof(header));
    int rc = populatePesHeader(p, &header, (unsigned)left);
    if (rc == 1 && header.PTS_DTS_flags != 0)
        abort();  // nothing read must mean no time stamps
    g_Sink = g_Sink + (unsigned)header.PTS + (unsigned)header.DTS + header.PTS_DTS_flags;
}

// ---------------------------------------------------------------- audio

void walkAc3(const unsigned char* p, long left)
{
    Ac3SyncInfo sync;
    Ac3Bsi bsi;
    if (fillSyncInfo(p, left, &sync) == 0) {
        touchText(getSamplingRateDesc(sync.fscod));
        touchText(getBitrate(sync.frmsizecod));
    }
    if (fillBsi(p, left, &bsi) == 0) {
        touchText(getAcmDesc(bsi.acmod));
        touchText(getChArrayOrdering(bsi.acmod));
        touchText(getBsmDesc(bsi.bsmod, bsi.acmod));
        g_Sink = g_Sink + (unsigned)getNumberOfChannels(bsi.acmod);
    }
}

void walkMpegAudio(const unsigned char* p, long left)
{
    MpegAudioHeader h;
    if (fillHeaderInfo(p, left, &h) != 0)
        return;
    touchText(getMpegAudioLayer(h.layer));
    touchText(getMpegAudioSampleFreq(h.ID, h.sampling_frequency));
    touchText(getMpegAudioMode(h.mode));
    touchText(getMpegAudioBitrate(h.ID, h.layer, h.bitrate_index));
    touchText(getMpegAudioModeExtension(h.layer, h.mode_extension));
}

void walkAdts(const unsigned char* p, long left)
{
    AdtsFixedHeader f;
    AdtsVariableHeader v;
    if (fillAdtsFixedHeaderInfo(p, left, &f) == 0) {
        touchText(getAacAudioLayer(f.layer));
        touchText(getAacAudioSamplingFreq(f.sampling_frequency_index));
        touchText(getAacAudioProfile(f.profile));
        touchText(getAacAudioMpeg4Profile(f.profile));
        touchText(getAacAudioMode(f.channel_configuration));
        g_Sink = g_Sink + (unsigned)getPredSfbMax(f.sampling_frequency_index);
    }
    if (fillAdtsVariableHeaderInfo(p, left, &v) == 0)
        g_Sink = g_Sink + v.frame_length + v.adts_buffer_fullness;
}

void walkPcm(const unsigned char* p, long left)
{
    PcmAudioHeader h;
    if (fillPcmAudioHeaderInfo(p, left, &h) != 0)
        return;
    touchText(getPcmAudioChannelsNumber(h.number_channels));
    touchText(getPcmAudioBitsPerSample(h.bits_per_sample));
}

// Every lookup with codes straight from the input, negative and huge ones included:
// a code outside a table must give null (or the documented fallback), never a read
// outside it.
void walkAudioLookups(const uint8_t* data, size_t size)
{
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        int32_t code;
        memcpy(&code, data + i, 4);
        int small = (int8_t)data[i];
        for (int c : {code, small, (int)data[i]}) {
            touchText(getSamplingRateDesc(c));
            touchText(getBitrate(c));
            touchText(getAcmDesc(c));
            touchText(getChArrayOrdering(c));
            touchText(getBsmDesc(c, small));
            touchText(getBsmDesc(small, c));
            g_Sink = g_Sink + (unsigned)getNumberOfChannels(c);
            touchText(getMpegAudioLayer(c));
            touchText(getMpegAudioSampleFreq(small, c));
            touchText(getMpegAudioSampleFreq(c, small));
            touchText(getMpegAudioMode(c));
            touchText(getMpegAudioBitrate(small, c, small));
            touchText(getMpegAudioBitrate(c, small, data[i + 1]));
            touchText(getMpegAudioBitrate(data[i + 2] & 1, data[i + 3] & 3, c));
            touchText(getMpegAudioModeExtension(c, small));
            touchText(getMpegAudioModeExtension(small, c));
            touchText(getAacAudioLayer(c));
            touchText(getAacAudioSamplingFreq(c));
            touchText(getAacAudioProfile(c));
            touchText(getAacAudioMpeg4Profile(c));
            touchText(getAacAudioMode(c));
            g_Sink = g_Sink + (unsigned)getPredSfbMax(c);
            touchText(getPcmAudioChannelsNumber(c));
            touchText(getPcmAudioBitsPerSample(c));
        }
    }
}

// ---------------------------------------------------------------- H.262

void walkH262At(const unsigned char* p, long left)
{
    // p is at 00 00 01 code.
    unsigned code = left >= 4 ? p[3] : 0x100;
    SequenceHeader sh;
    SequenceExtension se;
    DispSeqExtension de;
    GopHeader gop;
    PictureHeader pic;
    PictureCodingExtension pce;
    if (code == 0xB3 && fillSequenceHeader(p, left, &sh) == 0) {
        touchText(getFrameRateDesc(sh.frame_rate_code));
        touchText(getAspectRatioDesc(sh.aspect_ratio_information));
        touchValue(getFrameRateValue(sh.frame_rate_code));
        g_Sink = g_Sink + (unsigned)isDropFrame(sh.frame_rate_code) + sh.bit_rate_value;
    }
    if (code == 0xB5) {
        if (fillSequenceExtension(p, left, &se) == 0) {
            touchText(getExtensionIdDesc(se.extension_start_code_identifier));
            int pl = se.profile_and_level_indication;
            touchText(getProfileDescription((pl >> 4) & 7));
            touchText(getLevelDescription(pl & 15));
            touchText(getProfileAndLevelDescription(pl));
            touchText(getChromaDescription(se.chroma_format));
        }
        if (fillDispSeqExtension(p, left, &de) == 0)
            g_Sink = g_Sink + de.display_horizontal_size + de.display_vertical_size;
        if (fillPictureCodingExtension(p, left, &pce) == 0)
            g_Sink = g_Sink + pce.picture_structure;
    }
    if (code == 0xB8 && fillGopHeader(p, left, &gop) == 0)
        g_Sink = g_Sink + gop.closed_gop + gop.broken_link + gop.drop_frame_flag;
    if (code == 0x00 && fillPictureHeader(p, left, &pic) == 0)
        touchText(getPicTypeDesc(pic.picture_coding_type));
    if (code == 0xB2 && left >= 8) {
        // User data: "GA94", then the caption header and constructs.
        unsigned identifier = ((unsigned)p[4] << 24) | ((unsigned)p[5] << 16) | ((unsigned)p[6] << 8) | p[7];
        if (isATSC(&identifier) && left >= 9) {
            const unsigned char* q = p + 9;  // after user_data_type_code
            long rest = left - 9;
            AtscDataHeader header;
            if (fillAtscDataHeader(q, rest, &header) == 0) {
                q += ATSC_DATA_HEADER_SIZE + 1;  // and em_data
                rest -= ATSC_DATA_HEADER_SIZE + 1;
                for (unsigned i = 0; i < header.cc_count && rest > 0; ++i) {
                    AtscData cc;
                    if (fillAtscData(q, rest, &cc) != 0)
                        break;
                    g_Sink = g_Sink + cc.cc_type + cc.cc_data_1;
                    q += ATSC_DATA_SIZE;
                    rest -= ATSC_DATA_SIZE;
                }
            }
        }
    }
}

void walkH262Whole(const unsigned char* p, long size)
{
    // Every reader on the bytes as they are, whatever their start code.
    SequenceHeader sh;
    SequenceExtension se;
    DispSeqExtension de;
    GopHeader gop;
    PictureHeader pic;
    PictureCodingExtension pce;
    AtscDataHeader ah;
    AtscData ad;
    g_Sink = g_Sink + fillSequenceHeader(p, size, &sh) + fillSequenceExtension(p, size, &se) +
             fillDispSeqExtension(p, size, &de) + fillGopHeader(p, size, &gop) + fillPictureHeader(p, size, &pic) +
             fillPictureCodingExtension(p, size, &pce) + fillAtscDataHeader(p, size, &ah) +
             fillAtscData(p, size, &ad);
    for (long i = 0; i + 4 <= size && i < 64; i += 4) {
        int32_t code;
        memcpy(&code, p + i, 4);
        for (int c : {code, (int)(int8_t)p[i], (int)p[i]}) {
            touchText(getFrameRateDesc(c));
            touchText(getProfileDescription(c));
            touchText(getLevelDescription(c));
            touchText(getProfileAndLevelDescription(c));
            touchText(getChromaDescription(c));
            touchText(getAspectRatioDesc(c));
            touchText(getExtensionIdDesc(c));
            touchValue(getFrameRateValue(c));
            g_Sink = g_Sink + (unsigned)isDropFrame(c);
            touchText(getPicTypeDesc(c));
        }
    }
}

// ---------------------------------------------------------------- H.264

void walkSps(const SequenceParameterSet& sps)
{
    touchText(getH264ProfileDescription(sps.profile_idc));
    touchText(getH264LevelDescription(&sps));
    touchText(getH264ChromaDescription((int)sps.chroma_format_idc));
    touchText(getH264AspectDescription(sps.aspect_ratio_idc));
    unsigned width = getH264FrameWidth(&sps);
    unsigned height = getH264FrameHeight(&sps);
    unsigned cw = getH264CroppedWidth(&sps);
    unsigned ch = getH264CroppedHeight(&sps);
    touchText(getH264AspectDescInformative(sps.aspect_ratio_idc, (int)cw));
    touchValue(getH264AspectRatio(sps.aspect_ratio_idc, cw, ch, sps.sar_height, sps.sar_width));
    touchValue(getH264AspectRatio(sps.aspect_ratio_idc, width, height, sps.sar_height, sps.sar_width));
    touchValue(getH264SampleAspectRatio(sps.aspect_ratio_idc, sps.sar_height, sps.sar_width));
    double rate = getH264FrameRate(&sps);
    touchValue(rate);
    g_Sink = g_Sink + isH264DropFrame(rate);
}

void walkSei(const unsigned char* p, int length)
{
    int offset = 0;
    for (int guard = 0; offset < length && guard < 1000; ++guard) {
        if (isRbspTrailingBits(p + offset, length - offset))
            break;
        unsigned type = 0, size = 0;
        int used = getSeiMsgTypeAndSize(p + offset, length - offset, &type, &size);
        if (used <= 0 || used > length - offset)
            break;
        offset += used;
        if (type == 4) {
            ItuDataRegistered itu;
            int read = fillItuDataRegistered(p + offset, length - offset, &itu);
            if (read < 0 || read > length - offset)
                abort();  // claimed more than it was given
            g_Sink = g_Sink + itu.user_identifier;
        }
        if (size > (unsigned)(length - offset))
            break;
        offset += (int)size;
    }
}

// The first bits of an RBSP read with the raw readers and the bounded reader, as the
// bytes direct.
void walkBits(const unsigned char* p, long length)
{
    const unsigned char* end = p + length;
    for (int bit = 0; bit < 10; ++bit) {
        unsigned u = 0;
        int s = 0;
        unsigned char c = 0;
        unsigned int sh = 0;
        unsigned long long l = 0;
        g_Sink = g_Sink + getExpGolombUe(p, bit, &u, end) + getExpGolombSe(p, bit, &s, end) +
                 getUnsignedChar(p, bit, &c, end) + getUnsignedShort(p, bit, &sh, end) +
                 getUnsignedLong(p, bit, &l, end);
        for (unsigned n : {0u, 1u, 7u, 31u, 32u, 33u}) {
            unsigned v = 0;
            g_Sink = g_Sink + readNBitsUnsignedInt(p, bit, n, &v, end);
        }
    }
    BitReader reader;
    initBitReader(&reader, p, length);
    // Each step's kind comes from the data itself until it runs out.
    for (int i = 0; i < 200 && !reader.error; ++i) {
        unsigned kind = readBits(&reader, 3);
        switch (kind) {
        case 0: g_Sink = g_Sink + readUe(&reader); break;
        case 1: g_Sink = g_Sink + (unsigned)readSe(&reader); break;
        case 2: g_Sink = g_Sink + readFlag(&reader); break;
        case 3: g_Sink = g_Sink + readBits(&reader, readBits(&reader, 6)); break;
        case 4: skipBits(&reader, readBits(&reader, 8)); break;
        default: g_Sink = g_Sink + (unsigned)getBitsLeft(&reader); break;
        }
    }
    if (getBitsLeft(&reader) < 0 || getBitsLeft(&reader) > length * 8)
        abort();
}

// Drops the emulation-prevention bytes (00 00 03) into out; returns the RBSP length.
size_t unescapeNal(const unsigned char* p, size_t n, unsigned char* out)
{
    size_t o = 0;
    int zeros = 0;
    for (size_t i = 0; i < n; ++i) {
        if (zeros >= 2 && p[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = p[i] == 0 ? zeros + 1 : 0;
        out[o++] = p[i];
    }
    return o;
}

void walkH264Rbsp(const unsigned char* rbsp, int length, SequenceParameterSet* lastSps, bool* haveSps,
                  int nalType)
{
    if (nalType == 7 || nalType < 0) {
        SequenceParameterSet sps;
        int rc = fillSequenceParameterSet(rbsp, length, &sps);
        if (rc == SPS_OK) {
            walkSps(sps);
            *lastSps = sps;
            *haveSps = true;
        } else {
            // Unusable, but the record was zeroed and the derived values must still be safe.
            walkSps(sps);
        }
    }
    if (nalType == 1 || nalType == 5 || nalType < 0) {
        SliceHeader slice;
        fillSliceHeader(rbsp, length, &slice, nullptr);
        touchText(getSliceTypeDesc((int)slice.slice_type));
        if (*haveSps) {
            fillSliceHeader(rbsp, length, &slice, lastSps);
            touchText(getSliceTypeDesc((int)slice.slice_type));
        }
    }
    if (nalType == 6 || nalType < 0)
        walkSei(rbsp, length);
}

// Start codes 00 00 01 in [p, p + n); calls f(position of the first byte after them).
template <class F>
void forEachStartCode(const unsigned char* p, size_t n, F f)
{
    for (size_t i = 0; i + 3 <= n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1)
            f(i);
    }
}

}  // namespace

// ---------------------------------------------------------------- settings

FuzzPathSettings decodeFuzzPathSettings(const uint8_t* data, size_t size)
{
    FuzzPathSettings s = {};
    s.chunkSize = 1;
    if (size < 2)
        return s;
    uint8_t a = data[size - 2];
    uint8_t b = data[size - 1];
    s.chunkMode = a & 3;
    s.chunkSize = 1 + (a >> 2);
    s.seed = (unsigned)(a >> 2) | ((unsigned)(b >> 3) << 6);
    s.durationSeconds = b & 3;
    s.fastClock = (b & 4) != 0;
    s.compareWhole = s.chunkMode != 0 && s.durationSeconds == 0 && ((s.seed >> 6) & 3) == 0;
    return s;
}

void encodeFuzzPathSettings(const FuzzPathSettings& s, uint8_t out[2])
{
    unsigned low = s.chunkMode == 1 ? (s.chunkSize - 1) & 63 : s.seed & 63;
    out[0] = (uint8_t)((s.chunkMode & 3) | (low << 2));
    out[1] = (uint8_t)((s.durationSeconds & 3) | (s.fastClock ? 4 : 0) | (((s.seed >> 6) & 31) << 3));
}

const FuzzPathResult& getLastFuzzPathResult()
{
    return t_LastResult;
}

void setFuzzKeepReports(bool keep)
{
    t_bKeepReports = keep;
}

// ---------------------------------------------------------------- harnesses

void fuzzTransportPath(const uint8_t* data, size_t size)
{
    runContainerPath<Mpeg2TransportProcessor>(data, size);
}

void fuzzFlvPath(const uint8_t* data, size_t size)
{
    runContainerPath<FlvTransportProcessor>(data, size);
}

void fuzzPsiReaders(const uint8_t* data, size_t size)
{
    {
        ExactBuffer whole(data, size);
        walkSection(whole.data(), (unsigned)size);
    }
    if (size >= TS_PACKET_SIZE) {
        // As packets, wherever a sync byte is, and the first 188 bytes whatever they hold.
        walkPacket(data);
        for (size_t i = 1; i + TS_PACKET_SIZE <= size; ++i) {
            if (data[i] == TS_SYNC_BYTE)
                walkPacket(data + i);
        }
    }
    // A program element read on its own.
    ExactBuffer element(data, size);
    unsigned used = 0;
    ProgElement* pe = nullptr;
    if (createProgElement(element.data(), &used, &pe, (unsigned)size) == 0 && pe) {
        if (used > size)
            abort();
        touchText(getStreamTypeDesc((int)pe->stream_type));
        free(pe);
    }
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        int32_t code;
        memcpy(&code, data + i, 4);
        touchText(getDescTypeString(code));
        touchText(getStreamTypeDesc(code));
        touchText(getDescTypeString((int8_t)data[i]));
        touchText(getStreamTypeDesc((int8_t)data[i]));
    }
}

void fuzzPesReaders(const uint8_t* data, size_t size)
{
    {
        ExactBuffer whole(data, size);
        walkPesAt(whole.data(), size);
    }
    // After every packet_start_code_prefix and stream_id with the optional header:
    // skip the 6 bytes of prefix, id and PES_packet_length.
    ExactBuffer buffer(data, size);
    forEachStartCode(buffer.data(), size, [&](size_t i) {
        if (i + 3 >= size)
            return;
        int streamId = buffer.data()[i + 3];
        if (hasPesHeader(streamId) && i + 6 <= size) {
            ExactBuffer header(buffer.data() + i + 6, size - i - 6);
            walkPesAt(header.data(), header.size());
        }
    });
    for (size_t i = 0; i < size && i < 64; ++i)
        g_Sink = g_Sink + hasPesHeader(data[i]) + hasPesHeader((int8_t)data[i]) + hasPesHeader(data[i] << 4);
}

void fuzzAudioReaders(const uint8_t* data, size_t size)
{
    {
        ExactBuffer whole(data, size);
        walkAc3(whole.data(), (long)size);
        walkMpegAudio(whole.data(), (long)size);
        walkAdts(whole.data(), (long)size);
        walkPcm(whole.data(), (long)size);
    }
    ExactBuffer buffer(data, size);
    const unsigned char* p = buffer.data();
    for (size_t i = 0; i + 1 < size; ++i) {
        long left = (long)(size - i);
        if (p[i] == 0x0B && p[i + 1] == 0x77)
            walkAc3(p + i, left);
        if (p[i] == 0xFF && (p[i + 1] & 0xE0) == 0xE0) {
            walkMpegAudio(p + i, left);
            walkAdts(p + i, left);
        }
    }
    walkAudioLookups(data, size);
}

void fuzzH262Readers(const uint8_t* data, size_t size)
{
    {
        ExactBuffer whole(data, size);
        walkH262Whole(whole.data(), (long)size);
    }
    ExactBuffer buffer(data, size);
    forEachStartCode(buffer.data(), size,
                     [&](size_t i) { walkH262At(buffer.data() + i, (long)(size - i)); });
}

void fuzzH264Readers(const uint8_t* data, size_t size)
{
    SequenceParameterSet lastSps;
    memset(&lastSps, 0, sizeof(lastSps));
    bool haveSps = false;
    {
        // The whole input as one RBSP for every reader.
        ExactBuffer whole(data, size);
        walkBits(whole.data(), (long)size);
        walkH264Rbsp(whole.data(), (int)size, &lastSps, &haveSps, -1);
    }
    // As an Annex B byte stream: every NAL unit unescaped into its own exact buffer.
    std::vector<size_t> starts;
    forEachStartCode(data, size, [&](size_t i) { starts.push_back(i + 3); });
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t begin = starts[k];
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : size;
        if (begin >= end)
            continue;
        int nalType = data[begin] & 0x1F;
        size_t n = end - begin - 1;  // without the NAL unit header
        std::vector<unsigned char> scratch(n ? n : 1);
        size_t rbspLength = unescapeNal(data + begin + 1, n, scratch.data());
        ExactBuffer rbsp(scratch.data(), rbspLength);
        walkH264Rbsp(rbsp.data(), (int)rbspLength, &lastSps, &haveSps, nalType);
    }
}

FuzzHarnessFunction getFuzzHarness(const std::string& name)
{
    if (name == "fuzz_transport")
        return fuzzTransportPath;
    if (name == "fuzz_flv")
        return fuzzFlvPath;
    if (name == "fuzz_psi")
        return fuzzPsiReaders;
    if (name == "fuzz_pes")
        return fuzzPesReaders;
    if (name == "fuzz_audio")
        return fuzzAudioReaders;
    if (name == "fuzz_h262")
        return fuzzH262Readers;
    if (name == "fuzz_h264")
        return fuzzH264Readers;
    return nullptr;
}

std::vector<std::string> getFuzzTargetNames()
{
    return {"fuzz_transport", "fuzz_flv", "fuzz_psi", "fuzz_pes", "fuzz_audio", "fuzz_h262", "fuzz_h264"};
}
