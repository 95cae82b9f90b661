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

namespace {

// The types that later editions of ITU-T H.222.0 | ISO/IEC 13818-1 added, from 0x15 on, in
// the standard's words (27, AVC, keeps its older text above).
const char* const kLaterStreamTypes[] = {
    "Metadata carried in PES packets",
    "Metadata carried in metadata_sections",
    "Metadata carried in ISO/IEC 13818-6 Data Carousel",
    "Metadata carried in ISO/IEC 13818-6 Object Carousel",
    "Metadata carried in ISO/IEC 13818-6 Synchronized Download Protocol",
    "IPMP stream (defined in ISO/IEC 13818-11, MPEG-2 IPMP)",
    nullptr,  // 0x1B
    "ISO/IEC 14496-3 Audio, without using any additional transport syntax, such as DST, ALS and SLS",
    "ISO/IEC 14496-17 Text",
    "Auxiliary video stream as defined in ISO/IEC 23002-3",
    "SVC video sub-bitstream of an AVC video stream conforming to one or more profiles defined in Annex G of "
    "Rec. ITU-T H.264 | ISO/IEC 14496-10",
    "MVC video sub-bitstream of an AVC video stream conforming to one or more profiles defined in Annex H of "
    "Rec. ITU-T H.264 | ISO/IEC 14496-10",
    "Video stream conforming to one or more profiles as defined in Rec. ITU-T T.800 | ISO/IEC 15444-1",
    "Additional view Rec. ITU-T H.262 | ISO/IEC 13818-2 video stream for service-compatible stereoscopic 3D "
    "services",
    "Additional view Rec. ITU-T H.264 | ISO/IEC 14496-10 video stream conforming to one or more profiles defined "
    "in Annex A for service-compatible stereoscopic 3D services",
    "Rec. ITU-T H.265 | ISO/IEC 23008-2 video stream or an HEVC temporal video sub-bitstream",
    "HEVC temporal video subset of an HEVC video stream conforming to one or more profiles defined in Annex A of "
    "Rec. ITU-T H.265 | ISO/IEC 23008-2",
    "MVCD video sub-bitstream of an AVC video stream conforming to one or more profiles defined in Annex I of "
    "Rec. ITU-T H.264 | ISO/IEC 14496-10",
    "Timeline and External Media Information Stream",
    "HEVC enhancement sub-partition which includes TemporalId 0 of an HEVC video stream where all NAL units "
    "contained in the stream conform to one or more profiles defined in Annex G of Rec. ITU-T H.265 | "
    "ISO/IEC 23008-2",
    "HEVC temporal enhancement sub-partition of an HEVC video stream where all NAL units contained in the stream "
    "conform to one or more profiles defined in Annex G of Rec. ITU-T H.265 | ISO/IEC 23008-2",
    "HEVC enhancement sub-partition which includes TemporalId 0 of an HEVC video stream where all NAL units "
    "contained in the stream conform to one or more profiles defined in Annex H of Rec. ITU-T H.265 | "
    "ISO/IEC 23008-2",
    "HEVC temporal enhancement sub-partition of an HEVC video stream where all NAL units contained in the stream "
    "conform to one or more profiles defined in Annex H of Rec. ITU-T H.265 | ISO/IEC 23008-2",
    "Green access units carried in MPEG-2 sections",
    "ISO/IEC 23008-3 Audio with MHAS transport syntax - main stream",
    "ISO/IEC 23008-3 Audio with MHAS transport syntax - auxiliary stream",
    "Quality access units carried in sections",
    "Media Orchestration Access Units carried in sections",
    "Substream of a Rec. ITU-T H.265 | ISO/IEC 23008-2 video stream that contains a Motion Constrained Tile Set, "
    "parameter sets, slice headers or a combination thereof",
    "JPEG XS video stream conforming to one or more profiles as defined in ISO/IEC 21122-2",
    "VVC video stream or a VVC temporal video sub-bitstream conforming to one or more profiles defined in Annex A "
    "of Rec. ITU-T H.266 | ISO/IEC 23090-3",
    "VVC temporal video subset of a VVC video stream conforming to one or more profiles defined in Annex A of "
    "Rec. ITU-T H.266 | ISO/IEC 23090-3",
    "EVC video stream or an EVC temporal video sub-bitstream conforming to one or more profiles defined in "
    "ISO/IEC 23094-1",
};
const int kFirstLaterStreamType = 0x15;
const int kLaterStreamTypeCount = (int)(sizeof(kLaterStreamTypes) / sizeof(kLaterStreamTypes[0]));

}  // namespace

const char* getStreamTypeDesc(int streamType)
{
    if (streamType < 0 || streamType > 255)
        return nullptr;
    if (streamType <= 20)
        return apcStreamTypes[streamType];
    if (streamType == 27)
        return "ITU-T Rec. H.264 | ISO/IEC 14496-10 AVC video stream";
    if (streamType - kFirstLaterStreamType < kLaterStreamTypeCount)
        return kLaterStreamTypes[streamType - kFirstLaterStreamType];
    if (streamType == 0x7F)
        return "IPMP stream";
    if (streamType == 129)
        return "AC3";
    if (streamType == 134)
        return "ANSI/SCTE 35";
    if (streamType <= 127)
        return "ITU-T Rec. H.222.0 | ISO/IEC 13818-1 Reserved";
    return "User Private";
}
