#ifndef KORBALT_SYNTAX_STREAMTYPES_H
#define KORBALT_SYNTAX_STREAMTYPES_H

extern const char* const apcStreamTypes[21];

// Description of a PMT stream_type; null outside 0..255. Do not free.
const char* getStreamTypeDesc(int streamType);

#endif
