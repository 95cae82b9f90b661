#ifndef KORBALT_ENGINE_STREAMERRORMESSAGE_H
#define KORBALT_ENGINE_STREAMERRORMESSAGE_H

#include "engine/streamMessage.h"

class StreamErrorMessage : public StreamMessage {
public:
    StreamErrorMessage() { setMsgType(MSG_TYPE_ERROR); }
    ~StreamErrorMessage() override = default;
};

#endif
