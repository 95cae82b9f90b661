#include "engine/elemStreamProcessor.h"

#include <cstring>

ElemStreamProcessor::ElemStreamProcessor(MsgCallback* msgCallback)
    : StreamProcessor(msgCallback), m_iBufferLevel(0), m_iSearchPosition(0), m_ucPesStart(0),
      m_aucWindow(m_aucWindowStore)
{
    memset(m_aucWindowStore, 0, sizeof(m_aucWindowStore));
}

ElemStreamProcessor::~ElemStreamProcessor() = default;

void ElemStreamProcessor::addBitsToBuffer(const unsigned char* data, int n)
{
    if (!data || n <= 0)
        return;
    if (m_iBufferLevel + n <= WINDOW_SIZE) {
        memcpy(m_aucWindow + m_iBufferLevel, data, (size_t)n);
        m_iBufferLevel += n;
        return;
    }
    // Slide so that the newest WINDOW_SIZE bytes of (window + data) remain.
    long long drop = (long long)m_iBufferLevel + n - WINDOW_SIZE;
    if (n >= WINDOW_SIZE) {
        memcpy(m_aucWindow, data + (n - WINDOW_SIZE), WINDOW_SIZE);
    } else {
        int keep = WINDOW_SIZE - n;  // old bytes kept, the newest of them
        unsigned char* kept = m_aucWindow + (m_iBufferLevel - keep);
        if (kept + WINDOW_SIZE <= m_aucWindowStore + WINDOW_STORE_SIZE) {
            // The kept bytes stay where they are; the window starts at them.
            memcpy(kept + keep, data, (size_t)n);
            m_aucWindow = kept;
        } else {
            memmove(m_aucWindowStore, kept, (size_t)keep);
            memcpy(m_aucWindowStore + keep, data, (size_t)n);
            m_aucWindow = m_aucWindowStore;
        }
    }
    m_iBufferLevel = WINDOW_SIZE;
    long long pos = (long long)m_iSearchPosition - drop;
    m_iSearchPosition = pos < 0 ? 0 : (int)pos;
}

int ElemStreamProcessor::processInSlices(unsigned char* data, long long n)
{
    int result = 1;
    for (long long off = 0; off < n; off += MAX_SLICE) {
        long long len = n - off < MAX_SLICE ? n - off : MAX_SLICE;
        result = processRawBuff(data + off, len);
    }
    return result;
}

void ElemStreamProcessor::appendChunk(const unsigned char* data, long long n)
{
    if (!data || n <= 0)
        return;
    if (n > WINDOW_SIZE) {
        data += n - WINDOW_SIZE;
        // Everything held before is dropped along with the skipped part of the chunk.
        m_iSearchPosition = 0;
        m_iBufferLevel = 0;
        n = WINDOW_SIZE;
    }
    addBitsToBuffer(data, (int)n);
}

void ElemStreamProcessor::countBytes(long long n)
{
    if (n <= 0)
        return;
    m_llByteCount += n;
    m_ullSampleByteCount += (unsigned long long)n;
}

int ElemStreamProcessor::searchTwoByteSync(unsigned char first, unsigned char second,
                                           unsigned char secondMask)
{
    // Three bytes must follow the search position: the pair and one more.
    int limit = m_iBufferLevel - 2;
    if (m_iSearchPosition < 0)
        m_iSearchPosition = 0;
    int pos = m_iSearchPosition;
    if (pos >= limit)
        return -1;
    // memchr finds the candidates for the first byte far faster than a loop over bytes.
    const unsigned char* w = m_aucWindow;
    while (pos < limit) {
        const void* hit = memchr(w + pos, first, (size_t)(limit - pos));
        if (!hit)
            break;
        pos = (int)(static_cast<const unsigned char*>(hit) - w);
        if ((w[pos + 1] & secondMask) == second) {
            m_iSearchPosition = pos;
            return pos;
        }
        ++pos;
    }
    m_iSearchPosition = limit;
    return -1;
}

