#ifndef KORBALT_ENGINE_STREAMMESSAGE_H
#define KORBALT_ENGINE_STREAMMESSAGE_H

#include <cstdint>
#include <string>

enum _MessageType { MSG_TYPE_INFO = 0, MSG_TYPE_WARNING = 1, MSG_TYPE_ERROR = 2 };

enum _PayloadType {
    PAYLOAD_TYPE_NONE = 0,
    PAYLOAD_TYPE_INT32_ARRAY = 1,
    PAYLOAD_TYPE_4BYTE_ARRAY = 2,
    PAYLOAD_TYPE_8BYTE_ARRAY = 3,
    PAYLOAD_TYPE_MAPPED_LIST = 4
};

// One finding on its way from a callback to the report. Owns its payload.
// Arrays of types 1..3 are allocated with new[] of int32_t (1, 2) or int64_t (3);
// type 4 is a new'd std::list<callbackMappedValue>. With types 1..3 and count 0
// the pointer is a plain value, neither copied nor freed. setMsgData over an owned
// payload frees the old one (unless it is the same pointer).
class StreamMessage {
public:
    StreamMessage();
    StreamMessage(const StreamMessage& other);
    StreamMessage& operator=(const StreamMessage& other);
    virtual ~StreamMessage();

    void setCallbackId(int id) { m_iCallbackId = id; }
    int getCallbackId() const { return m_iCallbackId; }
    void setMsgDesc(std::string& desc) { m_sDesc = desc; }
    void setMsgDesc(const char* desc) { m_sDesc = desc ? desc : ""; }
    std::string& getMsgDesc() { return m_sDesc; }
    void setMsgType(_MessageType type) { m_eMsgType = type; }
    _MessageType getMsgType() const { return m_eMsgType; }
    void setMsgData(void* data, _PayloadType type, int count);
    void* getMsgData() const { return m_pData; }
    _PayloadType getPayloadType() const { return m_ePayloadType; }
    int getMsgCount() const { return m_iCount; }

private:
    void freePayload();
    void copyPayloadFrom(const StreamMessage& other);

    int32_t m_iCallbackId;
    int32_t m_iCount;
    std::string m_sDesc;
    _MessageType m_eMsgType;
    _PayloadType m_ePayloadType;
    void* m_pData;
};

#endif
