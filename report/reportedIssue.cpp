#include "report/reportedIssue.h"

#include "callbacks/callbackMappedValue.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"
#include "report/mpeg2tsReport.h"
#include "report/reportRenderer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// The texts are those of the processors that fire the events; a text that does
// not match keeps its message whole instead (see fromMessage).
const IssueKind kIssueKinds[] = {
    {CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, false, "Splice Point Flag", "splicing_point_flag set"},
    {CB_MPEG2TS_PCR_ROLL_OVER, false, "PCR Rollover", "pcr rollover detected"},
    {CB_MPEG2TS_CONTINUITY_ERROR, true, "Continuity Error", "Old counter is %llu New Counter is %llu"},
    {CB_MPEG2TS_RESERVED_BITS_ERROR, true, "Reserved Bits Error",
     "The 5 reserved bits after the seamless_splice_flag have the value '0x%llx'"},
    {CB_MPEG2TS_SYNC_LOSS, true, "Sync Loss", "%llu bytes skipped"},
    {CB_MPEG2TS_INPUT_GAP, true, "Input Gap", "%llu.%llu s without data"},
    {CB_MPEG2TS_DATAGRAM_CUT, true, "Datagram Cut", "%llu of %llu bytes lost"},
};
const int kIssueKindCount = (int)(sizeof(kIssueKinds) / sizeof(kIssueKinds[0]));

std::string describe(const IssueKind& kind, const unsigned long long* values)
{
    char text[256];
    int n = snprintf(text, sizeof(text), kind.format, values[0], values[1]);
    if (n < 0 || (size_t)n >= sizeof(text))
        return std::string();
    return std::string(text, (size_t)n);
}

bool readPacket(const std::string& text, uint64_t* packet)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE)
        return false;
    *packet = v;
    return std::to_string(v) == text;  // no leading zeros
}

}  // namespace

const IssueKind* findIssueKind(int callbackId)
{
    for (const IssueKind& kind : kIssueKinds)
        if (kind.callbackId == callbackId)
            return &kind;
    return nullptr;
}

ReportedIssue::ReportedIssue() : m_ullPacket(0), m_aValues{0, 0}, m_iPid(0), m_iKind(-1) {}

ReportedIssue::ReportedIssue(const ReportedIssue& other)
    : m_ullPacket(other.m_ullPacket), m_aValues{other.m_aValues[0], other.m_aValues[1]}, m_iPid(other.m_iPid),
      m_iKind(other.m_iKind), m_pMessage(other.m_pMessage ? new StreamMessage(*other.m_pMessage) : nullptr)
{
}

ReportedIssue& ReportedIssue::operator=(const ReportedIssue& other)
{
    if (this != &other) {
        ReportedIssue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

ReportedIssue::~ReportedIssue() = default;

ReportedIssue ReportedIssue::fromMessage(StreamMessage*& msg, int pid)
{
    ReportedIssue issue;
    issue.m_iPid = pid;
    StreamMessage* m = msg;
    issue.m_pMessage.reset(m);
    msg = nullptr;
    const IssueKind* kind = findIssueKind(m->getCallbackId());
    if (!kind || m->getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST || !m->getMsgData())
        return issue;
    // Only the exact shape of a packet event is made compact.
    const MappedValueList& entries = *static_cast<const MappedValueList*>(m->getMsgData());
    if (entries.size() != 2)
        return issue;
    const callbackMappedValue& first = entries.front();
    const callbackMappedValue& line = entries.back();
    const std::string pidText = std::to_string(pid);
    if (first.m_sName != "Pid" || first.m_sValue != pidText || first.m_pChildren || line.m_sName != "Pid" ||
        line.m_sValue != pidText || !line.m_pChildren || line.m_pChildren->size() != 3)
        return issue;
    auto child = line.m_pChildren->begin();
    const callbackMappedValue& packet = *child++;
    const callbackMappedValue& type = *child++;
    const callbackMappedValue& description = *child;
    if (packet.m_sName != "Packet" || packet.m_pChildren || !readPacket(packet.m_sValue, &issue.m_ullPacket) ||
        type.m_sName != "Type" || type.m_pChildren || type.m_sValue != kind->type ||
        description.m_sName != "Description" || description.m_pChildren)
        return issue;
    unsigned long long values[2] = {0, 0};
    sscanf(description.m_sValue.c_str(), kind->format, &values[0], &values[1]);
    if (describe(*kind, values) != description.m_sValue)
        return issue;
    issue.m_aValues[0] = values[0];
    issue.m_aValues[1] = values[1];
    issue.m_iKind = (int16_t)(kind - kIssueKinds);
    msg = issue.m_pMessage.release();
    return issue;
}

void ReportedIssue::print(ReportRenderer* renderer) const
{
    if (m_pMessage) {
        Mpeg2TsReport::pairWalk(renderer, m_pMessage.get());
        return;
    }
    if (m_iKind < 0 || m_iKind >= kIssueKindCount)
        return;
    const IssueKind& kind = kIssueKinds[m_iKind];
    std::string name = "Pid";
    std::string value = std::to_string(m_iPid);
    renderer->addLine(name, value);
    name = "Packet";
    value = std::to_string(m_ullPacket);
    renderer->addLineAttributes(name, value);
    name = "Type";
    value = kind.type;
    renderer->addLineAttributes(name, value);
    name = "Description";
    value = describe(kind, m_aValues);
    renderer->addLineAttributes(name, value);
}
