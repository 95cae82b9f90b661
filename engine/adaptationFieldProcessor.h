#ifndef KORBALT_ENGINE_ADAPTATIONFIELDPROCESSOR_H
#define KORBALT_ENGINE_ADAPTATIONFIELDPROCESSOR_H

#include "engine/mpeg2TransportStreamProcessor.h"

#include <cstdint>

class Mpeg2TransportProcessor;

// Owns the PCR PID of the analysed program: keeps the PCR time line, counts the bytes of
// every packet between PCRs, reports data points, running durations, roll-overs, splice
// points and bad reserved bits of the adaptation field extension.
//
// The time line is kept in "corrected" ticks: each real wrap of the 33-bit base adds
// PCR_MODULUS, and a jump that is neither a normal step nor a wrap (a new time base)
// starts a new span that continues from the last corrected value, so the corrected time
// line only ever grows by the time that really passed within spans.
class AdaptationFieldProcessor : public Mpeg2TransportStreamProcessor {
public:
    // 2^33 * 300: the PCR counts 0 .. PCR_MODULUS - 1.
    static constexpr long long PCR_MODULUS = 2576980377600LL;
    // Largest forward step across the wrap that is taken as a wrap (10 s).
    static constexpr long long MAX_WRAP_STEP = 270000000LL;
    static constexpr long long TICKS_PER_SECOND = 27000000LL;

    AdaptationFieldProcessor(Mpeg2TransportProcessor* owner, MsgCallback* msgCallback, int pcrPid);
    ~AdaptationFieldProcessor() override;

    int processOwnTransportPacket(unsigned char* packet, long long length) override;
    int processOtherTransportPacket(unsigned char* packet, long long length) override;
    // A repeated packet still occupies the multiplex: its bytes count, its PCR does not.
    int processDuplicateTransportPacket(unsigned char* packet, long long length) override;

    // Fires CB_MPEG2TS_DURATION with the ticks rounded to whole seconds.
    void logDuration(long long ticks, bool final);

    long long getFirstPcr() const { return m_llFirstPcr; }
    // Corrected; -1 until the second PCR.
    long long getLastPcr() const { return m_llLastPcr; }
    long long getSampleStartPcr() const { return m_llSampleStartPcr; }
    long long getSampleEndPcr() const { return m_llSampleEndPcr; }
    long long getTotalBytes() const { return m_llTotalBytes; }
    // True once two PCRs have given a span of more than zero ticks.
    bool hasPcrSpan() const { return m_llFirstPcr >= 0 && m_llLastPcr > m_llFirstPcr; }
    long long getPcrSpan() const { return hasPcrSpan() ? m_llLastPcr - m_llFirstPcr : 0; }
    uint64_t getPcrCount() const { return m_ullPcrCount; }
    uint64_t getRollOverCount() const { return m_ullRollOvers; }
    uint64_t getNewSpanCount() const { return m_ullNewSpans; }

private:
    // Maps a raw PCR onto the corrected time line; fires the roll-over event on a wrap.
    // Returns false when the PCR starts a new span (its interval has no known length).
    bool correctPcr(long long rawPcr, bool discontinuity, long long* corrected);

    Mpeg2TransportProcessor* m_pOwner;  // not owned
    long long m_llFirstPcr;
    long long m_llLastPcr;
    long long m_llLastReportPcr;
    long long m_llSampleStartPcr;
    long long m_llSampleEndPcr;
    long long m_llBytesSincePcr;
    long long m_llTotalBytes;
    long long m_llBytesSinceReport;
    uint32_t m_uiReportInterval;  // seconds

    long long m_llLastRawPcr;      // -1 until the first PCR
    long long m_llLastCorrectedPcr;
    long long m_llPcrOffset;       // corrected - raw
    uint64_t m_ullPcrCount;
    uint64_t m_ullRollOvers;
    uint64_t m_ullNewSpans;
    uint64_t m_ullReservedBitErrors = 0;  // for the log only
};

#endif
