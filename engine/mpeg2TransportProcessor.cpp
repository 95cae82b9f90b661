#include "engine/mpeg2TransportProcessor.h"

#include "engine/adaptationFieldProcessor.h"
#include "engine/patProcessor.h"
#include "engine/pesProcessor.h"
#include "engine/pmtProcessor.h"
#include "platform/debugMap.h"

#include <cstdio>
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

const unsigned char SYNC_BYTE = 0x47;
const long long PKT = Mpeg2TransportProcessor::TS_PACKET_SIZE;
// How far ahead of the packet in hand the cutting loop prefetches.
const long long PREFETCH_DISTANCE = 4 * PKT;

enum GridResult { GRID_FOUND, GRID_UNDECIDED, GRID_NONE };

// Looks in d[from..n) for the first position with the sync byte there, 188 and 376 bytes
// later. GRID_UNDECIDED: the first candidate whose confirming bytes lie beyond n. At the
// end of the input the confirming bytes count as far as the data reaches, but the
// candidate must begin a whole packet (one that ends exactly at the end stands on the
// end itself as its confirmation).
GridResult findGrid(const unsigned char* d, long long n, long long from, bool endOfInput, long long* at)
{
    for (long long q = from; q < n; ++q) {
        const void* hit = memchr(d + q, SYNC_BYTE, (size_t)(n - q));
        if (!hit)
            break;
        q = (const unsigned char*)hit - d;
        if (q + PKT >= n) {
            if (!endOfInput) {
                *at = q;
                return GRID_UNDECIDED;
            }
            if (q + PKT == n) {
                *at = q;
                return GRID_FOUND;
            }
            break;  // no whole packet is left
        }
        if (d[q + PKT] != SYNC_BYTE)
            continue;
        if (q + 2 * PKT >= n || d[q + 2 * PKT] == SYNC_BYTE) {
            *at = q;
            return q + 2 * PKT < n || endOfInput ? GRID_FOUND : GRID_UNDECIDED;
        }
    }
    return GRID_NONE;
}

}  // namespace

Mpeg2TransportProcessor::Mpeg2TransportProcessor(MsgCallback* msgCallback, int durationSeconds)
    : TransportProcessor(msgCallback, durationSeconds), m_uiBytesMissing(0), m_bSearching(false), m_llLostAt(0),
      m_llStreamOffset(0), m_uiCarry(0), m_ullSyncLosses(0), m_llBytesSkipped(0), m_uiState(STATE_WAIT_PAT),
      m_llPacketNumber(0), m_bSampleFlag(false), m_pClockMs(monotonicMs), m_llLastAliveMs(-1),
      m_ullStatusAliveCount(0), m_uiAliveCountdown(0)
{
    memset(m_aucPacket, 0, sizeof(m_aucPacket));
    memset(m_aucCarry, 0, sizeof(m_aucCarry));
    for (int32_t& owner : m_aiPidOwner)
        owner = -1;
    m_vProcessors.reserve(16);
}

