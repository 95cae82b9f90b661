#include "engine/videoProcessor.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

VideoProcessor::VideoProcessor(MsgCallback* msgCallback, int pid)
    : ElemStreamProcessor(msgCallback), m_iPid(pid), m_iStartCodeCount(0), m_iPictureWidth(0),
      m_iPictureHeight(0), m_iFieldCount(0), m_iFrameCount(0), m_iGopPictureCount(0),
      m_iGopSequenceLength(0), m_iLastGopSize(0), m_iGopCountdown(3), m_ucAdaptive(0), m_ucOpen(0),
      m_bBitrateMeasured(false)
{
    memset(m_aucPictureTypes, NO_PICTURE_TYPE, sizeof(m_aucPictureTypes));
    memset(&m_ClosedCaptionInfo, 0, sizeof(m_ClosedCaptionInfo));
    memset(&m_AtscDataHeader, 0, sizeof(m_AtscDataHeader));
    memset(&m_AtscData, 0, sizeof(m_AtscData));
    memset(m_acValueText, 0, sizeof(m_acValueText));
}

VideoProcessor::~VideoProcessor()
{
    // Without a PCR span (fewer than two PCRs) no rate was measured: a 0.00 would read as
    // a silent stream, so nothing is reported, as for the PES and multiplex rates.
    if (m_bBitrateMeasured)
        fireValueUnits(CB_MPEG2TS_ELM_STREAM_BITRATE, m_iPid, &m_dBitrate, "bps");

    m_ClosedCaptionInfo.pid = m_iPid;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_CC, &m_ClosedCaptionInfo);

    fireText(CB_MPEG2TS_OPEN_CLOSED_GOP, m_iPid, m_ucOpen ? "true" : "false");
    fireText(CB_MPEG2TS_ADAPTIVE_GOP, m_iPid, m_ucAdaptive ? "true" : "false");
    fireValue(CB_MPEG2TS_GOP_SIZE, m_iPid, &m_iLastGopSize);
    fireValue(CB_MPEG2TS_FIELD_COUNT, m_iPid, &m_iFieldCount);
    fireValue(CB_MPEG2TS_FRAME_COUNT, m_iPid, &m_iFrameCount);
}

double VideoProcessor::calculateBitrateBps(double seconds)
{
    m_bBitrateMeasured = seconds > 0;
    return ElemStreamProcessor::calculateBitrateBps(seconds);
}

int VideoProcessor::searchForStartCodePrefix()
{
    return scanForStartCodePrefix(nullptr);
}

namespace {

// slice_start_code values.
inline bool isSliceCode(unsigned char value)
{
    return value >= 0x01 && value <= 0xAF;
}

#if defined(__SSE2__)
// Bit k set when p[k] == c, for k in 0..63.
inline uint64_t byteMask64(const unsigned char* p, __m128i c)
{
    uint64_t m0 = (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), c));
    uint64_t m1 =
        (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), c));
    uint64_t m2 =
        (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), c));
    uint64_t m3 =
        (unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), c));
    return m0 | (m1 << 16) | (m2 << 32) | (m3 << 48);
}
#endif

// First pos in [from, limit) where 00 00 01 begins, or -1; capacity is the number of bytes
// readable from w. A step reads 64 bytes and decides the 62 positions whose three bytes
// are all in them: pairs of zeros first, the 01 only where there are some. Bytes read past
// limit may be stale: the positions they could make are masked off. Near the end of what
// may be read, one position at a time. With skipSlices a prefix whose value byte (pos + 3,
// inside the fill level since pos < limit) is a slice's is passed over.
// Measured and dropped: an AVX-512 step (no faster than AVX2 on a whole run); one AVX-512
// step that tests prefix and value byte without branches, reading from the caller's copy of
// the newest chunk instead of the window just written (no faster on a 1 GB page-cached run).
int findStartCodePrefixSse2(const unsigned char* w, int from, int limit, int capacity, bool skipSlices)
{
    int i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const uint64_t all = (1ull << 62) - 1;
    for (; i < limit && i + 64 <= capacity; i += 62) {
        uint64_t zeros = byteMask64(w + i, zero);
        uint64_t m = zeros & (zeros >> 1);
        const int left = limit - i;
        m &= left >= 62 ? all : (1ull << left) - 1;
        if (!m)
            continue;
        m &= byteMask64(w + i, one) >> 2;
        for (; m; m &= m - 1) {
            const int p = i + __builtin_ctzll(m);
            if (!skipSlices || !isSliceCode(w[p + 3]))
                return p;
        }
    }
#else
    (void)capacity;
#endif
    for (; i < limit; ++i) {
        if (w[i + 2] == 1 && w[i + 1] == 0 && w[i] == 0 && !(skipSlices && isSliceCode(w[i + 3])))
            return i;
    }
    return -1;
}

