#ifndef KORBALT_ENGINE_CONTENTRTP_H
#define KORBALT_ENGINE_CONTENTRTP_H

#include "engine/processor.h"

// The classifier never recognises RTP, so this always answers false.
class ContentRTP : public ContentType {
public:
    ~ContentRTP() override = default;
    bool isType(unsigned char* buffer, long long length) override;
};

#endif
