#include "engine/streamMessage.h"
#include "callbacks/callbackMappedValue.h"

#include <cstring>

StreamMessage::StreamMessage()
    : m_iCallbackId(-1), m_iCount(0), m_eMsgType(MSG_TYPE_INFO), m_ePayloadType(PAYLOAD_TYPE_NONE),
      m_pData(nullptr)
{
}

StreamMessage::StreamMessage(const StreamMessage& other)
    : m_iCallbackId(other.m_iCallbackId), m_iCount(other.m_iCount), m_sDesc(other.m_sDesc),
      m_eMsgType(other.m_eMsgType), m_ePayloadType(other.m_ePayloadType), m_pData(nullptr)
{
    copyPayloadFrom(other);
}

StreamMessage& StreamMessage::operator=(const StreamMessage& other)
{
    if (this == &other)
        return *this;
    freePayload();
    m_iCallbackId = other.m_iCallbackId;
    m_iCount = other.m_iCount;
    m_sDesc = other.m_sDesc;
    m_eMsgType = other.m_eMsgType;
    m_ePayloadType = other.m_ePayloadType;
    copyPayloadFrom(other);
    return *this;
}

StreamMessage::~StreamMessage()
{
    freePayload();
}

void StreamMessage::setMsgData(void* data, _PayloadType type, int count)
{
    // A payload this message already owns is freed when another one replaces it.
    if (data != m_pData)
        freePayload();
    m_pData = data;
    m_ePayloadType = type;
    m_iCount = count;
}

void StreamMessage::copyPayloadFrom(const StreamMessage& other)
{
    m_pData = other.m_pData;
    switch (m_ePayloadType) {
    case PAYLOAD_TYPE_INT32_ARRAY:
    case PAYLOAD_TYPE_4BYTE_ARRAY:
        if (m_iCount > 0 && other.m_pData) {
            int32_t* a = new int32_t[m_iCount];
            memcpy(a, other.m_pData, sizeof(int32_t) * (size_t)m_iCount);
            m_pData = a;
        }
        break;
    case PAYLOAD_TYPE_8BYTE_ARRAY:
        if (m_iCount > 0 && other.m_pData) {
            int64_t* a = new int64_t[m_iCount];
            memcpy(a, other.m_pData, sizeof(int64_t) * (size_t)m_iCount);
            m_pData = a;
        }
        break;
    case PAYLOAD_TYPE_MAPPED_LIST:
        if (other.m_pData)
            m_pData = new MappedValueList(*static_cast<MappedValueList*>(other.m_pData));
        break;
    default:
        break;
    }
}

void StreamMessage::freePayload()
{
    switch (m_ePayloadType) {
    case PAYLOAD_TYPE_INT32_ARRAY:
    case PAYLOAD_TYPE_4BYTE_ARRAY:
        if (m_iCount != 0)
            delete[] static_cast<int32_t*>(m_pData);
        break;
    case PAYLOAD_TYPE_8BYTE_ARRAY:
        if (m_iCount != 0)
            delete[] static_cast<int64_t*>(m_pData);
        break;
    case PAYLOAD_TYPE_MAPPED_LIST:
        delete static_cast<MappedValueList*>(m_pData);
        break;
    default:
        break;
    }
    m_pData = nullptr;
    m_iCount = 0;
    m_ePayloadType = PAYLOAD_TYPE_NONE;
}
