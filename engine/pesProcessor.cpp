#include "engine/pesProcessor.h"

#include "engine/aacProcessor.h"
#include "engine/ac3Processor.h"
#include "engine/elemStreamProcessor.h"
#include "engine/h262Processor.h"
#include "engine/h264Processor.h"
#include "engine/mpegAudioProcessor.h"
#include "engine/pcmProcessor.h"
#include "platform/debugMap.h"
#include "syntax/pesHeader.h"
#include "syntax/streamTypes.h"

#include <cstring>
#include <string>

PesProcessor::PesProcessor(MsgCallback* msgCallback, int pid, int streamType)
    : Mpeg2TransportStreamProcessor(msgCallback, pid), m_iSamplesToSkip(2),
      // Nothing is known about the bytes before the first PES start.
      m_iPesState(PES_IGNORING), m_iStreamType(streamType), m_iStreamId(0), m_llPtsCount(0),
      m_llDtsCount(0), m_iGatheredLength(0), m_iHeaderLength(0), m_pElemStreamProcessor(nullptr)
{
    memset(m_aucHeaderBuffer, 0, sizeof(m_aucHeaderBuffer));
    setName("PesProcessor");

    const char* kind = nullptr;
    switch (streamType) {
    case 2:
        m_pElemStreamProcessor = new H262Processor(msgCallback, pid);
        kind = "Video";
        break;
    case 27:
        m_pElemStreamProcessor = new H264Processor(msgCallback, pid);
        kind = "Video";
        break;
    case 3:
    case 4:
        m_pElemStreamProcessor = new MpegAudioProcessor(msgCallback, pid);
        kind = "Audio";
        break;
    case 6:
        m_pElemStreamProcessor = new PcmProcessor(msgCallback, pid);
        kind = "Audio";
        break;
    case 15:
    case 17:
        m_pElemStreamProcessor = new AacProcessor(msgCallback, pid);
        kind = "Audio";
        break;
    case 129:
        m_pElemStreamProcessor = new AC3Processor(msgCallback, pid);
        kind = "Audio";
        break;
    default:
        break;
    }

    if (m_pMsgCallback) {
        PidValueInfo info;
        info.pid = pid;
        if (kind) {
            std::string type(kind);
            info.value = &type;
            m_pMsgCallback->callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &info);
        }
        const char* desc = getStreamTypeDesc(streamType);
        std::string description(desc ? desc : "");
        info.value = &description;
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_STREAM_DESC, &info);
    }
}

PesProcessor::~PesProcessor()
{
    delete m_pElemStreamProcessor;
    m_pElemStreamProcessor = nullptr;

    if (m_pMsgCallback) {
        PidValueInfo info;
        info.pid = m_iPid;
        info.value = &m_llPtsCount;
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_PTS_COUNT, &info);
        info.value = &m_llDtsCount;
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_DTS_COUNT, &info);
    }

    if (isVideo()) {
        // With only empty samples there is nothing to call constant.
        double ratio = m_dMaxStreamBitrate > 0 ? m_dMinStreamBitrate / m_dMaxStreamBitrate : 0.0;
        fileLog("PesProcessor m_dMinStreamBitrate = %f;m_dMaxStreamBitrate = %f\n",
                m_dMinStreamBitrate, m_dMaxStreamBitrate);
        const char* verdict = ratio > 0.95 ? "true" : "false";
        if (m_iSamplesTaken < 2) {
            // One sample cannot vary and none says nothing: no verdict.
            fileLog("PesProcessor pid %d: %d bit-rate samples, no constant-bitrate verdict\n", m_iPid,
                    m_iSamplesTaken);
        } else if (m_pMsgCallback) {
            PidValueInfo info;
            info.pid = m_iPid;
            info.value = const_cast<char*>(verdict);
            m_pMsgCallback->callMsgCallback(CB_MPEG2TS_VIDEO_CBR, &info);
        }
    }
}

bool PesProcessor::checkCompleteness(int stage) const
{
    switch (stage) {
    case 0: return m_iGatheredLength > 5;
    case 1: return m_iGatheredLength > 8;
    case 2: return m_iGatheredLength >= 9 + m_iHeaderLength;
    default: return false;
    }
}

void PesProcessor::passPayload(unsigned char* data, long long n)
{
    if (m_pElemStreamProcessor && data && n > 0)
        m_pElemStreamProcessor->processRawBuff(data, n);
}

