#include "syntax/gop.h"

#include <cstring>

int fillGopHeader(const unsigned char* p, long length, GopHeader* h)
{
    memset(h, 0, sizeof(*h));
    if (p == nullptr || length < GOP_HEADER_SIZE)
        return 1;
    // The time code between the two is not needed.
    h->drop_frame_flag = p[4] >> 7;
    h->closed_gop = (p[7] >> 6) & 0x01;
    h->broken_link = (p[7] >> 5) & 0x01;
    return 0;
}
