#ifndef KORBALT_ENGINE_H264PROCESSOR_H
#define KORBALT_ENGINE_H264PROCESSOR_H

#include "engine/videoProcessor.h"
#include "syntax/seqParSet.h"
#include "syntax/slice.h"

// H.264 video in Annex B byte-stream form (stream type 27): walks the NAL units in the
// window, removes emulation-prevention bytes, reads sequence parameter sets, slice headers and
// SEI messages, fires the video events and feeds the GOP and caption record of VideoProcessor.
//
// A NAL unit is read only once the bytes it needs are in the window: the whole unit (up to
// the next start code) for an SPS or an SEI, enough bytes for the fields read for a slice. A
// chunk is taken into the window in pieces small enough that no byte not yet examined is
// pushed out; a unit too large for the window is read from what the window holds (an SEI
// message that does not fit is skipped).
class H264Processor : public VideoProcessor {
public:
    static const int RBSP_BUFFER_SIZE = WINDOW_SIZE;

    H264Processor(MsgCallback* msgCallback, int pid);
    // GOP structure and GOP payload, the access unit count to the log, then VideoProcessor's
    // events.
    ~H264Processor() override;

    int processRawBuff(unsigned char* data, long long n) override;

    // A PTS not yet given to a picture belongs to the PES packet before: it is dropped.
    void setPesStart() override
    {
        VideoProcessor::setPesStart();
        m_ucPesPtsPending = 0;
    }
    // The PTS belongs to the first picture that begins at or after the PES header's byte.
    void setPesTimestamp(unsigned long long pts) override
    {
        m_ullPesPts = pts;
        m_llPesPtsOffset = m_llByteCount;
        m_ucPesPtsPending = 1;
    }

    // Same effect as addBitsToBuffer.
    void addRbspBitsToBuffer(const unsigned char* data, int n);

    // Copies window bytes [start, end) into the RBSP buffer, dropping each 0x03 that follows
    // two 0x00 bytes; returns the RBSP length. end is clamped to the fill level.
    int removeEmulationByte(int start, int end);

    const SequenceParameterSet& getSequenceParameterSet() const { return m_SequenceParameterSet; }
    const SliceHeader& getSliceHeader() const { return m_SliceHeader; }
    bool isSpsSeen() const { return m_ucSpsSeen != 0; }
    int getAccessUnitDelimiterCount() const { return m_iAccessUnitDelimiterCount; }
    int getUnusableSpsCount() const { return m_iUnusableSpsCount; }
    const unsigned char* getRbspBuffer() const { return m_aucRbspBuffer; }
    int getRbspLength() const { return m_iRbspLength; }

protected:
    void processSliceHeader(const unsigned char* rbsp, int length, bool spsSeen, bool idr);
    // Walks the messages of one SEI NAL unit held in the RBSP buffer.
    void processSeiMessage();

private:
    // An intra frame at a random access point (IDR, or a sequence parameter set or recovery
    // point before it) begins a GOP.
    void recordFrame(const CodedPicture& picture) override;
    // A picture begins at m_llNalOffset: counted, and given the PTS of its PES, if any.
    void takePicturePts();
    // Without a rate in the parameter sets, the one the picture time stamps give, if any.
    void fireMeasuredFrameRate();

    // Scans the window from the search position and handles every NAL unit that can be read.
    // 1: nothing pending; 2: a NAL unit at the search position waits for more bytes.
    int scanNalUnits();
    // Handles the NAL unit at p; false when it must wait for more bytes.
    bool handleNalUnit(int p);
    // Window index of the next 00 00 01 in [from, limit), or -1.
    int findNextStartCode(int from, int limit) const;
    void handleSps(int rbspLength);
    void processItuT35(const unsigned char* payload, int size);

    SequenceParameterSet m_SequenceParameterSet;  // the last usable SPS
    SliceHeader m_SliceHeader;
    unsigned char m_ucSpsSeen;
    unsigned char m_ucSpsJustSeen;
    int m_iAccessUnitDelimiterCount;
    int m_iSeiOffset;    // read position in the RBSP buffer during an SEI walk; 0 otherwise
    int m_iRbspLength;
    int m_iUnusableSpsCount;
    unsigned char m_ucRecoveryPointSeen;  // a recovery point SEI since the last picture
    unsigned char m_ucFrameRateKnown;     // a parameter set gave the frame rate
    unsigned char m_ucFrameRateMeasured;  // the time stamps were looked at
    unsigned char m_ucPesPtsPending;  // the last PES PTS is not yet given to a picture
    unsigned long long m_ullPesPts;
    long long m_llPesPtsOffset;       // byte count at its PES header
    long long m_llWindowEnd;   // stream offset of the byte after the window's last
    long long m_llNalOffset;   // stream offset of the slice being read
    long long m_llPictureCount;  // frames and first fields, in decode order
    static const int PTS_SAMPLES = 64;
    int m_iPtsSampleCount;
    unsigned long long m_aullPicturePts[PTS_SAMPLES];
    long long m_allPtsPicture[PTS_SAMPLES];  // the picture count at each sample
    unsigned char m_aucRbspBuffer[RBSP_BUFFER_SIZE];
};

#endif
