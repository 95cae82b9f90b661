#include "syntax/sequence.h"

#include <cstring>

namespace {

const char* const kFrameRates[] = {nullptr, "23.97", "24", "25", "29.97", "30", "50", "59.94",
                                   "60"};
const float kFrameRateValues[] = {0.0f, 24000.0f / 1001.0f, 24.0f, 25.0f, 30000.0f / 1001.0f,
                                  30.0f, 50.0f, 60000.0f / 1001.0f, 60.0f};
// MPEG-1 pel shapes (ISO/IEC 11172-2 pel_aspect_ratio), height over width.
const double kPelAspectRatios[] = {0.0,    1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                   0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015};
const char* const kProfiles[] = {nullptr, "High", "Spatially Scalable", "SNR Scalable", "Main",
                                 "Simple"};
const char* const kChroma[] = {nullptr, "4:2:0", "4:2:2", "4:4:4"};
const char* const kAspect[] = {nullptr, "1x1", "3x4", "9x16", "1x2.21"};
const char* const kExtensionIds[] = {nullptr,
                                     "Sequence Extension ID",
                                     "Sequence Display Extension ID",
                                     "Quant Matrix Extension ID",
                                     "Copyright Extension ID",
                                     "Sequence Scalable Extension ID",
                                     nullptr,
                                     "Picture Display Extension ID",
                                     "Picture Coding Extension ID",
                                     "Picture Spatial Scalable Extension ID",
                                     "Picture Temporal Scalable Extension ID"};

template <typename T, int N>
T lookup(const T (&table)[N], int code, T none)
{
    return (code >= 0 && code < N) ? table[code] : none;
}

}  // namespace

int fillSequenceHeader(const unsigned char* p, long length, SequenceHeader* h)
{
    memset(h, 0, sizeof(*h));
    if (p == nullptr || length < SEQUENCE_HEADER_SIZE)
        return 1;
    h->horizontal_size_value = ((unsigned int)p[4] << 4) | (p[5] >> 4);
    h->vertical_size_value = ((unsigned int)(p[5] & 0x0F) << 8) | p[6];
    h->aspect_ratio_information = p[7] >> 4;
    h->frame_rate_code = p[7] & 0x0F;
    h->bit_rate_value = ((unsigned int)p[8] << 10) | ((unsigned int)p[9] << 2) | (p[10] >> 6);
    // bit 5 of byte 10 is the marker bit
    h->vbv_buffer_size_value = ((unsigned int)(p[10] & 0x1F) << 5) | (p[11] >> 3);
    return 0;
}

int fillSequenceExtension(const unsigned char* p, long length, SequenceExtension* e)
{
    memset(e, 0, sizeof(*e));
    if (p == nullptr || length < SEQUENCE_EXTENSION_SIZE)
        return 1;
    e->extension_start_code_identifier = p[4] >> 4;
    e->profile_and_level_indication = (unsigned char)(((p[4] & 0x0F) << 4) | (p[5] >> 4));
    e->progressive_sequence = (p[5] >> 3) & 0x01;
    e->chroma_format = (p[5] >> 1) & 0x03;
    e->horizontal_size_extension = (unsigned char)(((p[5] & 0x01) << 1) | (p[6] >> 7));
    e->vertical_size_extension = (p[6] >> 5) & 0x03;
    e->bit_rate_extension = ((unsigned int)(p[6] & 0x1F) << 7) | (p[7] >> 1);
    e->vbv_buffer_size_extension = p[8];
    e->low_delay = p[9] >> 7;
    e->frame_rate_extension_n = (p[9] >> 5) & 0x03;
    e->frame_rate_extension_d = p[9] & 0x1F;
    return 0;
}

int fillDispSeqExtension(const unsigned char* p, long length, DispSeqExtension* e)
{
    memset(e, 0, sizeof(*e));
    if (p == nullptr || length < DISP_SEQ_EXTENSION_SIZE)
        return 1;
    unsigned char colour = p[4] & 0x01;
    if (colour && length < DISP_SEQ_EXTENSION_COLOUR_SIZE)
        return 1;
    e->extension_start_code_identifier = p[4] >> 4;
    e->video_format = (p[4] >> 1) & 0x07;
    e->colour_description = colour;
    // colour_primaries, transfer_characteristics and matrix_coefficients are skipped
    const unsigned char* s = colour ? p + 3 : p;
    // bit 1 of byte 6 (relative) is the marker bit
    e->display_horizontal_size = ((unsigned int)s[5] << 6) | (s[6] >> 2);
    e->display_vertical_size =
        ((unsigned int)(s[6] & 0x01) << 13) | ((unsigned int)s[7] << 5) | (s[8] >> 3);
    return 0;
}

const char* getFrameRateDesc(int frame_rate_code)
{
    return lookup<const char*>(kFrameRates, frame_rate_code, nullptr);
}

const char* getProfileDescription(int profile)
{
    return lookup<const char*>(kProfiles, profile, nullptr);
}

const char* getLevelDescription(int level)
{
    switch (level) {
    case 4:
        return "High";
    case 6:
        return "High 1440";
    case 8:
        return "Main";
    case 10:
        return "Low";
    default:
        return nullptr;
    }
}

const char* getProfileAndLevelDescription(int code)
{
    switch (code) {
    case 130:
        return "4:2:2 profile @ High level";
    case 133:
        return "4:2:2 profile @ Main level";
    case 138:
        return "Multi-view profile @ High level";
    case 139:
        return "Multi-view profile @ High1440 level";
    case 141:
        return "Multi-view profile @ Main level";
    case 142:
        return "Multi-view profile @ Low level";
    default:
        return nullptr;
    }
}

const char* getChromaDescription(int chroma_format)
{
    return lookup<const char*>(kChroma, chroma_format, nullptr);
}

const char* getAspectRatioDesc(int aspect_ratio_information)
{
    return lookup<const char*>(kAspect, aspect_ratio_information, nullptr);
}

const char* getExtensionIdDesc(int extension_start_code_identifier)
{
    return lookup<const char*>(kExtensionIds, extension_start_code_identifier, nullptr);
}

double getPelAspectRatio(int pel_aspect_ratio)
{
    return lookup<double>(kPelAspectRatios, pel_aspect_ratio, 0.0);
}

float getFrameRateValue(int frame_rate_code)
{
    return lookup<float>(kFrameRateValues, frame_rate_code, 0.0f);
}

int isDropFrame(int frame_rate_code)
{
    return (frame_rate_code == 1 || frame_rate_code == 4 || frame_rate_code == 7) ? 1 : 0;
}
