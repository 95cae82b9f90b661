#ifndef KORBALT_SYNTAX_SLICE_H
#define KORBALT_SYNTAX_SLICE_H

// The first fields of an H.264 slice header, read from the RBSP after the NAL unit header.

struct SequenceParameterSet;

struct SliceHeader {
    unsigned int first_mb_in_slice;
    unsigned int slice_type;
    unsigned int pic_parameter_set_id;
    unsigned int frame_num;
    unsigned int field_pic_flag;
    unsigned int bottom_field_flag;
};

// Results of fillSliceHeader.
const int SLICE_OK = 0;
const int SLICE_TRUNCATED = 1;     // the data ended inside the fields read
const int SLICE_OUT_OF_RANGE = 2;  // slice_type above 9 or pic_parameter_set_id above 255

// Zeroes the record; reads the first three fields, and with an SPS also frame_num,
// field_pic_flag and bottom_field_flag.
int fillSliceHeader(const unsigned char* rbsp, int length, SliceHeader* header,
                    const SequenceParameterSet* sps);

// slice_type modulo 5: "P", "B", "I", "SP", "SI"; null above 9.
const char* getSliceTypeDesc(int slice_type);

#endif
