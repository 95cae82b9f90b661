#ifndef KORBALT_SYNTAX_PCMAUDIO_H
#define KORBALT_SYNTAX_PCMAUDIO_H

// The 4-byte LPCM audio header (SMPTE 302M) at the start of a PES payload.

const int PCM_AUDIO_HEADER_SIZE = 4;

struct PcmAudioHeader {
    unsigned int audio_packet_size;        // 16 bits, bytes 0..1
    unsigned char number_channels;         // bits 7..6 of byte 2
    unsigned char channel_identification;  // bits 5..0 of byte 2, bits 7..6 of byte 3
    unsigned char bits_per_sample;         // bits 5..4 of byte 3
    unsigned char alignment_bits;          // bits 3..0 of byte 3
};

// p points at the first payload byte. Return 0 when filled, 1 when length is too short
// (record zeroed).
int fillPcmAudioHeaderInfo(const unsigned char* p, long length, PcmAudioHeader* header);

// Lookups: a constant text, or null for a code outside the table.
const char* getPcmAudioChannelsNumber(int number_channels);
const char* getPcmAudioBitsPerSample(int bits_per_sample);

#endif
