#include "engine/framedAudioProcessor.h"

#include <cstring>

FramedAudioProcessor::FramedAudioProcessor(MsgCallback* msgCallback, int pid, int headerBytes)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_iHeaderBytes(headerBytes), m_llStreamBytes(0),
      m_iCandidates(0), m_ucFirstHeader(1)
{
    memset(m_aCandidates, 0, sizeof(m_aCandidates));
}

int FramedAudioProcessor::processRawBuff(unsigned char* data, long long n)
{
    if (!m_ucFirstHeader || !data || n <= 0)
        return 1;
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
        if (!m_ucFirstHeader)
            return 1;
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
    const long long offset = m_llStreamBytes - m_iBufferLevel + p;
    if (length < 0) {
        // A free-format frame ends where the next header like it begins.
        for (int i = 0; i < m_iCandidates; ++i) {
            const Candidate& c = m_aCandidates[i];
            if (c.length < 0 && offset >= c.offset + m_iHeaderBytes && continues(c.header, h)) {
                confirm(c);
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
    memcpy(c.header, h, (size_t)m_iHeaderBytes);
}

void FramedAudioProcessor::checkCandidates()
{
    const long long windowStart = m_llStreamBytes - m_iBufferLevel;
    int best = -1;
    int kept = 0;
    for (int i = 0; i < m_iCandidates; ++i) {
        const Candidate& c = m_aCandidates[i];
        bool keep = true;
        if (c.length < 0) {
            keep = m_llStreamBytes - c.offset <= FREE_FORMAT_REACH;
        } else {
            const long long next = c.offset + c.length;
            if (next + m_iHeaderBytes <= m_llStreamBytes) {
                // Checked after every slice of at most MAX_SLICE bytes, so still in the window.
                const long long at = next - windowStart;
                keep = at >= 0 && frameLength(m_aucWindow + at) != 0 && continues(c.header, m_aucWindow + at);
                // Candidates are kept in stream order: the first confirmed is the earliest.
                if (keep && best < 0)
                    best = kept;
            }
        }
        if (keep)
            m_aCandidates[kept++] = c;
    }
    m_iCandidates = kept;
    if (best >= 0)
        confirm(m_aCandidates[best]);
}

void FramedAudioProcessor::confirm(const Candidate& c)
{
    Candidate confirmed = c;
    m_iCandidates = 0;
    m_ucFirstHeader = 0;
    reportHeader(confirmed.header);
}

void FramedAudioProcessor::endOfInput()
{
    if (!m_ucFirstHeader)
        return;
    for (int i = 0; i < m_iCandidates; ++i) {
        if (m_aCandidates[i].length > 0 && m_aCandidates[i].offset + m_aCandidates[i].length == m_llStreamBytes) {
            confirm(m_aCandidates[i]);
            return;
        }
    }
}
