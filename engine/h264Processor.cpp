#include "engine/h264Processor.h"

#include "platform/debugMap.h"
#include "syntax/atsc.h"
#include "syntax/seiMessage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

const int kNalSlice = 1;
const int kNalIdrSlice = 5;
const int kNalSei = 6;
const int kNalSps = 7;
const int kNalAccessUnitDelimiter = 9;

const unsigned int kSeiUserDataRegistered = 4;
const unsigned int kSeiRecoveryPoint = 6;
const unsigned char kAtscCcData = 0x03;  // user_data_type_code of cc_data()

// Bytes of a slice NAL unit read for its header: the fields read take at most 3 codes of
// 63 bits, 2 bits, 16 bits and 2 flags, with room for emulation-prevention bytes.
const int kSliceHeaderBytes = 40;

// Unusable parameter sets are logged this many times at most; a damaged stream can hold
// thousands.
const int kUnusableSpsLogLimit = 8;

bool isIntraSlice(unsigned int sliceType)
{
    return sliceType == 2 || sliceType == 7;
}

bool isBSlice(unsigned int sliceType)
{
    return sliceType == 1 || sliceType == 6;
}

// Frames per second from the PTS (90 kHz, 33 bits) of pictures in decode order, with each
// picture's place in decode order; 0 when they give none. Sorted, neighbours are one frame
// period apart, or a few where a picture came without a PTS of its own; the shortest spacing
// is taken as the period and the whole span, counted in periods, gives the rate to a fraction
// of a tick. Spacings that are no whole number of periods (a variable rate, a discontinuity)
// give none. Where PES packets carry several pictures and only the first has a PTS, even the
// shortest spacing spans several pictures: the pictures between the first and the last
// sample, against the periods counted, say how many.
double frameRateFromPts(const unsigned long long* pts, const long long* picture, int n)
{
    if (n < 3)
        return 0.0;
    const long long wrap = 1LL << 33;
    long long v[64];
    if (n > 64)
        n = 64;
    for (int i = 0; i < n; ++i) {
        long long d = (long long)((pts[i] - pts[0]) & (unsigned long long)(wrap - 1));
        v[i] = d >= wrap / 2 ? d - wrap : d;
    }
    std::sort(v, v + n);
    long long period = 0;
    for (int i = 1; i < n; ++i) {
        long long gap = v[i] - v[i - 1];
        if (gap == 0)
            return 0.0;  // two pictures at one instant
        if (period == 0 || gap < period)
            period = gap;
    }
    long long periods = 0;
    for (int i = 1; i < n; ++i) {
        long long gap = v[i] - v[i - 1];
        long long k = (gap + period / 2) / period;
        // A tick of rounding per period (23.976 fps is 3753.75 ticks).
        if (std::llabs(gap - k * period) > k)
            return 0.0;
        periods += k;
    }
    double rate = 90000.0 * (double)periods / (double)(v[n - 1] - v[0]);
    // Only a whole number of pictures a period: pictures counted twice (a redundant slice at
    // macroblock 0) must not double the rate.
    const long long pictures = picture[n - 1] - picture[0];
    const long long perPeriod = (pictures + periods / 2) / periods;
    if (perPeriod > 1 && 4 * std::llabs(pictures - perPeriod * periods) <= pictures)
        rate *= (double)perPeriod;
    // The rounding of each PTS to a tick leaves a small error: a rate this close to a whole
    // one, or to one of the 1000/1001 family, is that rate.
    double whole = std::round(rate);
    if (whole > 0 && std::fabs(rate - whole) <= rate * 4e-4)
        return whole;
    double ntsc = std::round(rate * 1.001) * 1000.0 / 1001.0;
    if (ntsc > 0 && std::fabs(rate - ntsc) <= rate * 4e-4)
        return ntsc;
    return rate;
}

}  // namespace

H264Processor::H264Processor(MsgCallback* msgCallback, int pid)
    : VideoProcessor(msgCallback, pid), m_ucSpsSeen(0), m_ucSpsJustSeen(0),
      m_iAccessUnitDelimiterCount(0), m_iSeiOffset(0), m_iRbspLength(0), m_iUnusableSpsCount(0),
      m_ucRecoveryPointSeen(0), m_ucFrameRateKnown(0), m_ucFrameRateMeasured(0), m_ucPesPtsPending(0), m_ullPesPts(0),
      m_llPesPtsOffset(0), m_llWindowEnd(0), m_llNalOffset(0), m_llPictureCount(0), m_iPtsSampleCount(0)
{
    memset(m_aullPicturePts, 0, sizeof(m_aullPicturePts));
    memset(m_allPtsPicture, 0, sizeof(m_allPtsPicture));
    memset(&m_SequenceParameterSet, 0, sizeof(m_SequenceParameterSet));
    memset(&m_SliceHeader, 0, sizeof(m_SliceHeader));
    memset(m_aucRbspBuffer, 0, sizeof(m_aucRbspBuffer));
    setName("H264Processor");
}

