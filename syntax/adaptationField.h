#ifndef KORBALT_SYNTAX_ADAPTATIONFIELD_H
#define KORBALT_SYNTAX_ADAPTATIONFIELD_H

#include <cstdint>

// PCR of a packet whose adaptation field carries one (the caller has checked
// adaptation_field_control, adaptation_field_length >= 7 and PCR_flag): packet
// bytes 6 to 11, as base * 300 + extension in 27 MHz ticks.
uint64_t getPcrValue(const unsigned char* packet);

// Everything of an adaptation field, located as ISO/IEC 13818-1 lays it out and
// bounded by adaptation_field_length and the packet.
struct AdaptationFieldInfo {
    unsigned int length;           // adaptation_field_length (0..183 when valid)
    unsigned char flags;           // the flags byte; 0 when length is 0
    bool discontinuityIndicator;
    bool randomAccessIndicator;
    bool hasPcr;                   // PCR_flag set and the 6 bytes fit
    uint64_t pcr;
    bool hasOpcr;
    uint64_t opcr;
    bool splicingPointFlag;
    bool hasSpliceCountdown;       // splicing_point_flag set and the byte fits
    int spliceCountdown;           // signed 8-bit
    bool transportPrivateDataFlag;
    unsigned int transportPrivateDataLength;
    bool extensionFlag;            // adaptation_field_extension_flag as coded
    bool hasExtension;             // extension length and flags byte both fit
    unsigned int extensionLength;  // adaptation_field_extension_length
    unsigned char extensionFlags;  // ltw, piecewise_rate, seamless_splice, 5 reserved bits
};

// 0: read. 1: no adaptation field (adaptation_field_control 0 or 1), or
// adaptation_field_length 0 (info->length 0, no flags). 2: adaptation_field_length
// past the packet (> 183): nothing beyond the length was read.
// A field whose flags announce more than the length holds keeps the parts that fit;
// the rest stay false.
int readAdaptationField(const unsigned char* packet, AdaptationFieldInfo* info);

#endif
