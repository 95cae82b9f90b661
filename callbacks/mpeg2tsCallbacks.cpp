#include "callbacks/mpeg2tsCallbacks.h"

#include <cstring>
#include <iomanip>
#include <sstream>

#include "engine/streamErrorMessage.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "syntax/descriptorTypes.h"
#include "syntax/patTable.h"
#include "syntax/pmtTable.h"
#include "syntax/streamTypes.h"

namespace {

// Every value text is made on a fresh stream in the classic locale, so that no
// format or failure state of one value can leak into the next one.
template <typename T>
std::string plainText(T v)
{
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << v;
    return os.str();
}

std::string decimalText(long long v)
{
    return plainText(v);
}

std::string fixed2Text(double v)
{
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << std::fixed << std::setprecision(2) << v;
    return os.str();
}

std::string textOrEmpty(const char* s)
{
    return s ? std::string(s) : std::string();
}

const char* flagText(bool b)
{
    return b ? "true" : "false";
}

// A bit-rate text is a count of bits per second; only such a plain integer gets
// the ".00" that makes it read like the computed rates. Anything else ("free",
// an already fractional value) is kept as it stands.
bool isIntegerText(const char* s)
{
    if (!s || !*s)
        return false;
    if (*s == '-' || *s == '+')
        ++s;
    if (!*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

std::string paramText(const Mpeg2TsCallbacks::MsgParams& p, bool fixedDoubles)
{
    switch (p.type) {
    case Mpeg2TsCallbacks::PARAM_INT:
        return decimalText(p.value.i);
    case Mpeg2TsCallbacks::PARAM_TEXT:
        return textOrEmpty(p.value.text);
    case Mpeg2TsCallbacks::PARAM_STRING:
        return p.value.str ? *p.value.str : std::string();
    case Mpeg2TsCallbacks::PARAM_LONG_LONG:
        return decimalText(p.value.ll);
    case Mpeg2TsCallbacks::PARAM_DOUBLE:
        return fixedDoubles ? fixed2Text(p.value.d) : plainText(p.value.d);
    default:
        return std::string();
    }
}

// Gives the message its name, id and list, and queues it (or drops it without a pool).
void queueList(StreamMessage* msg, std::string desc, _CallbackId id, MappedValueList* list,
               StreamMessagePool* pool)
{
    msg->setMsgDesc(desc);
    msg->setCallbackId(id);
    msg->setMsgData(list, PAYLOAD_TYPE_MAPPED_LIST, 0);
    if (pool)
        pool->setUnprocessedMsg(msg);
    else
        delete msg;
}

void fillAndSend(StreamMessage* msg, _CallbackId id, const std::string& desc,
                 Mpeg2TsCallbacks::MsgParams* params, int count, bool fixedDoubles,
                 StreamMessagePool* pool)
{
    MappedValueList* list = new MappedValueList();
    for (int i = 0; params && i < count; ++i)
        list->push_back(callbackMappedValue(params[i].name, paramText(params[i], fixedDoubles)));
    queueList(msg, desc, id, list, pool);
}

// ---- simple values ------------------------------------------------------------

enum ValueKind { VK_TEXT, VK_STRING, VK_LONG_LONG, VK_INT, VK_DOUBLE };

// Reads the payload's value slot as the event's kind. A number behind a null
// pointer becomes an empty value rather than a read through null.
Mpeg2TsCallbacks::MsgParams valueParam(const char* entry, ValueKind kind, void* value)
{
    typedef Mpeg2TsCallbacks::MsgParams P;
    switch (kind) {
    case VK_TEXT:
        return P::makeText(entry, static_cast<const char*>(value));
    case VK_STRING:
        return P::makeString(entry, static_cast<std::string*>(value));
    case VK_LONG_LONG:
        return value ? P::makeLongLong(entry, *static_cast<const long long*>(value))
                     : P::makeText(entry, nullptr);
    case VK_INT:
        return value ? P::makeInt(entry, *static_cast<const int*>(value)) : P::makeText(entry, nullptr);
    case VK_DOUBLE:
        return value ? P::makeDouble(entry, *static_cast<const double*>(value))
                     : P::makeText(entry, nullptr);
    }
    return P::makeText(entry, nullptr);
}

void sendSimple(_CallbackId id, const char* desc, const char* entry, ValueKind kind, void* payload,
                StreamMessagePool* pool, bool pidFirst = true)
{
    const PidValueInfo* info = static_cast<const PidValueInfo*>(payload);
    if (!info)
        return;
    Mpeg2TsCallbacks::MsgParams params[2];
    Mpeg2TsCallbacks::MsgParams pid = Mpeg2TsCallbacks::MsgParams::makeInt("Pid", info->pid);
    Mpeg2TsCallbacks::MsgParams val = valueParam(entry, kind, info->value);
    params[pidFirst ? 0 : 1] = pid;
    params[pidFirst ? 1 : 0] = val;
    Mpeg2TsCallbacks::sendMsg(id, desc, params, 2, pool);
}

// ---- values with units --------------------------------------------------------

enum UnitsKind { UK_DOUBLE, UK_INT, UK_TEXT, UK_BITRATE_TEXT };

void sendValueUnits(_CallbackId id, const char* desc, const char* entry, UnitsKind kind, bool withPid,
                    void* payload, StreamMessagePool* pool)
{
    const ValueUnitsInfo* info = static_cast<const ValueUnitsInfo*>(payload);
    if (!info)
        return;

    std::string value;
    switch (kind) {
    case UK_DOUBLE:
        if (info->value)
            value = fixed2Text(*static_cast<const double*>(info->value));
        break;
    case UK_INT:
        if (info->value)
            value = fixed2Text(static_cast<double>(*static_cast<const int*>(info->value)));
        break;
    case UK_TEXT:
        value = textOrEmpty(static_cast<const char*>(info->value));
        break;
    case UK_BITRATE_TEXT: {
        const char* text = static_cast<const char*>(info->value);
        value = textOrEmpty(text);
        if (isIntegerText(text))
            value += ".00";
        break;
    }
    }

    MappedValueList* list = new MappedValueList();
    if (withPid)
        list->push_back(callbackMappedValue("Pid", decimalText(info->pid)));
    callbackMappedValue node(entry, value);
    // A bit rate given without units ("Variable") has no Units attribute, as for AAC.
    if (info->units || kind != UK_BITRATE_TEXT) {
        node.m_pChildren = new MappedValueList();
        node.m_pChildren->push_back(callbackMappedValue("Units", textOrEmpty(info->units)));
    }
    list->push_back(node);
    queueList(new StreamInfoMessage(), desc, id, list, pool);
}

}  // namespace

// ---- MsgParams ------------------------------------------------------------------

Mpeg2TsCallbacks::MsgParams Mpeg2TsCallbacks::MsgParams::makeInt(const std::string& n, int32_t v)
{
    MsgParams p;
    p.type = PARAM_INT;
    p.name = n;
    p.value.i = v;
    return p;
}

Mpeg2TsCallbacks::MsgParams Mpeg2TsCallbacks::MsgParams::makeText(const std::string& n, const char* v)
{
    MsgParams p;
    p.type = PARAM_TEXT;
    p.name = n;
    p.value.text = v;
    return p;
}

Mpeg2TsCallbacks::MsgParams Mpeg2TsCallbacks::MsgParams::makeString(const std::string& n, std::string* v)
{
    MsgParams p;
    p.type = PARAM_STRING;
    p.name = n;
    p.value.str = v;
    return p;
}

Mpeg2TsCallbacks::MsgParams Mpeg2TsCallbacks::MsgParams::makeLongLong(const std::string& n, long long v)
{
    MsgParams p;
    p.type = PARAM_LONG_LONG;
    p.name = n;
    p.value.ll = v;
    return p;
}

Mpeg2TsCallbacks::MsgParams Mpeg2TsCallbacks::MsgParams::makeDouble(const std::string& n, double v)
{
    MsgParams p;
    p.type = PARAM_DOUBLE;
    p.name = n;
    p.value.d = v;
    return p;
}

// ---- builders -------------------------------------------------------------------

void Mpeg2TsCallbacks::sendMsg(_CallbackId id, std::string desc, MsgParams* params, int count,
                               StreamMessagePool* pool)
{
    fillAndSend(new StreamInfoMessage(), id, desc, params, count, true, pool);
}

void Mpeg2TsCallbacks::sendErrMsg(_CallbackId id, std::string desc, MsgParams* params, int count,
                                  StreamMessagePool* pool)
{
    fillAndSend(new StreamErrorMessage(), id, desc, params, count, false, pool);
}

void Mpeg2TsCallbacks::sendPair(std::list<callbackMappedValue>* list, int pid, std::string key,
                                std::string value)
{
    if (!list)
        return;
    list->push_back(callbackMappedValue("Pid", decimalText(pid)));
    list->push_back(callbackMappedValue(std::move(key), std::move(value)));
}

void Mpeg2TsCallbacks::sendPair(std::list<callbackMappedValue>* list, int pid, callbackMappedValue& node)
{
    if (!list)
        return;
    list->push_back(callbackMappedValue("Pid", decimalText(pid)));
    list->push_back(node);  // deep copy, children included
}

namespace {

// The list of a packet event message: {"Pid"}, then {"Pid"} with the children
// Packet, Type and Description. Null when msg holds anything else.
MappedValueList* packetEventList(StreamMessage* msg)
{
    if (msg->getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST || msg->getMsgCount() != 0 || !msg->getMsgData())
        return nullptr;
    MappedValueList* list = static_cast<MappedValueList*>(msg->getMsgData());
    if (list->size() != 2 || list->front().m_pChildren || !list->back().m_pChildren ||
        list->back().m_pChildren->size() != 3)
        return nullptr;
    auto child = list->back().m_pChildren->begin();
    if (list->front().m_sName != "Pid" || list->back().m_sName != "Pid" || (child++)->m_sName != "Packet" ||
        (child++)->m_sName != "Type" || child->m_sName != "Description" || child->m_pChildren)
        return nullptr;
    return list;
}

}  // namespace

void Mpeg2TsCallbacks::sendPacketMsg(_CallbackId id, const char* desc, void* payload, _MessageType type,
                                     StreamMessagePool* pool)
{
    const PacketEventInfo* info = static_cast<const PacketEventInfo*>(payload);
    if (!info)
        return;
    // A damaged stream fires these by the million. Once the report lists no more
    // of them they are only counted; otherwise a message the report is done with
    // is filled again when there is one, without allocating.
    if (pool && pool->countPacketEvent(type, id, info->pid))
        return;
    StreamMessage* msg = pool ? pool->takeRecycledMsg() : nullptr;
    MappedValueList* list = msg ? packetEventList(msg) : nullptr;
    if (msg && list) {
        msg->setMsgType(type);
        const std::string pid = std::to_string(info->pid);
        list->front().m_sValue = pid;
        list->back().m_sValue = pid;
        auto child = list->back().m_pChildren->begin();
        (child++)->m_sValue = std::to_string(info->packetNumber);
        (child++)->m_sValue = desc;
        if (info->text)
            child->m_sValue.assign(info->text);
        else
            child->m_sValue.clear();
        msg->setMsgDesc(desc);
        msg->setCallbackId(id);
        pool->setUnprocessedMsg(msg);
        return;
    }
    delete msg;
    msg = new StreamMessage();
    msg->setMsgType(type);

    // The entries are built in place (no node copy) and the numbers without a stream.
    list = new MappedValueList();
    const std::string pid = std::to_string(info->pid);
    list->emplace_back("Pid", pid);
    list->emplace_back("Pid", pid);
    MappedValueList* children = new MappedValueList();
    list->back().m_pChildren = children;
    children->emplace_back("Packet", std::to_string(info->packetNumber));
    children->emplace_back("Type", desc);
    children->emplace_back("Description", textOrEmpty(info->text));
    queueList(msg, desc, id, list, pool);
}

// ---- PAT and PMT ------------------------------------------------------------------

namespace {

// "0x" and lower-case digits without leading zeros: 10 gives 0xa, 0 gives 0x0.
std::string hexText(unsigned int v)
{
    std::ostringstream os;
    os.imbue(std::locale::classic());
    os << "0x" << std::hex << std::nouppercase << v;
    return os.str();
}

// Each byte as "0x%02X " (the blank after the last one too).
std::string payloadText(const unsigned char* bytes, unsigned int length)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 5u);
    for (unsigned int i = 0; i < length; ++i) {
        out += "0x";
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0F];
        out += ' ';
    }
    return out;
}

