#ifndef KORBALT_ENGINE_MPEG2TRANSPORTPROCESSOR_H
#define KORBALT_ENGINE_MPEG2TRANSPORTPROCESSOR_H

#include "engine/processor.h"

#include <cstdint>
#include <vector>

class Mpeg2TransportStreamProcessor;
class PatProcessor;
class PmtProcessor;
class AdaptationFieldProcessor;

// Container processor for MPEG-2 transport streams: cuts the bytes into 188-byte packets
// (carrying a partial packet from one buffer to the next), finds the packet grid again when
// a packet does not start with the sync byte, follows the PAT and the PMT of
// one program, creates the per-PID processors, dispatches every packet to them and at the
// end reports the duration and the bit rates.
class Mpeg2TransportProcessor : public TransportProcessor {
public:
    static constexpr int TS_PACKET_SIZE = 188;
    // A sync loss is reported on this PID: it belongs to no stream of the program. So are the
    // live input's gaps and cut datagrams.
    static constexpr int SYNC_LOSS_PID = 0x1FFF;

    enum State {
        STATE_WAIT_PAT = 0,
        STATE_WAIT_PMT = 1,
        STATE_RUNNING = 2
    };

    // Source of monotonic wall-clock time in milliseconds (replaceable for tests).
    typedef long long (*ClockMsFunction)();

    Mpeg2TransportProcessor(MsgCallback* msgCallback, int durationSeconds);
    // End reports (when a PCR span exists), then deletes every per-PID processor, whose
    // destructors fire their own end events.
    ~Mpeg2TransportProcessor() override;

    // 0 to go on, 3 when the duration limit is exceeded.
    int processRawBuff(unsigned char* buffer, long long length) override;
    // Judges the bytes a sync search still holds: a grid found in them is dispatched,
    // otherwise the loss is reported as not regained.
    void endOfInput() override;
    // The skipped bytes and any before the first packet grid are one sync loss from byte 0.
    void startAfterSkipped(long long skipped) override;
    void reportInputGap(uint32_t ms) override;
    void reportCutDatagram(uint32_t lost, uint32_t whole) override;

    // Fires the end-of-run bit-rate events; called by the destructor.
    void reportBitrates();

    // Set by the adaptation field processor when a new PCR sample span is ready.
    void setSampleFlag(bool ready) { m_bSampleFlag = ready; }
    bool getSampleFlag() const { return m_bSampleFlag; }

    unsigned getState() const { return m_uiState; }
    long long getPacketNumber() const { return m_llPacketNumber; }
    unsigned getBytesMissing() const { return m_uiBytesMissing; }
    bool isSearchingSync() const { return m_bSearching; }
    uint64_t getSyncLossCount() const { return m_ullSyncLosses; }
    long long getBytesSkipped() const { return m_llBytesSkipped; }
    // Processors in list order: 0 PAT, 1 PMT, 2 adaptation field, 3.. PES in PMT order.
    const std::vector<Mpeg2TransportStreamProcessor*>& getProcessors() const { return m_vProcessors; }
    PatProcessor* getPatProcessor() const;
    PmtProcessor* getPmtProcessor() const;
    AdaptationFieldProcessor* getAdaptationFieldProcessor() const;
    // PCR span in seconds; 0 while fewer than two PCRs were seen.
    double getPcrSpanSeconds() const;

    // Status-alive heartbeat: at most one firing per this many milliseconds of wall clock.
    // The default clock is the monotonic one that the status-alive callback reads too.
    static constexpr long long STATUS_ALIVE_INTERVAL_MS = 1000;
    // The clock is read at the first packet of each buffer and then every this many packets.
    static constexpr uint32_t STATUS_ALIVE_CHECK_PACKETS = 256;
    void setClock(ClockMsFunction clock) { m_pClockMs = clock; }
    uint64_t getStatusAliveCount() const { return m_ullStatusAliveCount; }

private:
    void handlePacket(unsigned char* packet);
    // Cuts whole packets from buffer[pos..length), searching for the grid after a loss.
    void cutPackets(unsigned char* buffer, long long length, long long pos);
    // Goes on with a search whose last bytes were carried: returns the position in the
    // new buffer where cutting or searching continues.
    long long resumeSearch(const unsigned char* buffer, long long length);
    // At the end of input: the bytes carried by an unfinished sync search are judged.
    void judgeCarryAtEnd();
    void loseSync(long long streamOffset);
    void regainSync(long long streamOffset);
    void fireSyncLoss(long long skipped, bool regained);
    // An event of the input itself, on the sync loss PID, with the next packet's number.
    void fireInputEvent(_CallbackId id);
    void dispatchWaitPat(unsigned char* packet, int pid);
    void dispatchWaitPmt(unsigned char* packet, int pid);
    void dispatchRunning(unsigned char* packet, int pid);
    // Fills m_aiPidOwner from the processor list (once the list is complete).
    void buildPidOwners();
    void createStreamProcessors();
    void addProcessor(Mpeg2TransportStreamProcessor* p);
    // The processors copy their last packets out of the buffers: before a buffer of the
    // caller's is given back, and at once from m_aucPacket and m_aucCarry, which are
    // written again before that.
    void keepLastPackets();
    void handleCarriedPacket(unsigned char* packet);
    void maybeFireStatusAlive();
    bool durationLimitReached() const;

    // Only a packet split between two buffers is assembled here; whole packets are
    // handled where they lie. A carried packet always starts with the sync byte.
    unsigned char m_aucPacket[TS_PACKET_SIZE];
    uint32_t m_uiBytesMissing;  // bytes of the carried packet still to come

    // Sync search: a candidate needs the sync byte at +0, +188 and +376, so at most two
    // packets' worth of bytes wait for the next buffer.
    static constexpr int SYNC_CARRY_SIZE = 2 * TS_PACKET_SIZE;
    bool m_bSearching;
    long long m_llLostAt;        // stream offset of the first byte skipped
    long long m_llStreamOffset;  // stream offset of the current buffer's first byte
    unsigned char m_aucCarry[SYNC_CARRY_SIZE];
    uint32_t m_uiCarry;  // bytes in m_aucCarry, from the first undecided candidate on
    uint64_t m_ullSyncLosses;
    long long m_llBytesSkipped;
    uint32_t m_uiState;
    long long m_llPacketNumber;  // packets with a valid sync byte, from 0
    bool m_bSampleFlag;
    std::vector<Mpeg2TransportStreamProcessor*> m_vProcessors;  // owned
    static constexpr int PID_COUNT = 8192;
    // Per PID, the list index of its first processor other than the adaptation field
    // processor, or -1; built when the state becomes running.
    int32_t m_aiPidOwner[PID_COUNT];

    ClockMsFunction m_pClockMs;
    long long m_llLastAliveMs;  // -1: none fired yet
    uint64_t m_ullStatusAliveCount;
    uint32_t m_uiAliveCountdown;  // packets until the clock is read again
};

#endif
