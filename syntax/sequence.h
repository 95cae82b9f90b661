#ifndef KORBALT_SYNTAX_SEQUENCE_H
#define KORBALT_SYNTAX_SEQUENCE_H

// H.262 | ISO/IEC 13818-2 sequence header, sequence extension and sequence display extension.
// Every fill function takes a pointer to the first byte of the start code (00 00 01 xx) and the
// number of bytes readable from there; it zeroes the record, and returns 0 when filled or 1 when
// the bytes it needs are not all there (record left zeroed, nothing read). Start codes are not
// checked.

// Bytes each reader needs from the start code on.
const int SEQUENCE_HEADER_SIZE = 12;
const int SEQUENCE_EXTENSION_SIZE = 10;
const int DISP_SEQ_EXTENSION_SIZE = 9;                // without colour description
const int DISP_SEQ_EXTENSION_COLOUR_SIZE = 12;        // with colour description

struct SequenceHeader {
    unsigned int horizontal_size_value;   // 12 bits
    unsigned int vertical_size_value;     // 12 bits
    unsigned char aspect_ratio_information;
    unsigned char frame_rate_code;
    unsigned int bit_rate_value;          // 18 bits
    unsigned int vbv_buffer_size_value;   // 10 bits
};

struct SequenceExtension {
    unsigned char extension_start_code_identifier;
    unsigned char profile_and_level_indication;
    unsigned char progressive_sequence;
    unsigned char chroma_format;
    unsigned char horizontal_size_extension;
    unsigned char vertical_size_extension;
    unsigned int bit_rate_extension;      // 12 bits
    unsigned char vbv_buffer_size_extension;
    unsigned char low_delay;
    unsigned char frame_rate_extension_n;
    unsigned char frame_rate_extension_d;
};

struct DispSeqExtension {
    unsigned char extension_start_code_identifier;
    unsigned char video_format;
    unsigned char colour_description;
    unsigned int display_horizontal_size;  // 14 bits
    unsigned int display_vertical_size;    // 14 bits
};

int fillSequenceHeader(const unsigned char* p, long length, SequenceHeader* header);
int fillSequenceExtension(const unsigned char* p, long length, SequenceExtension* ext);
int fillDispSeqExtension(const unsigned char* p, long length, DispSeqExtension* ext);

// Lookups: a constant text, or null for a code outside the table.
const char* getFrameRateDesc(int frame_rate_code);          // 1..8
const char* getProfileDescription(int profile);             // bits 6..4 of the indication
const char* getLevelDescription(int level);                 // bits 3..0
const char* getProfileAndLevelDescription(int code);        // escape codes (bit 7 set)
const char* getChromaDescription(int chroma_format);        // 1..3
const char* getAspectRatioDesc(int aspect_ratio_information);  // 1..4
const char* getExtensionIdDesc(int extension_start_code_identifier);
// ISO/IEC 11172-2 pel_aspect_ratio 1..14 as the height / width of a pel; 0.0 outside.
double getPelAspectRatio(int pel_aspect_ratio);
// frame_rate_code 1..8 as frames per second; 0.0 outside.
float getFrameRateValue(int frame_rate_code);
// 1 for the NTSC-derived rates (codes 1, 4, 7); 0 otherwise.
int isDropFrame(int frame_rate_code);

#endif
