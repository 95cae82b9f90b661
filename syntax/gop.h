#ifndef KORBALT_SYNTAX_GOP_H
#define KORBALT_SYNTAX_GOP_H

// H.262 group of pictures header (start code 0xB8).

const int GOP_HEADER_SIZE = 8;

struct GopHeader {
    unsigned char drop_frame_flag;  // bit 7 of byte 4
    unsigned char closed_gop;       // bit 6 of byte 7
    unsigned char broken_link;      // bit 5 of byte 7
};

// p points at the start code; 0 when filled, 1 when fewer than GOP_HEADER_SIZE bytes
// (record zeroed).
int fillGopHeader(const unsigned char* p, long length, GopHeader* header);

#endif
