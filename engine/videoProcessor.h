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

    // Length of the repeating GOP pattern from the picture type list and the GOP picture
    // count: 1 for one picture or one type after the first, 2 for two pictures, 0 when no
    // picture was counted (not known yet).
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
    // from entries [0, count) of the list into text (size bytes, always terminated).
    // An entry without a description shows as '?'.
    void buildTypeText(char* text, int size, int count, const char* (*describe)(int)) const;

protected:
    // Records a picture of the current GOP: its type goes into the list while there is
    // room; the count goes up in every case.
    void recordPictureType(unsigned char type);
    // Ends the current GOP: adaptive test (once the countdown is 0), last GOP size := count,
    // count := 0.
    void endGop();
    void decrementGopCountdown()
    {
        if (m_iGopCountdown > 0)
            m_iGopCountdown--;
    }
    // Sets the EIA-608 or EIA-708 flag from one cc_data construct.
    void detectCaption(const AtscData& data);

    // Fires a PidValueInfo event whose value is a text copied into m_acValueText.
    // A null text fires nothing (the lookup had no text for the code).
    void fireTextEvent(_CallbackId id, const char* text);
    void fireFormattedEvent(_CallbackId id, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Fires CB_MPEG2TS_GOP_STRUCT and CB_MPEG2TS_GOP_PAYLOAD with the codec's type names.
    void fireGopTexts(const char* (*describe)(int));

    int m_iPid;
    int m_iStartCodeCount;
    int m_iPictureWidth;   // 0 until known, written once
    int m_iPictureHeight;
    int m_iFieldCount;
    int m_iFrameCount;
    int m_iGopPictureCount;
    int m_iGopSequenceLength;  // 0 until known; then picture types are no longer recorded
    int m_iLastGopSize;
    int m_iGopCountdown;       // no adaptive test while above 0
    unsigned char m_ucAdaptive;
    unsigned char m_ucOpen;
    unsigned char m_aucPictureTypes[PICTURE_TYPE_LIST_SIZE];  // 0xFF = empty
    ClosedCaptionInfo m_ClosedCaptionInfo;
    AtscDataHeader m_AtscDataHeader;
    AtscData m_AtscData;
    char m_acValueText[256];   // text payload of the event being fired
    bool m_bBitrateMeasured;   // the last bit rate came from a positive span

    // The start code scan; counts the bytes stepped over into byteCounter when given. With
    // skipSliceCodes it steps over slice start codes (values 01 to AF) as over any bytes.
    int scanForStartCodePrefix(unsigned int* byteCounter, bool skipSliceCodes = false);
};

#endif
