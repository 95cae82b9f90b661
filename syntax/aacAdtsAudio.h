#ifndef KORBALT_SYNTAX_AACADTSAUDIO_H
#define KORBALT_SYNTAX_AACADTSAUDIO_H

// ADTS header of AAC (ISO/IEC 13818-7).

// Bytes of the fixed header as read here (it ends inside byte 3).
const int ADTS_FIXED_HEADER_SIZE = 4;
// Fixed plus variable header, without the optional CRC.
const int ADTS_HEADER_SIZE = 7;

struct AdtsFixedHeader {
    unsigned char ID;                        // bit 3 of byte 1: 1 MPEG-2, 0 MPEG-4
    unsigned char layer;                     // bits 2..1 of byte 1
    unsigned char protection_absent;         // bit 0 of byte 1
    unsigned char profile;                   // bits 7..6 of byte 2
    unsigned char sampling_frequency_index;  // bits 5..2 of byte 2
    unsigned char private_bit;               // bit 1 of byte 2
    unsigned char channel_configuration;     // bit 0 of byte 2, bits 7..6 of byte 3
    unsigned char original_copy;             // bit 5 of byte 3
    unsigned char home;                      // bit 4 of byte 3
};

struct AdtsVariableHeader {
    unsigned char copyright_identification_bit;    // bit 3 of byte 3
    unsigned char copyright_identification_start;  // bit 2 of byte 3
    unsigned short frame_length;                   // 13 bits from bit 1 of byte 3
    unsigned short adts_buffer_fullness;           // 11 bits
    unsigned char number_of_raw_data_blocks_in_frame;  // 2 bits, low of byte 6
};

// p points at the sync word. Return 0 when filled, 1 when length is too short (record zeroed).
int fillAdtsFixedHeaderInfo(const unsigned char* p, long length, AdtsFixedHeader* header);
int fillAdtsVariableHeaderInfo(const unsigned char* p, long length, AdtsVariableHeader* header);

// Sampling frequency indexes 0..12 name a frequency (12 is 7350 Hz); 13 to 15 are reserved.
const int ADTS_SAMPLING_INDEXES = 13;

// Lookups: a constant text, or null for a code outside the table.
const char* getAacAudioLayer(int layer);
const char* getAacAudioSamplingFreq(int sampling_frequency_index);
const char* getAacAudioProfile(int profile);
const char* getAacAudioMpeg4Profile(int profile);
// Never null: codes 0 and above 7 give "unknown".
const char* getAacAudioMode(int channel_configuration);
// Channels of channel_configuration 1..7 (7 is 7.1: 8); 0 (given in the stream's program
// config element) stays 0; -1 outside 0..7.
int getAacNumberOfChannels(int channel_configuration);
// Prediction scale-factor-band limit by sampling index 0..11; -1 outside.
int getPredSfbMax(int sampling_frequency_index);

#endif
