#ifndef KORBALT_SYNTAX_DIAGSOURCE_H
#define KORBALT_SYNTAX_DIAGSOURCE_H

const int DIAG_SOURCE_MPEG2TS = 0;
const int DIAG_SOURCE_FLV = 1;
const int DIAG_SOURCE_RTP = 2;  // never returned
const int DIAG_SOURCE_UNKNOWN = 3;

// Sync bytes 188 apart that make a packet grid inside a buffer.
const int DIAG_SOURCE_GRID_SYNC_BYTES = 5;

// Container of the first buffer of a source, reading only its first length bytes.
// A transport stream needs at least one whole packet and a sync byte at every
// 188-byte step, or (a capture that starts off the grid, damage in the first buffer)
// a packet grid somewhere in the buffer; an FLV needs its whole 9-byte header.
int diagSourceStreamType(const unsigned char* buffer, int length);

// Offset of the first packet grid in the buffer, -1 when there is none.
int diagSourceFindPacketGrid(const unsigned char* buffer, int length);

#endif
