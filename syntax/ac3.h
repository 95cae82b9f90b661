#ifndef KORBALT_SYNTAX_AC3_H
#define KORBALT_SYNTAX_AC3_H

// AC-3 (ATSC A/52) syncinfo and the start of the bit stream information.

// Bytes a header needs: syncinfo (5) plus the bsi bytes read here (2).
const int AC3_HEADER_SIZE = 7;

struct Ac3SyncInfo {
    unsigned short syncword;  // 0x0B77
    unsigned short crc1;
    unsigned char fscod : 2;      // bits 7..6 of byte 4
    unsigned char frmsizecod : 6; // bits 5..0 of byte 4
};

struct Ac3Bsi {
    unsigned char bsid;   // bits 7..3 of byte 5
    unsigned char bsmod;  // bits 2..0 of byte 5
    unsigned char acmod;  // bits 7..5 of byte 6
    unsigned char lfeon;  // after acmod and the mix levels that acmod brings, still in byte 6
};

// p points at the sync word. Return 0 when filled, 1 when length is too short (record zeroed,
// nothing read). The sync word is not checked.
int fillSyncInfo(const unsigned char* p, long length, Ac3SyncInfo* info);
int fillBsi(const unsigned char* p, long length, Ac3Bsi* bsi);

// Lookups: a constant text, or null for a code outside the table.
const char* getSamplingRateDesc(int fscod);
const char* getBitrate(int frmsizecod);
const char* getAcmDesc(int acmod);
const char* getChArrayOrdering(int acmod);
const char* getBsmDesc(int bsmod, int acmod);
// Full-band channels for acmod 0..7; -1 outside.
int getNumberOfChannels(int acmod);
// Bytes of a syncframe (sync word included) for fscod and frmsizecod; 0 for reserved codes.
int getAc3FrameSize(int fscod, int frmsizecod);

#endif