#if defined(__x86_64__)
// The same steps on two 32-byte vectors instead of four 16-byte ones: a whole run takes a
// few percent less.
__attribute__((target("avx2"))) int findStartCodePrefixAvx2(const unsigned char* w, int from, int limit,
                                                           int capacity, bool skipSlices)
{
    int i = from;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi8(1);
    const uint64_t all = (1ull << 62) - 1;
    for (; i < limit && i + 64 <= capacity; i += 62) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + i + 32));
        uint64_t zeros = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, zero)) |
                         (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, zero)) << 32;
        uint64_t m = zeros & (zeros >> 1);
        const int left = limit - i;
        m &= left >= 62 ? all : (1ull << left) - 1;
        if (!m)
            continue;
        const uint64_t ones = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, one)) |
                              (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, one)) << 32;
        m &= ones >> 2;
        for (; m; m &= m - 1) {
            const int p = i + __builtin_ctzll(m);
            if (!skipSlices || !isSliceCode(w[p + 3]))
                return p;
        }
    }
    for (; i < limit; ++i) {
        if (w[i + 2] == 1 && w[i + 1] == 0 && w[i] == 0 && !(skipSlices && isSliceCode(w[i + 3])))
            return i;
    }
    return -1;
}

bool cpuHasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}
#else
bool cpuHasAvx2()
{
    return false;
}
#endif

// The wide steps where the processor has them; tests turn them off to check the narrow ones.
std::atomic<bool> g_bWideSearch(cpuHasAvx2());

int findStartCodePrefix(const unsigned char* w, int from, int limit, int capacity, bool skipSlices)
{
#if defined(__x86_64__)
    if (g_bWideSearch.load(std::memory_order_relaxed))
        return findStartCodePrefixAvx2(w, from, limit, capacity, skipSlices);
#endif
    return findStartCodePrefixSse2(w, from, limit, capacity, skipSlices);
}

}  // namespace

bool VideoProcessor::setWideSearch(bool on)
{
    const bool available = cpuHasAvx2();
    g_bWideSearch.store(on && available, std::memory_order_relaxed);
    return !on || available;
}

int VideoProcessor::scanForStartCodePrefix(unsigned int* byteCounter, bool skipSliceCodes)
{
    if (m_iSearchPosition < 0)
        m_iSearchPosition = 0;
    // A start code at pos needs its value byte at pos + 3 inside the window.
    const int limit = m_iBufferLevel - 3;
    const int start = m_iSearchPosition;
    if (start >= limit)
        return -1;
    // The first prefix from the search position is the one the three-byte stepping of the
    // search would stop on; the stepping only skips positions where none can begin. The
    // bytes stepped over up to it are therefore its distance, whatever the steps were. A
    // failed search stops at limit, the first position that still needs more bytes.
    const int found = findStartCodePrefix(m_aucWindow, start, limit, WINDOW_SIZE + WINDOW_SLACK, skipSliceCodes);
    const int pos = found >= 0 ? found : limit;
    if (byteCounter)
        *byteCounter += (unsigned int)(pos - start);
    m_iSearchPosition = pos;
    return found;
}

