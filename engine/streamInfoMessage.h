#ifndef KORBALT_ENGINE_STREAMINFOMESSAGE_H
#define KORBALT_ENGINE_STREAMINFOMESSAGE_H

#include "engine/streamMessage.h"

class StreamInfoMessage : public StreamMessage {
public:
    StreamInfoMessage() { setMsgType(MSG_TYPE_INFO); }
    ~StreamInfoMessage() override = default;
};

#endif
