#ifndef KORBALT_SYNTAX_PESHEADER_H
#define KORBALT_SYNTAX_PESHEADER_H

#include <cstdint>

struct PesHeader {  // zeroed by the caller
    uint8_t PTS_DTS_flags : 2;
    uint8_t otherFlags : 6;  // kept as they were
    uint64_t PTS;            // 33 bits, 90 kHz
    uint64_t DTS;
};

// 1 when a PES packet of this stream_id carries the optional PES header.
int hasPesHeader(int streamId);

// header points at the byte after PES_packet_length ('10' marker byte); length is the
// number of bytes readable there. PTS_DTS_flags receives what was really read: a PTS
// (and DTS) is only taken when PES_header_data_length and length both cover it, else the
// flags are lowered to what was read (2 for a PTS without its DTS, 0 for none).
// 0: as coded. 1: fewer than 3 bytes (nothing read, flags 0). 2: the header announced
// a PTS or DTS it has no room for (flags lowered).
int populatePesHeader(const unsigned char* header, PesHeader* record, unsigned int length);

#endif