H264Processor::~H264Processor()
{
    fireMeasuredFrameRate();
    fireGopTexts(getSliceTypeDesc);
    fileLog("Total Access Unit Count: %d\n", m_iAccessUnitDelimiterCount);
}

void H264Processor::addRbspBitsToBuffer(const unsigned char* data, int n)
{
    addBitsToBuffer(data, n);
    if (data && n > 0)
        m_llWindowEnd += n;
}

int H264Processor::processRawBuff(unsigned char* data, long long n)
{
    // Every byte handed in belongs to the elementary stream, whether or not a NAL unit in it
    // has to wait for the next chunk.
    countBytes(n);
    if (data == nullptr || n <= 0)
        return scanNalUnits();

    int result = 1;
    long long remaining = n;
    while (remaining > 0) {
        // Bytes before the search position are examined already and may be pushed out;
        // nothing after it may be.
        long long room = (long long)(WINDOW_SIZE - m_iBufferLevel) + m_iSearchPosition;
        if (room <= 0) {
            // The window is full and the unit at its start cannot grow: read it from what is
            // here (the scan does that when it cannot wait), which moves the search on.
            result = scanNalUnits();
            if ((long long)(WINDOW_SIZE - m_iBufferLevel) + m_iSearchPosition <= 0)
                m_iSearchPosition = 1;  // cannot happen; never spin on it
            continue;
        }
        int piece = (int)(remaining < room ? remaining : room);
        addRbspBitsToBuffer(data, piece);
        data += piece;
        remaining -= piece;
        result = scanNalUnits();
    }
    return result;
}

int H264Processor::scanNalUnits()
{
    for (;;) {
        int p = searchForStartCodePrefix();
        if (p < 0)
            return 1;
        if (!handleNalUnit(p))
            return 2;  // the search position stays on p; read when more bytes have come
        m_iSearchPosition = p + 1;
    }
}

int H264Processor::findNextStartCode(int from, int limit) const
{
    if (limit > m_iBufferLevel)
        limit = m_iBufferLevel;
    for (int i = from; i + 2 < limit; ++i) {
        if (m_aucWindow[i + 2] > 1) {
            i += 2;  // no prefix can begin at i, i + 1 or i + 2
            continue;
        }
        if (m_aucWindow[i] == 0 && m_aucWindow[i + 1] == 0 && m_aucWindow[i + 2] == 1)
            return i;
    }
    return -1;
}

int H264Processor::removeEmulationByte(int start, int end)
{
    // Every reader is bounded by the returned length: nothing past it needs clearing.
    if (end > m_iBufferLevel)
        end = m_iBufferLevel;
    if (start < 0)
        start = 0;
    int out = 0;
    int zeros = 0;
    for (int i = start; i < end && out < RBSP_BUFFER_SIZE; ++i) {
        unsigned char b = m_aucWindow[i];
        if (zeros >= 2 && b == 0x03) {
            zeros = 0;  // emulation prevention byte
            continue;
        }
        zeros = (b == 0) ? zeros + 1 : 0;
        m_aucRbspBuffer[out++] = b;
    }
    m_iRbspLength = out;
    return out;
}