// The bytes of a payload that lie inside its descriptor loop. The reader already
// refuses descriptors that overrun their loop; this keeps the text honest even
// if a table arrives with a loop that says otherwise.
unsigned int boundedPayloadLength(const unsigned char* loop, unsigned int loopLength,
                                  const unsigned char* payload, int length)
{
    if (!loop || !payload || length <= 0 || payload < loop)
        return 0;
    const size_t offset = static_cast<size_t>(payload - loop);
    if (offset >= loopLength)
        return 0;
    const size_t room = loopLength - offset;
    size_t n = static_cast<size_t>(length);
    if (n > 255)
        n = 255;  // descriptor_length is one byte
    return static_cast<unsigned int>(n < room ? n : room);
}

// One descriptor loop of the PMT (elementIndex < 0: the program's), one pair per
// descriptor: {name = tag in hex, children Desc and Descriptor Payload}.
void addDescriptorLoop(MappedValueList* list, int pid, PmtTable* pmt, int elementIndex, const char* name,
                       const unsigned char* loop, unsigned int loopLength)
{
    // A loop of at most 1023 bytes holds at most 511 descriptors; the bound only
    // guards against a lookup that never says "no more".
    for (unsigned int d = 0; d < 1024; ++d) {
        PrivateDescPayload query;
        memset(&query, 0, sizeof(query));
        query.what = 0;
        if (getElementaryPrivateDescPayload(pmt, elementIndex, d, &query) != 0)
            break;
        const unsigned int tag = static_cast<unsigned int>(query.value.tag & 0xFF);

        callbackMappedValue node(name, hexText(tag));
        node.m_pChildren = new MappedValueList();
        node.m_pChildren->push_back(callbackMappedValue("Desc", textOrEmpty(getDescTypeString(static_cast<int>(tag)))));

        memset(&query, 0, sizeof(query));
        query.what = 1;
        if (getElementaryPrivateDescPayload(pmt, elementIndex, d, &query) == 0) {
            const unsigned int n = boundedPayloadLength(loop, loopLength, query.value.payload, query.length);
            node.m_pChildren->push_back(
                callbackMappedValue("Descriptor Payload", payloadText(query.value.payload, n)));
        }
        Mpeg2TsCallbacks::sendPair(list, pid, node);
    }
}

}  // namespace

