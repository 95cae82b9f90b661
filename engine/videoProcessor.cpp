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
      m_iGopSequenceLength(0), m_iLastGopSize(0), m_ucAdaptive(0), m_ucOpen(0), m_ucGopStarted(0),
      m_ucCountingLeading(0), m_iLeadingPictures(0), m_iPendingGopSize(-1), m_iSettledGops(0),
      m_iRecordedGops(0), m_iGopTypeCount(0), m_bFieldPending(false), m_bPendingBottom(false),
      m_uiPendingFieldId(0), m_PendingField(), m_bBitrateMeasured(false)
{
    memset(m_aucPictureTypes, NO_PICTURE_TYPE, sizeof(m_aucPictureTypes));
    memset(m_aucGopTypes, NO_PICTURE_TYPE, sizeof(m_aucGopTypes));
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
    const int n = m_iGopTypeCount;
    if (n <= 0)
        return 0;  // no whole GOP recorded: not known
    if (n == 1)
        return 1;
    const unsigned char* t = m_aucGopTypes;
    int i = 1;
    while (i < n - 1 && t[i] == t[i + 1])
        i++;
    if (i == n - 1)
        return t[1] == t[0] ? 1 : 2;  // intra only (I), or one other type throughout (IP)
    // A period shorter than the first run cannot hold it.
    for (int p = i; 2 * p <= n - 1; p++) {
        if (memcmp(t + 1, t + 1 + p, (size_t)(n - 1 - p)) == 0)
            return p + 1;
    }
    return n;  // nothing repeats: the GOP itself
}

void VideoProcessor::buildTypeText(char* text, int size, int count,
                                   const char* (*describe)(int)) const
{
    buildTypeText(m_aucPictureTypes, text, size, count, describe);
}

void VideoProcessor::buildTypeText(const unsigned char* types, char* text, int size, int count,
                                   const char* (*describe)(int))
{
    if (!text || size <= 0)
        return;
    memset(text, 0, (size_t)size);
    if (count > PICTURE_TYPE_LIST_SIZE)
        count = PICTURE_TYPE_LIST_SIZE;
    for (int k = 0; k < count && k < size - 1; k++) {
        const char* d = describe ? describe(types[k]) : nullptr;
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

void VideoProcessor::beginGop()
{
    if (m_ucGopStarted) {
        // A GOP made only of its first picture and leading ones: those were the successor's
        // leading pictures for the GOP before it.
        if (m_iPendingGopSize >= 0)
            settlePendingGop();
        m_iPendingGopSize = m_iGopPictureCount - m_iLeadingPictures;
        if (m_iGopSequenceLength == 0 && m_iGopPictureCount > 0) {
            int n = m_iGopPictureCount < PICTURE_TYPE_LIST_SIZE ? m_iGopPictureCount : PICTURE_TYPE_LIST_SIZE;
            memcpy(m_aucGopTypes, m_aucPictureTypes, (size_t)n);
            m_iGopTypeCount = n;
            // The first GOP may differ from the rest (a closed start of an open-GOP stream).
            if (++m_iRecordedGops >= 2)
                m_iGopSequenceLength = findGopSequence();
        }
    }
    m_ucGopStarted = 1;
    m_ucCountingLeading = 1;
    m_iLeadingPictures = 0;
    m_iGopPictureCount = 0;
}

void VideoProcessor::recordGopPicture(unsigned char type, bool isB)
{
    if (!m_ucGopStarted)
        return;
    if (m_iGopPictureCount > 0 && m_ucCountingLeading) {
        if (isB) {
            m_iLeadingPictures++;
        } else {
            m_ucCountingLeading = 0;
            if (m_iPendingGopSize >= 0)
                settlePendingGop();
        }
    }
    if (m_iGopPictureCount >= 0 && m_iGopPictureCount < PICTURE_TYPE_LIST_SIZE)
        m_aucPictureTypes[m_iGopPictureCount] = type;
    m_iGopPictureCount++;
}

void VideoProcessor::addFramePicture(const CodedPicture& picture)
{
    flushPendingField();
    recordFrame(picture);
}

bool VideoProcessor::addFieldPicture(const CodedPicture& picture, bool bottom, unsigned int id)
{
    if (m_bFieldPending && bottom != m_bPendingBottom && id == m_uiPendingFieldId) {
        m_bFieldPending = false;
        CodedPicture frame = m_PendingField;
        // A frame of an I field and a P field is an I frame, whichever field comes first. Whether
        // it is a B picture stays the first field's word.
        if (picture.intra && !frame.intra)
            frame.type = picture.type;
        frame.intra = frame.intra || picture.intra;
        frame.idr = frame.idr || picture.idr;
        frame.randomAccess = frame.randomAccess || picture.randomAccess;
        recordFrame(frame);
        return true;
    }
    flushPendingField();  // a field without its pair
    m_bFieldPending = true;
    m_bPendingBottom = bottom;
    m_uiPendingFieldId = id;
    m_PendingField = picture;
    return false;
}

void VideoProcessor::flushPendingField()
{
    if (!m_bFieldPending)
        return;
    m_bFieldPending = false;
    recordFrame(m_PendingField);
}

void VideoProcessor::settlePendingGop()
{
    const int size = m_iPendingGopSize + m_iLeadingPictures;
    m_iPendingGopSize = -1;
    // The first GOP is not compared: a stream often starts with a GOP of its own.
    if (++m_iSettledGops >= 3 && m_iLastGopSize != 0 && m_iLastGopSize != size)
        m_ucAdaptive = 1;
    m_iLastGopSize = size;
}

void VideoProcessor::finishGops()
{
    flushPendingField();
    // The stream may have ended among the leading pictures of its last GOP: the GOP before
    // is settled only when nothing else gives a length.
    if (m_iPendingGopSize >= 0) {
        if (m_iSettledGops == 0)
            m_iLastGopSize = m_iPendingGopSize + m_iLeadingPictures;
        m_iPendingGopSize = -1;
    }
    // A stream of one whole GOP and the start of the next is described by that GOP.
    if (m_iGopSequenceLength == 0 && m_iRecordedGops == 1)
        m_iGopSequenceLength = findGopSequence();
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
    finishGops();
    // One letter per entry plus the last description and the terminator.
    char text[PICTURE_TYPE_LIST_SIZE + 32];
    buildTypeText(m_aucGopTypes, text, sizeof(text), m_iGopSequenceLength, describe);
    fireValue(CB_MPEG2TS_GOP_STRUCT, m_iPid, text);

    // Without a whole GOP, what the current one holds so far.
    if (m_iRecordedGops > 0)
        buildTypeText(m_aucGopTypes, text, sizeof(text), m_iGopTypeCount, describe);
    else
        buildTypeText(m_aucPictureTypes, text, sizeof(text), m_iGopPictureCount, describe);
    fireValue(CB_MPEG2TS_GOP_PAYLOAD, m_iPid, text);
}