int ElemStreamProcessor::searchForTwelveOnes()
{
    return searchTwoByteSync(0xFF, 0xF0, 0xF0);
}

int ElemStreamProcessor::searchForElevenOnes()
{
    return searchTwoByteSync(0xFF, 0xE0, 0xE0);
}

int ElemStreamProcessor::searchForAc3Sync()
{
    return searchTwoByteSync(0x0B, 0x77, 0xFF);
}

void ElemStreamProcessor::fireValue(_CallbackId id, int pid, const void* value)
{
    if (!m_pMsgCallback)
        return;
    PidValueInfo info;
    info.pid = pid;
    info.value = const_cast<void*>(value);
    m_pMsgCallback->callMsgCallback(id, &info);
}

void ElemStreamProcessor::fireText(_CallbackId id, int pid, const char* text)
{
    fireValue(id, pid, text ? text : "");
}

void ElemStreamProcessor::fireValueUnits(_CallbackId id, int pid, const void* value,
                                         const char* units)
{
    if (!m_pMsgCallback)
        return;
    ValueUnitsInfo info;
    info.pid = pid;
    info.value = const_cast<void*>(value);
    info.units = units;
    m_pMsgCallback->callMsgCallback(id, &info);
}

void ElemStreamProcessor::fireTextUnits(_CallbackId id, int pid, const char* text,
                                        const char* units)
{
    fireValueUnits(id, pid, text ? text : "", units);
}

FramedAudioProcessor::FramedAudioProcessor(MsgCallback* msgCallback, int pid, int headerBytes)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_iHeaderBytes(headerBytes), m_llStreamBytes(0),
      m_iCandidates(0), m_eMode(FIND_FIRST), m_bConfirmed(false), m_bReported(false), m_bVariableRate(false),
      m_iRatesOnTwoFrames(0), m_llFollowAt(0), m_iFollowLength(0), m_iOwnLength(0), m_iProbeRate(-1),
      m_iNextHave(0)
{
    memset(m_aCandidates, 0, sizeof(m_aCandidates));
    memset(m_auiRateFrames, 0, sizeof(m_auiRateFrames));
    memset(m_aucFirst, 0, sizeof(m_aucFirst));
    memset(m_aucFollow, 0, sizeof(m_aucFollow));
    memset(m_aucNext, 0, sizeof(m_aucNext));
}

int FramedAudioProcessor::processRawBuff(unsigned char* data, long long n)
{
    if (m_eMode == DONE || !data || n <= 0)
        return 1;
    if (m_eMode == FOLLOW) {
        const long long from = m_llStreamBytes;
        m_llStreamBytes = from + n;
        // Most chunks hold no byte of a header.
        if (m_llFollowAt + m_iFollowLength + m_iNextHave >= m_llStreamBytes)
            return 1;
        const long long resume = followFrames(data, from, m_llStreamBytes);
        if (resume < 0)
            return 1;
        // Damage or a lost packet broke the chain: the search starts again after the header
        // that was expected, with nothing held from before.
        m_iCandidates = 0;
        m_iSearchPosition = 0;
        if (resume < from) {
            // That header began in the chunk before: its bytes after the first are searched too.
            m_iBufferLevel = (int)(from - resume);
            memcpy(m_aucWindow, m_aucNext + 1, (size_t)m_iBufferLevel);
            m_llStreamBytes = from;
        } else {
            m_iBufferLevel = 0;
            m_llStreamBytes = resume;
            data += resume - from;
            n -= resume - from;
            if (n <= 0)
                return 1;
        }
    }
    if (n > MAX_SLICE)
        return processInSlices(data, n);
    appendChunk(data, n);
    m_llStreamBytes += n;

    int result = 1;
    for (;;) {
        int p = findSync();
        if (p < 0)
            break;
        if (p + m_iHeaderBytes > m_iBufferLevel) {
            result = 2;
            break;
        }
        addCandidate(p);
        m_iSearchPosition = p + 1;
    }
    checkCandidates();
    return result;
}

