#include "engine/h262Processor.h"

#include "platform/debugMap.h"
#include "syntax/atsc.h"

#include <climits>
#include <cstring>

namespace {

const unsigned char kPictureStartCode = 0x00;
const unsigned char kUserDataStartCode = 0xB2;
const unsigned char kSequenceHeaderCode = 0xB3;
const unsigned char kExtensionStartCode = 0xB5;
const unsigned char kGroupStartCode = 0xB8;

const int kSequenceExtensionId = 1;
const int kSequenceDisplayExtensionId = 2;
const int kPictureCodingExtensionId = 8;

const unsigned char kIPicture = 1;
const unsigned char kBPicture = 3;
const unsigned int kBottomField = 2;
const unsigned int kFramePicture = 3;

int saturateToInt(long long v)
{
    return v > INT_MAX ? INT_MAX : (int)v;
}

}  // namespace

H262Processor::H262Processor(MsgCallback* msgCallback, int pid)
    : VideoProcessor(msgCallback, pid), m_iVbvBufferSize(0), m_iVideoBitrate(0),
      m_uiAlignmentByteCount(0), m_bSkipSliceCodes(true), m_ucSequenceHeaderSeen(0), m_ucDisplayExtensionSeen(0),
      m_ucQuadByteAligned(1), m_ucAspectPending(0), m_ucStandardPending(0), m_ucMpeg1(0), m_ucExtensionSeen(0),
      m_iPicturesBeforeSequence(0)
{
    memset(&m_SequenceHeader, 0, sizeof(m_SequenceHeader));
    memset(&m_SequenceExtension, 0, sizeof(m_SequenceExtension));
    memset(&m_DispSeqExtension, 0, sizeof(m_DispSeqExtension));
    memset(&m_PictureHeader, 0, sizeof(m_PictureHeader));
    memset(&m_PictureCodingExtension, 0, sizeof(m_PictureCodingExtension));
    memset(&m_GopHeader, 0, sizeof(m_GopHeader));
    setName("H262Processor");
}

H262Processor::~H262Processor()
{
    // Cut after its last sequence header (MPEG-1 need not repeat it): pictures without a
    // coding extension are frames all the same.
    if (!m_ucSequenceHeaderSeen && !m_ucExtensionSeen)
        m_iFrameCount += m_iPicturesBeforeSequence;
    fireGopTexts(getPicTypeDesc);
    fireText(CB_MPEG2TS_QUAD_BYTE_ALIGNED, m_iPid, m_ucQuadByteAligned ? "true" : "false");
}

int H262Processor::searchForStartCodePrefix()
{
    // Until a picture is found misaligned every start code counts for the alignment test.
    int p = scanForStartCodePrefix(&m_uiAlignmentByteCount, m_bSkipSliceCodes && !m_ucQuadByteAligned);
    // The alignment distance is measured from the last start code that is not a picture's.
    if (p >= 0 && m_aucWindow[p + 3] != kPictureStartCode)
        m_uiAlignmentByteCount = 0;
    return p;
}

int H262Processor::processRawBuff(unsigned char* data, long long n)
{
    if (n > MAX_SLICE)
        return processInSlices(data, n);
    appendChunk(data, n);
    // Every byte handed in belongs to the elementary stream, whether or not a header in it
    // has to wait for the next chunk.
    countBytes(n);
    for (;;) {
        int p = searchForStartCodePrefix();
        if (p < 0)
            return 1;
        if (!handleStartCode(p))
            return 2;  // the search position stays on p; retried with the next chunk
        m_iStartCodeCount++;
        m_uiAlignmentByteCount++;
        m_iSearchPosition = p + 1;
    }
}

