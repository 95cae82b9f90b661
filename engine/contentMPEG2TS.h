#ifndef KORBALT_ENGINE_CONTENTMPEG2TS_H
#define KORBALT_ENGINE_CONTENTMPEG2TS_H

#include "engine/processor.h"

class ContentMPEG2TS : public ContentType {
public:
    ~ContentMPEG2TS() override = default;
    bool isType(unsigned char* buffer, long long length) override;
};

#endif
