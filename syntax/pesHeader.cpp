#include "syntax/pesHeader.h"

namespace {

// 33-bit time stamp from five bytes, marker bits ignored.
uint64_t readTimeStamp(const unsigned char* p)
{
    return ((uint64_t)((p[0] >> 1) & 0x07) << 30) | ((uint64_t)p[1] << 22) | ((uint64_t)(p[2] >> 1) << 15) |
           ((uint64_t)p[3] << 7) | (uint64_t)(p[4] >> 1);
}

}  // namespace

int hasPesHeader(int streamId)
{
    switch (streamId) {
    case 188:  // program_stream_map
    case 190:  // padding_stream
    case 191:  // private_stream_2
    case 240:  // ECM
    case 241:  // EMM
    case 242:  // DSMCC_stream
    case 248:  // ITU-T H.222.1 type E
    case 255:  // program_stream_directory
        return 0;
    default:
        return 1;
    }
}

int populatePesHeader(const unsigned char* header, PesHeader* record, unsigned int length)
{
    if (length < 3) {
        record->PTS_DTS_flags = 0;
        return 1;
    }
    unsigned int flags = header[1] >> 6;
    // Only what PES_header_data_length and the bytes at hand cover is read.
    unsigned int covered = header[2];
    if (covered > length - 3)
        covered = length - 3;

    int rc = 0;
    unsigned int taken = 0;
    if (flags >= 2) {
        if (covered >= 5) {
            record->PTS = readTimeStamp(header + 3);
            taken = 2;
            if (flags == 3) {
                if (covered >= 10) {
                    record->DTS = readTimeStamp(header + 8);
                    taken = 3;
                } else {
                    rc = 2;
                }
            }
        } else {
            rc = 2;
        }
    } else {
        taken = flags;  // 0, or the forbidden 1: nothing to read
    }
    record->PTS_DTS_flags = taken;
    return rc;
}
