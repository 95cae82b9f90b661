#include "engine/adaptationFieldProcessor.h"

#include "engine/mpeg2TransportProcessor.h"
#include "platform/debugMap.h"
#include "syntax/adaptationField.h"

#include <cmath>

AdaptationFieldProcessor::AdaptationFieldProcessor(Mpeg2TransportProcessor* owner, MsgCallback* msgCallback,
                                                   int pcrPid)
    : Mpeg2TransportStreamProcessor(msgCallback, pcrPid), m_pOwner(owner), m_llFirstPcr(-1),
      m_llLastPcr(-1), m_llLastReportPcr(-1), m_llSampleStartPcr(-1), m_llSampleEndPcr(-1),
      m_llBytesSincePcr(0), m_llTotalBytes(0), m_llBytesSinceReport(0), m_uiReportInterval(1),
      m_llLastRawPcr(-1), m_llLastCorrectedPcr(-1), m_llPcrOffset(0), m_ullPcrCount(0),
      m_ullRollOvers(0), m_ullNewSpans(0)
{
}

AdaptationFieldProcessor::~AdaptationFieldProcessor() = default;

int AdaptationFieldProcessor::processOtherTransportPacket(unsigned char*, long long length)
{
    m_llBytesSincePcr += length;
    return 2;
}

int AdaptationFieldProcessor::processDuplicateTransportPacket(unsigned char*, long long length)
{
    m_llBytesSincePcr += length;
    return 2;
}

void AdaptationFieldProcessor::logDuration(long long ticks, bool final)
{
    if (ticks < 0)
        ticks = 0;
    long long s = llround((double)ticks / (double)TICKS_PER_SECOND);
    DurationInfo info;
    info.hours = (uint32_t)(s / 3600);
    info.minutes = (uint32_t)((s % 3600) / 60);
    info.seconds = (uint32_t)(s % 60);
    info.final = final ? 1 : 0;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_DURATION, &info);
}

bool AdaptationFieldProcessor::correctPcr(long long rawPcr, bool discontinuity, long long* corrected)
{
    bool continuous = true;
    long long step = rawPcr - m_llLastRawPcr;
    long long forward = step >= 0 ? step : step + PCR_MODULUS;

    if (step < 0 && forward <= MAX_WRAP_STEP) {
        // The 33-bit base wrapped just after the top of its range.
        m_llPcrOffset += PCR_MODULUS;
        ++m_ullRollOvers;
        firePacketEvent(CB_MPEG2TS_PCR_ROLL_OVER, "pcr rollover detected");
    } else if (step < 0 || forward >= PCR_MODULUS / 2 || (discontinuity && forward > MAX_WRAP_STEP)) {
        // A new time base: the span so far is kept and a new one continues from it.
        m_llPcrOffset = m_llLastCorrectedPcr - rawPcr;
        ++m_ullNewSpans;
        continuous = false;
        fileLogCapped(m_ullNewSpans, "Further PCR discontinuities on pid %d are not logged\n",
                      "PCR discontinuity on pid %d: new span\n", m_iPid);
    }
    *corrected = rawPcr + m_llPcrOffset;
    m_llLastRawPcr = rawPcr;
    m_llLastCorrectedPcr = *corrected;
    return continuous;
}

int AdaptationFieldProcessor::processOwnTransportPacket(unsigned char* packet, long long length)
{
    m_llBytesSincePcr += length;

    AdaptationFieldInfo af;
    if (readAdaptationField(packet, &af) != 0)
        return 2;  // none, empty, or a length beyond the packet

    if (af.hasPcr) {
        ++m_ullPcrCount;
        long long raw = (long long)af.pcr;
        bool first = m_llFirstPcr < 0;
        long long pcr = raw;
        bool continuous = true;
        if (first) {
            m_llLastRawPcr = raw;
            m_llLastCorrectedPcr = raw;
            m_llPcrOffset = 0;
        } else {
            continuous = correctPcr(raw, af.discontinuityIndicator, &pcr);
        }

        // Sample spans for the first PES stream, from PCRs of packets that open a
        // payload unit behind an adaptation field.
        if (m_uiAdaptationFieldControl == 3 && m_bPayloadUnitStart) {
            if (m_llSampleStartPcr == -1) {
                m_llSampleStartPcr = pcr;
            } else {
                if (m_llSampleEndPcr != -1)
                    m_llSampleStartPcr = m_llSampleEndPcr;
                m_llSampleEndPcr = pcr;
                if (m_pOwner)
                    m_pOwner->setSampleFlag(true);
            }
        }

        if (first) {
            m_llFirstPcr = m_llLastReportPcr = pcr;
            m_llBytesSincePcr = 0;
            m_llTotalBytes = 0;
            m_llBytesSinceReport = 0;
        } else {
            // Bytes of an interval whose length is unknown (a new span) count nowhere.
            if (!continuous)
                m_llBytesSincePcr = 0;
            m_llLastPcr = pcr;
            long long delta = pcr - m_llLastReportPcr;
            m_llTotalBytes += m_llBytesSincePcr;
            m_llBytesSinceReport += m_llBytesSincePcr;
            m_llBytesSincePcr = 0;

            if (delta > 0 && delta / TICKS_PER_SECOND > (long long)m_uiReportInterval) {
                PcrBitrateDataPoint point;
                point.pcrTimeMs = (uint32_t)(pcr / 27000);
                point.bitrateKbps = (uint32_t)(m_llBytesSinceReport * 216000 / delta);
                if (m_pMsgCallback)
                    m_pMsgCallback->callMsgCallback(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, &point);
                m_llLastReportPcr = m_llLastPcr;
                m_llBytesSinceReport = 0;
                logDuration(m_llLastPcr - m_llFirstPcr, false);
            }
        }
    }

    if (af.splicingPointFlag) {
        firePacketEvent(CB_MPEG2TS_SPLICE_POINT_FLAG_INFO, "splicing_point_flag set");
    }

    // An extension that does not fit the adaptation field is not checked.
    if (af.hasExtension && (af.extensionFlags & 0x1F) != 0x1F) {
        fileLogCapped(++m_ullReservedBitErrors, "Further invalid reserved bits on pid %d are not logged\n",
                      "Invalid Reserved bits on pid %d\n", m_iPid);
        firePacketEvent(CB_MPEG2TS_RESERVED_BITS_ERROR,
                        "The 5 reserved bits after the seamless_splice_flag have the value '0x%x'",
                        (unsigned)(af.extensionFlags & 0x1F));
    }
    return 0;
}
