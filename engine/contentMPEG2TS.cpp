#include "engine/contentMPEG2TS.h"

#include "syntax/diagSource.h"

#include <climits>

bool ContentMPEG2TS::isType(unsigned char* buffer, long long length)
{
    int len = length < 0 ? 0 : length > INT_MAX ? INT_MAX : (int)length;
    return diagSourceStreamType(buffer, len) == DIAG_SOURCE_MPEG2TS;
}
