#include "syntax/descriptorTypes.h"

const char* const mpeg2StdDescriptorTypes[37] = {
    "Reserved",
    "Reserved",
    "Video Stream Descriptor",
    "Audio Stream Descriptor",
    "Hierarchy Descriptor",
    "Registration Descriptor",
    "Data Stream Alignment Descriptor",
    "Target Background Grid Descriptor",
    "Video Window Descriptor",
    "CA Descriptor",
    "ISO 639 Language Descriptor",
    "System Clock Descriptor",
    "Multiplex Buffer Utilization Descriptor",
    "Copyright Descriptor",
    "Maximum Bitrate Descriptor",
    "Private Data Indicator Descriptor",
    "Smoothing Buffer Descriptor",
    "STD Descriptor",
    "IBP Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "DSM-CC Descriptor",
    "MPEG-4 Video Descriptor",
    "MPEG-4 Audio Descriptor",
    "IOD Descriptor",
    "SL Descriptor",
    "FMC Descriptor",
    "External ES ID Descriptor",
    "MuxCode Descriptor",
    "FmxBufferSize Descriptor",
    "MultiplexBuffer Descriptor",
    "Reserved or User Private Descriptor",
};

const char* getDescTypeString(int tag)
{
    int t = tag & 0xFF;
    if (t <= 35)
        return mpeg2StdDescriptorTypes[t];
    if (t == 161)
        return "ETV-BIF Platform Descriptor";
    if (t == 162)
        return "ETV Integrated Signaling Descriptor";
    return mpeg2StdDescriptorTypes[36];
}
