#ifndef KORBALT_ENGINE_MPEG2TRANSPORTSTREAMPROCESSOR_H
#define KORBALT_ENGINE_MPEG2TRANSPORTSTREAMPROCESSOR_H

#include "engine/processor.h"

#include <cstdint>

// Common front end of every processor that owns one PID: decides whether a packet is
// its own, checks the continuity counter, counts the packet and hands it on to
// processOwnTransportPacket or processOtherTransportPacket.
class Mpeg2TransportStreamProcessor : public StreamProcessor {
public:
    static constexpr int TS_PACKET_SIZE = 188;
    static constexpr int NULL_PID = 0x1FFF;
    static constexpr uint32_t NO_COUNTER = 0xFFFFFFFFu;
    // Byte 0 of a packet after its first owner in a dispatch checked it.
    static constexpr unsigned char MARK_CHECKED = 0xFF;
    static constexpr unsigned char MARK_DUPLICATE = 0xFE;

    Mpeg2TransportStreamProcessor(MsgCallback* msgCallback, int pid);
    ~Mpeg2TransportStreamProcessor() override;

    // Stores the transport processor's packet number, then runs the front end.
    int processMpeg2TsPacket(unsigned char* packet, long long length, long long packetNumber);

    // Front end for one packet: 1 when the packet was taken by this processor, 2 when it
    // was not its own (or its own but not taken, see the derived classes).
    int processRawBuff(unsigned char* packet, long long length) final;
    virtual int processOwnTransportPacket(unsigned char* packet, long long length);
    virtual int processOtherTransportPacket(unsigned char* packet, long long length);
    // An own packet that repeats the previous one byte for byte (the PCR aside). Its
    // payload was seen already, so the base form only takes it: returns 1.
    virtual int processDuplicateTransportPacket(unsigned char* packet, long long length);

    // Set by a caller whose packet buffers stay unchanged until it calls keepLastPacket: the
    // last packet is then referred to where it lies instead of being copied.
    void setPacketsHeldByCaller(bool held) { m_bPacketsHeldByCaller = held; }
    // Copies the last own packet with payload out of the caller's buffer, which may change
    // after this call.
    __attribute__((noinline)) void keepLastPacket();

    int getPid() const { return m_iPid; }
    uint64_t getPacketNumber() const { return m_ullPacketNumber; }
    uint32_t getLastContinuityCounter() const { return m_uiLastContinuityCounter; }
    uint32_t getAdaptationFieldControl() const { return m_uiAdaptationFieldControl; }
    bool getPayloadUnitStart() const { return m_bPayloadUnitStart; }
    // Continuity errors this processor reported.
    uint64_t getContinuityErrorCount() const { return m_ullContinuityErrors; }
    uint64_t getDuplicateCount() const { return m_ullDuplicates; }

    // Packet layout helpers, bounded to the 188 bytes of one packet.
    static int packetPid(const unsigned char* packet)
    {
        return ((packet[1] & 0x1F) << 8) | packet[2];
    }
    // Offset of the first payload byte, or TS_PACKET_SIZE when the packet carries no
    // payload (adaptation_field_control 0 or 2, or an adaptation field that leaves no
    // room for one). An adaptation_field_length beyond the packet also means no payload.
    static int payloadOffset(const unsigned char* packet);
    // Length of the adaptation field after its length byte (0 when absent), or -1 when
    // adaptation_field_length does not fit the packet.
    static int adaptationFieldLength(const unsigned char* packet);
    // discontinuity_indicator of a present, well-formed adaptation field.
    static bool discontinuityIndicator(const unsigned char* packet);

protected:
    // Applies the continuity rules to an own packet and fires the error event; true when
    // the packet is an allowed duplicate of its predecessor.
    bool checkContinuity(const unsigned char* packet);
    // A counter other than the one expected: an allowed duplicate (true), a signalled
    // discontinuity, or a continuity error, reported here. Kept out of the packet path.
    __attribute__((noinline)) bool checkUnexpectedCounter(const unsigned char* packet, uint32_t counter,
                                                          bool hasPayload);
    // Whether the packet repeats the last own packet with payload, byte for byte but for
    // a PCR.
    bool repeatsLastPacket(const unsigned char* packet) const;
    void holdLastPacket(const unsigned char* packet);
    // Writes the event text, stamps this PID and packet number and fires the event.
    void firePacketEvent(_CallbackId id, const char* format, ...) __attribute__((format(printf, 3, 4)));

    int m_iPid;
    uint32_t m_uiLastContinuityCounter;  // 0..15, NO_COUNTER until the first packet
    uint64_t m_ullPacketNumber;          // number of the packet being handled
    uint32_t m_uiAdaptationFieldControl; // of the last own packet
    bool m_bPayloadUnitStart;            // of the last own packet
    bool m_bLastHadPayload;              // last own packet carried payload
    bool m_bLastWasDuplicate;            // last own packet repeated its predecessor
    uint64_t m_ullContinuityErrors;
    uint64_t m_ullDuplicates;
    // The last own packet with payload, compared with a packet that repeats its counter: in
    // m_aucLastPacket, or in the caller's buffer until keepLastPacket.
    unsigned char m_aucLastPacket[TS_PACKET_SIZE];
    const unsigned char* m_pLastPacket;  // null before the first
    bool m_bPacketsHeldByCaller;
};

#endif
