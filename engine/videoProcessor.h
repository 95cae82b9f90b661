#ifndef KORBALT_ENGINE_VIDEOPROCESSOR_H
#define KORBALT_ENGINE_VIDEOPROCESSOR_H

#include "engine/elemStreamProcessor.h"
#include "syntax/atsc.h"

// What both video processors measure: picture size, field and frame counts, the GOP
// analysis and the caption kinds. The codec processors find the headers and decide where
// a GOP begins; this class keeps the record and fires the end-of-stream events.
class VideoProcessor : public ElemStreamProcessor {
public:
    static constexpr int PICTURE_TYPE_LIST_SIZE = 256;
    static constexpr unsigned char NO_PICTURE_TYPE = 0xFF;

    VideoProcessor(MsgCallback* msgCallback, int pid);
    // Fires the elementary bit rate, captions, open/adaptive GOP, GOP size, field and
    // frame counts. The codec destructors run first.
    ~VideoProcessor() override;

    // The start code search uses 32-byte steps where the processor has them (the default).
    // Off, or on where it can be: true; on where the processor lacks them: false.
    static bool setWideSearch(bool on);

    // 00 00 01 search from the search position; window index of the prefix or -1.
    int searchForStartCodePrefix();

    // The average bit rate over the PCR span; only a positive span makes it a measured
    // rate, and only a measured rate is reported at the end.
    double calculateBitrateBps(double seconds) override;
    bool isBitrateMeasured() const { return m_bBitrateMeasured; }

    // Length of the GOP structure text from the recorded whole GOP (the second one, or the
    // first when the stream holds no second): 1 for an intra-only GOP, 2 when one type follows
    // the first picture throughout, one more than the shortest period with which the pictures
    // after the first repeat (at least twice, the last repeat may be cut short), else the
    // whole GOP; 0 when no whole GOP was recorded.
    int findGopSequence();

    int getPid() const { return m_iPid; }
    int getPictureWidth() const { return m_iPictureWidth; }
    int getPictureHeight() const { return m_iPictureHeight; }
    int getFieldCount() const { return m_iFieldCount; }
    int getFrameCount() const { return m_iFrameCount; }
    int getGopPictureCount() const { return m_iGopPictureCount; }
    int getGopSequenceLength() const { return m_iGopSequenceLength; }
    int getLastGopSize() const { return m_iLastGopSize; }
    bool isAdaptiveGop() const { return m_ucAdaptive != 0; }
    bool isOpenGop() const { return m_ucOpen != 0; }
    const ClosedCaptionInfo& getClosedCaptionInfo() const { return m_ClosedCaptionInfo; }

    // Builds a GOP type text (one letter per entry, the last entry's whole description)
    // from entries [0, count) of the current GOP's list into text (size bytes, always
    // terminated). An entry without a description shows as '?'.
    void buildTypeText(char* text, int size, int count, const char* (*describe)(int)) const;

protected:
    // What the GOP record takes of a frame, or of the two fields of one.
    struct CodedPicture {
        unsigned char type;  // the codec's picture or slice type
        // H.262: a B picture, which right after the GOP's first picture displays before it
        // (H.264 tells it from the frame's type).
        bool isB;
        bool intra;
        bool idr;            // H.264: an IDR picture
        bool randomAccess;   // H.264: an SPS or a recovery point came before it
    };
    // A frame picture. A first field still waiting for its pair is recorded alone before it.
    void addFramePicture(const CodedPicture& picture);
    // A field picture. The second field of a frame (the other parity, the same id: H.262's
    // temporal_reference, H.264's frame_num) completes the frame its first field began, and
    // gives true; the frame is recorded then, as an I frame when either field is I.
    bool addFieldPicture(const CodedPicture& picture, bool bottom, unsigned int id);
    // Records a first field still waiting for its pair as a frame of its own.
    void flushPendingField();
    // One frame for the GOP record, in decode order; the codec decides where a GOP begins.
    virtual void recordFrame(const CodedPicture& picture) { recordGopPicture(picture.type, picture.isB); }

    // A GOP begins: at an H.262 GOP header, before its first picture; at an H.264 picture
    // that starts one, before it is recorded. The GOP that ends is recorded for the texts;
    // its length is settled once the new GOP's leading pictures are known.
    void beginGop();
    // A picture of the current GOP in decode order (a frame, or the first field of a frame);
    // nothing before the first GOP. isB: a B picture, which right after the GOP's first
    // picture displays before it.
    void recordGopPicture(unsigned char type, bool isB);
    bool isGopStarted() const { return m_ucGopStarted != 0; }
    // End of stream: records a field still waiting for its pair and settles what can be
    // settled, before the GOP texts and events.
    void finishGops();
    // Sets the EIA-608 or EIA-708 flag from one cc_data construct.
    void detectCaption(const AtscData& data);

    // Fires a PidValueInfo event whose value is a text copied into m_acValueText.
    // A null text fires nothing (the lookup had no text for the code).
    void fireTextEvent(_CallbackId id, const char* text);
    void fireFormattedEvent(_CallbackId id, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Settles the GOPs (finishGops), then fires CB_MPEG2TS_GOP_STRUCT and
    // CB_MPEG2TS_GOP_PAYLOAD with the codec's type names.
    void fireGopTexts(const char* (*describe)(int));

    int m_iPid;
    int m_iStartCodeCount;
    int m_iPictureWidth;   // 0 until known, written once
    int m_iPictureHeight;
    int m_iFieldCount;
    int m_iFrameCount;
    int m_iGopPictureCount;    // pictures of the current GOP, in decode order
    int m_iGopSequenceLength;  // 0 until known
    int m_iLastGopSize;        // pictures, in display order, of the last GOP whose length is known
    unsigned char m_ucAdaptive;
    unsigned char m_ucOpen;
    unsigned char m_aucPictureTypes[PICTURE_TYPE_LIST_SIZE];  // the current GOP, in coded order
    // GOP lengths are counted in display order: the B pictures that follow a GOP's first
    // picture in decode order display before it and belong to the GOP before. A fixed GOP
    // length then reads the same whether or not the number of those pictures varies.
    unsigned char m_ucGopStarted;
    unsigned char m_ucCountingLeading;  // the current GOP's leading pictures are still coming
    int m_iLeadingPictures;             // ... of the current GOP so far
    int m_iPendingGopSize;              // the last ended GOP without its leading pictures; -1: none
    int m_iSettledGops;                 // GOPs whose length is known
    // The whole GOP the texts describe: the second recorded one, or the first.
    int m_iRecordedGops;
    int m_iGopTypeCount;
    unsigned char m_aucGopTypes[PICTURE_TYPE_LIST_SIZE];
    // The first field of a frame whose second field is still to come.
    bool m_bFieldPending;
    bool m_bPendingBottom;
    unsigned int m_uiPendingFieldId;
    CodedPicture m_PendingField;
    ClosedCaptionInfo m_ClosedCaptionInfo;
    AtscDataHeader m_AtscDataHeader;
    AtscData m_AtscData;
    char m_acValueText[256];   // text payload of the event being fired
    bool m_bBitrateMeasured;   // the last bit rate came from a positive span

    // The GOP that ended last gets its length: pending plus the leading pictures of its successor.
    void settlePendingGop();
    static void buildTypeText(const unsigned char* types, char* text, int size, int count,
                              const char* (*describe)(int));

    // The start code scan; counts the bytes stepped over into byteCounter when given. With
    // skipSliceCodes it steps over slice start codes (values 01 to AF) as over any bytes.
    int scanForStartCodePrefix(unsigned int* byteCounter, bool skipSliceCodes = false);
};

#endif
