#include "engine/mpeg2TransportProcessor.h"

#include "engine/adaptationFieldProcessor.h"
#include "engine/patProcessor.h"
#include "engine/pesProcessor.h"
#include "engine/pmtProcessor.h"
#include "platform/debugMap.h"

#include <cstring>
#include <ctime>

namespace {

// The steady clock (CLOCK_MONOTONIC) in milliseconds; a vDSO read, no system call.
long long monotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

const int PAT_INDEX = 0;
const int PMT_INDEX = 1;
const int AF_INDEX = 2;
const int FIRST_PES_INDEX = 3;

}  // namespace

Mpeg2TransportProcessor::Mpeg2TransportProcessor(MsgCallback* msgCallback, int durationSeconds)
    : TransportProcessor(msgCallback, durationSeconds), m_uiBytesMissing(0), m_uiState(STATE_WAIT_PAT),
      m_llPacketNumber(0), m_bSampleFlag(false), m_pClockMs(monotonicMs), m_llLastAliveMs(-1),
      m_ullStatusAliveCount(0), m_uiAliveCountdown(0)
{
    memset(m_aucPacket, 0, sizeof(m_aucPacket));
    for (int32_t& owner : m_aiPidOwner)
        owner = -1;
    m_vProcessors.reserve(16);
}

Mpeg2TransportProcessor::~Mpeg2TransportProcessor()
{
    if (m_vProcessors.size() > (size_t)AF_INDEX) {
        AdaptationFieldProcessor* af = getAdaptationFieldProcessor();
        if (af->hasPcrSpan()) {
            af->logDuration(af->getPcrSpan(), true);
            reportBitrates();
        } else {
            // One PCR or none: there is no time line to measure the stream by.
            fileLog("Fewer than two PCRs on pid %d: no duration or bit rates\n", af->getPid());
        }
    }
    for (Mpeg2TransportStreamProcessor* p : m_vProcessors)
        delete p;
    m_vProcessors.clear();
}

PatProcessor* Mpeg2TransportProcessor::getPatProcessor() const
{
    return m_vProcessors.size() > (size_t)PAT_INDEX ? static_cast<PatProcessor*>(m_vProcessors[PAT_INDEX])
                                                    : nullptr;
}

PmtProcessor* Mpeg2TransportProcessor::getPmtProcessor() const
{
    return m_vProcessors.size() > (size_t)PMT_INDEX ? static_cast<PmtProcessor*>(m_vProcessors[PMT_INDEX])
                                                    : nullptr;
}

AdaptationFieldProcessor* Mpeg2TransportProcessor::getAdaptationFieldProcessor() const
{
    return m_vProcessors.size() > (size_t)AF_INDEX
               ? static_cast<AdaptationFieldProcessor*>(m_vProcessors[AF_INDEX])
               : nullptr;
}

double Mpeg2TransportProcessor::getPcrSpanSeconds() const
{
    AdaptationFieldProcessor* af = getAdaptationFieldProcessor();
    if (!af || !af->hasPcrSpan())
        return 0.0;
    return (double)af->getPcrSpan() / (double)AdaptationFieldProcessor::TICKS_PER_SECOND;
}

void Mpeg2TransportProcessor::reportBitrates()
{
    AdaptationFieldProcessor* af = getAdaptationFieldProcessor();
    if (!af || !af->hasPcrSpan())
        return;
    long long span = af->getPcrSpan();
    double mux = (double)af->getTotalBytes() * 8.0 * (double)AdaptationFieldProcessor::TICKS_PER_SECOND /
                 (double)span;
    ValueUnitsInfo muxInfo;
    muxInfo.pid = 0;
    muxInfo.value = &mux;
    muxInfo.units = "bps";
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_MUX_BITRATE, &muxInfo);

    double seconds = (double)span / (double)AdaptationFieldProcessor::TICKS_PER_SECOND;
    for (size_t i = 0; i < m_vProcessors.size(); ++i) {
        if (i == (size_t)AF_INDEX)
            continue;
        Mpeg2TransportStreamProcessor* p = m_vProcessors[i];
        p->calculateBitrateBps(seconds);
        double bitrate = p->getBitrate();
        ValueUnitsInfo info;
        info.pid = p->getPid();
        info.value = &bitrate;
        info.units = "bps";
        if (m_pMsgCallback)
            m_pMsgCallback->callMsgCallback(i < (size_t)AF_INDEX ? CB_MPEG2TS_TRANSP_BITRATE
                                                                 : CB_MPEG2TS_PES_STREAM_BITRATE,
                                            &info);
    }
}

