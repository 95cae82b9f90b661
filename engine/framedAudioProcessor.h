#ifndef KORBALT_ENGINE_FRAMEDAUDIOPROCESSOR_H
#define KORBALT_ENGINE_FRAMEDAUDIOPROCESSOR_H

#include "engine/elemStreamProcessor.h"

// Base of the audio processors whose frames open with a sync word and a header that gives
// the frame's length (ADTS, MPEG audio, AC-3). The sync word turns up inside frame data too,
// so a header counts only when the next header stands where its frame length says, as a
// decoder locks on. The first header that passes is reported; after it the stream is not
// searched any further.
class FramedAudioProcessor : public ElemStreamProcessor {
public:
    // Headers waiting for the bytes where their next header should be.
    static constexpr int MAX_CANDIDATES = 8;
    // A free-format header whose like has not followed within this many bytes is given up.
    static constexpr int FREE_FORMAT_REACH = 8192;

    int processRawBuff(unsigned char* data, long long n) override;
    // A header whose frame ends exactly where the input ends is the stream's last frame:
    // nothing follows to confirm it, and nothing contradicts it either.
    void endOfInput() override;

    bool isFirstHeaderPending() const { return m_ucFirstHeader != 0; }

protected:
    // headerBytes: bytes from the sync word that frameLength and continues read.
    FramedAudioProcessor(MsgCallback* msgCallback, int pid, int headerBytes);

    // The codec's sync search from the search position (see ElemStreamProcessor).
    virtual int findSync() = 0;
    // Frame length in bytes of the header at h (sync word included), 0 when the bytes are no
    // valid header, -1 for a free-format MPEG audio header.
    virtual int frameLength(const unsigned char* h) const = 0;
    // Whether next, a valid header, belongs to the same stream as h: the fields that stay the
    // same from frame to frame are equal.
    virtual bool continues(const unsigned char* h, const unsigned char* next) const = 0;
    // Fills the codec's records from the confirmed header and fires its events.
    virtual void reportHeader(const unsigned char* h) = 0;

    int m_iPid;

private:
    struct Candidate {
        long long offset;  // of the sync word, counted from the first byte handed in
        int length;        // frame length; -1 free format
        unsigned char header[8];
    };

    void addCandidate(int p);
    void checkCandidates();
    void confirm(const Candidate& c);

    int m_iHeaderBytes;
    long long m_llStreamBytes;  // bytes handed in so far
    int m_iCandidates;
    Candidate m_aCandidates[MAX_CANDIDATES];
    unsigned char m_ucFirstHeader;
};

#endif
