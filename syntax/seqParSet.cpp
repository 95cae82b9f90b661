#include "syntax/seqParSet.h"

#include "syntax/expGolomb.h"

#include <cmath>
#include <cstring>

namespace {

// Largest picture the levels allow (level 6.2): frame size in macroblocks, and the side that
// A.3.1 derives from it (sqrt(8 * MaxFS)).
const unsigned long kMaxFrameMbs = 139264;
const unsigned int kMaxSideMbs = 1055;

// Sample aspect ratios of Table E-1, indexed by aspect_ratio_idc 0..16.
const unsigned int kSarNum[] = {0, 1, 12, 10, 16, 40, 24, 20, 32, 80, 18, 15, 64, 160, 4, 3, 2};
const unsigned int kSarDen[] = {0, 1, 11, 11, 11, 33, 11, 11, 11, 33, 11, 11, 33, 99, 3, 2, 1};
const int kLastSarIdc = 16;

const char* const kAspectDesc[] = {"Unspecified", "1:1",   "12:11", "10:11", "16:11", "40:33",
                                   "24:11",       "20:11", "32:11", "80:33", "18:11", "15:11",
                                   "64:33",       "160:99", "4:3",  "3:2",   "2:1"};

bool hasHighProfileSyntax(unsigned int profile_idc)
{
    switch (profile_idc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
    case 144:  // the former High 4:4:4 profile uses the same syntax
        return true;
    default:
        return false;
    }
}

// Reads one scaling_list() and discards it; only its length in bits matters here.
bool skipScalingList(BitReader* r, int size)
{
    int lastScale = 8;
    int nextScale = 8;
    for (int j = 0; j < size; ++j) {
        if (nextScale != 0) {
            int delta = readSe(r);
            if (r->error || delta < -128 || delta > 127)
                return false;
            nextScale = (lastScale + delta + 256) % 256;
        }
        lastScale = (nextScale == 0) ? lastScale : nextScale;
    }
    return true;
}

// n:d of an idc; false when it has none.
bool getSar(int idc, unsigned int sar_height, unsigned int sar_width, unsigned int* n,
            unsigned int* d)
{
    if (idc >= 1 && idc <= kLastSarIdc) {
        *n = kSarNum[idc];
        *d = kSarDen[idc];
        return true;
    }
    if (idc == 255 && sar_width != 0 && sar_height != 0) {
        *n = sar_width;
        *d = sar_height;
        return true;
    }
    return false;
}

unsigned int chromaArrayType(const SequenceParameterSet* sps)
{
    return sps->separate_colour_plane_flag ? 0 : sps->chroma_format_idc;
}

unsigned int cropUnitX(const SequenceParameterSet* sps)
{
    unsigned int cat = chromaArrayType(sps);
    return (cat == 1 || cat == 2) ? 2 : 1;
}

unsigned int cropUnitY(const SequenceParameterSet* sps)
{
    unsigned int cat = chromaArrayType(sps);
    unsigned int subHeight = (cat == 1) ? 2 : 1;
    return subHeight * (2 - (sps->frame_mbs_only_flag ? 1 : 0));
}

int parseSps(BitReader* r, SequenceParameterSet* sps)
{
    sps->profile_idc = (unsigned char)readBits(r, 8);
    sps->constraint_flags = (unsigned char)(readBits(r, 8) >> 4);
    sps->level_idc = (unsigned char)readBits(r, 8);
    sps->seq_parameter_set_id = readUe(r);
    if (r->error)
        return SPS_TRUNCATED;
    if (sps->seq_parameter_set_id > 31)
        return SPS_OUT_OF_RANGE;

    sps->chroma_format_idc = 1;
    if (hasHighProfileSyntax(sps->profile_idc)) {
        sps->chroma_format_idc = readUe(r);
        if (r->error)
            return SPS_TRUNCATED;
        if (sps->chroma_format_idc > 3)
            return SPS_OUT_OF_RANGE;
        if (sps->chroma_format_idc == 3)
            sps->separate_colour_plane_flag = readBits(r, 1);
        sps->bit_depth_luma_minus8 = readUe(r);
        sps->bit_depth_chroma_minus8 = readUe(r);
        if (r->error)
            return SPS_TRUNCATED;
        if (sps->bit_depth_luma_minus8 > 6 || sps->bit_depth_chroma_minus8 > 6)
            return SPS_OUT_OF_RANGE;
        skipBits(r, 1);  // qpprime_y_zero_transform_bypass_flag
        sps->seq_scaling_matrix_present_flag = readBits(r, 1);
        if (sps->seq_scaling_matrix_present_flag) {
            int lists = (sps->chroma_format_idc != 3) ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                if (readFlag(r) && !skipScalingList(r, i < 6 ? 16 : 64))
                    return r->error ? SPS_TRUNCATED : SPS_OUT_OF_RANGE;
            }
        }
        if (r->error)
            return SPS_TRUNCATED;
    }