int VideoProcessor::findGopSequence()
{
    int n = m_iGopPictureCount;
    // Only the recorded entries can be compared.
    if (n > PICTURE_TYPE_LIST_SIZE)
        n = PICTURE_TYPE_LIST_SIZE;
    if (n <= 0)
        return 0;  // nothing counted: the pattern is not known yet
    if (n == 1)
        return 1;
    if (n == 2)
        return 2;  // two pictures: the pattern is both of them
    const unsigned char* t = m_aucPictureTypes;
    int i = 1;
    while (i < n - 1 && t[i] == t[i + 1])
        i++;
    if (i == n - 1)
        return 1;  // one type after the first picture
    int half = n / 2;
    if (half <= i)
        return i + 1;
    int p = i;
    while (p < half) {
        // 2p <= n - 1 here, so both runs lie inside [1, n).
        if (memcmp(t + 1, t + 1 + p, (size_t)p) == 0)
            break;
        p++;
    }
    return p + 1;
}

void VideoProcessor::buildTypeText(char* text, int size, int count,
                                   const char* (*describe)(int)) const
{
    if (!text || size <= 0)
        return;
    memset(text, 0, (size_t)size);
    if (count > PICTURE_TYPE_LIST_SIZE)
        count = PICTURE_TYPE_LIST_SIZE;
    for (int k = 0; k < count && k < size - 1; k++) {
        const char* d = describe ? describe(m_aucPictureTypes[k]) : nullptr;
        if (!d || !*d)
            d = "?";
        // Whole description at position k; later entries overwrite all but its first letter.
        size_t room = (size_t)(size - 1 - k);
        size_t len = strlen(d);
        if (len > room)
            len = room;
        memcpy(text + k, d, len);
        text[k + len] = '\0';
    }
}

void VideoProcessor::recordPictureType(unsigned char type)
{
    if (m_iGopPictureCount >= 0 && m_iGopPictureCount < PICTURE_TYPE_LIST_SIZE)
        m_aucPictureTypes[m_iGopPictureCount] = type;
    m_iGopPictureCount++;
}

void VideoProcessor::endGop()
{
    if (m_iGopCountdown == 0 && m_iLastGopSize != 0 && m_iLastGopSize != m_iGopPictureCount)
        m_ucAdaptive = 1;
    m_iLastGopSize = m_iGopPictureCount;
    m_iGopPictureCount = 0;
}

void VideoProcessor::detectCaption(const AtscData& data)
{
    if (!data.cc_valid)
        return;
    if (data.cc_type == 0 || data.cc_type == 1)
        m_ClosedCaptionInfo.atscEia608 = true;
    else if (data.cc_type == 2 || data.cc_type == 3)
        m_ClosedCaptionInfo.atscEia708 = true;
}

void VideoProcessor::fireTextEvent(_CallbackId id, const char* text)
{
    if (!text)
        return;
    memset(m_acValueText, 0, sizeof(m_acValueText));
    strncpy(m_acValueText, text, sizeof(m_acValueText) - 1);
    fireValue(id, m_iPid, m_acValueText);
}

void VideoProcessor::fireFormattedEvent(_CallbackId id, const char* format, ...)
{
    memset(m_acValueText, 0, sizeof(m_acValueText));
    va_list args;
    va_start(args, format);
    vsnprintf(m_acValueText, sizeof(m_acValueText), format, args);
    va_end(args);
    fireValue(id, m_iPid, m_acValueText);
}

void VideoProcessor::fireGopTexts(const char* (*describe)(int))
{
    // One letter per entry plus the last description and the terminator.
    char text[PICTURE_TYPE_LIST_SIZE + 32];
    buildTypeText(text, sizeof(text), m_iGopSequenceLength, describe);
    fireValue(CB_MPEG2TS_GOP_STRUCT, m_iPid, text);

    int recorded = 0;
    while (recorded < PICTURE_TYPE_LIST_SIZE && m_aucPictureTypes[recorded] != NO_PICTURE_TYPE)
        recorded++;
    buildTypeText(text, sizeof(text), recorded, describe);
    fireValue(CB_MPEG2TS_GOP_PAYLOAD, m_iPid, text);
}
