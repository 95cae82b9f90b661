#ifndef KORBALT_ENGINE_ELEMSTREAMPROCESSOR_H
#define KORBALT_ENGINE_ELEMSTREAMPROCESSOR_H

#include "engine/processor.h"

// Base of the processors that look inside one elementary stream. The PES processor hands
// the payload in, chunk by chunk; the processor keeps a short sliding window of the newest
// bytes and searches it for sync words or start codes.
class ElemStreamProcessor : public StreamProcessor {
public:
    static constexpr int WINDOW_SIZE = 564;  // three transport packets' worth
    // Longest piece appended at once: a header pending near the end of the window must
    // survive the slide that the next piece causes.
    static constexpr int MAX_SLICE = 188;
    // Bytes that may be read (never used) past the end of the window.
    static constexpr int WINDOW_SLACK = 64;

    explicit ElemStreamProcessor(MsgCallback* msgCallback);
    ~ElemStreamProcessor() override;

    // 1: no further sync point in the window; 2: a sync point whose header is not all in yet.
    int processRawBuff(unsigned char* data, long long n) override = 0;

    // Appends n bytes to the window. When they do not fit, the oldest bytes are dropped
    // (whatever n is, the newest bytes are kept) and the search position moves back with
    // them, never below 0.
    void addBitsToBuffer(const unsigned char* data, int n);

    // Set by the PES processor at each PES packet that carries the optional header.
    virtual void setPesStart() { m_ucPesStart = 1; }
    bool getPesStart() const { return m_ucPesStart != 0; }

    // Given by the PES processor at each PES header that carries a PTS, before its payload
    // is handed in. Only a processor that measures its rate from the time stamps keeps it.
    virtual void setPesTimestamp(unsigned long long pts) { (void)pts; }

    // The PES processor drops the sample bytes of spans it skips.
    void resetSampleByteCount() { m_ullSampleByteCount = 0; }
    unsigned long long getSampleByteCount() const { return m_ullSampleByteCount; }

    int getBufferLevel() const { return m_iBufferLevel; }
    int getSearchPosition() const { return m_iSearchPosition; }
    const unsigned char* getWindow() const { return m_aucWindow; }

protected:
    // Hands a chunk longer than MAX_SLICE to processRawBuff in pieces of MAX_SLICE bytes;
    // returns the last piece's result.
    int processInSlices(unsigned char* data, long long n);

    // addBitsToBuffer for a chunk of any length (only the newest WINDOW_SIZE bytes matter).
    void appendChunk(const unsigned char* data, long long n);

    // Adds n bytes to both the running and the sample byte count.
    void countBytes(long long n);

    // Fire a PidValueInfo or ValueUnitsInfo event. A null text is passed as "" so that no
    // callback ever builds a value from a missing text.
    void fireValue(_CallbackId id, int pid, const void* value);
    void fireText(_CallbackId id, int pid, const char* text);
    void fireValueUnits(_CallbackId id, int pid, const void* value, const char* units);
    void fireTextUnits(_CallbackId id, int pid, const char* text, const char* units);

    // Audio sync searches from the search position: twelve 1-bits (ADTS), eleven (MPEG
    // audio) or 0x0B77 (AC-3). Return the window index of the sync point or -1; a failed
    // search leaves the search position where it stopped.
    int searchForTwelveOnes();
    int searchForElevenOnes();
    int searchForAc3Sync();

    int m_iBufferLevel;      // valid bytes in the window, 0 to WINDOW_SIZE
    int m_iSearchPosition;   // where the next search starts
    unsigned char m_ucPesStart;
    // The window: WINDOW_SIZE bytes, oldest byte first, inside m_aucWindowStore. A slide
    // moves the pointer on while there is room behind the window and copies the kept bytes
    // back to the start of the store only when there is not.
    unsigned char* m_aucWindow;

private:
    static constexpr int WINDOW_STORE_SIZE = 16 * WINDOW_SIZE;
    // Readable bytes behind the last window position, so that a vector search never needs
    // a scalar tail (what it reads there is masked off).
    unsigned char m_aucWindowStore[WINDOW_STORE_SIZE + WINDOW_SLACK];