bool H262Processor::handleStartCode(int p)
{
    const unsigned char c = m_aucWindow[p + 3];
    const long avail = m_iBufferLevel - p;
    if (c == kExtensionStartCode)
        m_ucExtensionSeen = 1;
    if (m_ucStandardPending) {
        // MPEG-1 has no extensions, and once the stream has shown one, a sequence header
        // whose extension was lost or damaged does not make it MPEG-1. A code that MPEG-1
        // does not allow after a sequence header is damage, and changes nothing.
        if (m_ucExtensionSeen)
            settleVideoStandard(true);
        else if (c == kGroupStartCode || c == kPictureStartCode || c == kUserDataStartCode)
            settleVideoStandard(false);
        else
            settleVideoStandard(!m_ucMpeg1);
    }
    switch (c) {
    case kSequenceHeaderCode:
        if (p + 12 >= m_iBufferLevel)
            return false;
        handleSequenceHeader(p);
        return true;

    case kPictureStartCode:
        if (p + 7 >= m_iBufferLevel)
            return false;
        if (m_ucAspectPending)
            fireAspectRatios();
        if (m_ucQuadByteAligned && (m_uiAlignmentByteCount % 4) != 0) {
            m_ucQuadByteAligned = 0;
            m_uiAlignmentByteCount = 0;
        }
        fillPictureHeader(m_aucWindow + p, avail, &m_PictureHeader);
        // MPEG-1 has no picture coding extension: every picture is a frame.
        if (m_ucMpeg1)
            countPicture(kFramePicture);
        else if (!m_ucSequenceHeaderSeen)
            m_iPicturesBeforeSequence++;
        return true;

    case kUserDataStartCode: {
        if (p + 10 >= m_iBufferLevel)
            return false;
        bool complete = true;
        handleUserData(p, &complete);
        return complete;
    }

    case kExtensionStartCode:
        if (p + 5 >= m_iBufferLevel)
            return false;
        return handleExtension(p);

    case kGroupStartCode:
        if (p + 8 >= m_iBufferLevel)
            return false;
        if (m_ucAspectPending)
            fireAspectRatios();
        fillGopHeader(m_aucWindow + p, avail, &m_GopHeader);
        handleGopHeader();
        return true;

    default:
        return true;  // slices, sequence end and the rest carry nothing we report
    }
}

void H262Processor::handleSequenceHeader(int p)
{
    fillSequenceHeader(m_aucWindow + p, m_iBufferLevel - p, &m_SequenceHeader);
    fireTextEvent(CB_MPEG2TS_FRAME_RATE, getFrameRateDesc(m_SequenceHeader.frame_rate_code));

    // The picture size and the display size come in the extensions that follow; the aspect
    // events wait for the next GOP or picture header.
    m_ucAspectPending = 1;
    m_ucSequenceHeaderSeen = 1;
    m_ucStandardPending = 1;
}

void H262Processor::settleVideoStandard(bool mpeg2)
{
    m_ucStandardPending = 0;
    m_ucMpeg1 = mpeg2 ? 0 : 1;
    // A stream cut mid-GOP begins with pictures before its first sequence header: MPEG-2
    // counted them at their coding extensions, MPEG-1 has none to count them at.
    const int before = m_iPicturesBeforeSequence;
    m_iPicturesBeforeSequence = 0;
    if (!m_ucMpeg1)
        return;
    m_iFrameCount += before;
    // The sequence header alone gives the size.
    if (m_iPictureWidth == 0)
        m_iPictureWidth = (int)m_SequenceHeader.horizontal_size_value;
    if (m_iPictureHeight == 0)
        m_iPictureHeight = (int)m_SequenceHeader.vertical_size_value;
    fireFormattedEvent(CB_MPEG2TS_VIDEO_RES, "%dx%d", m_iPictureWidth, m_iPictureHeight);
}