    sps->log2_max_frame_num_minus4 = readUe(r);
    sps->pic_order_cnt_type = readUe(r);
    if (r->error)
        return SPS_TRUNCATED;
    if (sps->log2_max_frame_num_minus4 > 12 || sps->pic_order_cnt_type > 2)
        return SPS_OUT_OF_RANGE;
    if (sps->pic_order_cnt_type == 0) {
        sps->log2_max_pic_order_cnt_lsb_minus4 = readUe(r);
        if (r->error)
            return SPS_TRUNCATED;
        if (sps->log2_max_pic_order_cnt_lsb_minus4 > 12)
            return SPS_OUT_OF_RANGE;
    } else if (sps->pic_order_cnt_type == 1) {
        sps->delta_pic_order_always_zero_flag = readBits(r, 1);
        readSe(r);  // offset_for_non_ref_pic
        readSe(r);  // offset_for_top_to_bottom_field
        unsigned int cycle = readUe(r);
        if (r->error)
            return SPS_TRUNCATED;
        if (cycle > 255)
            return SPS_OUT_OF_RANGE;
        for (unsigned int i = 0; i < cycle; ++i)
            readSe(r);  // offset_for_ref_frame[i]
        if (r->error)
            return SPS_TRUNCATED;
    }

    sps->max_num_ref_frames = readUe(r);
    sps->gaps_in_frame_num_value_allowed_flag = readBits(r, 1);
    sps->pic_width_in_mbs_minus1 = readUe(r);
    sps->pic_height_in_map_units_minus1 = readUe(r);
    sps->frame_mbs_only_flag = readBits(r, 1);
    if (!sps->frame_mbs_only_flag)
        sps->mb_adaptive_frame_field_flag = readBits(r, 1);
    sps->direct_8x8_inference_flag = readBits(r, 1);
    sps->frame_cropping_flag = readBits(r, 1);
    if (sps->frame_cropping_flag) {
        sps->frame_crop_left_offset = readUe(r);
        sps->frame_crop_right_offset = readUe(r);
        sps->frame_crop_top_offset = readUe(r);
        sps->frame_crop_bottom_offset = readUe(r);
    }
    sps->vui_parameters_present_flag = readBits(r, 1);
    if (r->error)
        return SPS_TRUNCATED;

    if (sps->max_num_ref_frames > 16)
        return SPS_OUT_OF_RANGE;
    unsigned long widthMbs = (unsigned long)sps->pic_width_in_mbs_minus1 + 1;
    unsigned long heightMbs = ((unsigned long)sps->pic_height_in_map_units_minus1 + 1) *
                              (sps->frame_mbs_only_flag ? 1 : 2);
    if (widthMbs > kMaxSideMbs || heightMbs > kMaxSideMbs || widthMbs * heightMbs > kMaxFrameMbs)
        return SPS_OUT_OF_RANGE;
    // The cropping window must leave at least one sample each way.
    unsigned long long cropX = (unsigned long long)cropUnitX(sps) *
                               ((unsigned long long)sps->frame_crop_left_offset +
                                sps->frame_crop_right_offset);
    unsigned long long cropY = (unsigned long long)cropUnitY(sps) *
                               ((unsigned long long)sps->frame_crop_top_offset +
                                sps->frame_crop_bottom_offset);
    if (cropX >= widthMbs * 16 || cropY >= heightMbs * 16)
        return SPS_OUT_OF_RANGE;

