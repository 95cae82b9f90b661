#include "engine/contentFlv.h"

#include "syntax/diagSource.h"

#include <climits>

bool ContentFlv::isType(unsigned char* buffer, long long length)
{
    int len = length < 0 ? 0 : length > INT_MAX ? INT_MAX : (int)length;
    return diagSourceStreamType(buffer, len) == DIAG_SOURCE_FLV;
}