    int searchTwoByteSync(unsigned char first, unsigned char second, unsigned char secondMask);
};

// Base of the audio processors whose frames open with a sync word and a header that gives
// the frame's length (ADTS, MPEG audio, AC-3). The sync word turns up inside frame data too,
// so a header counts only when the next header stands where its frame length says, as a
// decoder locks on. The first header that passes is reported. A codec whose frames may change
// their bit rate (MPEG audio) is then followed from frame to frame by frame length, and its
// header is reported at the end of the run with the rate the frames carry; the others are not
// searched any further.
class FramedAudioProcessor : public ElemStreamProcessor {
public:
    // Headers waiting for the bytes where their next header should be.
    static constexpr int MAX_CANDIDATES = 8;
    // A free-format header whose like has not followed within this many bytes is given up.
    static constexpr int FREE_FORMAT_REACH = 8192;

    int processRawBuff(unsigned char* data, long long n) override;
    // A header whose frame ends where the input ends, or so near it that no header fits in
    // between, is the stream's last frame: nothing follows to confirm it, and nothing
    // contradicts it either.
    void endOfInput() override;
    // Reports the first header of a followed codec.
    void endOfRun() override;

    // Two bit rates, each carried by at least two confirmed frames. A rate on one frame alone
    // is no change: a damaged header, or an encoder's tag frame (LAME's Info) ahead of the rest.
    bool isVariableRate() const { return m_bVariableRate; }
    // The rate code that most confirmed frames carried; the first header's when none was
    // followed, or on a tie.
    int getPrevailingRateCode() const;

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
    // The code of the frame's bit rate, for a codec whose rate may change from frame to frame;
    // -1 (the default) for one that is not followed.
    virtual int rateCode(const unsigned char* h) const
    {
        (void)h;
        return -1;
    }
    // Frame length of the header at h were its rate code the given one; 0 when the codec is not
    // followed or that header would not be valid.
    virtual int frameLengthAtRate(const unsigned char* h, int code) const
    {
        (void)h;
        (void)code;
        return 0;
    }
    // Fills the codec's records from the confirmed header and fires its events.
    virtual void reportHeader(const unsigned char* h) = 0;

    int m_iPid;

private:
    enum Mode {
        FIND_FIRST,  // no header confirmed yet
        FOLLOW,      // hopping from frame to frame by frame length
        FIND_AGAIN,  // the chain broke: looking for the next confirmed header
        DONE         // nothing more to learn from the stream
    };

    struct Candidate {
        long long offset;  // of the sync word, counted from the first byte handed in
        int length;        // frame length; -1 free format
        bool matched;      // the next header was found where it belongs
        unsigned char header[8];
    };

    void addCandidate(int p);
    void checkCandidates();
    void confirm(const Candidate& c);
    // A frame there is the input's last: fewer bytes than a header follow it.
    bool endsInput(long long offset, int length) const;
    // Walks the chain through stream bytes [from, to), held from p on. -1 while it holds; else
    // the stream offset from which to search again.
    long long followFrames(const unsigned char* p, long long from, long long to);
    // A header that the next one confirmed: one frame of the stream, at that rate code.
    void countFrame(int code);

    int m_iHeaderBytes;
    long long m_llStreamBytes;  // bytes handed in so far
    int m_iCandidates;
    Candidate m_aCandidates[MAX_CANDIDATES];
    Mode m_eMode;
    bool m_bConfirmed;  // the first header is known
    bool m_bReported;
    bool m_bVariableRate;
    int m_iRatesOnTwoFrames;           // rate codes that two frames or more carried
    unsigned int m_auiRateFrames[16];  // confirmed frames by rate code
    unsigned char m_aucFirst[8];  // the first confirmed header
    // While following: the last header reached, whose successor is awaited, and the bytes of
    // that successor gathered so far (a header may straddle two chunks).
    long long m_llFollowAt;
    int m_iFollowLength;
    // While the header at m_llFollowAt is checked for a damaged rate field: its own frame length,
    // and the rate code before it, at whose length the next header is looked for; -1 otherwise.
    int m_iOwnLength;
    int m_iProbeRate;
    unsigned char m_aucFollow[8];
    unsigned char m_aucNext[8];
    int m_iNextHave;
};

#endif