void FramedAudioProcessor::addCandidate(int p)
{
    const unsigned char* h = m_aucWindow + p;
    const int length = frameLength(h);
    if (length == 0)
        return;
    // After a break, only what continues the stream found first.
    if (m_eMode == FIND_AGAIN && !continues(m_aucFirst, h))
        return;
    const long long offset = m_llStreamBytes - m_iBufferLevel + p;
    if (length < 0) {
        // A free-format frame ends where the next header like it begins.
        for (int i = 0; i < m_iCandidates; ++i) {
            Candidate& c = m_aCandidates[i];
            if (c.length < 0 && !c.matched && offset >= c.offset + m_iHeaderBytes && continues(c.header, h)) {
                c.matched = true;
                return;
            }
        }
    }
    // With every slot taken (noise), later headers wait for the next frame's turn.
    if (m_iCandidates == MAX_CANDIDATES)
        return;
    Candidate& c = m_aCandidates[m_iCandidates++];
    c.offset = offset;
    c.length = length;
    c.matched = false;
    memcpy(c.header, h, (size_t)m_iHeaderBytes);
}

void FramedAudioProcessor::checkCandidates()
{
    const long long windowStart = m_llStreamBytes - m_iBufferLevel;
    int best = -1;
    bool earlierOpen = false;
    int kept = 0;
    for (int i = 0; i < m_iCandidates; ++i) {
        Candidate& c = m_aCandidates[i];
        bool keep = true;
        if (c.length < 0) {
            keep = c.matched || m_llStreamBytes - c.offset <= FREE_FORMAT_REACH;
        } else if (!c.matched) {
            const long long next = c.offset + c.length;
            if (next + m_iHeaderBytes <= m_llStreamBytes) {
                // Checked after every slice of at most MAX_SLICE bytes, so still in the window.
                const long long at = next - windowStart;
                keep = c.matched =
                    at >= 0 && frameLength(m_aucWindow + at) != 0 && continues(c.header, m_aucWindow + at);
            }
        }
        if (!keep)
            continue;
        // Candidates are kept in stream order. The earliest that the next header confirms wins,
        // but not before every earlier one with a frame length has been checked: a sync word
        // inside the first frame, free format to the eye, is confirmed by its copy in the next
        // frame no sooner than the frame's own header is. An open free-format header holds
        // nothing up; it may wait thousands of bytes for its like.
        if (c.matched && !earlierOpen && best < 0)
            best = kept;
        else if (!c.matched && c.length > 0)
            earlierOpen = true;
        m_aCandidates[kept++] = c;
    }
    m_iCandidates = kept;
    if (best >= 0)
        confirm(m_aCandidates[best]);
}

void FramedAudioProcessor::confirm(const Candidate& c)
{
    m_iCandidates = 0;
    const bool first = m_eMode == FIND_FIRST;
    if (first) {
        m_bConfirmed = true;
        memcpy(m_aucFirst, c.header, sizeof(m_aucFirst));
        if (rateCode(c.header) < 0) {
            m_eMode = DONE;
            m_bReported = true;
            reportHeader(m_aucFirst);
            return;
        }
    }
    if (c.length < 0) {
        m_eMode = DONE;  // a free-format stream keeps its one rate
        return;
    }
    // Followed from this header on; its successor, which confirmed it, is still in the window,
    // and so may be a few frames more.
    m_eMode = FOLLOW;
    m_llFollowAt = c.offset;
    m_iFollowLength = c.length;
    m_iProbeRate = -1;
    memcpy(m_aucFollow, c.header, sizeof(m_aucFollow));
    m_iNextHave = 0;
    const long long windowStart = m_llStreamBytes - m_iBufferLevel;
    const long long resume = followFrames(m_aucWindow, windowStart, m_llStreamBytes);
    if (resume >= 0)
        m_iSearchPosition = resume > windowStart ? (int)(resume - windowStart) : 0;
}

