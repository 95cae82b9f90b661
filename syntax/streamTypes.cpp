#include "syntax/streamTypes.h"

const char* const apcStreamTypes[21] = {
    "ITU-T | ISO/IEC Reserved",
    "ISO/IEC 11172 Video",
    "ITU-T Rec. H.262 | ISO/IEC 13818-2 Video or ISO/IEC 11172-2 constrained parameter video stream",
    "ISO/IEC 11172 Audio",
    "ISO/IEC 13818-3 Audio",
    "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 private_sections",
    "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 PES packets containing private data",
    "ISO/IEC 13522 MHEG",
    "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Annex A DSM-CC",
    "ITU-T Rec. H.222.1",
    "ISO/IEC 13818-6 type A",
    "ISO/IEC 13818-6 type B",
    "ISO/IEC 13818-6 type C",
    "ISO/IEC 13818-6 type D",
    "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 auxiliary",
    "ISO/IEC 13818-7 Audio with ADTS transport syntax",
    "ISO/IEC 14496-2 Visual",
    "ISO/IEC 14496-3 Audio with the LATM transport syntax as defined in ISO/IEC 14496-3 / AMD 1",
    "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in PES packets",
    "ISO/IEC 14496-1 SL-packetized stream or FlexMux stream carried in ISO/IEC14496_sections.",
    "ISO/IEC 13818-6 Synchronized Download Protocol",
};

const char* getStreamTypeDesc(int streamType)
{
    if (streamType < 0 || streamType > 255)
        return nullptr;
    if (streamType <= 20)
        return apcStreamTypes[streamType];
    if (streamType == 27)
        return "ITU-T Rec. H.264 | ISO/IEC 14496-10 AVC video stream";
    if (streamType == 129)
        return "AC3";
    if (streamType == 134)
        return "ANSI/SCTE 35";
    if (streamType <= 127)
        return "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Reserved";
    return "User Private";
}