void Mpeg2TsCallbacks::mpeg2TsPatCb(void* payload, StreamMessagePool* pool)
{
    const TableInfo* info = static_cast<const TableInfo*>(payload);
    if (!info || !info->table)
        return;
    PatTable* pat = static_cast<PatTable*>(info->table);
    const int pid = info->pid;

    MappedValueList* list = new MappedValueList();
    sendPair(list, pid, "Pid", decimalText(pid));
    sendPair(list, pid, "Transport Stream Id", decimalText(pat->transport_stream_id));
    // Last program first, as the report lists them.
    for (int i = pat->entryCount - 1; i >= 0; --i) {
        PatEntry* entry = nullptr;
        if (getPatEntryFromThisPat(pat, i, &entry) != 0 || !entry)
            continue;
        sendPair(list, pid, "Program PID", decimalText(entry->PID));
        sendPair(list, pid, "Program Number", decimalText(entry->program_number));
    }
    queueList(new StreamInfoMessage(), "PAT Table", CB_MPEG2TS_PAT, list, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPmtCb(void* payload, StreamMessagePool* pool)
{
    const TableInfo* info = static_cast<const TableInfo*>(payload);
    if (!info || !info->table)
        return;
    PmtTable* pmt = static_cast<PmtTable*>(info->table);
    const int pid = info->pid;

    MappedValueList* list = new MappedValueList();
    sendPair(list, pid, "Pid", decimalText(pid));
    sendPair(list, pid, "ProgramNumber", decimalText(pmt->program_number));
    sendPair(list, pid, "VersionNumber", decimalText(pmt->version_number));
    sendPair(list, pid, "ValidPmt", flagText(pmt->current_next_indicator != 0));
    sendPair(list, pid, "PcrPid", decimalText(pmt->PCR_PID));

    if (pmt->program_info_length > 0) {
        sendPair(list, pid, "Outer Descriptor Loop Start", "Outer Descriptor Loop");
        addDescriptorLoop(list, pid, pmt, -1, "Tag", pmt->program_descriptors, pmt->program_info_length);
        sendPair(list, pid, "Outer Descriptor Loop End", "");
    }

    sendPair(list, pid, "Elements Start", "Elements");
    int k = 0;
    for (ProgElement* e = pmt->elements; e; e = e->next, ++k) {
        sendPair(list, pid, "Stream Start", "Stream");
        callbackMappedValue type("StreamType", hexText(e->stream_type));
        type.m_pChildren = new MappedValueList();
        type.m_pChildren->push_back(
            callbackMappedValue("Desc", textOrEmpty(getStreamTypeDesc(static_cast<int>(e->stream_type)))));
        sendPair(list, pid, type);
        sendPair(list, pid, "Pid", decimalText(e->elementary_PID));
        if (e->ES_info_length > 0) {
            sendPair(list, pid, "Inner Descriptor Loop Start", "Inner Descriptor Loop");
            addDescriptorLoop(list, pid, pmt, k, "  Tag", e->descriptors,
                              static_cast<unsigned int>(e->ES_info_length));
            sendPair(list, pid, "Inner Descriptor Loop End", "");
        }
        sendPair(list, pid, "Stream End", "");
    }
    sendPair(list, pid, "Elements End", "");
    queueList(new StreamInfoMessage(), "PMT Table", CB_MPEG2TS_PMT, list, pool);
}

// ---- duration, closed captions, packet events -------------------------------------

void Mpeg2TsCallbacks::mpeg2TsDurationCb(void* payload, StreamMessagePool* pool)
{
    const DurationInfo* info = static_cast<const DurationInfo*>(payload);
    if (!info || !pool)
        return;
    int32_t* words = new int32_t[4];
    words[0] = static_cast<int32_t>(info->hours);
    words[1] = static_cast<int32_t>(info->minutes);
    words[2] = static_cast<int32_t>(info->seconds);
    words[3] = static_cast<int32_t>(info->final);
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("Asset Duration");
    msg->setCallbackId(CB_MPEG2TS_DURATION);
    msg->setMsgData(words, PAYLOAD_TYPE_4BYTE_ARRAY, 4);
    pool->setUnprocessedMsg(msg);
}

void Mpeg2TsCallbacks::mpeg2TsPcrBitrateDataPointCb(void* payload, StreamMessagePool* pool)
{
    const PcrBitrateDataPoint* info = static_cast<const PcrBitrateDataPoint*>(payload);
    if (!info || !pool)
        return;
    int32_t* words = new int32_t[2];
    words[0] = static_cast<int32_t>(info->pcrTimeMs);
    words[1] = static_cast<int32_t>(info->bitrateKbps);
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("PCR Incremental Bitrate");
    msg->setCallbackId(CB_MPEG2TS_PCR_BITRATE_DATA_POINT);
    msg->setMsgData(words, PAYLOAD_TYPE_4BYTE_ARRAY, 2);
    pool->setUnprocessedMsg(msg);
}

void Mpeg2TsCallbacks::mpeg2TsCc(void* payload, StreamMessagePool* pool)
{
    const ClosedCaptionInfo* info = static_cast<const ClosedCaptionInfo*>(payload);
    if (!info || !pool)
        return;
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("Closed Captions");
    msg->setCallbackId(CB_MPEG2TS_CC);
    MappedValueList* list = new MappedValueList();
    const bool any = info->atscEia608 || info->atscEia708 || info->scte20 || info->scte21;
    sendPair(list, info->pid, "ClosedCaptions", flagText(any));
    sendPair(list, info->pid, "AtscEia608", flagText(info->atscEia608));
    sendPair(list, info->pid, "AtscEia708", flagText(info->atscEia708));
    sendPair(list, info->pid, "Scte20", flagText(info->scte20));
    sendPair(list, info->pid, "Scte21", flagText(info->scte21));
    msg->setMsgData(list, PAYLOAD_TYPE_MAPPED_LIST, 0);
    pool->setUnprocessedMsg(msg);
}

void Mpeg2TsCallbacks::mpeg2TsSplicePointFlagInfoCb(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, "Splice Point Flag", payload, MSG_TYPE_WARNING, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcrRollOverCb(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_PCR_ROLL_OVER, "PCR Rollover", payload, MSG_TYPE_WARNING, pool);
}

void Mpeg2TsCallbacks::mpeg2TsContinuityError(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_CONTINUITY_ERROR, "Continuity Error", payload, MSG_TYPE_ERROR, pool);
}

void Mpeg2TsCallbacks::mpeg2TsReservedBitsError(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_RESERVED_BITS_ERROR, "Reserved Bits Error", payload, MSG_TYPE_ERROR, pool);
}

