#include "engine/mpeg2TransportStreamProcessor.h"

#include "platform/debugMap.h"
#include "syntax/packetBase.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

Mpeg2TransportStreamProcessor::Mpeg2TransportStreamProcessor(MsgCallback* msgCallback, int pid)
    : StreamProcessor(msgCallback), m_iPid(pid), m_uiLastContinuityCounter(NO_COUNTER),
      m_ullPacketNumber(0), m_uiAdaptationFieldControl(0), m_bPayloadUnitStart(false),
      m_bLastHadPayload(false), m_bLastWasDuplicate(false), m_ullContinuityErrors(0),
      m_ullDuplicates(0), m_pLastPacket(nullptr), m_bPacketsHeldByCaller(false)
{
    memset(m_aucLastPacket, 0, sizeof(m_aucLastPacket));
    m_PacketEventInfo.pid = pid;
}

Mpeg2TransportStreamProcessor::~Mpeg2TransportStreamProcessor() = default;

int Mpeg2TransportStreamProcessor::adaptationFieldLength(const unsigned char* packet)
{
    unsigned afc = packet[3] >> 4;
    if (afc != 2 && afc != 3)
        return 0;
    int len = packet[4];
    // The field follows the 4-byte header and its own length byte.
    if (5 + len > TS_PACKET_SIZE)
        return -1;
    return len;
}

int Mpeg2TransportStreamProcessor::payloadOffset(const unsigned char* packet)
{
    return (int)getPacketPayloadOffset(packet);
}

bool Mpeg2TransportStreamProcessor::discontinuityIndicator(const unsigned char* packet)
{
    return adaptationFieldLength(packet) > 0 && (packet[5] & 0x80) != 0;
}

void Mpeg2TransportStreamProcessor::firePacketEvent(_CallbackId id, const char* format, ...)
{
    resetEventText();
    va_list args;
    va_start(args, format);
    vsnprintf(m_acEventText, sizeof(m_acEventText), format, args);
    va_end(args);
    m_PacketEventInfo.pid = m_iPid;
    m_PacketEventInfo.packetNumber = m_ullPacketNumber;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(id, &m_PacketEventInfo);
}

int Mpeg2TransportStreamProcessor::processMpeg2TsPacket(unsigned char* packet, long long length,
                                                        long long packetNumber)
{
    m_ullPacketNumber = (uint64_t)packetNumber;
    return processRawBuff(packet, length);
}

bool Mpeg2TransportStreamProcessor::checkContinuity(const unsigned char* packet)
{
    uint32_t counter = packet[3] & 0x0F;
    uint32_t afc = packet[3] >> 4;
    bool hasPayload = (afc == 1 || afc == 3);
    // The counter advances on a packet with payload and stays on one without.
    uint32_t expected = hasPayload ? (m_uiLastContinuityCounter + 1) & 0x0F : m_uiLastContinuityCounter;

    bool duplicate = false;
    if (m_uiLastContinuityCounter != NO_COUNTER && counter != expected)
        duplicate = checkUnexpectedCounter(packet, counter, hasPayload);
    m_uiLastContinuityCounter = counter;
    m_bLastHadPayload = hasPayload;
    m_bLastWasDuplicate = duplicate;
    if (hasPayload && !duplicate)
        holdLastPacket(packet);
    return duplicate;
}

bool Mpeg2TransportStreamProcessor::checkUnexpectedCounter(const unsigned char* packet, uint32_t counter,
                                                           bool hasPayload)
{
    // One repetition of a packet with payload is allowed; a second one is not. A packet that
    // only shares the counter is no repetition: 15 packets (mod 16) went missing.
    if (hasPayload && counter == m_uiLastContinuityCounter && m_bLastHadPayload && !m_bLastWasDuplicate &&
        repeatsLastPacket(packet)) {
        ++m_ullDuplicates;
        return true;
    }
    // A signalled discontinuity allows any new counter.
    if (discontinuityIndicator(packet))
        return false;
    // A feed that is damaged for days would fill the disk line by line; the report keeps the
    // exact count.
    ++m_ullContinuityErrors;
    fileLogCapped(m_ullContinuityErrors, "Further continuity errors on pid %d are not logged\n",
                  "Continuity error on pid %d\n", m_iPid);
    firePacketEvent(CB_MPEG2TS_CONTINUITY_ERROR, "Old counter is %d New Counter is %d",
                    (int)m_uiLastContinuityCounter, (int)counter);
    return false;
}

bool Mpeg2TransportStreamProcessor::repeatsLastPacket(const unsigned char* packet) const
{
    // From the byte after the sync byte. A repeated packet may carry a new PCR (bytes 6 to 11):
    // once header, adaptation field length and flags are equal, both have one or neither has.
    const unsigned char* last = m_pLastPacket;
    if (memcmp(packet + 1, last + 1, 5) != 0)
        return false;
    const int rest = adaptationFieldLength(packet) >= 7 && (packet[5] & 0x10) != 0 ? 12 : 6;
    return memcmp(packet + rest, last + rest, (size_t)(TS_PACKET_SIZE - rest)) == 0;
}

void Mpeg2TransportStreamProcessor::holdLastPacket(const unsigned char* packet)
{
    // Copying every packet would cost as much as the rest of its handling.
    m_pLastPacket = packet;
    if (!m_bPacketsHeldByCaller)
        keepLastPacket();
}

void Mpeg2TransportStreamProcessor::keepLastPacket()
{
    if (m_pLastPacket && m_pLastPacket != m_aucLastPacket) {
        memcpy(m_aucLastPacket, m_pLastPacket, TS_PACKET_SIZE);
        m_pLastPacket = m_aucLastPacket;
    }
}

int Mpeg2TransportStreamProcessor::processRawBuff(unsigned char* packet, long long length)
{
    if (!packet || length < TS_PACKET_SIZE)
        return 2;
    if (packetPid(packet) != m_iPid) {
        processOtherTransportPacket(packet, length);
        return 2;
    }

    m_bPayloadUnitStart = (packet[1] & 0x40) != 0;
    m_uiAdaptationFieldControl = packet[3] >> 4;

    // Byte 0 still holding the sync byte means no other processor of this PID has
    // checked the packet in this dispatch; the mark tells a second owner what the check
    // found (the transport processor restores the sync byte afterwards). Null packets
    // carry no counter.
    bool duplicate = false;
    if (packet[0] == 0x47) {
        if (m_iPid != NULL_PID)
            duplicate = checkContinuity(packet);
        packet[0] = duplicate ? MARK_DUPLICATE : MARK_CHECKED;
    } else {
        duplicate = packet[0] == MARK_DUPLICATE;
    }

    int result = duplicate ? processDuplicateTransportPacket(packet, length)
                           : processOwnTransportPacket(packet, length);

    ++m_ullPacketNumber;
    m_ullSampleByteCount += TS_PACKET_SIZE;
    m_llByteCount += TS_PACKET_SIZE;
    return result;
}

int Mpeg2TransportStreamProcessor::processOwnTransportPacket(unsigned char*, long long)
{
    return 2;
}

int Mpeg2TransportStreamProcessor::processOtherTransportPacket(unsigned char*, long long)
{
    return 2;
}

int Mpeg2TransportStreamProcessor::processDuplicateTransportPacket(unsigned char*, long long)
{
    return 1;
}