void Mpeg2TransportProcessor::maybeFireStatusAlive()
{
    long long now = m_pClockMs();
    // A clock that went back restarts the spacing rather than silencing the heartbeat.
    if (m_llLastAliveMs >= 0 && now >= m_llLastAliveMs && now - m_llLastAliveMs < STATUS_ALIVE_INTERVAL_MS)
        return;
    m_llLastAliveMs = now;
    ++m_ullStatusAliveCount;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_STATUS_ALIVE, nullptr);
}

bool Mpeg2TransportProcessor::durationLimitReached() const
{
    if (m_vProcessors.size() <= (size_t)AF_INDEX || m_iDurationLimit == 0)
        return false;
    return getPcrSpanSeconds() > (double)m_iDurationLimit;
}

void Mpeg2TransportProcessor::createStreamProcessors()
{
    PmtProcessor::Pmt* pmt = getPmtProcessor()->getPmt();
    m_vProcessors.push_back(
        new AdaptationFieldProcessor(this, m_pMsgCallback, (int)pmt->getTable()->PCR_PID));

    int count = 0;
    PmtProcessor::PmtElement* elements = pmt->getPmtElementsList(&count);
    for (int i = 0; i < count; ++i) {
        int type = elements[i].stream_type;
        int pid = elements[i].elementary_PID;
        switch (type) {
        case 2:
        case 3:
        case 4:
        case 15:
        case 17:
        case 27:
        case 129:
            m_vProcessors.push_back(new PesProcessor(m_pMsgCallback, pid, type));
            break;
        case 6: {
            int n = 0;
            PmtProcessor::PmtDescriptor* descriptors = pmt->getPmtElementDescriptorList(pid, &n);
            for (int d = 0; d < n; ++d) {
                if (PmtProcessor::Pmt::isPcmAudioDescriptor(&descriptors[d]))
                    m_vProcessors.push_back(new PesProcessor(m_pMsgCallback, pid, 6));
            }
            delete[] descriptors;
            break;
        }
        default:
            break;
        }
    }
    delete[] elements;
}

void Mpeg2TransportProcessor::dispatchWaitPat(unsigned char* packet, int pid)
{
    if (pid != 0)
        return;
    if (m_vProcessors.empty())
        m_vProcessors.push_back(new PatProcessor(m_pMsgCallback, 0));
    PatProcessor* pat = getPatProcessor();
    pat->processMpeg2TsPacket(packet, TS_PACKET_SIZE, m_llPacketNumber);
    if (pat->getPat())
        m_uiState = STATE_WAIT_PMT;
}

void Mpeg2TransportProcessor::dispatchWaitPmt(unsigned char* packet, int pid)
{
    PatProcessor* pat = getPatProcessor();
    pat->processMpeg2TsPacket(packet, TS_PACKET_SIZE, m_llPacketNumber);

    int program = pat->getPat()->getPidProg(pid);
    if (program <= 0)
        return;
    if (m_vProcessors.size() == 1)
        m_vProcessors.push_back(new PmtProcessor(m_pMsgCallback, pid, program));
    PmtProcessor* pmt = getPmtProcessor();
    pmt->processMpeg2TsPacket(packet, TS_PACKET_SIZE, m_llPacketNumber);
    if (pmt->getPmt()) {
        createStreamProcessors();
        buildPidOwners();
        m_uiState = STATE_RUNNING;
    }
}

void Mpeg2TransportProcessor::buildPidOwners()
{
    for (int32_t& owner : m_aiPidOwner)
        owner = -1;
    for (size_t i = 0; i < m_vProcessors.size(); ++i) {
        if (i == (size_t)AF_INDEX)
            continue;
        int pid = m_vProcessors[i]->getPid();
        if (pid >= 0 && pid < PID_COUNT && m_aiPidOwner[pid] < 0)
            m_aiPidOwner[pid] = (int32_t)i;
    }
}

