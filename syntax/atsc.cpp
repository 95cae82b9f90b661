#include "syntax/atsc.h"

#include <cstring>

int fillAtscDataHeader(const unsigned char* p, long length, AtscDataHeader* h)
{
    memset(h, 0, sizeof(*h));
    if (p == nullptr || length < ATSC_DATA_HEADER_SIZE)
        return 1;
    h->process_em_data_flag = (p[0] >> 7) & 0x01;
    h->process_cc_data_flag = (p[0] >> 6) & 0x01;
    h->additional_data_flag = (p[0] >> 5) & 0x01;
    h->cc_count = p[0] & 0x1F;
    return 0;
}

int fillAtscData(const unsigned char* p, long length, AtscData* d)
{
    memset(d, 0, sizeof(*d));
    if (p == nullptr || length < ATSC_DATA_SIZE)
        return 1;
    d->marker_bits = (p[0] >> 3) & 0x1F;
    d->cc_valid = (p[0] >> 2) & 0x01;
    d->cc_type = p[0] & 0x03;
    d->cc_data_1 = p[1];
    d->cc_data_2 = p[2];
    return 0;
}

bool isATSC(const unsigned int* userIdentifier)
{
    return userIdentifier != nullptr && *userIdentifier == ATSC_USER_IDENTIFIER;
}
