#ifndef KORBALT_ENGINE_PESPROCESSOR_H
#define KORBALT_ENGINE_PESPROCESSOR_H

#include "engine/mpeg2TransportStreamProcessor.h"

#include <cstdint>

class ElemStreamProcessor;

// Owns the PID of one elementary stream: gathers each PES header, counts PTS and DTS,
// hands the payload to the elementary processor chosen by stream_type, and at the end
// reports the counts and, for video, the constant-bit-rate verdict.
class PesProcessor : public Mpeg2TransportStreamProcessor {
public:
    static constexpr int HEADER_BUFFER_SIZE = 368;

    enum PesState {
        PES_GATHERING_HEADER = 0,
        PES_IGNORING = 1,        // bad start code, or no PES start seen yet
        PES_PASSING_PAYLOAD = 2
    };

    // Creates the elementary processor for the stream_type (none for a type without one)
    // and fires the stream type and description events.
    PesProcessor(MsgCallback* msgCallback, int pid, int streamType);
    // Deletes the elementary processor (its end reports), then fires the PTS and DTS counts
    // and, for video with at least two samples, the CBR verdict.
    ~PesProcessor() override;

    int processOwnTransportPacket(unsigned char* packet, long long length) override;
    // Passed on to the elementary processor.
    void endOfInput() override;
    void endOfRun() override;
    double calculateBitrateBps(double seconds) override;
    double calculateSampleBitrateBps(double seconds) override;

    // 0: start code and stream_id in; 1: PES_header_data_length in; 2: whole header in.
    bool checkCompleteness(int stage) const;

    int getStreamType() const { return m_iStreamType; }
    int getStreamId() const { return m_iStreamId; }
    int getPesState() const { return m_iPesState; }
    long long getPtsCount() const { return m_llPtsCount; }
    long long getDtsCount() const { return m_llDtsCount; }
    // Null for a stream_type without an elementary processor.
    ElemStreamProcessor* getElemStreamProcessor() const { return m_pElemStreamProcessor; }

private:
    bool isVideo() const { return m_iStreamType == 2 || m_iStreamType == 27; }
    void passPayload(unsigned char* data, long long n);

    int m_iSamplesToSkip;   // video sample bit rates are discarded while above 0
    int m_iSamplesTaken = 0;  // sample bit rates that went into the minimum and maximum
    int m_iPesState;
    int m_iStreamType;
    int m_iStreamId;        // 0 until the first PES header
    unsigned long long m_ullInvalidStartCodes = 0;  // for the log only
    unsigned long long m_ullStreamIdChanges = 0;
    long long m_llPtsCount;
    long long m_llDtsCount;
    int m_iGatheredLength;  // bytes in the header buffer
    int m_iHeaderLength;    // PES_header_data_length of the current header
    ElemStreamProcessor* m_pElemStreamProcessor;  // owned
    unsigned char m_aucHeaderBuffer[HEADER_BUFFER_SIZE];
};

#endif