Mpeg2TransportProcessor::~Mpeg2TransportProcessor()
{
    for (Mpeg2TransportStreamProcessor* p : m_vProcessors)
        p->endOfRun();
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
    addProcessor(new AdaptationFieldProcessor(this, m_pMsgCallback, (int)pmt->getTable()->PCR_PID));

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
            addProcessor(new PesProcessor(m_pMsgCallback, pid, type));
            break;
        case 6: {
            int n = 0;
            PmtProcessor::PmtDescriptor* descriptors = pmt->getPmtElementDescriptorList(pid, &n);
            for (int d = 0; d < n; ++d) {
                if (PmtProcessor::Pmt::isPcmAudioDescriptor(&descriptors[d]))
                    addProcessor(new PesProcessor(m_pMsgCallback, pid, 6));
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

void Mpeg2TransportProcessor::addProcessor(Mpeg2TransportStreamProcessor* p)
{
    // Packets are compared with their predecessor only while this processor knows where it
    // lies: keepLastPackets runs before any buffer it handled packets from can change.
    p->setPacketsHeldByCaller(true);
    m_vProcessors.push_back(p);
}

void Mpeg2TransportProcessor::keepLastPackets()
{
    for (Mpeg2TransportStreamProcessor* p : m_vProcessors)
        p->keepLastPacket();
}

void Mpeg2TransportProcessor::dispatchWaitPat(unsigned char* packet, int pid)
{
    if (pid != 0)
        return;
    if (m_vProcessors.empty())
        addProcessor(new PatProcessor(m_pMsgCallback, 0));
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
        addProcessor(new PmtProcessor(m_pMsgCallback, pid, program));
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
    // The per-PID processors mark the packets they checked; the packet may lie in the
    // caller's buffer, which must come back as it was handed in.
    packet[0] = SYNC_BYTE;
    ++m_llPacketNumber;
}

void Mpeg2TransportProcessor::handleCarriedPacket(unsigned char* packet)
{
    handlePacket(packet);
    keepLastPackets();
}

void Mpeg2TransportProcessor::fireSyncLoss(long long skipped, bool regained)
{
    ++m_ullSyncLosses;
    m_llBytesSkipped += skipped;
    resetEventText();
    snprintf(m_acEventText, sizeof(m_acEventText), regained ? "%lld bytes skipped" : "%lld bytes skipped to the end",
             skipped);
    m_PacketEventInfo.pid = SYNC_LOSS_PID;
    m_PacketEventInfo.packetNumber = (uint64_t)m_llPacketNumber;  // the first packet after the gap
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_SYNC_LOSS, &m_PacketEventInfo);
}

void Mpeg2TransportProcessor::fireInputEvent(_CallbackId id)
{
    m_PacketEventInfo.pid = SYNC_LOSS_PID;
    m_PacketEventInfo.packetNumber = (uint64_t)m_llPacketNumber;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(id, &m_PacketEventInfo);
}

void Mpeg2TransportProcessor::reportInputGap(uint32_t ms)
{
    resetEventText();
    const unsigned long long tenths = ((unsigned long long)ms + 50) / 100;
    snprintf(m_acEventText, sizeof(m_acEventText), "%llu.%llu s without data", tenths / 10, tenths % 10);
    fireInputEvent(CB_MPEG2TS_INPUT_GAP);
}

void Mpeg2TransportProcessor::reportCutDatagram(uint32_t lost, uint32_t whole)
{
    resetEventText();
    snprintf(m_acEventText, sizeof(m_acEventText), "%u of %u bytes lost", lost, whole);
    fireInputEvent(CB_MPEG2TS_DATAGRAM_CUT);
}

void Mpeg2TransportProcessor::startAfterSkipped(long long skipped)
{
    if (skipped <= 0 || m_llStreamOffset != 0 || m_llPacketNumber != 0)
        return;
    // Offsets go on counting the input's bytes, the skipped ones included.
    m_llStreamOffset = skipped;
    loseSync(0);
}

void Mpeg2TransportProcessor::loseSync(long long streamOffset)
{
    m_bSearching = true;
    m_llLostAt = streamOffset;
    m_uiBytesMissing = 0;
    m_uiCarry = 0;
}

void Mpeg2TransportProcessor::regainSync(long long streamOffset)
{
    long long skipped = streamOffset - m_llLostAt;
    fileLogCapped(m_ullSyncLosses + 1, "Further sync losses are not logged\n",
                  "Sync lost at byte %lld, regained at byte %lld: %lld bytes skipped\n", m_llLostAt, streamOffset,
                  skipped);
    m_bSearching = false;
    m_uiCarry = 0;
    // The per-PID continuity state stays: packets lost in the gap show as the
    // continuity errors they are.
    fireSyncLoss(skipped, true);
}

long long Mpeg2TransportProcessor::resumeSearch(const unsigned char* buffer, long long length)
{
    // The carried bytes and enough of the new buffer to judge every carried candidate.
    unsigned char window[2 * SYNC_CARRY_SIZE];
    const long long carried = m_uiCarry;
    const long long take = length < SYNC_CARRY_SIZE ? length : SYNC_CARRY_SIZE;
    memcpy(window, m_aucCarry, (size_t)carried);
    memcpy(window + carried, buffer, (size_t)take);
    const long long n = carried + take;
    const long long windowOffset = m_llStreamOffset - carried;

    long long at = 0;
    GridResult r = findGrid(window, n, 0, false, &at);
    if (r == GRID_FOUND && at < carried) {
        regainSync(windowOffset + at);
        // The first packets after the gap begin in the carried bytes; the grid found
        // has confirmed each of their sync bytes.
        long long p = at;
        for (; carried - p >= PKT; p += PKT)
            handleCarriedPacket(m_aucCarry + p);
        if (p < carried) {
            memcpy(m_aucPacket, m_aucCarry + p, (size_t)(carried - p));
            m_uiBytesMissing = (uint32_t)(PKT - (carried - p));
        }
        return 0;
    }
    if (r == GRID_UNDECIDED && at < carried) {
        // Only a buffer shorter than the confirmation distance leaves a carried
        // candidate undecided: all of it joins the carry.
        m_uiCarry = (uint32_t)(n - at);
        memmove(m_aucCarry, window + at, m_uiCarry);
        return length;
    }
    // Nothing carried can begin the grid: search on in the buffer.
    m_uiCarry = 0;
    return 0;
}

void Mpeg2TransportProcessor::cutPackets(unsigned char* buffer, long long length, long long pos)
{
    for (;;) {
        if (m_bSearching) {
            // A search that goes on through buffers of garbage still keeps the heartbeat.
            if (m_uiAliveCountdown == 0) {
                maybeFireStatusAlive();
                m_uiAliveCountdown = STATUS_ALIVE_CHECK_PACKETS;
            }
            long long at = 0;
            GridResult r = findGrid(buffer, length, pos, false, &at);
            if (r != GRID_FOUND) {
                const long long keep = r == GRID_UNDECIDED ? at : length;
                m_uiCarry = (uint32_t)(length - keep);
                memcpy(m_aucCarry, buffer + keep, m_uiCarry);
                return;
            }
            regainSync(m_llStreamOffset + at);
            pos = at;
        }
        while (length - pos >= PKT && buffer[pos] == SYNC_BYTE) {
            // The reader filled the buffer on another core: ask for a packet ahead early.
            if (length - pos >= PREFETCH_DISTANCE + PKT) {
                const unsigned char* ahead = buffer + pos + PREFETCH_DISTANCE;
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead + 64);
                __builtin_prefetch(ahead + 128);
                __builtin_prefetch(ahead + PKT - 1);
            }
            handlePacket(buffer + pos);
            pos += PKT;
        }
        if (pos == length)
            return;
        if (buffer[pos] != SYNC_BYTE) {
            loseSync(m_llStreamOffset + pos);
            continue;
        }
        // The start of a packet that the next buffer completes.
        const long long rest = length - pos;
        memcpy(m_aucPacket, buffer + pos, (size_t)rest);
        m_uiBytesMissing = (uint32_t)(PKT - rest);
        return;
    }
}

int Mpeg2TransportProcessor::processRawBuff(unsigned char* buffer, long long length)
{
    m_llPosition = 0;
    if (!buffer || length <= 0)
        return 0;
    m_uiAliveCountdown = 0;  // the first packet handled looks at the clock

    long long pos = 0;
    if (m_bSearching && m_uiCarry > 0)
        pos = resumeSearch(buffer, length);

    // Complete the packet carried over from the previous buffer, however short this one is.
    if (!m_bSearching && m_uiBytesMissing > 0 && pos < length) {
        long long n = length - pos < (long long)m_uiBytesMissing ? length - pos : (long long)m_uiBytesMissing;
        memcpy(m_aucPacket + (PKT - m_uiBytesMissing), buffer + pos, (size_t)n);
        m_uiBytesMissing -= (uint32_t)n;
        pos += n;
        if (m_uiBytesMissing == 0)
            handleCarriedPacket(m_aucPacket);
    }

    if (pos < length)
        cutPackets(buffer, length, pos);
    keepLastPackets();
    m_llPosition = length;
    m_llStreamOffset += length;

    if (durationLimitReached())
        return 3;
    m_llByteCount += length;
    return 0;
}

void Mpeg2TransportProcessor::endOfInput()
{
    judgeCarryAtEnd();
    // The elementary streams may hold a last frame that only the end confirms.
    for (Mpeg2TransportStreamProcessor* p : m_vProcessors)
        p->endOfInput();
}

void Mpeg2TransportProcessor::judgeCarryAtEnd()
{
    if (!m_bSearching)
        return;  // a packet cut short by the end is dropped, as it always was
    m_uiAliveCountdown = 0;
    long long at = 0;
    const long long n = m_uiCarry;
    if (findGrid(m_aucCarry, n, 0, true, &at) == GRID_FOUND) {
        regainSync(m_llStreamOffset - n + at);
        for (long long pos = at; n - pos >= PKT && m_aucCarry[pos] == SYNC_BYTE; pos += PKT)
            handleCarriedPacket(m_aucCarry + pos);
        return;
    }
    const long long skipped = m_llStreamOffset - m_llLostAt;
    fileLogCapped(m_ullSyncLosses + 1, "Further sync losses are not logged\n",
                  "Sync lost at byte %lld, not regained before the end at byte %lld: %lld bytes skipped\n", m_llLostAt,
                  m_llStreamOffset, skipped);
    m_bSearching = false;
    m_uiCarry = 0;
    fireSyncLoss(skipped, false);
}
