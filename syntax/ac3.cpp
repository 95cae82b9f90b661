#include "syntax/ac3.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* const kSamplingRates[] = {"48000", "44100", "32000", "Reserved"};

const char* const kBitrates[] = {"32000",  "40000",  "48000",  "56000",  "64000",
                                 "80000",  "96000",  "112000", "128000", "160000",
                                 "192000", "224000", "256000", "320000", "384000",
                                 "448000", "512000", "576000", "640000"};

const char* const kAcmDesc[] = {"1+1", "1/0", "2/0", "3/0", "2/1", "3/1", "2/2", "3/2"};

const char* const kChOrdering[] = {"Ch1, Ch2", "C",       "L,R",       "L,C,R",
                                   "L,R,S",    "L,C,R,S", "L,R,SL,SR", "L,C,R,SL,SR"};

const char* const kBsmDesc[] = {"main audio service: complete main (CM)",
                                "main audio service: music and effects (ME)",
                                "associated service: visually impaired (VI)",
                                "associated service: hearing impaired (HI)",
                                "associated service: dialogue (D)",
                                "associated service: commentary (C)",
                                "associated service: emergency (E)"};

const int kChannels[] = {2, 1, 2, 3, 3, 4, 4, 5};

template <typename T, int N>
const char* lookup(const T (&table)[N], int code)
{
    return (code >= 0 && code < N) ? table[code] : nullptr;
}

}  // namespace

int fillSyncInfo(const unsigned char* p, long length, Ac3SyncInfo* info)
{
    memset(info, 0, sizeof(*info));
    if (p == nullptr || length < 5)
        return 1;
    info->syncword = (unsigned short)((p[0] << 8) | p[1]);
    info->crc1 = (unsigned short)((p[2] << 8) | p[3]);
    info->fscod = (p[4] >> 6) & 0x03;
    info->frmsizecod = p[4] & 0x3F;
    return 0;
}

int fillBsi(const unsigned char* p, long length, Ac3Bsi* bsi)
{
    memset(bsi, 0, sizeof(*bsi));
    if (p == nullptr || length < AC3_HEADER_SIZE)
        return 1;
    bsi->bsid = (p[5] >> 3) & 0x1F;
    bsi->bsmod = p[5] & 0x07;
    bsi->acmod = (p[6] >> 5) & 0x07;
    // cmixlev (3 front channels), surmixlev (surround present) and dsurmod (2/0) come
    // between acmod and lfeon, two bits each; at most four, so lfeon stays in byte 6.
    int bit = 4;
    if ((bsi->acmod & 0x01) && bsi->acmod != 1)
        bit -= 2;
    if (bsi->acmod & 0x04)
        bit -= 2;
    if (bsi->acmod == 2)
        bit -= 2;
    bsi->lfeon = (p[6] >> bit) & 0x01;
    return 0;
}

const char* getSamplingRateDesc(int fscod)
{
    return lookup(kSamplingRates, fscod);
}

const char* getBitrate(int frmsizecod)
{
    if (frmsizecod < 0)
        return nullptr;
    return lookup(kBitrates, frmsizecod / 2);
}

const char* getAcmDesc(int acmod)
{
    return lookup(kAcmDesc, acmod);
}

const char* getChArrayOrdering(int acmod)
{
    return lookup(kChOrdering, acmod);
}

const char* getBsmDesc(int bsmod, int acmod)
{
    if (bsmod == 7) {
        if (acmod == 1)
            return "associated service: voice over (VO)";
        if (acmod > 1 && acmod <= 7)
            return "main audio service: karaoke";
        return nullptr;
    }
    return lookup(kBsmDesc, bsmod);
}

int getNumberOfChannels(int acmod)
{
    return (acmod >= 0 && acmod < 8) ? kChannels[acmod] : -1;
}

int getAc3FrameSize(int fscod, int frmsizecod)
{
    const char* rate = getSamplingRateDesc(fscod);
    const char* bitrate = getBitrate(frmsizecod);
    if (!rate || !bitrate || fscod == 3)
        return 0;
    // 1536 samples of 16-bit words; at 44.1 kHz the odd codes carry one word more.
    long words = atol(bitrate) * 96 / atol(rate);
    if (fscod == 1)
        words += frmsizecod & 1;
    return (int)(2 * words);
}
