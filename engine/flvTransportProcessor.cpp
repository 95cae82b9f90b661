#include "engine/flvTransportProcessor.h"

#include "platform/debugMap.h"

#include <algorithm>
#include <cstring>

FlvTransportProcessor::FlvTransportProcessor(MsgCallback* registry, int durationSeconds)
    : TransportProcessor(registry, durationSeconds),
      m_llCarry(0),
      m_iState(STATE_HEADER),
      m_bFirstAudioPending(true),
      m_bFirstVideoPending(true),
      m_uiPartialHeaderLength(0),
      m_eStep(STEP_FILE_HEADER),
      m_uiFileHeaderLength(0),
      m_uiBodyStartLength(0),
      m_uiBodyStartWanted(0),
      m_ullTagCount(0),
      m_ullAudioTagCount(0),
      m_ullVideoTagCount(0)
{
    memset(&m_FlvHeader, 0, sizeof(m_FlvHeader));
    memset(&m_FlvTag, 0, sizeof(m_FlvTag));
    memset(&m_AudioData, 0, sizeof(m_AudioData));
    memset(&m_VideoData, 0, sizeof(m_VideoData));
    memset(m_aucTagHeader, 0, sizeof(m_aucTagHeader));
    memset(m_aucFileHeader, 0, sizeof(m_aucFileHeader));
    memset(m_aucBodyStart, 0, sizeof(m_aucBodyStart));
}

FlvTransportProcessor::~FlvTransportProcessor() = default;

void FlvTransportProcessor::onFileHeader()
{
    if (fillFlvHeader(m_aucFileHeader, &m_FlvHeader, FLV_HEADER_SIZE) != 0) {
        m_iState = STATE_ENDED;
        return;
    }
    m_iState = STATE_TAGS;
    if (m_pMsgCallback)
        m_pMsgCallback->callMsgCallback(CB_FLV_HEADER, &m_FlvHeader);

    // The first tag follows the header (DataOffset bytes from the file start) and
    // PreviousTagSize0. An offset shorter than the header itself cannot be right:
    // the tags are taken to follow the 9 header bytes.
    uint32_t offset = std::max<uint32_t>(m_FlvHeader.DataOffset, FLV_HEADER_SIZE);
    m_llCarry = (long long)offset - FLV_HEADER_SIZE + 4;
    m_eStep = STEP_SKIP;
}

void FlvTransportProcessor::onTagHeader()
{
    fillFlvTag(m_aucTagHeader, &m_FlvTag, FLV_TAG_HEADER_SIZE);
    m_uiPartialHeaderLength = 0;
    ++m_ullTagCount;

    m_uiBodyStartLength = 0;
    m_uiBodyStartWanted = 0;
    if (m_FlvTag.DataSize > 0) {
        if (m_FlvTag.TagType == FLV_TAG_AUDIO) {
            ++m_ullAudioTagCount;
            m_uiBodyStartWanted = std::min<uint32_t>(2, m_FlvTag.DataSize);
        } else if (m_FlvTag.TagType == FLV_TAG_VIDEO) {
            ++m_ullVideoTagCount;
            m_uiBodyStartWanted = 1;
        }
    }
    if (m_uiBodyStartWanted > 0) {
        m_eStep = STEP_BODY_START;
    } else {
        m_llCarry = (long long)m_FlvTag.DataSize + 4;
        m_eStep = STEP_SKIP;
    }
}

void FlvTransportProcessor::onBodyStart()
{
    if (m_FlvTag.TagType == FLV_TAG_AUDIO) {
        fillAudioData(m_aucBodyStart, &m_AudioData, m_uiBodyStartLength);
        if (m_bFirstAudioPending) {
            m_bFirstAudioPending = false;
            if (m_pMsgCallback)
                m_pMsgCallback->callMsgCallback(CB_FLV_AUDIO_DATA, &m_AudioData);
        }
    } else {
        fillVideoData(m_aucBodyStart, &m_VideoData, m_uiBodyStartLength);
        if (m_bFirstVideoPending) {
            m_bFirstVideoPending = false;
            if (m_pMsgCallback)
                m_pMsgCallback->callMsgCallback(CB_FLV_VIDEO_DATA, &m_VideoData);
        }
    }
    // The rest of the body, then PreviousTagSize.
    m_llCarry = (long long)m_FlvTag.DataSize - m_uiBodyStartLength + 4;
    m_eStep = STEP_SKIP;
}

int FlvTransportProcessor::processRawBuff(unsigned char* buffer, long long length)
{
    if (m_iState == STATE_ENDED)
        return 3;
    if (!buffer || length <= 0)
        return 0;
    m_llByteCount += length;

    long long pos = 0;
    while (pos < length) {
        const long long remaining = length - pos;
        switch (m_eStep) {
        case STEP_FILE_HEADER: {
            uint32_t take = (uint32_t)std::min<long long>(FLV_HEADER_SIZE - m_uiFileHeaderLength, remaining);
            memcpy(m_aucFileHeader + m_uiFileHeaderLength, buffer + pos, take);
            m_uiFileHeaderLength += take;
            pos += take;
            // A wrong signature is known as soon as its bytes are in.
            uint32_t check = std::min<uint32_t>(m_uiFileHeaderLength, 3);
            if (memcmp(m_aucFileHeader, "FLV", check) != 0) {
                memset(&m_FlvHeader, 0, sizeof(m_FlvHeader));
                m_iState = STATE_ENDED;
            } else if (m_uiFileHeaderLength == FLV_HEADER_SIZE) {
                onFileHeader();
            }
            if (m_iState == STATE_ENDED) {
                m_llPosition = pos;
                return 3;
            }
            break;
        }
        case STEP_SKIP: {
            long long n = std::min(m_llCarry, remaining);
            pos += n;
            m_llCarry -= n;
            if (m_llCarry == 0)
                m_eStep = STEP_TAG_HEADER;
            break;
        }
        case STEP_TAG_HEADER: {
            uint32_t take =
                (uint32_t)std::min<long long>(FLV_TAG_HEADER_SIZE - m_uiPartialHeaderLength, remaining);
            memcpy(m_aucTagHeader + m_uiPartialHeaderLength, buffer + pos, take);
            m_uiPartialHeaderLength += take;
            pos += take;
            if (m_uiPartialHeaderLength < FLV_TAG_HEADER_SIZE) {
                fileLog("FlvTag cannot be fully read in, only %d bytes could be read in\n",
                        (int)m_uiPartialHeaderLength);
            } else {
                onTagHeader();
            }
            break;
        }
        case STEP_BODY_START: {
            uint32_t take = (uint32_t)std::min<long long>(m_uiBodyStartWanted - m_uiBodyStartLength, remaining);
            memcpy(m_aucBodyStart + m_uiBodyStartLength, buffer + pos, take);
            m_uiBodyStartLength += take;
            pos += take;
            if (m_uiBodyStartLength == m_uiBodyStartWanted)
                onBodyStart();
            break;
        }
        }
    }
    m_llPosition = pos;
    return 0;
}
