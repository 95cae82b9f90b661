#ifndef KORBALT_ENGINE_H262PROCESSOR_H
#define KORBALT_ENGINE_H262PROCESSOR_H

#include "engine/videoProcessor.h"
#include "syntax/gop.h"
#include "syntax/picture.h"
#include "syntax/sequence.h"

// MPEG-2 video (stream type 2): walks the start codes, reads sequence, extension, GOP,
// picture and user data headers, fires the video events and feeds the GOP and caption
// record of VideoProcessor.
class H262Processor : public VideoProcessor {
public:
    H262Processor(MsgCallback* msgCallback, int pid);
    // GOP structure, GOP payload and quad-byte alignment, then VideoProcessor's events.
    ~H262Processor() override;

    int processRawBuff(unsigned char* data, long long n) override;
    // The 00 00 01 search that also counts the bytes stepped over for the alignment test.
    int searchForStartCodePrefix();

    // Fixed by the first sequence extension.
    int getVbvBufferSize() const { return m_iVbvBufferSize; }
    int getVideoBitrate() const { return m_iVideoBitrate; }
    bool isQuadByteAligned() const { return m_ucQuadByteAligned != 0; }
    // Slice start codes carry nothing reported once the alignment verdict is false, so the
    // search then steps over them. Off only for tests that compare with the plain walk.
    void setSliceCodeSkipping(bool on) { m_bSkipSliceCodes = on; }
    // A sequence header not followed by a sequence extension: ISO/IEC 11172-2 video.
    bool isMpeg1() const { return m_ucMpeg1 != 0; }
    const SequenceHeader& getSequenceHeader() const { return m_SequenceHeader; }
    const SequenceExtension& getSequenceExtension() const { return m_SequenceExtension; }

private:
    // Handles the start code at p; false when its header is not all in the window yet.
    bool handleStartCode(int p);
    void handleSequenceHeader(int p);
    // Fires the aspect events of the last sequence header once its size is known.
    void fireAspectRatios();
    void handleUserData(int p, bool* complete);
    bool handleExtension(int p);
    void handleSequenceExtension();
    void handlePictureCodingExtension();
    void handleGopHeader();
    // The start code after a sequence header tells MPEG-2 (a sequence extension) from MPEG-1.
    void settleVideoStandard(bool mpeg2);
    // A picture of the last picture header: a frame (structure 3) or a field (1 top, 2 bottom).
    void countPicture(unsigned int structure);

    int m_iVbvBufferSize;   // bits; 0 until the first sequence extension
    int m_iVideoBitrate;    // bit/s; 0 until the first sequence extension
    unsigned int m_uiAlignmentByteCount;
    unsigned long long m_ullBadPictureStructures = 0;  // for the log only
    bool m_bSkipSliceCodes;
    unsigned char m_ucSequenceHeaderSeen;
    unsigned char m_ucDisplayExtensionSeen;
    unsigned char m_ucQuadByteAligned;
    unsigned char m_ucAspectPending;  // a sequence header's aspect events wait for its extensions
    unsigned char m_ucStandardPending;  // the start code after a sequence header is still to come
    unsigned char m_ucMpeg1;
    unsigned char m_ucExtensionSeen;  // an extension start code: the stream is MPEG-2
    int m_iPicturesBeforeSequence;    // picture headers before the first sequence header
    SequenceHeader m_SequenceHeader;
    SequenceExtension m_SequenceExtension;
    DispSeqExtension m_DispSeqExtension;
    PictureHeader m_PictureHeader;
    PictureCodingExtension m_PictureCodingExtension;
    GopHeader m_GopHeader;
};

#endif
