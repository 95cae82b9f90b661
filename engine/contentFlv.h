#ifndef KORBALT_ENGINE_CONTENTFLV_H
#define KORBALT_ENGINE_CONTENTFLV_H

#include "engine/processor.h"

class ContentFlv : public ContentType {
public:
    ~ContentFlv() override = default;
    bool isType(unsigned char* buffer, long long length) override;
};

#endif
