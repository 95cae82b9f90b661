#include "callbacks/flvCallbacks.h"

#include "callbacks/callbackMappedValue.h"
#include "engine/msgCallback.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessagePool.h"
#include "syntax/audioData.h"
#include "syntax/flvHeader.h"
#include "syntax/soundFormats.h"
#include "syntax/videoData.h"
#include "syntax/videoFormats.h"

#include <sstream>
#include <string>

namespace {

// Builds one message list entry by entry. A lookup without a text gives that
// entry an empty value; it never reaches the stream.
class EntryBuilder {
public:
    EntryBuilder() : m_pList(new MappedValueList()) {}
    ~EntryBuilder() { delete m_pList; }

    void add(const char* name, unsigned long long value)
    {
        m_Name << name;
        m_Value << value;
        append();
    }
    void add(const char* name, const char* text)
    {
        m_Name << name;
        if (text)
            m_Value << text;
        append();
    }
    void add(const char* name, const std::string& text)
    {
        m_Name << name;
        m_Value << text;
        append();
    }

    // Hands the list to a new info message and queues it.
    void send(int id, const char* desc, StreamMessagePool* pool)
    {
        StreamInfoMessage* msg = new StreamInfoMessage();
        msg->setMsgDesc(desc);
        msg->setCallbackId(id);
        msg->setMsgData(m_pList, PAYLOAD_TYPE_MAPPED_LIST, 0);
        m_pList = nullptr;
        if (pool)
            pool->setUnprocessedMsg(msg);
        else
            delete msg;
    }

private:
    void append()
    {
        m_pList->push_back(callbackMappedValue(m_Name.str(), m_Value.str()));
        m_Name.str(std::string());
        m_Value.str(std::string());
    }

    MappedValueList* m_pList;
    std::ostringstream m_Name;
    std::ostringstream m_Value;
};

}  // namespace

void FlvCallbacks::flvHeaderCb(void* data, StreamMessagePool* pool)
{
    const FlvHeader* header = static_cast<const FlvHeader*>(data);
    if (!header)
        return;
    EntryBuilder entries;
    entries.add("DataOffset", (unsigned long long)header->DataOffset);
    entries.add("TypeFlagsVideo", (unsigned long long)header->TypeFlagsVideo);
    entries.add("TypeFlagsReserved_2", (unsigned long long)header->TypeFlagsReserved_2);
    entries.add("TypeFlagsAudio", (unsigned long long)header->TypeFlagsAudio);
    entries.add("TypeFlagsReserved_1", (unsigned long long)header->TypeFlagsReserved_1);
    entries.add("Version", (unsigned long long)header->Version);
    entries.add("aucSignature", std::string(header->Signature, sizeof(header->Signature)));
    entries.send(CB_FLV_HEADER, "FLV Header", pool);
}

void FlvCallbacks::flvAudioDataCb(void* data, StreamMessagePool* pool)
{
    const AudioData* audio = static_cast<const AudioData*>(data);
    if (!audio)
        return;
    EntryBuilder entries;
    entries.add("Sound Type", getTagSoundType(audio));
    entries.add("Sound Size", getTagSoundSampleSize(audio));
    entries.add("Sound Rate", getTagSoundRate(audio));
    entries.add("Sound Format", getTagSoundFormat(audio));
    entries.send(CB_FLV_AUDIO_DATA, "AudioData", pool);
}

void FlvCallbacks::flvVideoDataCb(void* data, StreamMessagePool* pool)
{
    const VideoData* video = static_cast<const VideoData*>(data);
    if (!video)
        return;
    EntryBuilder entries;
    entries.add("CodecId", getTagCodecId(video));
    entries.add("Frame Type", getTagFrameType(video));
    entries.send(CB_FLV_VIDEO_DATA, "VideoData", pool);
}