bool H264Processor::handleNalUnit(int p)
{
    const int type = m_aucWindow[p + 3] & 0x1F;
    const int payload = p + 4;

    // Units whose payload is not read need no bytes beyond their header.
    if (type == kNalAccessUnitDelimiter) {
        m_iStartCodeCount++;
        m_iAccessUnitDelimiterCount++;
        return true;
    }
    if (type != kNalSlice && type != kNalIdrSlice && type != kNalSei && type != kNalSps) {
        m_iStartCodeCount++;
        return true;
    }

    // Where the unit ends: at the next start code (without the zero bytes before it), or,
    // while that is not in the window, at what has arrived so far.
    // A slice needs only its first fields; looking further than this would only scan the
    // slice data twice.
    const bool slice = type == kNalSlice || type == kNalIdrSlice;
    int next = findNextStartCode(payload, slice ? payload + kSliceHeaderBytes + 2 : m_iBufferLevel);
    bool complete = next >= 0;
    bool enough = false;  // for a slice: the bytes the header needs are here anyway
    // A full window whose first byte is this unit cannot take more of it.
    bool canWait = !(p == 0 && m_iBufferLevel >= WINDOW_SIZE);
    int end;
    if (complete) {
        end = next;
        while (end > payload && m_aucWindow[end - 1] == 0)
            --end;  // trailing_zero_8bits, or the first byte of a 4-byte start code
    } else {
        // The last two bytes may be the start of the next start code (or of 00 00 03); leave
        // them out until the following bytes show what they are.
        end = m_iBufferLevel - 2;
        if (slice && end >= payload + kSliceHeaderBytes) {
            end = payload + kSliceHeaderBytes;
            enough = true;
        }
        if (end < payload)
            end = payload;
    }

    switch (type) {
    case kNalSlice:
    case kNalIdrSlice: {
        int length = removeEmulationByte(payload, end);
        SliceHeader probe;
        int status = fillSliceHeader(m_aucRbspBuffer, length, &probe,
                                     m_ucSpsSeen ? &m_SequenceParameterSet : nullptr);
        if (status == SLICE_TRUNCATED && !complete && !enough && canWait)
            return false;
        m_iStartCodeCount++;
        m_llNalOffset = m_llWindowEnd - (m_iBufferLevel - p);
        if (status == SLICE_OK)
            processSliceHeader(m_aucRbspBuffer, length, m_ucSpsSeen != 0, type == kNalIdrSlice);
        m_ucSpsJustSeen = 0;
        return true;
    }
    case kNalSei: {
        if (!complete && canWait)
            return false;
        m_iStartCodeCount++;
        removeEmulationByte(payload, end);
        processSeiMessage();
        return true;
    }
    case kNalSps: {
        if (!complete && canWait)
            return false;
        m_iStartCodeCount++;
        handleSps(removeEmulationByte(payload, end));
        return true;
    }
    default:
        return true;
    }
}

void H264Processor::handleSps(int rbspLength)
{
    SequenceParameterSet sps;
    int status = fillSequenceParameterSet(m_aucRbspBuffer, rbspLength, &sps);
    if (status != SPS_OK) {
        // Treated as absent: the last usable one stays in force.
        if (m_iUnusableSpsCount < kUnusableSpsLogLimit)
            fileLog("H264Processor: sequence parameter set ignored (%s)\n",
                    status == SPS_TRUNCATED ? "truncated" : "value out of range");
        m_iUnusableSpsCount++;
        return;
    }

    m_SequenceParameterSet = sps;

    // The displayed size is the cropped one (a 1080-line stream codes 1088 lines).
    if (m_iPictureWidth == 0 && m_iPictureHeight == 0) {
        m_iPictureWidth = (int)getH264CroppedWidth(&sps);
        m_iPictureHeight = (int)getH264CroppedHeight(&sps);
    }

    if (sps.aspect_ratio_info_present_flag && m_iPictureWidth > 0 && m_iPictureHeight > 0) {
        double aspect = getH264AspectRatio(sps.aspect_ratio_idc, (unsigned int)m_iPictureWidth,
                                           (unsigned int)m_iPictureHeight, sps.sar_height,
                                           sps.sar_width);
        double sampleAspect =
            getH264SampleAspectRatio(sps.aspect_ratio_idc, sps.sar_height, sps.sar_width);
        fireValue(CB_MPEG2TS_ASPECT_RATIO, m_iPid, &aspect);
        fireValue(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, m_iPid, &sampleAspect);
    }

    fireTextEvent(CB_MPEG2TS_CHROMA, getH264ChromaDescription((int)sps.chroma_format_idc));

    const char* profile = getH264ProfileDescription(sps.profile_idc);
    const char* level = getH264LevelDescription(&sps);
    if (profile && level)
        fireFormattedEvent(CB_MPEG2TS_PROFILE_AND_LEVEL, "%s@%s", profile, level);

    // No timing information (or a zero tick or time scale) gives no rate here: the picture
    // time stamps may give one.
    double frameRate = getH264FrameRate(&sps);
    if (frameRate > 0.0) {
        fireFormattedEvent(CB_MPEG2TS_FRAME_RATE, "%.6g", frameRate);
        m_ucFrameRateKnown = 1;
    }

    fireText(CB_MPEG2TS_DROP_FRAME, m_iPid, "false");

    m_ucSpsSeen = 1;
    m_ucSpsJustSeen = 1;
}

