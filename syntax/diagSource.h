#ifndef KORBALT_SYNTAX_DIAGSOURCE_H
#define KORBALT_SYNTAX_DIAGSOURCE_H

const int DIAG_SOURCE_MPEG2TS = 0;
const int DIAG_SOURCE_FLV = 1;
const int DIAG_SOURCE_RTP = 2;  // never returned
const int DIAG_SOURCE_UNKNOWN = 3;

// Container of the first buffer of a source, reading only its first length bytes.
// A transport stream needs at least one whole packet and a sync byte at every
// 188-byte step; an FLV needs its whole 9-byte header.
int diagSourceStreamType(const unsigned char* buffer, int length);

#endif
