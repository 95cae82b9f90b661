#include "engine/streamDecoder.h"
#include "engine/contentFlv.h"
#include "engine/contentMPEG2TS.h"
#include "engine/contentRTP.h"
#include "engine/fileSrcAsynch.h"
#include "engine/flvTransportProcessor.h"
#include "engine/inputParams.h"
#include "engine/mpeg2TransportProcessor.h"
#include "engine/ntwkSrcAsynch.h"
#include "platform/debugMap.h"
#include "platform/udpNtwkReader.h"
#include "platform/udpSockets.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

std::atomic<sig_atomic_t> StreamDecoder::s_iAbortRequest(0);
static_assert(std::atomic<sig_atomic_t>::is_always_lock_free, "the abort request is stored from a signal handler");

void StreamDecoder::requestAbort()
{
    s_iAbortRequest.store(1);
}

void StreamDecoder::clearAbortRequest()
{
    s_iAbortRequest.store(0);
}

bool StreamDecoder::isAbortRequested()
{
    return s_iAbortRequest.load() != 0;
}

StreamDecoder::StreamDecoder(InputParams& params, MsgCallback* registry)
    : m_iState(DECODER_IDLE), m_bAbort(false), m_pInputParams(new InputParams()), m_pSource(nullptr),
      m_pMpeg2TsSniffer(nullptr), m_pFlvSniffer(nullptr), m_pRtpSniffer(nullptr), m_pMsgCallback(registry),
      m_pProcessor(nullptr), m_llBytesProcessed(0), m_llBytesSkipped(0), m_auiPendingGapMs(), m_iPendingGaps(0)
{
    *m_pInputParams = params;
    makeDestroySniffers(true);
}

StreamDecoder::StreamDecoder(MsgCallback* registry)
    : m_iState(DECODER_IDLE), m_bAbort(false), m_pInputParams(new InputParams()), m_pSource(nullptr),
      m_pMpeg2TsSniffer(nullptr), m_pFlvSniffer(nullptr), m_pRtpSniffer(nullptr), m_pMsgCallback(registry),
      m_pProcessor(nullptr), m_llBytesProcessed(0), m_llBytesSkipped(0), m_auiPendingGapMs(), m_iPendingGaps(0)
{
}

StreamDecoder::~StreamDecoder()
{
    // The processor first: its destructor fires the end-of-stream events.
    delete m_pProcessor;
    m_pProcessor = nullptr;
    // Then the source, which stops and joins its worker and removes its queues.
    delete m_pSource;
    m_pSource = nullptr;
    makeDestroySniffers(false);
    delete m_pInputParams;
    fileLog("StreamDecoder Processed %lld Bytes\n", m_llBytesProcessed);
}

void StreamDecoder::makeDestroySniffers(bool make)
{
    if (make) {
        if (!m_pMpeg2TsSniffer)
            m_pMpeg2TsSniffer = new ContentMPEG2TS();
        if (!m_pFlvSniffer)
            m_pFlvSniffer = new ContentFlv();
        if (!m_pRtpSniffer)
            m_pRtpSniffer = new ContentRTP();
        return;
    }
    delete m_pMpeg2TsSniffer;
    delete m_pFlvSniffer;
    delete m_pRtpSniffer;
    m_pMpeg2TsSniffer = nullptr;
    m_pFlvSniffer = nullptr;
    m_pRtpSniffer = nullptr;
}

bool StreamDecoder::abortPending() const
{
    return m_bAbort.load() || s_iAbortRequest.load() != 0;
}

int StreamDecoder::abortDecoding()
{
    // Kept apart from the state, which the loop rewrites while it starts and sniffs.
    m_bAbort.store(true);
    return DECODER_ENDED;
}

Processor* StreamDecoder::createTransportProcessor(ContainerKind kind, int duration)
{
    if (kind == CONTAINER_MPEG2TS)
        return new Mpeg2TransportProcessor(m_pMsgCallback, duration);
    if (kind == CONTAINER_FLV)
        return new FlvTransportProcessor(m_pMsgCallback, duration);
    return nullptr;
}

bool StreamDecoder::initStreamSource()
{
    const InputParams& p = *m_pInputParams;
    bool started = false;
    if (p.m_iSourceType == INPUT_SOURCE_FILE) {
        FileSrcAsynch* src = new FileSrcAsynch(p.m_sFileName);
        m_pSource = src;
        started = src->init() && src->startFileReader() == 0;
    } else if (p.m_iSourceType == INPUT_SOURCE_NETWORK) {
        NtwkSrcAsynch* src = new NtwkSrcAsynch(p.m_uiIpAddr, p.m_usPort, p.m_uiInterfaceIp, p.m_sDumpFileName,
                                               p.m_iNumberOfBuffers, p.m_iBufferSize, p.m_bSaveToDisk,
                                               p.m_bDiskDirect);
        m_pSource = src;
        started = src->init() && src->startNtwkReader() == 0;
        if (started && p.m_bSaveToDisk)
            started = src->startFileWriter() == 0;
    } else {
        m_sFailureText = "no input source given";
        return false;
    }
    if (!started && m_sFailureText.empty()) {
        m_sFailureText = m_pSource->getFailureText();
        if (m_sFailureText.empty())
            m_sFailureText = "the input could not be started";
    }
    return started;
}

