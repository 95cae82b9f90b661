#ifndef KORBALT_ENGINE_FLVTRANSPORTPROCESSOR_H
#define KORBALT_ENGINE_FLVTRANSPORTPROCESSOR_H

#include "engine/processor.h"
#include "syntax/audioData.h"
#include "syntax/flvHeader.h"
#include "syntax/flvTag.h"
#include "syntax/videoData.h"

#include <cstdint>

// Container processor for FLV: reads the file header, walks the tags and reports
// the header and the flags of the first audio and the first video tag. Any buffer
// size works: headers, tag headers and the first body bytes of a tag are gathered
// across buffers, and bodies are skipped through a 64-bit carry.
class FlvTransportProcessor : public TransportProcessor {
public:
    enum { STATE_HEADER = 0, STATE_TAGS = 1, STATE_ENDED = 2 };

    FlvTransportProcessor(MsgCallback* registry, int durationSeconds);
    ~FlvTransportProcessor() override;

    // 0 to go on, 3 once the stream has ended (not an FLV).
    int processRawBuff(unsigned char* buffer, long long length) override;

    int getState() const { return m_iState; }
    const FlvHeader& getFlvHeader() const { return m_FlvHeader; }
    const FlvTag& getCurrentTag() const { return m_FlvTag; }
    const AudioData& getAudioData() const { return m_AudioData; }
    const VideoData& getVideoData() const { return m_VideoData; }
    bool isFirstAudioPending() const { return m_bFirstAudioPending; }
    bool isFirstVideoPending() const { return m_bFirstVideoPending; }
    uint64_t getTagCount() const { return m_ullTagCount; }
    uint64_t getAudioTagCount() const { return m_ullAudioTagCount; }
    uint64_t getVideoTagCount() const { return m_ullVideoTagCount; }

private:
    // Where the walk stands between two bytes of the stream.
    enum Step { STEP_FILE_HEADER, STEP_SKIP, STEP_TAG_HEADER, STEP_BODY_START };

    void onFileHeader();
    void onTagHeader();
    void onBodyStart();

    long long m_llCarry;  // bytes still to skip before the next structure
    int m_iState;
    bool m_bFirstAudioPending;
    bool m_bFirstVideoPending;
    FlvHeader m_FlvHeader;
    FlvTag m_FlvTag;
    AudioData m_AudioData;
    VideoData m_VideoData;
    unsigned char m_aucTagHeader[FLV_TAG_HEADER_SIZE];
    uint32_t m_uiPartialHeaderLength;  // bytes held in m_aucTagHeader

    Step m_eStep;
    unsigned char m_aucFileHeader[FLV_HEADER_SIZE];
    uint32_t m_uiFileHeaderLength;
    unsigned char m_aucBodyStart[2];  // first body bytes of the current tag
    uint32_t m_uiBodyStartLength;
    uint32_t m_uiBodyStartWanted;
    uint64_t m_ullTagCount;
    uint64_t m_ullAudioTagCount;
    uint64_t m_ullVideoTagCount;
};

#endif
