/* LD_PRELOAD shim for tools/netload.sh: a process as a stock Debian system treats an
 * ordinary user's socket receive buffer, without touching the machine's own limit
 * (net.core.rmem_max is global, not per network namespace): SO_RCVBUF asks are cut to
 * RCVBUF_LIMIT bytes (default 212992, Debian's rmem_max, which the kernel doubles to the
 * 425,984 bytes it reports) and SO_RCVBUFFORCE is refused. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>

typedef int (*SetsockoptFn)(int, int, int, const void*, socklen_t);

int setsockopt(int fd, int level, int name, const void* value, socklen_t size)
{
    static SetsockoptFn real;
    if (!real)
        real = (SetsockoptFn)dlsym(RTLD_NEXT, "setsockopt");
    if (level == SOL_SOCKET && name == SO_RCVBUFFORCE) {
        errno = EPERM;
        return -1;
    }
    if (level == SOL_SOCKET && name == SO_RCVBUF && value && size >= sizeof(int)) {
        const char* text = getenv("RCVBUF_LIMIT");
        int limit = text ? atoi(text) : 212992;
        int asked = *(const int*)value;
        if (asked > limit)
            return real(fd, level, name, &limit, sizeof(limit));
    }
    return real(fd, level, name, value, size);
}
