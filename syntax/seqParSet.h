#ifndef KORBALT_SYNTAX_SEQPARSET_H
#define KORBALT_SYNTAX_SEQPARSET_H

// H.264 | ISO/IEC 14496-10 sequence parameter set, read from its RBSP (emulation-prevention
// bytes removed) starting after the one-byte NAL unit header.

struct SequenceParameterSet {
    unsigned char profile_idc;
    unsigned char constraint_flags;  // constraint_set0..3 in bits 3..0 (bit 0 = set3)
    unsigned char level_idc;
    unsigned int seq_parameter_set_id;
    unsigned int chroma_format_idc;
    unsigned int bit_depth_luma_minus8;
    unsigned int bit_depth_chroma_minus8;
    unsigned int log2_max_frame_num_minus4;
    unsigned int pic_order_cnt_type;
    unsigned int log2_max_pic_order_cnt_lsb_minus4;
    unsigned int max_num_ref_frames;
    unsigned int gaps_in_frame_num_value_allowed_flag;
    unsigned int pic_width_in_mbs_minus1;
    unsigned int pic_height_in_map_units_minus1;
    unsigned int frame_mbs_only_flag;
    unsigned int mb_adaptive_frame_field_flag;
    unsigned int direct_8x8_inference_flag;
    unsigned int frame_cropping_flag;
    unsigned int frame_crop_left_offset;
    unsigned int frame_crop_right_offset;
    unsigned int frame_crop_top_offset;
    unsigned int frame_crop_bottom_offset;
    unsigned int vui_parameters_present_flag;
    unsigned char aspect_ratio_info_present_flag;
    unsigned char aspect_ratio_idc;
    unsigned int sar_width;
    unsigned int sar_height;
    unsigned int overscan_info_present_flag;
    unsigned int overscan_appropriate_flag;
    unsigned int video_signal_type_present_flag;
    unsigned int video_format;
    unsigned int video_full_range_flag;
    unsigned int colour_description_present_flag;
    unsigned char colour_primaries;
    unsigned char transfer_characteristics;
    unsigned char matrix_coefficients;
    unsigned int chroma_loc_info_present_flag;
    unsigned int chroma_sample_loc_type_top_field;
    unsigned int chroma_sample_loc_type_bottom_field;
    unsigned int timing_info_present_flag;
    unsigned long long num_units_in_tick;
    unsigned long long time_scale;
    unsigned int fixed_frame_rate_flag;
    // Read on the way; kept for the crop units and for completeness.
    unsigned int separate_colour_plane_flag;
    unsigned int seq_scaling_matrix_present_flag;
    unsigned int delta_pic_order_always_zero_flag;
};

// Results of fillSequenceParameterSet.
const int SPS_OK = 0;            // every field up to the timing information read
const int SPS_TRUNCATED = 1;     // the data ended inside the syntax: unusable
const int SPS_OUT_OF_RANGE = 2;  // a value outside the standard's range: unusable

// Zeroes the record and reads it. Without VUI or without timing information the timing
// fields stay 0: the stream does not say its frame rate.
int fillSequenceParameterSet(const unsigned char* rbsp, int length, SequenceParameterSet* sps);

// Lookups: a constant text, or null for a code outside the table.
const char* getH264ProfileDescription(int profile_idc);
const char* getH264LevelDescription(const SequenceParameterSet* sps);
const char* getH264ChromaDescription(int chroma_format_idc);
// "Unspecified" for 0, "1:1".."2:1" for 1..16, "Extended SAR" for 255.
const char* getH264AspectDescription(int aspect_ratio_idc);
// "4:3", "16:9" or "Unspecified" from the sample aspect ratio and the picture width.
const char* getH264AspectDescInformative(int aspect_ratio_idc, int width);

// Display aspect ratio (width * n) / (height * d) with n:d the sample aspect ratio of the idc;
// 1:1 for an idc without one (also 255 with a zero sar_width or sar_height); 0.0 for a height
// of 0.
double getH264AspectRatio(int aspect_ratio_idc, unsigned int width, unsigned int height,
                          unsigned int sar_height, unsigned int sar_width);
// n / d of the idc; 0.0 for an idc without one (also 255 with a zero sar_width or sar_height).
double getH264SampleAspectRatio(int aspect_ratio_idc, unsigned int sar_height,
                                unsigned int sar_width);
// time_scale / num_units_in_tick / 2; 0.0 when either is 0.
double getH264FrameRate(const SequenceParameterSet* sps);
// false for 0, 24, 25, 30, 50 and 60 or more; true otherwise.
bool isH264DropFrame(double frameRate);

// Decoded frame size in luma samples, and the size after the SPS frame cropping.
unsigned int getH264FrameWidth(const SequenceParameterSet* sps);
unsigned int getH264FrameHeight(const SequenceParameterSet* sps);
unsigned int getH264CroppedWidth(const SequenceParameterSet* sps);
unsigned int getH264CroppedHeight(const SequenceParameterSet* sps);

#endif