void Mpeg2TsCallbacks::mpeg2TsSyncLoss(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_SYNC_LOSS, "Sync Loss", payload, MSG_TYPE_ERROR, pool);
}

void Mpeg2TsCallbacks::mpeg2TsInputGap(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_INPUT_GAP, "Input Gap", payload, MSG_TYPE_ERROR, pool);
}

void Mpeg2TsCallbacks::mpeg2TsDatagramCut(void* payload, StreamMessagePool* pool)
{
    sendPacketMsg(CB_MPEG2TS_DATAGRAM_CUT, "Datagram Cut", payload, MSG_TYPE_ERROR, pool);
}

// ---- simple values ------------------------------------------------------------------

void Mpeg2TsCallbacks::mpeg2TsVideoCBRCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_VIDEO_CBR, "Constant Bitrate", "Constant Bitrate", VK_TEXT, p, pool);
}

// The entry comes first here: the report finds the stream's kind by this name,
// and the two-step walk then prints the stream's "Pid" line.
void Mpeg2TsCallbacks::mpeg2TsStreamTypeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_STREAM_TYPE, "Stream Type", "Stream Type", VK_STRING, p, pool, false);
}

void Mpeg2TsCallbacks::mpeg2TsStreamDescCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_STREAM_DESC, "Stream Desc", "Stream Desc", VK_STRING, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPtsCountCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PTS_COUNT, "PTS Count", "PTS Count", VK_LONG_LONG, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsDtsCountCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_DTS_COUNT, "DTS Count", "DTS Count", VK_LONG_LONG, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsVideoResCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_VIDEO_RES, "Video Resolution", "Video Resolution", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsFrameRateCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_FRAME_RATE, "Frame Rate", "Frame Rate", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsDropFrameCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_DROP_FRAME, "DropFrame", "Drop Frame", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsQuadByteAlignedCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_QUAD_BYTE_ALIGNED, "Quad Byte Aligned", "Quad Byte Aligned", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAspectRatioCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_ASPECT_RATIO, "Aspect Ratio", "Aspect Ratio", VK_DOUBLE, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsSampleAspectRatioCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, "Sample Aspect Ratio", "Sample Aspect Ratio", VK_DOUBLE, p,
               pool);
}

