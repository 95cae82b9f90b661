#include "syntax/seiMessage.h"

#include <cstring>

namespace {

// One ff_byte-coded value: 255 per 0xFF byte plus the first other byte. Returns the bytes used,
// 0 when the data ends first.
int readSeiValue(const unsigned char* p, int length, unsigned int* value)
{
    unsigned int v = 0;
    for (int i = 0; i < length; ++i) {
        if (p[i] != 0xFF) {
            *value = v + p[i];
            return i + 1;
        }
        v += 255;
    }
    return 0;
}

}  // namespace

int getSeiMsgTypeAndSize(const unsigned char* p, int length, unsigned int* type,
                         unsigned int* size)
{
    if (p == nullptr || length <= 0 || type == nullptr || size == nullptr)
        return 0;
    unsigned int t = 0;
    unsigned int s = 0;
    int usedType = readSeiValue(p, length, &t);
    if (usedType == 0)
        return 0;
    int usedSize = readSeiValue(p + usedType, length - usedType, &s);
    if (usedSize == 0)
        return 0;
    *type = t;
    *size = s;
    return usedType + usedSize;
}

int fillItuDataRegistered(const unsigned char* p, int length, ItuDataRegistered* data)
{
    memset(data, 0, sizeof(*data));
    if (p == nullptr || length < 1)
        return 0;
    int i = 1;
    data->itu_t_t35_country_code = p[0];
    if (p[0] == 0xFF) {
        if (length < 2) {
            memset(data, 0, sizeof(*data));
            return 0;
        }
        data->itu_t_t35_country_code = (unsigned short)(0xFF00 | p[1]);
        i = 2;
    }
    if (data->itu_t_t35_country_code != 0xB5)
        return i;
    if (length < i + 6) {
        memset(data, 0, sizeof(*data));
        return 0;
    }
    data->itu_t_t35_provider_code = (unsigned short)((p[i] << 8) | p[i + 1]);
    data->user_identifier = ((unsigned int)p[i + 2] << 24) | ((unsigned int)p[i + 3] << 16) |
                            ((unsigned int)p[i + 4] << 8) | p[i + 5];
    return i + 6;
}

bool isRbspTrailingBits(const unsigned char* p, int length)
{
    return p != nullptr && length >= 2 && p[0] == 0x80 && p[1] == 0x00;
}