void StreamDecoder::reportPercent(int& lastPercent)
{
    int percent = m_pSource->getPercentComplete();
    if (percent >= 1 && percent >= lastPercent + 2) {
        m_pMsgCallback->callMsgCallback(CB_PERCENT_COMPLETE, (void*)(intptr_t)percent);
        lastPercent = percent;
    }
}

bool StreamDecoder::feedProcessor(unsigned char* buffer, long long length)
{
    // A container without a processor of its own is not fed.
    if (!m_pProcessor)
        return true;
    return m_pProcessor->processRawBuff(buffer, length) != 3;
}

int StreamDecoder::shutDownDecoder()
{
    if (m_pSource) {
        // The buffer in hand goes back first; the exit message then overtakes it.
        m_pSource->releaseRawDataBuff();
        m_pSource->stopReader();
    }
    return DECODE_PROCESSOR_STOP;
}

int StreamDecoder::startDecoding(int duration)
{
    if (abortPending()) {
        fileLog("StreamDecoder: aborted before the input was started\n");
        m_iState.store(DECODER_ENDED);
        m_pMsgCallback->callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr);
        return DECODE_ENDED;
    }
    if (!initStreamSource()) {
        fileLog("StreamDecoder: the input could not be started\n");
        return DECODE_SOURCE_FAILED;
    }
    m_iState.store(DECODER_SNIFFING);
    int lastPercent = 0;
    bool sawData = false;

    for (;;) {
        if (abortPending())
            break;
        unsigned char* buffer = nullptr;
        long long length = 0;
        if (!m_pSource->getRawDataBuff(&buffer, &length)) {
            if (m_pSource->getState() == StreamSrcAsynch::SRC_STATE_ENDED)
                break;
            if (abortPending())
                break;
            int err = m_pSource->getReceiveErrno();
            if (err == 0 || err == EINTR || err == ETIMEDOUT)
                continue;
            // Anything else would fail again at once: end instead of spinning.
            m_sFailureText = std::string("cannot receive input buffers: ") + strerror(err);
            fileLog("StreamDecoder: receive failed, errno %d\n", err);
            break;
        }
        sawData = true;
        m_llBytesProcessed += length;
        reportPercent(lastPercent);

        const UdpDatagramTable* table = m_pSource->getDatagramTable();
        PieceResult result = table ? takeDatagrams(buffer, table, duration) : takePiece(buffer, length, duration);
        if (result == PIECE_UNKNOWN) {
            shutDownDecoder();
            m_iState.store(DECODER_ENDED);
            m_sFailureText = describeInput() + " is neither an MPEG-2 transport stream nor FLV";
            fileLog("StreamDecoder: unknown container\n");
            return DECODE_UNKNOWN_CONTAINER;
        }
        if (result == PIECE_STOP) {
            shutDownDecoder();
            m_iState.store(DECODER_ENDED);
            m_pMsgCallback->callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr);
            return DECODE_PROCESSOR_STOP;
        }
        m_pSource->releaseRawDataBuff();
    }

    bool aborted = abortPending();
    // Bytes a processor held back for what would follow them are judged at a real end only;
    // Ctrl-C is how a live run ends.
    if (m_pProcessor && (!aborted || m_pInputParams->m_iSourceType == INPUT_SOURCE_NETWORK))
        m_pProcessor->endOfInput();
    shutDownDecoder();
    if (m_sFailureText.empty())
        m_sFailureText = m_pSource->getFailureText();
    if (m_sFailureText.empty() && m_pSource->getReaderErrno() != 0)
        m_sFailureText = describeInput() + " ended with an error: " + strerror(m_pSource->getReaderErrno());
    if (!sawData && m_sFailureText.empty() && m_pInputParams->m_iSourceType == INPUT_SOURCE_NETWORK) {
        // A wrong group, port or interface looks like this: the supervisor must hear of it.
        m_sFailureText = describeSilentNetwork();
        fileLog("StreamDecoder: %s\n", m_sFailureText.c_str());
    }
    if (!sawData && !aborted && m_sFailureText.empty()) {
        // Not even a first buffer to recognise.
        m_iState.store(DECODER_ENDED);
        m_sFailureText = describeInput() + " is empty";
        return DECODE_UNKNOWN_CONTAINER;
    }
    if (m_iState.load() == DECODER_SNIFFING && m_llBytesSkipped > 0) {
        // A live input that brought nothing but what could not be recognised.
        fileLog("StreamDecoder: %lld bytes received, none recognised\n", m_llBytesSkipped);
        m_iState.store(DECODER_ENDED);
        if (m_sFailureText.empty())
            m_sFailureText = describeInput() + " is neither an MPEG-2 transport stream nor FLV";
        return DECODE_UNKNOWN_CONTAINER;
    }
    m_iState.store(DECODER_ENDED);
    m_pMsgCallback->callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr);
    return DECODE_ENDED;
}