void Mpeg2TsCallbacks::mpeg2TsProgSequenceCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PROG_SEQUENCE, "Sequence Type", "Progressive Sequence", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsChromaCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_CHROMA, "Chroma Type", "Chroma", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsProfileAndLevelCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PROFILE_AND_LEVEL, "Profile And Level", "Profile And Level", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsVbvBuffSizeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_VBV_BUFF_SIZE, "VBV Buffer Size", "VBV Buffer Size", VK_INT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsGopPayloadCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_GOP_PAYLOAD, "Gop Payload", "Gop Payload", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsGopStructCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_GOP_STRUCT, "Gop Structure", "Gop Structure", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsOpenClosedGopCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_OPEN_CLOSED_GOP, "Open Gop", "Open Gop", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAdaptiveGopCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_ADAPTIVE_GOP, "Adaptive Gop", "Adaptive Gop", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsGopSizeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_GOP_SIZE, "Gop Size", "Gop Size", VK_INT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsFieldCountCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_FIELD_COUNT, "Field Count", "Field Count", VK_INT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsFrameCountCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_FRAME_COUNT, "Frame Count", "Frame Count", VK_INT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3AudioCodingModeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AC3_AUDIO_CODING_MODE, "Audio Mode", "Audio Mode", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3ChOrderingCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AC3_CH_ORDERING, "Channel Ordering", "Channel Ordering", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3StreamModeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AC3_STREAM_MODE, "Stream Mode", "Stream Mode", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3NUmberOfChannelsCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AC3_NUMBER_OF_CHANNELS, "Number Of Channels", "Number Of Channels", VK_INT, p,
               pool);
}