    if (sps->vui_parameters_present_flag) {
        sps->aspect_ratio_info_present_flag = (unsigned char)readBits(r, 1);
        if (sps->aspect_ratio_info_present_flag) {
            sps->aspect_ratio_idc = (unsigned char)readBits(r, 8);
            if (sps->aspect_ratio_idc == 255) {
                sps->sar_width = readBits(r, 16);
                sps->sar_height = readBits(r, 16);
            }
        }
        sps->overscan_info_present_flag = readBits(r, 1);
        if (sps->overscan_info_present_flag)
            sps->overscan_appropriate_flag = readBits(r, 1);
        sps->video_signal_type_present_flag = readBits(r, 1);
        if (sps->video_signal_type_present_flag) {
            sps->video_format = readBits(r, 3);
            sps->video_full_range_flag = readBits(r, 1);
            sps->colour_description_present_flag = readBits(r, 1);
            if (sps->colour_description_present_flag) {
                sps->colour_primaries = (unsigned char)readBits(r, 8);
                sps->transfer_characteristics = (unsigned char)readBits(r, 8);
                sps->matrix_coefficients = (unsigned char)readBits(r, 8);
            }
        }
        sps->chroma_loc_info_present_flag = readBits(r, 1);
        if (sps->chroma_loc_info_present_flag) {
            sps->chroma_sample_loc_type_top_field = readUe(r);
            sps->chroma_sample_loc_type_bottom_field = readUe(r);
        }
        sps->timing_info_present_flag = readBits(r, 1);
        if (sps->timing_info_present_flag) {
            sps->num_units_in_tick = readBits(r, 32);
            sps->time_scale = readBits(r, 32);
            sps->fixed_frame_rate_flag = readBits(r, 1);
        }
        // HRD parameters and bitstream restrictions are not needed.
        if (r->error)
            return SPS_TRUNCATED;
        if (sps->chroma_sample_loc_type_top_field > 5 ||
            sps->chroma_sample_loc_type_bottom_field > 5)
            return SPS_OUT_OF_RANGE;
    }
    return SPS_OK;
}

}  // namespace

int fillSequenceParameterSet(const unsigned char* rbsp, int length, SequenceParameterSet* sps)
{
    memset(sps, 0, sizeof(*sps));
    if (rbsp == nullptr || length <= 0)
        return SPS_TRUNCATED;
    BitReader r;
    initBitReader(&r, rbsp, length);
    return parseSps(&r, sps);
}

const char* getH264ProfileDescription(int profile_idc)
{
    switch (profile_idc) {
    case 66:
        return "Baseline";
    case 77:
        return "Main";
    case 88:
        return "Extended";
    case 100:
        return "High";
    case 110:
        return "High 10";
    case 122:
        return "High 4:2:2";
    case 144:
        return "High 4:4:4";
    case 244:
        return "High 4:4:4 Predictive";
    case 44:
        return "CAVLC 4:4:4 Intra";
    default:
        return nullptr;
    }
}

const char* getH264LevelDescription(const SequenceParameterSet* sps)
{
    if (sps == nullptr)
        return nullptr;
    switch (sps->level_idc) {
    case 9:
        return "Level 1b";
    case 10:
        return "Level 1";
    case 11:
        return (sps->constraint_flags & 0x01) ? "Level 1b" : "Level 1.1";
    case 12:
        return "Level 1.2";
    case 13:
        return "Level 1.3";
    case 20:
        return "Level 2";
    case 21:
        return "Level 2.1";
    case 22:
        return "Level 2.2";
    case 30:
        return "Level 3";
    case 31:
        return "Level 3.1";
    case 32:
        return "Level 3.2";
    case 40:
        return "Level 4";
    case 41:
        return "Level 4.1";
    case 42:
        return "Level 4.2";
    case 50:
        return "Level 5";
    case 51:
        return "Level 5.1";
    case 52:
        return "Level 5.2";
    case 60:
        return "Level 6";
    case 61:
        return "Level 6.1";
    case 62:
        return "Level 6.2";
    default:
        return nullptr;
    }
}

