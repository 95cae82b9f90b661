#ifndef KORBALT_SYNTAX_MPEGAUDIO_H
#define KORBALT_SYNTAX_MPEGAUDIO_H

// MPEG audio frame header: ISO/IEC 11172-3 (ID 1), the lower sampling frequencies of
// ISO/IEC 13818-3 (ID 0), and the still lower ones of "MPEG-2.5", whose sync word is one bit
// shorter (bit 4 of byte 1 clear).

const int MPEG_AUDIO_HEADER_SIZE = 4;

struct MpegAudioHeader {
    // Bits 4..3 of byte 1: 3 MPEG-1, 2 MPEG-2 LSF, 0 MPEG-2.5, 1 reserved.
    unsigned char version;
    unsigned char ID;                  // bit 3 of byte 1: 1 MPEG-1, 0 MPEG-2 LSF or MPEG-2.5
    unsigned char layer;               // bits 2..1 of byte 1: 3 Layer I, 2 Layer II, 1 Layer III
    unsigned char protection_bit;      // bit 0 of byte 1
    unsigned char bitrate_index;       // high nibble of byte 2
    unsigned char sampling_frequency;  // bits 3..2 of byte 2
    unsigned char padding_bit;         // bit 1 of byte 2
    unsigned char mode;                // bits 7..6 of byte 3
    unsigned char mode_extension;      // bits 5..4 of byte 3
};

// p points at the sync word. Return 0 when filled, 1 when length is too short (record zeroed).
int fillHeaderInfo(const unsigned char* p, long length, MpegAudioHeader* header);

// Lookups: a constant text, or null for a code outside the table.
const char* getMpegAudioLayer(int layer);
// ID 1: 44100, 48000, 32000; ID 0: 22050, 24000, 16000; code 3 (reserved) null.
const char* getMpegAudioSampleFreq(int id, int sampling_frequency);
// By the two version bits: as above for 3 and 2, 11025, 12000, 8000 for 0 (MPEG-2.5); null
// for version 1 (reserved).
const char* getMpegAudioVersionSampleFreq(int version, int sampling_frequency);
const char* getMpegAudioMode(int mode);
// Bit rate in bit/s as text from the table of the ID and layer; index 0 gives "free"; null for
// layer code 0, an index above 14, or an ID other than 0 and 1.
const char* getMpegAudioBitrate(int id, int layer, int bitrate_index);
// Bytes of the frame that the header opens (header included), from version, layer, bit rate,
// sampling frequency and padding; 0 for reserved codes, -1 for the free format (the length is
// only known from where the next header is).
int getMpegAudioFrameLength(const MpegAudioHeader& header);
// Joint stereo bands (Layers I and II) or intensity/MS flags (Layer III).
const char* getMpegAudioModeExtension(int layer, int mode_extension);

#endif
