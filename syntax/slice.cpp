#include "syntax/slice.h"

#include "syntax/expGolomb.h"
#include "syntax/seqParSet.h"

#include <cstring>

int fillSliceHeader(const unsigned char* rbsp, int length, SliceHeader* header,
                    const SequenceParameterSet* sps)
{
    memset(header, 0, sizeof(*header));
    if (rbsp == nullptr || length <= 0)
        return SLICE_TRUNCATED;
    BitReader r;
    initBitReader(&r, rbsp, length);
    header->first_mb_in_slice = readUe(&r);
    header->slice_type = readUe(&r);
    header->pic_parameter_set_id = readUe(&r);
    if (r.error)
        return SLICE_TRUNCATED;
    if (header->slice_type > 9 || header->pic_parameter_set_id > 255)
        return SLICE_OUT_OF_RANGE;
    if (sps == nullptr)
        return SLICE_OK;
    if (sps->separate_colour_plane_flag)
        skipBits(&r, 2);  // colour_plane_id
    // log2_max_frame_num_minus4 is at most 12 in a usable SPS: frame_num is 4 to 16 bits.
    unsigned int bits = sps->log2_max_frame_num_minus4 + 4;
    if (bits > 16)
        return SLICE_OUT_OF_RANGE;
    header->frame_num = readBits(&r, bits);
    if (!sps->frame_mbs_only_flag) {
        header->field_pic_flag = readBits(&r, 1);
        if (header->field_pic_flag)
            header->bottom_field_flag = readBits(&r, 1);
    }
    return r.error ? SLICE_TRUNCATED : SLICE_OK;
}

const char* getSliceTypeDesc(int slice_type)
{
    static const char* const kTypes[] = {"P", "B", "I", "SP", "SI"};
    if (slice_type < 0 || slice_type > 9)
        return nullptr;
    return kTypes[slice_type % 5];
}