long long FramedAudioProcessor::followFrames(const unsigned char* p, long long from, long long to)
{
    while (m_eMode == FOLLOW) {
        const long long next = m_llFollowAt + m_iFollowLength;
        const long long want = next + m_iNextHave;
        if (want >= to)
            return -1;  // not handed in yet
        if (want < from) {
            m_eMode = FIND_AGAIN;  // the bytes there have left the window
            return from;
        }
        const long long left = to - want;
        const int take = left < m_iHeaderBytes - m_iNextHave ? (int)left : m_iHeaderBytes - m_iNextHave;
        memcpy(m_aucNext + m_iNextHave, p + (want - from), (size_t)take);
        m_iNextHave += take;
        if (m_iNextHave < m_iHeaderBytes)
            return -1;
        m_iNextHave = 0;
        const int length = frameLength(m_aucNext);
        const bool chained = length > 0 && continues(m_aucFollow, m_aucNext);
        const int probeRate = m_iProbeRate;
        m_iProbeRate = -1;
        if (!chained) {
            if (probeRate >= 0) {
                // Nothing stands at the rate before: the frame is as long as its header says.
                m_iFollowLength = m_iOwnLength;
                continue;
            }
            m_eMode = FIND_AGAIN;
            return next + 1;
        }
        // The frame counts at its header's rate, or at the rate before when a header continued
        // the chain where that rate ends it: its rate field was damaged.
        const int rate = probeRate >= 0 ? probeRate : rateCode(m_aucFollow);
        countFrame(rate);
        m_llFollowAt = next;
        m_iFollowLength = length;
        // A bit flipped in the rate field can double a frame's length, and the hop then lands on
        // a real header two frames on. So a frame longer than it would be at the rate before is
        // first looked at where that rate ends it.
        if (rateCode(m_aucNext) != rate) {
            const int atRate = frameLengthAtRate(m_aucNext, rate);
            if (atRate > 0 && atRate < length) {
                m_iFollowLength = atRate;
                m_iOwnLength = length;
                m_iProbeRate = rate;
            }
        }
        memcpy(m_aucFollow, m_aucNext, sizeof(m_aucFollow));
    }
    return -1;
}

void FramedAudioProcessor::countFrame(int code)
{
    unsigned int& frames = m_auiRateFrames[code & 15];
    if (frames < 0xFFFFFFFFu)
        ++frames;
    if (frames == 2 && ++m_iRatesOnTwoFrames == 2) {
        m_bVariableRate = true;
        m_eMode = DONE;  // the verdict cannot change back
    }
}

int FramedAudioProcessor::getPrevailingRateCode() const
{
    int best = rateCode(m_aucFirst) & 15;
    for (int code = 0; code < 16; ++code) {
        if (m_auiRateFrames[code] > m_auiRateFrames[best])
            best = code;
    }
    return best;
}

bool FramedAudioProcessor::endsInput(long long offset, int length) const
{
    if (length <= 0)
        return false;
    const long long end = offset + length;
    return end <= m_llStreamBytes && m_llStreamBytes - end < m_iHeaderBytes;
}

void FramedAudioProcessor::endOfInput()
{
    if (m_eMode == FOLLOW) {
        if (endsInput(m_llFollowAt, m_iFollowLength))
            countFrame(m_iProbeRate >= 0 ? m_iProbeRate : rateCode(m_aucFollow));
        m_eMode = DONE;
        return;
    }
    if (m_eMode != FIND_FIRST && m_eMode != FIND_AGAIN)
        return;
    // The earliest that was confirmed, or whose frame ends the input; those still open before
    // it can no longer be.
    for (int i = 0; i < m_iCandidates; ++i) {
        const Candidate& c = m_aCandidates[i];
        if (c.matched || endsInput(c.offset, c.length)) {
            if (m_eMode == FIND_FIRST) {
                confirm(c);
            } else {
                m_iCandidates = 0;
                countFrame(rateCode(c.header));
            }
            break;
        }
    }
    m_eMode = DONE;
}

void FramedAudioProcessor::endOfRun()
{
    if (!m_bConfirmed || m_bReported)
        return;
    m_bReported = true;
    reportHeader(m_aucFirst);
}