StreamDecoder::PieceResult StreamDecoder::takePiece(unsigned char* piece, long long length, int duration)
{
    if (length < 1)
        return PIECE_TAKEN;
    if (m_iState.load() == DECODER_SNIFFING) {
        const char* container = nullptr;
        ContainerKind kind = CONTAINER_MPEG2TS;
        if (m_pMpeg2TsSniffer && m_pMpeg2TsSniffer->isType(piece, length)) {
            container = "MPEG2 transport";
        } else if (m_pFlvSniffer && m_pFlvSniffer->isType(piece, length)) {
            container = "FLV transport";
            kind = CONTAINER_FLV;
        }
        // RTP is never recognised, and there is no processor for it: such a stream is
        // treated as unknown.
        if (!container) {
            // A file is what it is from its first byte; a live feed may begin with a stray
            // datagram, so recognition goes on with what follows.
            if (m_pInputParams->m_iSourceType != INPUT_SOURCE_NETWORK)
                return PIECE_UNKNOWN;
            if (m_llBytesSkipped == 0)
                fileLog("StreamDecoder: unrecognised input skipped until a transport stream or FLV comes\n");
            m_llBytesSkipped += length;
            return PIECE_TAKEN;
        }
        m_iState.store(DECODER_DECODING);
        std::string text(container);
        m_pMsgCallback->callMsgCallback(CB_TRANSPORT_TYPE, &text);
        m_pProcessor = createTransportProcessor(kind, duration);
        if (m_llBytesSkipped > 0) {
            fileLog("StreamDecoder: %lld bytes skipped before the input was recognised\n", m_llBytesSkipped);
            if (m_pProcessor)
                m_pProcessor->startAfterSkipped(m_llBytesSkipped);
        }
        for (int i = 0; m_pProcessor && i < m_iPendingGaps; ++i)
            m_pProcessor->reportInputGap(m_auiPendingGapMs[i]);
        m_iPendingGaps = 0;
    }
    return feedProcessor(piece, length) ? PIECE_TAKEN : PIECE_STOP;
}

StreamDecoder::PieceResult StreamDecoder::takeDatagrams(unsigned char* buffer, const UdpDatagramTable* table,
                                                        int duration)
{
    unsigned char* at = buffer;
    for (uint32_t i = 0; i < table->count; ++i) {
        const UdpDatagramRecord& r = table->records[i];
        if (r.gapMs > 0) {
            if (m_pProcessor)
                m_pProcessor->reportInputGap(r.gapMs);
            else if (m_iState.load() == DECODER_SNIFFING && m_iPendingGaps < MAX_PENDING_GAPS)
                m_auiPendingGapMs[m_iPendingGaps++] = r.gapMs;
        }
        PieceResult result = takePiece(at, r.length, duration);
        if (result != PIECE_TAKEN)
            return result;
        if (r.lostBytes > 0 && m_pProcessor)
            m_pProcessor->reportCutDatagram(r.lostBytes, r.length + r.lostBytes);
        at += r.length;
    }
    return PIECE_TAKEN;
}

std::string StreamDecoder::describeInput() const
{
    if (m_pInputParams->m_iSourceType == INPUT_SOURCE_FILE)
        return "input file " + m_pInputParams->m_sFileName;
    return "the input";
}

std::string StreamDecoder::describeSilentNetwork() const
{
    char group[16];
    char intf[16];
    formatIpAddress(m_pInputParams->m_uiIpAddr, group, sizeof(group));
    formatIpAddress(m_pInputParams->m_uiInterfaceIp, intf, sizeof(intf));
    return std::string("no datagram received on ") + group + ":" + std::to_string(m_pInputParams->m_usPort) +
           " (interface " + intf + ")";
}

int StreamDecoder::startDecodingMpegTs(unsigned char* buffer, long long length)
{
    if (!buffer || length < 1)
        return 0;
    if (m_iState.load() == DECODER_IDLE) {
        m_iState.store(DECODER_DECODING);
        std::string text("MPEG2 transport");
        m_pMsgCallback->callMsgCallback(CB_TRANSPORT_TYPE, &text);
        m_pProcessor = createTransportProcessor(CONTAINER_MPEG2TS, 0);
    }
    if (m_iState.load() != DECODER_DECODING)
        return 0;
    m_llBytesProcessed += length;
    if (!feedProcessor(buffer, length)) {
        shutDownDecoder();
        m_iState.store(DECODER_ENDED);
        return 3;
    }
    return 0;
}