void H262Processor::fireAspectRatios()
{
    m_ucAspectPending = 0;
    if (m_ucMpeg1) {
        // The code is the shape of a pel (height / width), not of the picture.
        const double pel = getPelAspectRatio(m_SequenceHeader.aspect_ratio_information);
        double sampleAspect = pel > 0.0 ? 1.0 / pel : 0.0;
        double aspect = 0.0;
        if (m_iPictureWidth > 0 && m_iPictureHeight > 0)
            aspect = sampleAspect * m_iPictureWidth / m_iPictureHeight;
        fireValue(CB_MPEG2TS_ASPECT_RATIO, m_iPid, &aspect);
        fireValue(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, m_iPid, &sampleAspect);
        return;
    }
    double aspect;
    switch (m_SequenceHeader.aspect_ratio_information) {
    case 1: aspect = 1.0; break;  // square samples: the picture's own shape, set below
    case 2: aspect = 4.0 / 3.0; break;
    case 3: aspect = 16.0 / 9.0; break;
    case 4: aspect = 2.21; break;
    default: aspect = 0.0; break;
    }
    // The display aspect ratio belongs to the displayed rectangle: the display
    // extension's size when there is one, else the coded picture.
    double h, v;
    if (m_ucDisplayExtensionSeen) {
        h = m_DispSeqExtension.display_horizontal_size;
        v = m_DispSeqExtension.display_vertical_size;
    } else if (m_iPictureWidth > 0 && m_iPictureHeight > 0) {
        h = m_iPictureWidth;
        v = m_iPictureHeight;
    } else {
        h = m_SequenceHeader.horizontal_size_value;
        v = m_SequenceHeader.vertical_size_value;
    }
    double sampleAspect;
    if (m_SequenceHeader.aspect_ratio_information == 1) {
        sampleAspect = 1.0;
        if (h > 0 && v > 0)
            aspect = h / v;  // a 720x576 square-sample picture is 1.25, not 1.00
    } else if (h > 0 && v > 0)
        sampleAspect = aspect * v / h;
    else
        sampleAspect = 0.0;
    fireValue(CB_MPEG2TS_ASPECT_RATIO, m_iPid, &aspect);
    fireValue(CB_MPEG2TS_SAMPLE_ASPECT_RATIO, m_iPid, &sampleAspect);
}

void H262Processor::handleUserData(int p, bool* complete)
{
    const unsigned char* u = m_aucWindow + p;
    *complete = true;
    if (u[4] == 'G' && u[5] == 'A' && u[6] == '9' && u[7] == '4') {
        unsigned char typeCode = u[8];
        if (typeCode == 3) {
            fillAtscDataHeader(u + 9, m_iBufferLevel - (p + 9), &m_AtscDataHeader);
            int ccCount = m_AtscDataHeader.cc_count;
            // Constructs start at p + 11 (after em_data); the last byte is p + 10 + 3 * cc_count.
            if (p + 10 + 3 * ccCount >= m_iBufferLevel) {
                memset(&m_AtscDataHeader, 0, sizeof(m_AtscDataHeader));
                *complete = false;
                return;
            }
            if (m_AtscDataHeader.process_cc_data_flag && ccCount != 0) {
                for (int k = 0; k < ccCount; k++) {
                    int at = p + 11 + 3 * k;
                    fillAtscData(m_aucWindow + at, m_iBufferLevel - at, &m_AtscData);
                    detectCaption(m_AtscData);
                }
            }
        } else if (typeCode == 4 || typeCode == 5) {
            m_ClosedCaptionInfo.scte21 = true;
        }
    } else if (u[4] == 0x03) {
        m_ClosedCaptionInfo.scte20 = true;
    }
}