void H264Processor::processSliceHeader(const unsigned char* rbsp, int length, bool spsSeen,
                                       bool idr)
{
    // Only a picture's first slice counts: a picture coded in several slices is one
    // frame (or field) and one GOP picture.
    if (!spsSeen) {
        if (fillSliceHeader(rbsp, length, &m_SliceHeader, nullptr) != SLICE_OK ||
            m_SliceHeader.first_mb_in_slice == 0)
            m_iFrameCount++;
        return;
    }
    if (fillSliceHeader(rbsp, length, &m_SliceHeader, &m_SequenceParameterSet) != SLICE_OK)
        return;
    const SliceHeader& s = m_SliceHeader;
    if (s.first_mb_in_slice != 0)
        return;
    const bool field = !m_SequenceParameterSet.frame_mbs_only_flag && s.field_pic_flag;
    if (field)
        m_iFieldCount++;
    else
        m_iFrameCount++;

    CodedPicture picture = {};
    picture.type = (unsigned char)s.slice_type;
    picture.intra = isIntraSlice(s.slice_type);
    picture.idr = idr;
    picture.randomAccess = idr || m_ucSpsJustSeen || m_ucRecoveryPointSeen;
    m_ucRecoveryPointSeen = 0;
    // A second field takes no time stamp of its own: its PES packet, if any, began a picture.
    if (field) {
        if (!addFieldPicture(picture, s.bottom_field_flag != 0, s.frame_num))
            takePicturePts();
    } else {
        takePicturePts();
        addFramePicture(picture);
    }

    if (m_iPictureWidth > 0 && m_iPictureHeight > 0)
        fireFormattedEvent(CB_MPEG2TS_VIDEO_RES, "%dx%d", m_iPictureWidth, m_iPictureHeight);
}

void H264Processor::recordFrame(const CodedPicture& picture)
{
    if (picture.intra && picture.randomAccess) {
        if (isGopStarted() && !picture.idr)
            m_ucOpen = 1;
        beginGop();
    }
    // The frame's type decides: a frame with an I field is no B picture.
    recordGopPicture(picture.type, isBSlice(picture.type));
}

void H264Processor::takePicturePts()
{
    ++m_llPictureCount;
    if (!m_ucPesPtsPending || m_llNalOffset < m_llPesPtsOffset)
        return;
    m_ucPesPtsPending = 0;
    if (m_iPtsSampleCount < PTS_SAMPLES) {
        m_allPtsPicture[m_iPtsSampleCount] = m_llPictureCount;
        m_aullPicturePts[m_iPtsSampleCount++] = m_ullPesPts;
    }
    if (m_iPtsSampleCount == PTS_SAMPLES)
        fireMeasuredFrameRate();
}

void H264Processor::fireMeasuredFrameRate()
{
    if (m_ucFrameRateKnown || m_ucFrameRateMeasured)
        return;
    m_ucFrameRateMeasured = 1;
    double rate = frameRateFromPts(m_aullPicturePts, m_allPtsPicture, m_iPtsSampleCount);
    if (rate > 0.0)
        fireFormattedEvent(CB_MPEG2TS_FRAME_RATE, "%.6g", rate);
}

void H264Processor::processSeiMessage()
{
    const int length = m_iRbspLength;
    m_iSeiOffset = 0;
    while (m_iSeiOffset < length) {
        const unsigned char* at = m_aucRbspBuffer + m_iSeiOffset;
        const int left = length - m_iSeiOffset;
        if (at[0] == 0x80 && (left == 1 || isRbspTrailingBits(at, left)))
            break;  // rbsp_trailing_bits
        unsigned int type = 0;
        unsigned int size = 0;
        int used = getSeiMsgTypeAndSize(at, left, &type, &size);
        if (used == 0)
            break;
        m_iSeiOffset += used;
        // A message that is not wholly here (larger than the window) is skipped.
        if (size > (unsigned int)(length - m_iSeiOffset))
            break;
        if (type == kSeiUserDataRegistered)
            processItuT35(m_aucRbspBuffer + m_iSeiOffset, (int)size);
        else if (type == kSeiRecoveryPoint)
            m_ucRecoveryPointSeen = 1;
        m_iSeiOffset += (int)size;
    }
    m_iSeiOffset = 0;
}

void H264Processor::processItuT35(const unsigned char* payload, int size)
{
    ItuDataRegistered itu;
    int used = fillItuDataRegistered(payload, size, &itu);
    if (used == 0 || !isATSC(&itu.user_identifier) || used >= size)
        return;
    // ATSC_user_data(): user_data_type_code, then cc_data() for code 3 (bar data and the
    // rest are not captions).
    if (payload[used] != kAtscCcData)
        return;
    const unsigned char* cc = payload + used + 1;
    const int ccLength = size - used - 1;
    if (fillAtscDataHeader(cc, ccLength, &m_AtscDataHeader) != 0)
        return;
    if (!m_AtscDataHeader.process_cc_data_flag)
        return;
    // em_data at cc[1], then the 3-byte constructs; only those inside the message count.
    for (int k = 0; k < m_AtscDataHeader.cc_count; ++k) {
        int offset = 2 + ATSC_DATA_SIZE * k;
        if (offset + ATSC_DATA_SIZE > ccLength)
            break;
        fillAtscData(cc + offset, ccLength - offset, &m_AtscData);
        detectCaption(m_AtscData);
    }
}