const char* getH264ChromaDescription(int chroma_format_idc)
{
    switch (chroma_format_idc) {
    case 0:
        return "Monochrome";
    case 1:
        return "4:2:0";
    case 2:
        return "4:2:2";
    case 3:
        return "4:4:4";
    default:
        return nullptr;
    }
}

const char* getH264AspectDescription(int aspect_ratio_idc)
{
    if (aspect_ratio_idc >= 0 && aspect_ratio_idc <= kLastSarIdc)
        return kAspectDesc[aspect_ratio_idc];
    if (aspect_ratio_idc == 255)
        return "Extended SAR";
    return nullptr;
}

const char* getH264AspectDescInformative(int aspect_ratio_idc, int width)
{
    // The pairings of Table E-1's examples.
    switch (aspect_ratio_idc) {
    case 1:
        if (width >= 1280)
            return "16:9";
        if (width == 640)
            return "4:3";
        return "Unspecified";
    case 2:
    case 3:
    case 6:
    case 7:
    case 10:
    case 11:
        return "4:3";
    case 4:
    case 5:
    case 8:
    case 9:
    case 12:
    case 13:
    case 14:  // 1440x1080
    case 15:  // 1280x1080
    case 16:  // 960x1080
        return "16:9";
    default:
        return "Unspecified";
    }
}

double getH264AspectRatio(int aspect_ratio_idc, unsigned int width, unsigned int height,
                          unsigned int sar_height, unsigned int sar_width)
{
    unsigned int n = 1;
    unsigned int d = 1;
    if (!getSar(aspect_ratio_idc, sar_height, sar_width, &n, &d)) {
        n = 1;
        d = 1;
    }
    unsigned long long den = (unsigned long long)height * d;
    if (den == 0)
        return 0.0;
    return (double)((unsigned long long)width * n) / (double)den;
}

double getH264SampleAspectRatio(int aspect_ratio_idc, unsigned int sar_height,
                                unsigned int sar_width)
{
    unsigned int n = 0;
    unsigned int d = 0;
    if (!getSar(aspect_ratio_idc, sar_height, sar_width, &n, &d))
        return 0.0;
    return (double)n / (double)d;
}

double getH264FrameRate(const SequenceParameterSet* sps)
{
    if (sps == nullptr || sps->num_units_in_tick == 0 || sps->time_scale == 0)
        return 0.0;
    return (double)sps->time_scale / (double)sps->num_units_in_tick * 0.5;
}

bool isH264DropFrame(double frameRate)
{
    if (!(frameRate > 0.0) || frameRate >= 60.0 || std::isinf(frameRate))
        return false;
    const double whole[] = {24.0, 25.0, 30.0, 50.0};
    for (double w : whole) {
        if (std::fabs(frameRate - w) < 1e-6)
            return false;
    }
    return true;
}

unsigned int getH264FrameWidth(const SequenceParameterSet* sps)
{
    return (sps->pic_width_in_mbs_minus1 + 1) * 16;
}

unsigned int getH264FrameHeight(const SequenceParameterSet* sps)
{
    return (2 - (sps->frame_mbs_only_flag ? 1 : 0)) * (sps->pic_height_in_map_units_minus1 + 1) *
           16;
}

unsigned int getH264CroppedWidth(const SequenceParameterSet* sps)
{
    unsigned long long full = getH264FrameWidth(sps);
    unsigned long long crop = (unsigned long long)cropUnitX(sps) *
                              ((unsigned long long)sps->frame_crop_left_offset +
                               sps->frame_crop_right_offset);
    return crop < full ? (unsigned int)(full - crop) : 0;
}

unsigned int getH264CroppedHeight(const SequenceParameterSet* sps)
{
    unsigned long long full = getH264FrameHeight(sps);
    unsigned long long crop = (unsigned long long)cropUnitY(sps) *
                              ((unsigned long long)sps->frame_crop_top_offset +
                               sps->frame_crop_bottom_offset);
    return crop < full ? (unsigned int)(full - crop) : 0;
}