void Mpeg2TsCallbacks::mpeg2TsMpegAudioLayerCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_MPEG_AUDIO_LAYER, "Audio Layer", "Audio Layer", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsMpegAudioModeCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_MPEG_AUDIO_MODE, "Audio Mode", "Audio Mode", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacAudioLayerCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AAC_AUDIO_LAYER, "Audio Layer", "Audio Layer", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacAudioProfileCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AAC_AUDIO_PROFILE, "Audio Profile", "Audio Profile", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacNumberOfChannels(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AAC_NUMBER_OF_CHANNELS, "Number Of Channels", "Number Of Channels", VK_INT, p,
               pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacAudioBitrate(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AAC_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacAudioMode(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_AAC_AUDIO_MODE, "Audio Mode", "Audio Mode", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioNumOfChCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PCM_AUDIO_NUM_OF_CH, "Number of channels", "Number of channels", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioChanIdCb(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PCM_AUDIO_CHAN_ID, "Channel Id", "Channel Id", VK_TEXT, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioMode(void* p, StreamMessagePool* pool)
{
    sendSimple(CB_MPEG2TS_PCM_AUDIO_MODE, "Audio Mode", "Audio Mode", VK_TEXT, p, pool);
}

// ---- values with units ----------------------------------------------------------------

// The multiplex rate is read only for the summary, one element at a time, so it
// carries no "Pid" element (the firing processor sets no PID).
void Mpeg2TsCallbacks::mpeg2TsMuxBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_MUX_BITRATE, "Mux Bitrate", "MuxBitrate", UK_DOUBLE, false, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TranspBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_TRANSP_BITRATE, "TransportBitrate", "TransportBitrate", UK_DOUBLE, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2PesStreamBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_PES_STREAM_BITRATE, "PESBitrate", "PESBitrate", UK_DOUBLE, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2ElmStreamBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_ELM_STREAM_BITRATE, "ElementaryBitrate", "ElementaryBitrate", UK_DOUBLE, true, p,
                   pool);
}

void Mpeg2TsCallbacks::mpeg2TsBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_BITRATE, "Video Bitrate", "Video Bitrate", UK_INT, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3SamplingRateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_AC3_SAMPLING_RATE, "Sampling Rate", "Sampling Rate", UK_TEXT, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsAc3BitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_AC3_BITRATE, "Audio Bitrate", "Audio Bitrate", UK_BITRATE_TEXT, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsMpegAudioBitrateCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_MPEG_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", UK_BITRATE_TEXT, true, p,
                   pool);
}

void Mpeg2TsCallbacks::mpeg2TsMpegAudioSamplingFreqCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_MPEG_AUDIO_SAMPLING_FREQ, "Sampling Rate", "Sampling Rate", UK_TEXT, true, p,
                   pool);
}

void Mpeg2TsCallbacks::mpeg2TsAacAudioSamplingFreqCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_AAC_AUDIO_SAMPLING_FREQ, "Sampling Rate", "Sampling Rate", UK_TEXT, true, p,
                   pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioFreqCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_PCM_AUDIO_FREQ, "Sampling Rate", "Sampling Rate", UK_TEXT, true, p, pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioBitPerSampleCb(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_PCM_AUDIO_BIT_PER_SAMPLE, "Bits Per Sample", "Bits Per Sample", UK_TEXT, true, p,
                   pool);
}

void Mpeg2TsCallbacks::mpeg2TsPcmAudioBitrate(void* p, StreamMessagePool* pool)
{
    sendValueUnits(CB_MPEG2TS_PCM_AUDIO_BITRATE, "Audio Bitrate", "Audio Bitrate", UK_INT, true, p, pool);
}
