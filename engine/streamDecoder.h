#ifndef KORBALT_ENGINE_STREAMDECODER_H
#define KORBALT_ENGINE_STREAMDECODER_H

#include "engine/msgCallback.h"

#include <atomic>
#include <csignal>
#include <string>

class InputParams;
class StreamSrcAsynch;
class ContentType;
class Processor;
struct UdpDatagramTable;

// Drives one analysis on the calling thread: starts the source, recognises the container on
// the first buffer, feeds every buffer to the container processor and ends the run in order.
class StreamDecoder {
public:
    enum {
        DECODER_IDLE = 0,
        DECODER_SNIFFING = 1,
        DECODER_DECODING = 2,
        DECODER_ENDED = 3
    };
    // Results of startDecoding.
    enum {
        DECODE_SOURCE_FAILED = 0,     // the source could not be started
        DECODE_UNKNOWN_CONTAINER = 1, // neither a transport stream nor FLV (or no data at all)
        DECODE_PROCESSOR_STOP = 2,    // the processor asked to stop (duration reached)
        DECODE_ENDED = 3              // end of input, abort, or a failed read
    };
    // Containers the decoder makes a processor for.
    enum ContainerKind {
        CONTAINER_MPEG2TS = 0,
        CONTAINER_FLV = 1
    };

    StreamDecoder(InputParams& params, MsgCallback* registry);
    // Push mode only (startDecodingMpegTs): no source, no sniffers.
    explicit StreamDecoder(MsgCallback* registry);
    virtual ~StreamDecoder();
    StreamDecoder(const StreamDecoder&) = delete;
    StreamDecoder& operator=(const StreamDecoder&) = delete;

    bool initStreamSource();
    int startDecoding(int duration);
    // Ends the run at the loop's next turn. Returns 3.
    int abortDecoding();
    int shutDownDecoder();
    int startDecodingMpegTs(unsigned char* buffer, long long length);

    // Abort request of the process, for a signal handler: it stores a flag and touches no
    // decoder, so it is harmless before a decoder exists or after it is deleted. Every
    // decoder reads it once per turn (also while starting and sniffing), so a request made
    // before startDecoding is not lost. Nothing clears it but clearAbortRequest.
    static void requestAbort();
    static void clearAbortRequest();
    static bool isAbortRequested();

    int getState() const { return m_iState.load(); }
    long long getBytesProcessed() const { return m_llBytesProcessed; }
    // Live input skipped before the container was recognised.
    long long getBytesSkipped() const { return m_llBytesSkipped; }
    // One line (without a program prefix) when the run failed: the input could not be
    // opened or read, the source not started, or the input is neither a transport stream
    // nor FLV. Empty otherwise; an abort is not a failure.
    const std::string& getFailureText() const { return m_sFailureText; }
    Processor* getProcessor() { return m_pProcessor; }
    StreamSrcAsynch* getSource() { return m_pSource; }

protected:
    // The container processor for a recognised first buffer; overridden in tests.
    virtual Processor* createTransportProcessor(ContainerKind kind, int duration);

private:
    void makeDestroySniffers(bool make);
    bool abortPending() const;
    // Feeds one buffer; false when the processor asked to stop.
    bool feedProcessor(unsigned char* buffer, long long length);
    // What became of a piece of the input.
    enum PieceResult { PIECE_TAKEN, PIECE_STOP, PIECE_UNKNOWN };
    // Recognises the container on the first piece, or on a live input the first piece that
    // is one (the others are skipped), then feeds the processor.
    PieceResult takePiece(unsigned char* piece, long long length, int duration);
    // A buffer of a source that keeps its datagrams apart: each one is a piece, and the
    // gaps and cut datagrams that the reader recorded go to the processor on the way.
    PieceResult takeDatagrams(unsigned char* buffer, const UdpDatagramTable* table, int duration);
    void reportPercent(int& lastPercent);
    // "input file NAME", or "the input" for the network.
    std::string describeInput() const;
    // "no datagram received on GROUP:PORT (interface ADDRESS)"
    std::string describeSilentNetwork() const;

    std::atomic<int> m_iState;
    std::atomic<bool> m_bAbort;  // this decoder's own abort request, kept apart from the state
    InputParams* m_pInputParams;  // own copy
    StreamSrcAsynch* m_pSource;
    ContentType* m_pMpeg2TsSniffer;
    ContentType* m_pFlvSniffer;
    ContentType* m_pRtpSniffer;
    MsgCallback* m_pMsgCallback;  // not owned
    Processor* m_pProcessor;
    long long m_llBytesProcessed;
    long long m_llBytesSkipped;  // live input not recognised before the container was
    // Silences between datagrams that came before the container was recognised: reported
    // once there is a processor to report them.
    static constexpr int MAX_PENDING_GAPS = 16;
    uint32_t m_auiPendingGapMs[MAX_PENDING_GAPS];
    int m_iPendingGaps;
    std::string m_sFailureText;

    // Lock-free, so a signal handler may store it; atomic, so other threads may too.
    static std::atomic<sig_atomic_t> s_iAbortRequest;
};

#endif