int PesProcessor::processOwnTransportPacket(unsigned char* packet, long long length)
{
    if (!packet || length < TS_PACKET_SIZE)
        return 1;
    const bool unitStart = (packet[1] & 0x40) != 0;
    const unsigned afc = packet[3] >> 4;
    if (afc == 0 || afc == 2)
        return 1;
    // 188 when the adaptation field leaves no room or claims more than the packet holds.
    const int payloadStart = payloadOffset(packet);
    if (payloadStart >= TS_PACKET_SIZE) {
        if (unitStart && adaptationFieldLength(packet) < 0) {
            // A PES began in a damaged packet: its header is lost.
            m_iPesState = PES_IGNORING;
            m_iGatheredLength = 0;
        } else if (unitStart) {
            m_iPesState = PES_GATHERING_HEADER;
            m_iGatheredLength = 0;
            memset(m_aucHeaderBuffer, 0, sizeof(m_aucHeaderBuffer));
        }
        return 1;
    }
    unsigned char* payload = packet + payloadStart;
    const int payloadLength = TS_PACKET_SIZE - payloadStart;

    if (unitStart) {
        m_iGatheredLength = 0;
        m_iPesState = PES_GATHERING_HEADER;
        memset(m_aucHeaderBuffer, 0, sizeof(m_aucHeaderBuffer));
    } else if (m_iPesState == PES_IGNORING) {
        return 1;
    } else if (m_iPesState == PES_PASSING_PAYLOAD) {
        passPayload(payload, payloadLength);
        m_iGatheredLength = 0;
        return 1;
    }

    // Gather what still fits; a header never exceeds 9 + 255 bytes, so whatever does not
    // fit is payload and is passed on straight from the packet below.
    int copied = payloadLength;
    if (copied > HEADER_BUFFER_SIZE - m_iGatheredLength)
        copied = HEADER_BUFFER_SIZE - m_iGatheredLength;
    memcpy(m_aucHeaderBuffer + m_iGatheredLength, payload, (size_t)copied);
    m_iGatheredLength += copied;

    if (!checkCompleteness(0))
        return 1;

    if (m_aucHeaderBuffer[0] != 0x00 || m_aucHeaderBuffer[1] != 0x00 || m_aucHeaderBuffer[2] != 0x01) {
        m_iPesState = PES_IGNORING;
        fileLogCapped(++m_ullInvalidStartCodes, "Further invalid PES start codes are not logged\n",
                      "Invalid PES start code\n");
        m_iGatheredLength = 0;
        return 1;
    }

    const int streamId = m_aucHeaderBuffer[3];
    if (m_iStreamId == 0)
        m_iStreamId = streamId;
    else if (streamId != m_iStreamId)
        fileLogCapped(++m_ullStreamIdChanges, "Further StreamId changes are not logged\n", "StreamId has changed\n");

    int payloadOffsetInBuffer;
    if (hasPesHeader(streamId)) {
        if (m_pElemStreamProcessor)
            m_pElemStreamProcessor->setPesStart();
        if (!checkCompleteness(1))
            return 1;
        m_iHeaderLength = m_aucHeaderBuffer[8];
        if (!checkCompleteness(2))
            return 1;
        PesHeader header;
        memset(&header, 0, sizeof(header));
        populatePesHeader(m_aucHeaderBuffer + 6, &header, (unsigned int)(m_iGatheredLength - 6));
        if (header.PTS_DTS_flags == 2 || header.PTS_DTS_flags == 3) {
            m_llPtsCount++;
            if (m_pElemStreamProcessor)
                m_pElemStreamProcessor->setPesTimestamp(header.PTS);
        }
        if (header.PTS_DTS_flags == 3)
            m_llDtsCount++;
        m_iPesState = PES_PASSING_PAYLOAD;
        payloadOffsetInBuffer = 9 + m_iHeaderLength;
    } else {
        m_iPesState = PES_PASSING_PAYLOAD;
        payloadOffsetInBuffer = 6;
    }

    if (m_iGatheredLength > payloadOffsetInBuffer)
        passPayload(m_aucHeaderBuffer + payloadOffsetInBuffer, m_iGatheredLength - payloadOffsetInBuffer);
    if (copied < payloadLength)
        passPayload(payload + copied, payloadLength - copied);
    return 1;
}

void PesProcessor::endOfInput()
{
    if (m_pElemStreamProcessor)
        m_pElemStreamProcessor->endOfInput();
}

void PesProcessor::endOfRun()
{
    if (m_pElemStreamProcessor)
        m_pElemStreamProcessor->endOfRun();
}

double PesProcessor::calculateBitrateBps(double seconds)
{
    double bits = StreamProcessor::calculateBitrateBps(seconds);
    if (m_pElemStreamProcessor)
        m_pElemStreamProcessor->calculateBitrateBps(seconds);
    return bits;
}

double PesProcessor::calculateSampleBitrateBps(double seconds)
{
    if (m_iSamplesToSkip > 0 && isVideo()) {
        // The first spans start mid-GOP; they would only widen the spread.
        m_iSamplesToSkip--;
        m_ullSampleByteCount = 0;
        if (m_pElemStreamProcessor)
            m_pElemStreamProcessor->resetSampleByteCount();
        return 0.0;
    }
    double sample = StreamProcessor::calculateSampleBitrateBps(seconds);
    ++m_iSamplesTaken;
    if (m_pElemStreamProcessor) {
        m_pElemStreamProcessor->calculateSampleBitrateBps(seconds);
        m_pElemStreamProcessor->resetSampleByteCount();
    }
    return sample;
}