void Mpeg2TransportProcessor::dispatchRunning(unsigned char* packet, int pid)
{
    // The adaptation field processor counts every packet's bytes.
    m_vProcessors[AF_INDEX]->processMpeg2TsPacket(packet, TS_PACKET_SIZE, m_llPacketNumber);

    // In list order the packet is offered until a processor takes it. A processor of
    // another PID only passes it by (the adaptation field processor, the one that counts
    // foreign packets, had it above), so the offers start at the PID's first processor
    // and skip the others.
    const int first = m_aiPidOwner[pid];
    if (first < 0)
        return;
    const size_t n = m_vProcessors.size();
    for (size_t i = (size_t)first; i < n; ++i) {
        Mpeg2TransportStreamProcessor* p = m_vProcessors[i];
        if (i == (size_t)AF_INDEX || p->getPid() != pid)
            continue;
        if (p->processMpeg2TsPacket(packet, TS_PACKET_SIZE, m_llPacketNumber) != 1)
            continue;
        if (i == (size_t)FIRST_PES_INDEX && m_bSampleFlag) {
            AdaptationFieldProcessor* af = getAdaptationFieldProcessor();
            double seconds = (double)(af->getSampleEndPcr() - af->getSampleStartPcr()) /
                             (double)AdaptationFieldProcessor::TICKS_PER_SECOND;
            p->calculateSampleBitrateBps(seconds);
            m_bSampleFlag = false;
        }
        break;
    }
}

void Mpeg2TransportProcessor::handlePacket(unsigned char* packet)
{
    // Reading the clock costs more than the rest of a packet's cutting; once per buffer
    // and every so many packets keeps the heartbeat within a fraction of a second.
    if (m_uiAliveCountdown == 0) {
        maybeFireStatusAlive();
        m_uiAliveCountdown = STATUS_ALIVE_CHECK_PACKETS;
    }
    --m_uiAliveCountdown;
    if (packet[0] != 0x47)
        return;

    int pid = ((packet[1] & 0x1F) << 8) | packet[2];
    switch (m_uiState) {
    case STATE_WAIT_PAT:
        dispatchWaitPat(packet, pid);
        break;
    case STATE_WAIT_PMT:
        dispatchWaitPmt(packet, pid);
        break;
    default:
        dispatchRunning(packet, pid);
        break;
    }
    // The per-PID processors mark the packets they checked.
    packet[0] = 0x47;
    ++m_llPacketNumber;
}

int Mpeg2TransportProcessor::processRawBuff(unsigned char* buffer, long long length)
{
    m_llPosition = 0;
    if (!buffer || length <= 0)
        return 0;
    m_uiAliveCountdown = 0;  // the first packet handled looks at the clock

    // Complete the packet carried over from the previous buffer, however short this one is.
    if (m_uiBytesMissing > 0) {
        long long n = length < (long long)m_uiBytesMissing ? length : (long long)m_uiBytesMissing;
        memcpy(m_aucPacket + (TS_PACKET_SIZE - m_uiBytesMissing), buffer, (size_t)n);
        m_uiBytesMissing -= (uint32_t)n;
        m_llPosition = n;
        if (m_uiBytesMissing == 0)
            handlePacket(m_aucPacket);
    }

    while (length - m_llPosition >= TS_PACKET_SIZE) {
        memcpy(m_aucPacket, buffer + m_llPosition, TS_PACKET_SIZE);
        m_llPosition += TS_PACKET_SIZE;
        handlePacket(m_aucPacket);
    }

    if (m_llPosition < length) {
        long long rest = length - m_llPosition;
        memcpy(m_aucPacket, buffer + m_llPosition, (size_t)rest);
        m_uiBytesMissing = (uint32_t)(TS_PACKET_SIZE - rest);
        m_llPosition = length;
    }

    if (durationLimitReached())
        return 3;
    m_llByteCount += length;
    return 0;
}