bool H262Processor::handleExtension(int p)
{
    const int id = m_aucWindow[p + 4] >> 4;
    const long avail = m_iBufferLevel - p;
    switch (id) {
    case kSequenceExtensionId:
        if (p + 10 >= m_iBufferLevel)
            return false;
        fillSequenceExtension(m_aucWindow + p, avail, &m_SequenceExtension);
        handleSequenceExtension();
        return true;
    case kSequenceDisplayExtensionId:
        if (p + 12 >= m_iBufferLevel)
            return false;
        fillDispSeqExtension(m_aucWindow + p, avail, &m_DispSeqExtension);
        m_ucDisplayExtensionSeen = 1;
        return true;
    case kPictureCodingExtensionId:
        if (p + 7 >= m_iBufferLevel)
            return false;
        fillPictureCodingExtension(m_aucWindow + p, avail, &m_PictureCodingExtension);
        handlePictureCodingExtension();
        return true;
    default:
        return true;
    }
}

void H262Processor::handleSequenceExtension()
{
    const SequenceExtension& e = m_SequenceExtension;
    fireText(CB_MPEG2TS_PROG_SEQUENCE, m_iPid, e.progressive_sequence ? "true" : "false");
    fireTextEvent(CB_MPEG2TS_CHROMA, getChromaDescription(e.chroma_format));

    const int pli = e.profile_and_level_indication;
    if (pli & 0x80) {
        fireTextEvent(CB_MPEG2TS_PROFILE_AND_LEVEL, getProfileAndLevelDescription(pli));
    } else {
        const char* profile = getProfileDescription((pli >> 4) & 0x07);
        const char* level = getLevelDescription(pli & 0x0F);
        if (profile && level)
            fireFormattedEvent(CB_MPEG2TS_PROFILE_AND_LEVEL, "%s@%s", profile, level);
    }

    if (m_iPictureWidth == 0)
        m_iPictureWidth = (int)(e.horizontal_size_extension * 4096u + m_SequenceHeader.horizontal_size_value);
    if (m_iPictureHeight == 0)
        m_iPictureHeight = (int)(e.vertical_size_extension * 4096u + m_SequenceHeader.vertical_size_value);
    // The full-range products exceed 32 bits; such values only come from damaged headers.
    if (m_iVbvBufferSize == 0)
        m_iVbvBufferSize = saturateToInt(
            ((long long)e.vbv_buffer_size_extension * 1024 + m_SequenceHeader.vbv_buffer_size_value) * 16384);
    if (m_iVideoBitrate == 0)
        m_iVideoBitrate = saturateToInt(
            ((long long)e.bit_rate_extension * 262144 + m_SequenceHeader.bit_rate_value) * 400);

    fireFormattedEvent(CB_MPEG2TS_VIDEO_RES, "%dx%d", m_iPictureWidth, m_iPictureHeight);
    fireValue(CB_MPEG2TS_VBV_BUFF_SIZE, m_iPid, &m_iVbvBufferSize);
    fireValueUnits(CB_MPEG2TS_BITRATE, m_iPid, &m_iVideoBitrate, "bps");
}

void H262Processor::handlePictureCodingExtension()
{
    const unsigned int structure = m_PictureCodingExtension.picture_structure;
    if (structure == 0) {
        fileLogCapped(++m_ullBadPictureStructures, "Further errors in picture_structure are not logged\n",
                      "error value in picture_structure\n");
        return;
    }
    if (!m_ucMpeg1)
        countPicture(structure);
}

void H262Processor::countPicture(unsigned int structure)
{
    const unsigned char type = m_PictureHeader.picture_coding_type;
    CodedPicture picture = {};
    picture.type = type;
    picture.isB = type == kBPicture;
    picture.intra = type == kIPicture;
    if (structure == kFramePicture) {
        m_iFrameCount++;
        addFramePicture(picture);
        return;
    }
    m_iFieldCount++;
    addFieldPicture(picture, structure == kBottomField, m_PictureHeader.temporal_reference);
}

void H262Processor::handleGopHeader()
{
    fireText(CB_MPEG2TS_DROP_FRAME, m_iPid, m_GopHeader.drop_frame_flag ? "true" : "false");
    if (m_GopHeader.closed_gop == 0)
        m_ucOpen = 1;
    // A field before the GOP header is not paired with one after it.
    flushPendingField();
    beginGop();
}
