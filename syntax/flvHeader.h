#ifndef KORBALT_SYNTAX_FLVHEADER_H
#define KORBALT_SYNTAX_FLVHEADER_H

#include <cstdint>

const unsigned int FLV_HEADER_SIZE = 9;

struct FlvHeader {
    char Signature[3];
    uint8_t Version;
    uint8_t TypeFlagsReserved_1 : 5;  // bits 3..7 of file byte 4
    uint8_t TypeFlagsAudio : 1;       // bit 2
    uint8_t TypeFlagsReserved_2 : 1;  // bit 1
    uint8_t TypeFlagsVideo : 1;       // bit 0
    uint32_t DataOffset;
};

// 0 on "FLV" with all 9 bytes within length; else 1 with the record zeroed.
int fillFlvHeader(const unsigned char* bytes, FlvHeader* header, long long length);
// The same into a malloc'd record the caller frees; on failure *header is null and 1 returned.
int readFlvHeader(const unsigned char* bytes, FlvHeader** header, long long length);
uint32_t getFlvHeaderSize(const FlvHeader* header);
void printFlvHeader(const FlvHeader* header);  // to the log

#endif
