#include "platform/pagingLock.h"

#include <sys/mman.h>

int lockProcessPagesInRam(int futureToo)
{
    int flags = MCL_CURRENT;
    if (futureToo != 0)
        flags |= MCL_FUTURE;
    return mlockall(flags) == 0 ? 0 : -1;
}

int unlockProcessPages()
{
    return munlockall() == 0 ? 0 : -1;
}
